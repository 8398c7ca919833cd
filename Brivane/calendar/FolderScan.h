#pragma once

// One look at the file store's sources: vdir roots (collections directly inside or one level
// down under an account folder) and single .ics files, listed and checked against the parse
// cache; the files that changed are read and parsed several at a time. Every file or folder
// that cannot be used is named, with the reason, and the rest is read.

#include "Brivane/calendar/ICalendarReader.h"
#include "Brivane/calendar/ICalendarStore.h"
#include "Brivane/calendar/ParseCache.h"
#include "Brivane/calendar/SourceFiles.h"

#include <set>
#include <string>
#include <vector>

namespace brivane::icsstore {

using FileProblem = ICalendarStore::FileProblem;

struct File {
    std::string path;
    std::shared_ptr<ical::CalendarFile> parsed;
};
struct Collection {
    StoreCalendar calendar;
    std::string path;
    bool evolution = false;
    bool single = false;
    std::vector<File> files;
    bool hasEvents() const {
        return files.empty() || std::any_of(files.begin(), files.end(),
                                            [](const File& f) { return f.parsed->hasEvents(); });
    }
    bool hasTasks() const {
        return files.empty() || std::any_of(files.begin(), files.end(),
                                            [](const File& f) { return f.parsed->hasTasks(); });
    }
};
struct Scan {
    std::vector<Collection> collections;
    std::vector<FileProblem> problems;
    std::vector<std::string> unreadable; // source folders that exist but cannot be read
    std::vector<std::string> existing;
    std::vector<std::string> missing;
    std::set<std::string> watchPaths;
    // Item files to read and parse once the folders are listed, several at a time.
    struct Deferred {
        std::size_t collection;
        std::size_t file;
        std::string path;
        Stamp stamp;
    };
    std::vector<Deferred> deferred;
    // Files left out again, unchanged since, with the memory they took.
    std::vector<std::pair<std::string, std::size_t>> refusedAgain;
};

// The identifier of the calendar kept at a normalised path.
std::string calendarIDFor(const std::string& path);

class FolderScan {
public:
    FolderScan(const ParseCache& cache, Scan& into) : cache_(cache), out(into) {}

    // A vdir root; a default one that does not exist is recorded as missing.
    void scanRoot(const std::string& root, bool isDefault);
    void scanSingleFile(const std::string& path, bool isEvolution);
    // Reads and parses the files found changed, then puts them in their collections.
    void parseDeferred();

    // The files of this scan as parsed, by path: the next parse cache.
    SeenFiles seen;

private:
    struct Entry {
        std::string name;
        bool directory = false;
        bool file = false;
    };

    std::shared_ptr<ical::CalendarFile> load(int dirFd, const char* name, const std::string& path);
    std::shared_ptr<ical::CalendarFile> checked(const std::shared_ptr<ical::CalendarFile>& parsed,
                                                const std::string& path);
    static bool list(int dirFd, std::vector<Entry>& entries);
    static std::string readDisplayName(int dirFd);
    static bool holdsItems(const std::vector<Entry>& entries);
    void addCollection(int dirFd, const std::string& path, const std::string& source,
                       const std::vector<Entry>& entries);
    int openListed(const std::string& path, bool source, bool reportMissing,
                   std::vector<Entry>& entries);

    const ParseCache& cache_;
    Scan& out;
};

} // namespace brivane::icsstore

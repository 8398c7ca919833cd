#pragma once

// The parsed files of the last look at the sources, by path, and the files left out for the
// memory budget: a file unchanged since (same size, modification time and inode) is neither
// read nor parsed again, and one left out stays out until it changes or room is made for it.

#include "Brivane/calendar/ICalendarReader.h"
#include "Brivane/calendar/SourceFiles.h"

#include <memory>
#include <string>
#include <unordered_map>

namespace brivane::icsstore {

struct Scan;

struct Cached {
    Stamp stamp;
    std::shared_ptr<ical::CalendarFile> parsed;
};
using SeenFiles = std::unordered_map<std::string, Cached>;

class ParseCache {
public:
    // What the parsed files of all sources may hold in memory together.
    std::size_t budget = 0;

    // The file as parsed when it still has this stamp.
    const Cached* find(const std::string& path, const Stamp& stamp) const;
    // A file left out for the memory budget and unchanged since is not read again; it is named
    // in the scan's problems.
    bool refusedAgain(const std::string& path, const Stamp& stamp, Scan& out) const;
    // Keeps the scan's parsed files within the budget, in the order the sources are read, and
    // makes `seen` the cache. Returns false when a file left out earlier would fit now, so that
    // the next scan reads it.
    bool keepWithinBudget(Scan& out, SeenFiles seen);

    static std::string tooLarge();

private:
    // A file left out for the memory budget, as it was then.
    struct Refused {
        Stamp stamp;
        std::size_t bytes = 0;
    };
    std::string overBudget() const;

    SeenFiles cache_;
    std::unordered_map<std::string, Refused> refused_;
};

} // namespace brivane::icsstore

#include "Brivane/calendar/FolderScan.h"

#include "BrivaneCore/AgendaLanguage.h"

#include <QUuid>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

namespace brivane::icsstore {

namespace {

const QUuid calendarNamespace{"6b1f4c0e-5a7d-4c61-9a58-0d7d3f0c2e11"};

} // namespace

// Loads one file through the cache; problems are recorded in the scan.
std::shared_ptr<ical::CalendarFile> FolderScan::load(int dirFd, const char* name,
                                                     const std::string& path) {
    struct stat st {};
    if (fstatat(dirFd, name, &st, 0) != 0) {
        out.problems.push_back({path, errnoText(errno)});
        return nullptr;
    }
    if (!S_ISREG(st.st_mode)) {
        // A pipe or device in a source's place is never opened: reading it could wait forever.
        out.problems.push_back(
            {path, AgendaLanguage::text("non è un file normale", "not a regular file")});
        return nullptr;
    }
    const Stamp stamp = stampOf(st);
    if (const Cached* found = cache_.find(path, stamp)) {
        seen.emplace(path, *found);
        return checked(found->parsed, path);
    }
    if (cache_.refusedAgain(path, stamp, out)) {
        return nullptr;
    }
    if (static_cast<std::size_t>(st.st_size) > ical::maxFileBytes) {
        out.problems.push_back({path, ParseCache::tooLarge()});
        return nullptr;
    }
    std::string bytes;
    if (!readWhole(dirFd, name, static_cast<std::size_t>(st.st_size), bytes)) {
        out.problems.push_back({path, errnoText(errno)});
        return nullptr;
    }
    auto parsed = ical::CalendarFile::parse(bytes, baseName(path));
    seen.emplace(path, Cached{stamp, parsed});
    return checked(parsed, path);
}

std::shared_ptr<ical::CalendarFile>
FolderScan::checked(const std::shared_ptr<ical::CalendarFile>& parsed, const std::string& path) {
    if (parsed->error()) {
        out.problems.push_back(
            {path, AgendaLanguage::text(parsed->error()->italian, parsed->error()->english)});
        return nullptr;
    }
    if (parsed->itemsBeyondLimit() > 0) {
        const std::string limit = std::to_string(ical::maxItemsPerFile);
        const std::string left = std::to_string(parsed->itemsBeyondLimit());
        out.problems.push_back(
            {path, AgendaLanguage::text(
                       "letti solo i primi " + limit + " elementi, " + left + " tralasciati",
                       "only the first " + limit + " items read, " + left + " left out")});
    }
    if (parsed->skippedItems() > 0) {
        out.problems.push_back(
            {path, AgendaLanguage::text(std::to_string(parsed->skippedItems()) +
                                            " elementi saltati (senza data o illeggibili)",
                                        std::to_string(parsed->skippedItems()) +
                                            " items skipped (without a date or unreadable)")});
    }
    if (parsed->hasTrailer()) {
        out.problems.push_back({path, AgendaLanguage::text("testo dopo END:VCALENDAR ignorato",
                                                           "text after END:VCALENDAR ignored")});
    }
    return parsed;
}

// The visible entries of a folder; false with errno when it cannot be listed.
bool FolderScan::list(int dirFd, std::vector<Entry>& entries) {
    const int copy = dup(dirFd);
    if (copy < 0) {
        return false;
    }
    DIR* dir = fdopendir(copy);
    if (dir == nullptr) {
        close(copy);
        return false;
    }
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') {
            continue; // hidden files and vdir temporaries
        }
        Entry e{entry->d_name, entry->d_type == DT_DIR, entry->d_type == DT_REG};
        if (entry->d_type == DT_UNKNOWN || entry->d_type == DT_LNK) {
            struct stat st {};
            if (fstatat(dirFd, entry->d_name, &st, 0) == 0) {
                e.directory = S_ISDIR(st.st_mode);
                e.file = S_ISREG(st.st_mode);
            }
        }
        entries.push_back(std::move(e));
    }
    closedir(dir);
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.name < b.name; });
    return true;
}

std::string FolderScan::readDisplayName(int dirFd) {
    const int fd = openat(dirFd, "displayname", O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return {};
    }
    char buffer[1024];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    close(fd);
    if (n <= 0) {
        return {};
    }
    std::string name(buffer, static_cast<std::size_t>(n));
    name = name.substr(0, name.find_first_of("\r\n"));
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) {
        name.pop_back();
    }
    while (!name.empty() && (name.front() == ' ' || name.front() == '\t')) {
        name.erase(0, 1);
    }
    return ical::isValidUtf8(name) ? name : std::string();
}

// A folder that holds items (or nothing yet) is a collection.
void FolderScan::addCollection(int dirFd, const std::string& path, const std::string& source,
                               const std::vector<Entry>& entries) {
    Collection collection;
    collection.path = path;
    std::string title = readDisplayName(dirFd);
    collection.calendar =
        StoreCalendar{calendarIDFor(path), title.empty() ? baseName(path) : title, source};
    out.watchPaths.insert(path);
    const std::size_t index = out.collections.size();
    for (const Entry& entry : entries) {
        if (!entry.file || !endsWithIcs(entry.name.c_str())) {
            continue;
        }
        std::string filePath = joinPath(path, entry.name);
        struct stat st {};
        if (fstatat(dirFd, entry.name.c_str(), &st, 0) != 0) {
            out.problems.push_back({filePath, errnoText(errno)});
            continue;
        }
        if (!S_ISREG(st.st_mode)) {
            continue;
        }
        const Stamp stamp = stampOf(st);
        if (const Cached* found = cache_.find(filePath, stamp)) {
            seen.emplace(filePath, *found);
            if (auto parsed = checked(found->parsed, filePath)) {
                collection.files.push_back({std::move(filePath), std::move(parsed)});
            }
        } else if (cache_.refusedAgain(filePath, stamp, out)) {
            continue;
        } else if (static_cast<std::size_t>(st.st_size) > ical::maxFileBytes) {
            out.problems.push_back({filePath, ParseCache::tooLarge()});
        } else {
            out.deferred.push_back({index, collection.files.size(), filePath, stamp});
            collection.files.push_back({std::move(filePath), nullptr});
        }
    }
    out.collections.push_back(std::move(collection));
}

// Reads and parses the deferred files on a few threads (libical keeps no shared state while
// parsing), then puts them in their collections; files that fail are named and dropped.
void FolderScan::parseDeferred() {
    auto& work = out.deferred;
    std::vector<std::shared_ptr<ical::CalendarFile>> parsed(work.size());
    std::vector<int> errors(work.size(), 0);
    std::atomic<std::size_t> next{0};
    const auto run = [&] {
        std::string bytes;
        for (std::size_t i = next.fetch_add(1); i < work.size(); i = next.fetch_add(1)) {
            const int fd = open(work[i].path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
            if (fd < 0 || !readAndClose(fd, static_cast<std::size_t>(work[i].stamp.size), bytes)) {
                errors[i] = errno != 0 ? errno : EIO;
                continue;
            }
            parsed[i] = ical::CalendarFile::parse(bytes, baseName(work[i].path));
        }
    };
    const unsigned cores = std::clamp(std::thread::hardware_concurrency(), 1u, 4u);
    std::vector<std::thread> helpers;
    for (unsigned k = 1; k < cores && work.size() >= 64; ++k) {
        helpers.emplace_back(run);
    }
    run();
    for (auto& helper : helpers) {
        helper.join();
    }
    for (std::size_t i = 0; i < work.size(); ++i) {
        const auto& item = work[i];
        if (errors[i] != 0) {
            // One unreadable item (say a root-owned 0600 file) is skipped and named; it
            // does not take the rest of the store with it.
            out.problems.push_back({item.path, errnoText(errors[i])});
            continue;
        }
        seen.emplace(item.path, Cached{item.stamp, parsed[i]});
        out.collections[item.collection].files[item.file].parsed = checked(parsed[i], item.path);
    }
    for (auto& collection : out.collections) {
        std::erase_if(collection.files, [](const File& f) { return f.parsed == nullptr; });
    }
    work.clear();
}

bool FolderScan::holdsItems(const std::vector<Entry>& entries) {
    return entries.empty() || std::any_of(entries.begin(), entries.end(), [](const Entry& e) {
               return (e.file && endsWithIcs(e.name.c_str())) || e.name == "displayname";
           });
}

// Opens and lists a folder; one that cannot be listed is recorded as a problem, and a
// source folder that cannot be read (a place itself, not a calendar inside it) as no access.
// Returns the open descriptor, or -1 when the folder cannot be used.
int FolderScan::openListed(const std::string& path, bool source, bool reportMissing,
                           std::vector<Entry>& entries) {
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 && (errno == ENOENT || errno == ENOTDIR)) {
        if (reportMissing) {
            out.missing.push_back(path);
        }
        return -1;
    }
    if (fd < 0 || !list(fd, entries)) {
        const int error = errno;
        out.problems.push_back({path, errnoText(error)});
        if (source && (error == EACCES || error == EPERM)) {
            out.unreadable.push_back(path);
        }
        if (fd >= 0) {
            close(fd);
        }
        return -1;
    }
    return fd;
}

void FolderScan::scanRoot(const std::string& root, bool isDefault) {
    std::vector<Entry> entries;
    const int rootFd = openListed(root, true, isDefault, entries);
    if (rootFd < 0) {
        return;
    }
    out.existing.push_back(root);
    out.watchPaths.insert(root);
    if (!isDefault && std::any_of(entries.begin(), entries.end(), [](const Entry& e) {
            return e.file && endsWithIcs(e.name.c_str());
        })) {
        // The user added a collection itself.
        addCollection(rootFd, root, displayPath(parentPath(root)), entries);
        close(rootFd);
        return;
    }
    for (const Entry& entry : entries) {
        if (!entry.directory) {
            continue;
        }
        const std::string path = joinPath(root, entry.name);
        std::vector<Entry> inner;
        const int fd = openListed(path, false, false, inner);
        if (fd < 0) {
            continue;
        }
        if (holdsItems(inner)) {
            addCollection(fd, path, displayPath(root), inner);
        } else {
            // An account folder (vdirsyncer's layout): its folders are the collections.
            out.watchPaths.insert(path);
            for (const Entry& child : inner) {
                if (!child.directory) {
                    continue;
                }
                const std::string childPath = joinPath(path, child.name);
                std::vector<Entry> items;
                const int childFd = openListed(childPath, false, false, items);
                if (childFd < 0) {
                    continue;
                }
                addCollection(childFd, childPath, entry.name, items);
                close(childFd);
            }
        }
        close(fd);
    }
    close(rootFd);
}

void FolderScan::scanSingleFile(const std::string& path, bool isEvolution) {
    const std::string directory = parentPath(path);
    const int dirFd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat st {};
    if (dirFd < 0 || fstatat(dirFd, baseName(path).c_str(), &st, 0) != 0) {
        const int error = errno;
        if (dirFd >= 0) {
            close(dirFd);
        }
        if ((error == ENOENT || error == ENOTDIR) && isEvolution) {
            out.missing.push_back(path);
        } else {
            out.problems.push_back({path, errnoText(error)});
        }
        return;
    }
    out.existing.push_back(path);
    out.watchPaths.insert(directory); // editors and Evolution replace the file by renaming
    auto parsed = load(dirFd, baseName(path).c_str(), path);
    close(dirFd);
    if (!parsed) {
        return;
    }
    Collection collection;
    collection.path = path;
    collection.single = true;
    collection.evolution = isEvolution;
    std::string title = parsed->calendarName();
    if (isEvolution) {
        title = AgendaLanguage::text("Personale", "Personal");
    } else if (title.empty()) {
        title = baseName(path);
        title = title.substr(0, title.size() - (endsWithIcs(title.c_str()) ? 4 : 0));
    }
    collection.calendar = StoreCalendar{calendarIDFor(path), title,
                                        isEvolution ? "Evolution" : displayPath(directory)};
    collection.files.push_back({path, std::move(parsed)});
    out.collections.push_back(std::move(collection));
}

std::string calendarIDFor(const std::string& path) {
    return QUuid::createUuidV5(calendarNamespace, QString::fromStdString(path))
        .toString(QUuid::WithoutBraces)
        .toUpper()
        .toStdString();
}

} // namespace brivane::icsstore

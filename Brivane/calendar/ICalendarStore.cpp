#include "Brivane/calendar/ICalendarStore.h"

#include "Brivane/calendar/DirectoryWatcher.h"
#include "Brivane/calendar/ICalendarReader.h"
#include "BrivaneCore/AgendaLanguage.h"

#include <QDesktopServices>
#include <QSaveFile>
#include <QSet>
#include <QTimer>
#include <QUrl>
#include <QUuid>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <gio/gio.h>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>

namespace brivane {

namespace {

std::string envOr(const char* name, const std::string& fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? std::string(value) : fallback;
}

std::string homeDirectory() {
    return envOr("HOME", "/");
}

std::string joinPath(const std::string& a, const std::string& b) {
    if (a.empty() || a.back() == '/') {
        return a + b;
    }
    return a + "/" + b;
}

std::string baseName(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string parentPath(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// "/home/ada/.calendars" → "~/.calendars".
std::string displayPath(const std::string& path) {
    const std::string home = homeDirectory();
    if (home.size() > 1 && path.rfind(home + "/", 0) == 0) {
        return "~" + path.substr(home.size());
    }
    return path;
}

// Absolute, without a trailing slash and without "." or ".." parts; symbolic links are kept so
// that an identifier follows the path the user sees.
std::string normalisedPath(const std::string& path) {
    std::string absolute = path;
    if (absolute.rfind("~/", 0) == 0) {
        absolute = joinPath(homeDirectory(), absolute.substr(2));
    } else if (absolute.empty() || absolute.front() != '/') {
        char buffer[4096];
        absolute = joinPath(getcwd(buffer, sizeof buffer) != nullptr ? buffer : "/", absolute);
    }
    std::vector<std::string> parts;
    std::size_t at = 0;
    while (at <= absolute.size()) {
        const auto next = absolute.find('/', at);
        const std::string part =
            absolute.substr(at, next == std::string::npos ? std::string::npos : next - at);
        if (part == "..") {
            if (!parts.empty()) {
                parts.pop_back();
            }
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        if (next == std::string::npos) {
            break;
        }
        at = next + 1;
    }
    std::string result;
    for (const auto& part : parts) {
        result += "/" + part;
    }
    return result.empty() ? "/" : result;
}

bool endsWithIcs(const char* name) {
    const std::size_t n = std::strlen(name);
    return n > 4 && strcasecmp(name + n - 4, ".ics") == 0;
}

std::string errnoText(int error) {
    switch (error) {
    case EACCES:
    case EPERM:
        return AgendaLanguage::text("permesso negato", "permission denied");
    case ENOENT:
        return AgendaLanguage::text("non esiste", "does not exist");
    case EISDIR:
        return AgendaLanguage::text("è una cartella", "is a folder");
    default:
        return std::strerror(error);
    }
}

struct Stamp {
    std::int64_t size = -1;
    std::int64_t mtimeNs = 0;
    std::uint64_t inode = 0;
    bool operator==(const Stamp&) const = default;
};

Stamp stampOf(const struct stat& st) {
    return Stamp{static_cast<std::int64_t>(st.st_size),
                 static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec,
                 static_cast<std::uint64_t>(st.st_ino)};
}

// Reads everything from an open descriptor and closes it; false with errno set on failure.
bool readAndClose(int fd, std::size_t expected, std::string& out) {
    out.clear();
    out.reserve(std::min(expected, ical::maxFileBytes) + 1);
    char buffer[65536];
    while (true) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            const int error = errno;
            close(fd);
            errno = error;
            return false;
        }
        if (n == 0) {
            break;
        }
        out.append(buffer, static_cast<std::size_t>(n));
        if (out.size() > ical::maxFileBytes) {
            break; // grew while being read; the reader rejects it
        }
    }
    close(fd);
    return true;
}

bool readWhole(int dirFd, const char* name, std::size_t expected, std::string& out) {
    const int fd = openat(dirFd, name, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    return fd >= 0 && readAndClose(fd, expected, out);
}

const QUuid calendarNamespace{"6b1f4c0e-5a7d-4c61-9a58-0d7d3f0c2e11"};

} // namespace

// State shared with the worker thread; every field is guarded by `mutex` unless atomic.
struct ICalendarStore::Shared {
    struct Config {
        bool events = false;
        bool reminders = false;
        std::vector<std::string> sources;
    };
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
            return files.empty() || std::any_of(files.begin(), files.end(), [](const File& f) {
                       return f.parsed->hasEvents();
                   });
        }
        bool hasTasks() const {
            return files.empty() || std::any_of(files.begin(), files.end(),
                                                [](const File& f) { return f.parsed->hasTasks(); });
        }
    };
    struct Scan {
        std::vector<Collection> collections;
        std::vector<FileProblem> problems;
        std::vector<std::string> unreadable; // sources that exist but cannot be read
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
    };
    struct Cached {
        Stamp stamp;
        std::shared_ptr<ical::CalendarFile> parsed;
    };

    mutable std::mutex mutex;
    Options options;
    Config config;
    std::optional<std::string> configProblem;
    std::unordered_map<std::string, Cached> cache;
    std::optional<Scan> scan;
    std::atomic<std::uint64_t> generation{1};
    std::uint64_t cleanAt = 0; // the generation the last scan is known valid for
    std::set<std::string> watched;
    bool watchFailed = false;
    bool watchesStale = false; // a new scan whose paths the watcher has not seen yet

    std::atomic<FetchToken> nextToken{1};
    std::map<FetchToken, std::shared_ptr<std::atomic<bool>>> fetches;

    void loadConfig() {
        config = Config{};
        configProblem.reset();
        const int fd = open(options.configFile.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            if (errno != ENOENT) {
                configProblem = options.configFile + ": " + errnoText(errno);
            }
            return;
        }
        struct stat st {};
        std::string text;
        if (fstat(fd, &st) != 0 || st.st_size > 1024 * 1024) {
            close(fd);
            configProblem =
                options.configFile + ": " + AgendaLanguage::text("file non valido", "invalid file");
            return;
        }
        if (!readAndClose(fd, static_cast<std::size_t>(st.st_size), text)) {
            configProblem = options.configFile + ": " + errnoText(errno);
            return;
        }
        try {
            const auto json = nlohmann::json::parse(text);
            config.events = json.value("eventsAccess", false);
            config.reminders = json.value("remindersAccess", false);
            if (json.contains("sources") && json["sources"].is_array()) {
                for (const auto& source : json["sources"]) {
                    if (source.is_string()) {
                        config.sources.push_back(normalisedPath(source.get<std::string>()));
                    }
                }
            }
        } catch (const nlohmann::json::exception&) {
            // A damaged file counts as no consent; it is rewritten on the next grant.
            configProblem =
                options.configFile + ": " + AgendaLanguage::text("file non valido", "invalid file");
        }
    }

    // Writes the whole document atomically; on failure the in-memory state stays as it was.
    std::optional<std::string> saveConfig(const Config& next) const {
        nlohmann::json json{{"eventsAccess", next.events},
                            {"remindersAccess", next.reminders},
                            {"sources", next.sources}};
        const std::string text = json.dump(2) + "\n";
        const QString path = QString::fromStdString(options.configFile);
        const std::string directory = parentPath(options.configFile);
        if (mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) {
            return directory + ": " + errnoText(errno);
        }
        QSaveFile file(path);
        if (!file.open(QIODevice::WriteOnly) ||
            file.write(text.data(), static_cast<qint64>(text.size())) !=
                static_cast<qint64>(text.size()) ||
            !file.commit()) {
            return options.configFile + ": " + file.errorString().toStdString();
        }
        return std::nullopt;
    }

    // Loads one file through the cache; problems are recorded in the scan.
    std::shared_ptr<ical::CalendarFile> load(int dirFd, const char* name, const std::string& path,
                                             Scan& out,
                                             std::unordered_map<std::string, Cached>& seen) {
        struct stat st {};
        if (fstatat(dirFd, name, &st, 0) != 0) {
            out.problems.push_back({path, errnoText(errno)});
            return nullptr;
        }
        if (!S_ISREG(st.st_mode)) {
            return nullptr;
        }
        const Stamp stamp = stampOf(st);
        if (auto found = cache.find(path); found != cache.end() && found->second.stamp == stamp) {
            seen.emplace(path, found->second);
            return checked(found->second.parsed, path, out);
        }
        if (static_cast<std::size_t>(st.st_size) > ical::maxFileBytes) {
            out.problems.push_back({path, tooLarge()});
            return nullptr;
        }
        std::string bytes;
        if (!readWhole(dirFd, name, static_cast<std::size_t>(st.st_size), bytes)) {
            const int error = errno;
            out.problems.push_back({path, errnoText(error)});
            if (error == EACCES || error == EPERM) {
                out.unreadable.push_back(path);
            }
            return nullptr;
        }
        auto parsed = ical::CalendarFile::parse(bytes, baseName(path));
        seen.emplace(path, Cached{stamp, parsed});
        return checked(parsed, path, out);
    }

    static std::shared_ptr<ical::CalendarFile>
    checked(const std::shared_ptr<ical::CalendarFile>& parsed, const std::string& path, Scan& out) {
        if (parsed->error()) {
            out.problems.push_back(
                {path, AgendaLanguage::text(parsed->error()->italian, parsed->error()->english)});
            return nullptr;
        }
        if (parsed->skippedItems() > 0) {
            out.problems.push_back(
                {path,
                 AgendaLanguage::text(
                     std::to_string(parsed->skippedItems()) + " elementi senza data saltati",
                     std::to_string(parsed->skippedItems()) + " items without a date skipped")});
        }
        return parsed;
    }

    struct Entry {
        std::string name;
        bool directory = false;
        bool file = false;
    };

    // The visible entries of a folder; false with errno when it cannot be listed.
    static bool list(int dirFd, std::vector<Entry>& entries) {
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

    static std::string readDisplayName(int dirFd) {
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
    void addCollection(int dirFd, const std::string& path, const std::string& source,
                       const std::vector<Entry>& entries, Scan& out,
                       std::unordered_map<std::string, Cached>& seen) {
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
            if (auto found = cache.find(filePath);
                found != cache.end() && found->second.stamp == stamp) {
                seen.emplace(filePath, found->second);
                if (auto parsed = checked(found->second.parsed, filePath, out)) {
                    collection.files.push_back({std::move(filePath), std::move(parsed)});
                }
            } else if (static_cast<std::size_t>(st.st_size) > ical::maxFileBytes) {
                out.problems.push_back({filePath, tooLarge()});
            } else {
                out.deferred.push_back({index, collection.files.size(), filePath, stamp});
                collection.files.push_back({std::move(filePath), nullptr});
            }
        }
        out.collections.push_back(std::move(collection));
    }

    // Reads and parses the deferred files on a few threads (libical keeps no shared state while
    // parsing), then puts them in their collections; files that fail are named and dropped.
    void parseDeferred(Scan& out, std::unordered_map<std::string, Cached>& seen) {
        auto& work = out.deferred;
        std::vector<std::shared_ptr<ical::CalendarFile>> parsed(work.size());
        std::vector<int> errors(work.size(), 0);
        std::atomic<std::size_t> next{0};
        const auto run = [&] {
            std::string bytes;
            for (std::size_t i = next.fetch_add(1); i < work.size(); i = next.fetch_add(1)) {
                const int fd = open(work[i].path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
                if (fd < 0 ||
                    !readAndClose(fd, static_cast<std::size_t>(work[i].stamp.size), bytes)) {
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
                out.problems.push_back({item.path, errnoText(errors[i])});
                if (errors[i] == EACCES || errors[i] == EPERM) {
                    out.unreadable.push_back(item.path);
                }
                continue;
            }
            seen.emplace(item.path, Cached{item.stamp, parsed[i]});
            out.collections[item.collection].files[item.file].parsed =
                checked(parsed[i], item.path, out);
        }
        for (auto& collection : out.collections) {
            std::erase_if(collection.files, [](const File& f) { return f.parsed == nullptr; });
        }
        work.clear();
        std::stable_sort(
            out.problems.begin(), out.problems.end(),
            [](const FileProblem& a, const FileProblem& b) { return a.path < b.path; });
    }

    static std::string tooLarge() {
        return AgendaLanguage::text("file troppo grande (oltre 20 MB)",
                                    "file too large (over 20 MB)");
    }

    static bool holdsItems(const std::vector<Entry>& entries) {
        return entries.empty() || std::any_of(entries.begin(), entries.end(), [](const Entry& e) {
                   return (e.file && endsWithIcs(e.name.c_str())) || e.name == "displayname";
               });
    }

    int openDirectory(const std::string& path, Scan& out, bool reportMissing) {
        const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) {
            if (errno == ENOENT || errno == ENOTDIR) {
                if (reportMissing) {
                    out.missing.push_back(path);
                }
            } else {
                out.problems.push_back({path, errnoText(errno)});
                out.unreadable.push_back(path);
            }
        }
        return fd;
    }

    // Opens and lists a folder; one that cannot be listed is recorded as a problem. Returns the
    // open descriptor, or -1 when the folder cannot be used.
    int openListed(const std::string& path, bool reportMissing, Scan& out,
                   std::vector<Entry>& entries) {
        const int fd = openDirectory(path, out, reportMissing);
        if (fd < 0) {
            return -1;
        }
        if (!list(fd, entries)) {
            out.problems.push_back({path, errnoText(errno)});
            out.unreadable.push_back(path);
            close(fd);
            return -1;
        }
        return fd;
    }

    // A vdir root: collections directly inside, or one level down under an account folder.
    void scanRoot(const std::string& root, bool isDefault, Scan& out,
                  std::unordered_map<std::string, Cached>& seen) {
        std::vector<Entry> entries;
        const int rootFd = openListed(root, isDefault, out, entries);
        if (rootFd < 0) {
            return;
        }
        out.existing.push_back(root);
        out.watchPaths.insert(root);
        if (!isDefault && std::any_of(entries.begin(), entries.end(), [](const Entry& e) {
                return e.file && endsWithIcs(e.name.c_str());
            })) {
            // The user added a collection itself.
            addCollection(rootFd, root, displayPath(parentPath(root)), entries, out, seen);
            close(rootFd);
            return;
        }
        for (const Entry& entry : entries) {
            if (!entry.directory) {
                continue;
            }
            const std::string path = joinPath(root, entry.name);
            std::vector<Entry> inner;
            const int fd = openListed(path, false, out, inner);
            if (fd < 0) {
                continue;
            }
            if (holdsItems(inner)) {
                addCollection(fd, path, displayPath(root), inner, out, seen);
            } else {
                // An account folder (vdirsyncer's layout): its folders are the collections.
                out.watchPaths.insert(path);
                for (const Entry& child : inner) {
                    if (!child.directory) {
                        continue;
                    }
                    const std::string childPath = joinPath(path, child.name);
                    std::vector<Entry> items;
                    const int childFd = openListed(childPath, false, out, items);
                    if (childFd < 0) {
                        continue;
                    }
                    addCollection(childFd, childPath, entry.name, items, out, seen);
                    close(childFd);
                }
            }
            close(fd);
        }
        close(rootFd);
    }

    void scanSingleFile(const std::string& path, bool isEvolution, Scan& out,
                        std::unordered_map<std::string, Cached>& seen) {
        const std::string directory = parentPath(path);
        const int dirFd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        struct stat st {};
        if (dirFd < 0 || fstatat(dirFd, baseName(path).c_str(), &st, 0) != 0) {
            const int error = errno;
            if (dirFd >= 0) {
                close(dirFd);
            }
            if (error == ENOENT || error == ENOTDIR) {
                if (isEvolution) {
                    out.missing.push_back(path);
                } else {
                    out.problems.push_back({path, errnoText(error)});
                }
            } else {
                out.problems.push_back({path, errnoText(error)});
                out.unreadable.push_back(path);
            }
            return;
        }
        out.existing.push_back(path);
        out.watchPaths.insert(directory); // editors and Evolution replace the file by renaming
        auto parsed = load(dirFd, baseName(path).c_str(), path, out, seen);
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

    static std::string calendarIDFor(const std::string& path) {
        return QUuid::createUuidV5(calendarNamespace, QString::fromStdString(path))
            .toString(QUuid::WithoutBraces)
            .toUpper()
            .toStdString();
    }

    // The current scan: reused while the watcher has seen no change since it was made and
    // every path it depends on is watched; otherwise the folders are listed again and every
    // file is checked against the cache by size, modification time and inode.
    const Scan& current(std::unique_lock<std::mutex>&, bool force = false) {
        const std::uint64_t at = generation.load();
        if (!force && scan && cleanAt == at && !missingPlaceAppeared()) {
            return *scan;
        }
        Scan next;
        std::unordered_map<std::string, Cached> seen;
        std::set<std::string> done;
        for (const auto& root : options.vdirRoots) {
            const std::string path = normalisedPath(root);
            if (done.insert(path).second) {
                scanRoot(path, true, next, seen);
            }
        }
        for (const auto& file : options.evolution) {
            const std::string path = normalisedPath(file);
            if (done.insert(path).second) {
                scanSingleFile(path, true, next, seen);
            }
        }
        for (const auto& source : config.sources) {
            if (!done.insert(source).second) {
                continue;
            }
            struct stat st {};
            if (stat(source.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
                scanRoot(source, false, next, seen);
            } else {
                scanSingleFile(source, false, next, seen);
            }
        }
        parseDeferred(next, seen);
        cache = std::move(seen);
        const bool covered =
            !watchFailed && std::includes(watched.begin(), watched.end(), next.watchPaths.begin(),
                                          next.watchPaths.end());
        cleanAt = covered ? at : 0;
        watchesStale = watched != next.watchPaths;
        scan = std::move(next);
        return *scan;
    }

    // A default place that did not exist (no folder to watch) may have been created since.
    bool missingPlaceAppeared() const {
        return std::any_of(scan->missing.begin(), scan->missing.end(), [](const std::string& p) {
            struct stat st {};
            return stat(p.c_str(), &st) == 0;
        });
    }

    std::optional<std::string> problemFor(bool consent) const {
        if (!consent) {
            return std::nullopt;
        }
        // Sources that exist but cannot be read: the last scan's, and the places themselves.
        std::vector<std::string> unreadable = scan ? scan->unreadable : std::vector<std::string>{};
        std::vector<std::string> places = options.vdirRoots;
        places.insert(places.end(), options.evolution.begin(), options.evolution.end());
        places.insert(places.end(), config.sources.begin(), config.sources.end());
        for (const auto& place : places) {
            const std::string path = normalisedPath(place);
            struct stat st {};
            if (stat(path.c_str(), &st) != 0) {
                if (errno == EACCES) {
                    unreadable.push_back(path);
                }
                continue;
            }
            if (access(path.c_str(), S_ISDIR(st.st_mode) ? R_OK | X_OK : R_OK) != 0) {
                unreadable.push_back(path);
            }
        }
        if (unreadable.empty()) {
            return std::nullopt;
        }
        std::sort(unreadable.begin(), unreadable.end());
        unreadable.erase(std::unique(unreadable.begin(), unreadable.end()), unreadable.end());
        std::string names;
        for (const auto& path : unreadable) {
            names += (names.empty() ? "" : ", ") + displayPath(path);
        }
        return AgendaLanguage::text("Pellora non può leggere " + names + ". Controlla i permessi.",
                                    "Pellora cannot read " + names + ". Check its permissions.");
    }
};

ICalendarStore::Options ICalendarStore::Options::defaults(const std::string& dataDirectory) {
    const std::string home = homeDirectory();
    const std::string data = envOr("XDG_DATA_HOME", joinPath(home, ".local/share"));
    Options options;
    options.configFile = joinPath(dataDirectory, "calendar-sources.json");
    options.vdirRoots = {joinPath(data, "calendars"), joinPath(home, ".calendars")};
    options.evolution = {joinPath(data, "evolution/calendar/system/calendar.ics"),
                         joinPath(data, "evolution/tasks/system/tasks.ics")};
    return options;
}

ICalendarStore::ICalendarStore(Options options, QObject* parent)
    : CalendarStore(parent), shared_(std::make_shared<Shared>()),
      watcher_(new DirectoryWatcher(this)), debounce_(new QTimer(this)) {
    shared_->options = std::move(options);
    shared_->loadConfig();
    pool_.setMaxThreadCount(1);
    debounce_->setSingleShot(true);
    debounce_->setInterval(shared_->options.debounce);
    connect(debounce_, &QTimer::timeout, this, &CalendarStore::changed);
    connect(watcher_, &DirectoryWatcher::changed, this, &ICalendarStore::onWatcherEvent);
}

ICalendarStore::~ICalendarStore() {
    {
        std::lock_guard lock(shared_->mutex);
        for (auto& [token, cancelled] : shared_->fetches) {
            cancelled->store(true);
        }
    }
    pool_.waitForDone();
}

void ICalendarStore::onWatcherEvent() {
    {
        // A deleted or moved folder has left the watcher; the next scan finds what exists now.
        std::lock_guard lock(shared_->mutex);
        shared_->watched = watcher_->directories();
        shared_->watchesStale = true;
    }
    shared_->generation.fetch_add(1);
    debounce_->start();
}

// Brings the watcher in line with the folders the last scan depends on. Main thread only.
void ICalendarStore::syncWatches() {
    std::set<std::string> wanted;
    {
        std::lock_guard lock(shared_->mutex);
        if (!shared_->watchesStale || !shared_->scan) {
            return;
        }
        wanted = shared_->scan->watchPaths;
        shared_->watchesStale = false;
    }
    const bool complete = watcher_->setDirectories(wanted);
    std::lock_guard lock(shared_->mutex);
    shared_->watched = watcher_->directories();
    // Without a watch on every folder, every read checks the files again.
    shared_->watchFailed = !complete;
}

AuthorizationStatus ICalendarStore::authorizationStatus(CalendarEntity entity) const {
    std::lock_guard lock(shared_->mutex);
    const bool consent =
        entity == CalendarEntity::event ? shared_->config.events : shared_->config.reminders;
    if (!consent) {
        return AuthorizationStatus::notDetermined;
    }
    return shared_->problemFor(true) ? AuthorizationStatus::denied
                                     : AuthorizationStatus::fullAccess;
}

std::optional<std::string> ICalendarStore::accessProblem(CalendarEntity entity) const {
    std::lock_guard lock(shared_->mutex);
    const bool consent =
        entity == CalendarEntity::event ? shared_->config.events : shared_->config.reminders;
    return shared_->problemFor(consent);
}

QCoro::Task<AccessAnswer> ICalendarStore::requestFullAccess(CalendarEntity entity) {
    std::optional<std::string> problem;
    {
        std::lock_guard lock(shared_->mutex);
        Shared::Config next = shared_->config;
        (entity == CalendarEntity::event ? next.events : next.reminders) = true;
        if (auto error = shared_->saveConfig(next)) {
            co_return AccessAnswer{
                false, AgendaLanguage::text("Impossibile salvare il consenso: " + *error,
                                            "Could not save the consent: " + *error)};
        }
        shared_->config = std::move(next);
        shared_->configProblem.reset();
        problem = shared_->problemFor(true);
    }
    shared_->generation.fetch_add(1);
    if (problem) {
        co_return AccessAnswer{false, problem};
    }
    co_return AccessAnswer{true, std::nullopt};
}

std::vector<StoreCalendar> ICalendarStore::calendars(CalendarEntity entity) {
    std::vector<StoreCalendar> result;
    {
        std::unique_lock lock(shared_->mutex);
        const auto& scan = shared_->current(lock);
        for (const auto& collection : scan.collections) {
            if (entity == CalendarEntity::event ? collection.hasEvents() : collection.hasTasks()) {
                result.push_back(collection.calendar);
            }
        }
    }
    syncWatches();
    return result;
}

std::vector<StoreEvent> ICalendarStore::events(Date start, Date end,
                                               const std::vector<std::string>& calendarIDs) {
    std::vector<StoreEvent> result;
    const ical::LocalZone local(currentTimeZoneId());
    const std::set<std::string> wanted(calendarIDs.begin(), calendarIDs.end());
    {
        std::unique_lock lock(shared_->mutex);
        const auto& scan = shared_->current(lock);
        std::vector<ical::EventOccurrence> occurrences;
        for (const auto& collection : scan.collections) {
            if (wanted.count(collection.calendar.id) == 0) {
                continue;
            }
            for (const auto& file : collection.files) {
                occurrences.clear();
                file.parsed->events(start, end, local, occurrences);
                for (auto& o : occurrences) {
                    result.push_back(StoreEvent{collection.calendar.id,
                                                std::move(o.eventIdentifier),
                                                std::move(o.itemIdentifier), std::move(o.title),
                                                o.start, o.end, o.allDay, o.cancelled});
                }
            }
        }
    }
    syncWatches();
    return result;
}

CalendarStore::FetchToken ICalendarStore::fetchIncompleteReminders(ReminderCompletion completion) {
    const FetchToken token = shared_->nextToken.fetch_add(1);
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    {
        std::lock_guard lock(shared_->mutex);
        shared_->fetches.emplace(token, cancelled);
    }
    std::shared_ptr<Shared> shared = shared_;
    ICalendarStore* self = this; // the store waits for this task before it goes away
    pool_.start([shared, self, token, cancelled, completion = std::move(completion)] {
        std::optional<std::vector<ReminderItem>> items;
        {
            std::unique_lock lock(shared->mutex);
            if (!cancelled->load()) {
                const ical::LocalZone local(currentTimeZoneId());
                const auto& scan = shared->current(lock);
                items.emplace();
                std::vector<ical::TaskRecord> records;
                for (const auto& collection : scan.collections) {
                    if (cancelled->load()) {
                        break;
                    }
                    const auto& list = collection.calendar;
                    for (const auto& file : collection.files) {
                        records.clear();
                        file.parsed->incompleteTasks(local, records);
                        for (auto& r : records) {
                            items->emplace_back(list.id + "/" + r.identifier, std::move(r.title),
                                                list.title, r.due, r.hasTime, r.priority, list.id);
                        }
                    }
                }
            }
            shared->fetches.erase(token);
        }
        QMetaObject::invokeMethod(self, &ICalendarStore::syncWatches, Qt::QueuedConnection);
        if (!cancelled->load()) {
            completion(std::move(items));
        }
    });
    return token;
}

void ICalendarStore::cancelFetch(FetchToken token) {
    std::lock_guard lock(shared_->mutex);
    if (auto found = shared_->fetches.find(token); found != shared_->fetches.end()) {
        found->second->store(true);
    }
}

void ICalendarStore::reset() {
    {
        std::lock_guard lock(shared_->mutex);
        shared_->loadConfig();
    }
    shared_->generation.fetch_add(1);
}

std::vector<std::string> ICalendarStore::addedSources() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->config.sources;
}

std::optional<std::string> ICalendarStore::addSource(const std::string& path) {
    const std::string normalised = normalisedPath(path);
    {
        std::lock_guard lock(shared_->mutex);
        Shared::Config next = shared_->config;
        if (std::find(next.sources.begin(), next.sources.end(), normalised) != next.sources.end()) {
            return std::nullopt;
        }
        next.sources.push_back(normalised);
        if (auto error = shared_->saveConfig(next)) {
            return error;
        }
        shared_->config = std::move(next);
    }
    shared_->generation.fetch_add(1);
    debounce_->start();
    return std::nullopt;
}

std::optional<std::string> ICalendarStore::removeSource(const std::string& path) {
    const std::string normalised = normalisedPath(path);
    {
        std::lock_guard lock(shared_->mutex);
        Shared::Config next = shared_->config;
        std::erase(next.sources, normalised);
        if (next.sources.size() == shared_->config.sources.size()) {
            return std::nullopt;
        }
        if (auto error = shared_->saveConfig(next)) {
            return error;
        }
        shared_->config = std::move(next);
    }
    shared_->generation.fetch_add(1);
    debounce_->start();
    return std::nullopt;
}

ICalendarStore::Report ICalendarStore::report() {
    Report result;
    const ical::LocalZone local(currentTimeZoneId());
    std::unique_lock lock(shared_->mutex);
    const auto& scan = shared_->current(lock, true);
    result.sources = scan.existing;
    result.missing = scan.missing;
    result.problems = scan.problems;
    std::vector<ical::TaskRecord> tasks;
    for (const auto& collection : scan.collections) {
        CollectionReport entry{collection.calendar, collection.path, collection.hasEvents(),
                               collection.hasTasks()};
        for (const auto& file : collection.files) {
            entry.events += file.parsed->eventCount();
            tasks.clear();
            file.parsed->incompleteTasks(local, tasks);
            entry.openTasks += tasks.size();
        }
        result.collections.push_back(std::move(entry));
    }
    return result;
}

std::string ICalendarStore::calendarID(const std::string& path) {
    return Shared::calendarIDFor(normalisedPath(path));
}

namespace {

// Launches the default application for the first MIME type that has one.
bool launchDefaultFor(std::initializer_list<const char*> types) {
    for (const char* type : types) {
        GAppInfo* app = g_app_info_get_default_for_type(type, FALSE);
        if (app == nullptr) {
            continue;
        }
        GError* error = nullptr;
        const bool launched = g_app_info_launch(app, nullptr, nullptr, &error) != FALSE;
        if (error != nullptr) {
            g_error_free(error);
        }
        g_object_unref(app);
        if (launched) {
            return true;
        }
    }
    return false;
}

} // namespace

bool ICalendarStore::openApp() {
    return launchDefaultFor({"text/x-vtodo", "text/calendar"});
}

bool ICalendarStore::openCalendar() {
    return launchDefaultFor({"text/calendar"});
}

bool ICalendarStore::openPrivacy() {
    std::string target;
    {
        std::lock_guard lock(shared_->mutex);
        std::vector<std::string> places = shared_->options.vdirRoots;
        places.insert(places.end(), shared_->config.sources.begin(), shared_->config.sources.end());
        for (const auto& place : places) {
            struct stat st {};
            const std::string path = normalisedPath(place);
            if (stat(path.c_str(), &st) == 0) {
                target = S_ISDIR(st.st_mode) ? path : parentPath(path);
                break;
            }
        }
        if (target.empty()) {
            target = parentPath(shared_->options.configFile);
        }
    }
    return QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(target)));
}

} // namespace brivane

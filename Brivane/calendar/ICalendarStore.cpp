#include "Brivane/calendar/ICalendarStore.h"

#include "Brivane/AtomicWrite.h"
#include "Brivane/Logging.h"
#include "Brivane/calendar/DirectoryWatcher.h"
#include "Brivane/calendar/ICalendarReader.h"
#include "BrivaneCore/AgendaLanguage.h"

#include <QDesktopServices>
#include <QPromise>
#include <QSocketNotifier>
#include <QThreadPool>
#include <QTimer>
#include <QUrl>
#include <QUuid>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <gio/gio.h>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <qcoro/qcorofuture.h>
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

// State shared with the worker thread. Fields under "guarded" are read and written under
// `mutex`, which is never held across file access, so the main thread never waits on a scan;
// fields under "worker" are touched only by the worker thread.
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
    struct Cached {
        Stamp stamp;
        std::shared_ptr<ical::CalendarFile> parsed;
    };
    // A file left out for the memory budget, as it was then.
    struct Refused {
        Stamp stamp;
        std::size_t bytes = 0;
    };

    Options options; // set before the worker starts, then read only
    DirectoryWatcher watcher;
    std::atomic<std::uint64_t> generation{1};
    std::atomic<FetchToken> nextToken{1};
    // Off while Evolution Data Server serves Evolution's files itself.
    std::atomic<bool> evolutionFiles{true};
    std::atomic<bool> scanned{false};

    // guarded
    mutable std::mutex mutex;
    ICalendarStore* owner = nullptr; // cleared when the store goes away
    Config config;
    std::optional<std::string> configProblem;
    std::vector<std::string> unreadable; // as of the worker's last look
    std::vector<std::string> existing;   // as of the worker's last look
    std::map<FetchToken, std::shared_ptr<std::atomic<bool>>> fetches;

    // worker
    std::unordered_map<std::string, Cached> cache;
    std::optional<Scan> scan;
    std::uint64_t cleanAt = 0; // the generation the last scan is known valid for
    std::unordered_map<std::string, Refused> refused;

    // Reads the consent file. It is the store's own small file in the data directory, read
    // without blocking (a FIFO or device in its place is refused, never waited on).
    void loadConfig() {
        Config next;
        std::optional<std::string> problem;
        const auto invalid = [&] {
            problem =
                options.configFile + ": " + AgendaLanguage::text("file non valido", "invalid file");
        };
        const int fd = open(options.configFile.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) {
            if (errno != ENOENT) {
                problem = options.configFile + ": " + errnoText(errno);
            }
        } else {
            struct stat st {};
            std::string text;
            if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > 1024 * 1024) {
                close(fd);
                invalid();
            } else if (!readAndClose(fd, static_cast<std::size_t>(st.st_size), text)) {
                problem = options.configFile + ": " + errnoText(errno);
            } else {
                try {
                    const auto json = nlohmann::json::parse(text);
                    next.events = json.value("eventsAccess", false);
                    next.reminders = json.value("remindersAccess", false);
                    if (json.contains("sources") && json["sources"].is_array()) {
                        for (const auto& source : json["sources"]) {
                            if (source.is_string()) {
                                next.sources.push_back(normalisedPath(source.get<std::string>()));
                            }
                        }
                    }
                } catch (const nlohmann::json::exception& failure) {
                    // A damaged file counts as no consent; it is rewritten on the next grant.
                    warnOnce(lcCalendar(), QStringLiteral("Unreadable %1, read as no access: %2")
                                               .arg(QString::fromStdString(options.configFile),
                                                    QString::fromUtf8(failure.what())));
                    next = Config{};
                    invalid();
                }
            }
        }
        std::lock_guard lock(mutex);
        config = std::move(next);
        configProblem = std::move(problem);
    }

    // Writes the whole document atomically, private to the user, creating the data folder and
    // its parents (a fresh account has no ~/.local/share); on failure the in-memory state
    // stays as it was. Worker only, so that writes never interleave.
    std::optional<std::string> saveConfig(const Config& next) const {
        nlohmann::json json{{"eventsAccess", next.events},
                            {"remindersAccess", next.reminders},
                            {"sources", next.sources}};
        const std::string text = json.dump(2) + "\n";
        const std::string directory = parentPath(options.configFile);
        std::error_code error;
        std::filesystem::create_directories(directory, error);
        if (error) {
            return directory + ": " + errnoText(error.value());
        }
        try {
            writeFileAtomically(QString::fromStdString(options.configFile),
                                QByteArray(text.data(), static_cast<qsizetype>(text.size())),
                                QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        } catch (const FileWriteError& failure) {
            return options.configFile + ": " + failure.what();
        }
        return std::nullopt;
    }

    // Saves a changed consent or list of sources and makes it current. Worker only.
    template <typename Change>
    std::optional<std::string> changeConfig(Change change) {
        Config next;
        {
            std::lock_guard lock(mutex);
            next = config;
        }
        if (!change(next)) {
            return std::nullopt; // nothing to change
        }
        if (auto error = saveConfig(next)) {
            return error;
        }
        {
            std::lock_guard lock(mutex);
            config = std::move(next);
            configProblem.reset();
        }
        generation.fetch_add(1);
        return std::nullopt;
    }

    // Asks the store on the main thread to announce a change, after its debounce.
    void announceChange() {
        std::lock_guard lock(mutex);
        if (owner != nullptr) {
            ICalendarStore* store = owner;
            QMetaObject::invokeMethod(
                store, [store] { store->debounce_->start(); }, Qt::QueuedConnection);
        }
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
            // A pipe or device in a source's place is never opened: reading it could wait forever.
            out.problems.push_back(
                {path, AgendaLanguage::text("non è un file normale", "not a regular file")});
            return nullptr;
        }
        const Stamp stamp = stampOf(st);
        if (auto found = cache.find(path); found != cache.end() && found->second.stamp == stamp) {
            seen.emplace(path, found->second);
            return checked(found->second.parsed, path, out);
        }
        if (refusedAgain(path, stamp, out)) {
            return nullptr;
        }
        if (static_cast<std::size_t>(st.st_size) > ical::maxFileBytes) {
            out.problems.push_back({path, tooLarge()});
            return nullptr;
        }
        std::string bytes;
        if (!readWhole(dirFd, name, static_cast<std::size_t>(st.st_size), bytes)) {
            out.problems.push_back({path, errnoText(errno)});
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
            out.problems.push_back(
                {path, AgendaLanguage::text("testo dopo END:VCALENDAR ignorato",
                                            "text after END:VCALENDAR ignored")});
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
            } else if (refusedAgain(filePath, stamp, out)) {
                continue;
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
                // One unreadable item (say a root-owned 0600 file) is skipped and named; it
                // does not take the rest of the store with it.
                out.problems.push_back({item.path, errnoText(errors[i])});
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
    }

    std::string overBudget() const {
        const std::size_t budget = options.memoryBudget;
        const std::string size = budget >= 1024 * 1024
                                     ? std::to_string(budget / (1024 * 1024)) + " MB"
                                     : std::to_string(budget / 1024) + " KB";
        return AgendaLanguage::text(
            "non letto: i calendari insieme occupano più di " + size + " di memoria",
            "not read: the calendars together take more than " + size + " of memory");
    }

    // A file left out for the memory budget and unchanged since is not read again.
    bool refusedAgain(const std::string& path, const Stamp& stamp, Scan& out) {
        const auto found = refused.find(path);
        if (found == refused.end() || !(found->second.stamp == stamp)) {
            return false;
        }
        out.problems.push_back({path, overBudget()});
        out.refusedAgain.emplace_back(path, found->second.bytes);
        return true;
    }

    // Keeps the parsed files within the memory budget, in the order the sources are read. Returns
    // false when a file left out earlier would fit now, so that the next scan reads it.
    bool keepWithinBudget(Scan& out, std::unordered_map<std::string, Cached>& seen) {
        std::unordered_map<std::string, Refused> next;
        std::size_t total = 0;
        for (auto& collection : out.collections) {
            std::erase_if(collection.files, [&](const File& file) {
                const std::size_t bytes = file.parsed->keptBytes();
                if (total + bytes <= options.memoryBudget) {
                    total += bytes;
                    return false;
                }
                out.problems.push_back({file.path, overBudget()});
                if (const auto found = seen.find(file.path); found != seen.end()) {
                    next[file.path] = Refused{found->second.stamp, bytes};
                    seen.erase(found);
                }
                return true;
            });
        }
        std::erase_if(out.collections,
                      [](const Collection& c) { return c.single && c.files.empty(); });
        bool settled = true;
        for (const auto& [path, bytes] : out.refusedAgain) {
            if (total + bytes <= options.memoryBudget) {
                settled = false; // room again: read it at the next look
            } else if (const auto found = refused.find(path); found != refused.end()) {
                next.insert(*found);
            }
        }
        refused = std::move(next);
        return settled;
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

    // Opens and lists a folder; one that cannot be listed is recorded as a problem, and a
    // source folder that cannot be read (a place itself, not a calendar inside it) as no access.
    // Returns the open descriptor, or -1 when the folder cannot be used.
    int openListed(const std::string& path, bool source, bool reportMissing, Scan& out,
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

    // A vdir root: collections directly inside, or one level down under an account folder.
    void scanRoot(const std::string& root, bool isDefault, Scan& out,
                  std::unordered_map<std::string, Cached>& seen) {
        std::vector<Entry> entries;
        const int rootFd = openListed(root, true, isDefault, out, entries);
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
            const int fd = openListed(path, false, false, out, inner);
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
                    const int childFd = openListed(childPath, false, false, out, items);
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
            if ((error == ENOENT || error == ENOTDIR) && isEvolution) {
                out.missing.push_back(path);
            } else {
                out.problems.push_back({path, errnoText(error)});
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
    // file is checked against the cache by size, modification time and inode. Also looks at
    // whether the places can be read, and announces a change of access. Worker only.
    const Scan& current(bool force = false) {
        const std::uint64_t at = generation.load();
        Config now;
        {
            std::lock_guard lock(mutex);
            now = config;
        }
        if (force || !scan || cleanAt != at || missingPlaceAppeared()) {
            rescan(now, at);
        }
        refreshAccess(now);
        return *scan;
    }

    void rescan(const Config& now, std::uint64_t at) {
        Scan next;
        std::unordered_map<std::string, Cached> seen;
        std::set<std::string> done;
        for (const auto& root : options.vdirRoots) {
            const std::string path = normalisedPath(root);
            if (done.insert(path).second) {
                scanRoot(path, true, next, seen);
            }
        }
        for (const auto& file :
             evolutionFiles.load() ? options.evolution : std::vector<std::string>{}) {
            const std::string path = normalisedPath(file);
            if (done.insert(path).second) {
                scanSingleFile(path, true, next, seen);
            }
        }
        for (const auto& source : now.sources) {
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
        const bool settled = keepWithinBudget(next, seen);
        cache = std::move(seen);
        std::stable_sort(
            next.problems.begin(), next.problems.end(),
            [](const FileProblem& a, const FileProblem& b) { return a.path < b.path; });

        // Watch what this scan depends on. A folder watched only now may have changed between
        // its listing and its watch, so the next read lists again once; without a watch on
        // every folder (say inotify's limits were reached) every read checks the files again.
        const std::set<std::string> before = watcher.directories();
        bool complete = true;
        if (before != next.watchPaths) {
            complete = watcher.setDirectories(next.watchPaths);
        }
        const bool fresh = !std::includes(before.begin(), before.end(), next.watchPaths.begin(),
                                          next.watchPaths.end());
        cleanAt = complete && !fresh && settled && watcher.descriptor() >= 0 ? at : 0;
        scan = std::move(next);
        scanned.store(true);
    }

    // A default place that did not exist (no folder to watch) may have been created since.
    bool missingPlaceAppeared() const {
        return std::any_of(scan->missing.begin(), scan->missing.end(), [](const std::string& p) {
            struct stat st {};
            return stat(p.c_str(), &st) == 0;
        });
    }

    // Source folders that exist but cannot be read: the scan's, and the places themselves.
    // Only folders count: an unreadable file is one skipped item, named in the report.
    void refreshAccess(const Config& now) {
        std::vector<std::string> found = scan->unreadable;
        std::vector<std::string> folders = options.vdirRoots;
        for (const auto& source : now.sources) {
            if (!endsWithIcs(source.c_str())) {
                folders.push_back(source);
            }
        }
        for (const auto& folder : folders) {
            const std::string path = normalisedPath(folder);
            struct stat st {};
            if (stat(path.c_str(), &st) != 0) {
                if (errno == EACCES) {
                    found.push_back(path);
                }
                continue;
            }
            if (S_ISDIR(st.st_mode) && access(path.c_str(), R_OK | X_OK) != 0) {
                found.push_back(path);
            }
        }
        std::sort(found.begin(), found.end());
        found.erase(std::unique(found.begin(), found.end()), found.end());
        bool changed = false;
        {
            std::lock_guard lock(mutex);
            existing = scan->existing;
            changed = found != unreadable;
            unreadable = std::move(found);
        }
        if (changed) {
            announceChange();
        }
    }

    // Why access is denied, from the last look; caller holds `mutex`.
    std::optional<std::string> problemFor(bool consent) const {
        if (!consent || unreadable.empty()) {
            return std::nullopt;
        }
        std::string names;
        for (const auto& path : unreadable) {
            names += (names.empty() ? "" : ", ") + displayPath(path);
        }
        return AgendaLanguage::text("Pellora non può leggere " + names + ". Controlla i permessi.",
                                    "Pellora cannot read " + names + ". Check its permissions.");
    }

    bool consentFor(CalendarEntity entity) const {
        return entity == CalendarEntity::event ? config.events : config.reminders;
    }

    std::vector<StoreCalendar> calendars(CalendarEntity entity) {
        std::vector<StoreCalendar> result;
        for (const auto& collection : current().collections) {
            if (entity == CalendarEntity::event ? collection.hasEvents() : collection.hasTasks()) {
                result.push_back(collection.calendar);
            }
        }
        return result;
    }

    std::vector<StoreEvent> events(Date start, Date end, const std::set<std::string>& wanted) {
        std::vector<StoreEvent> result;
        const ical::LocalZone local(currentTimeZoneId());
        std::vector<ical::EventOccurrence> occurrences;
        for (const auto& collection : current().collections) {
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
        return result;
    }

    // Incomplete tasks of every list; absent when the fetch was cancelled.
    std::optional<std::vector<ReminderItem>> tasks(const std::atomic<bool>& cancelled) {
        if (cancelled.load()) {
            return std::nullopt;
        }
        const ical::LocalZone local(currentTimeZoneId());
        std::vector<ReminderItem> items;
        std::vector<ical::TaskRecord> records;
        for (const auto& collection : current().collections) {
            if (cancelled.load()) {
                return std::nullopt;
            }
            const auto& list = collection.calendar;
            for (const auto& file : collection.files) {
                records.clear();
                file.parsed->incompleteTasks(local, records);
                for (auto& r : records) {
                    items.emplace_back(list.id + "/" + r.identifier, std::move(r.title), list.title,
                                       r.due, r.hasTime, r.priority, list.id);
                }
            }
        }
        return items;
    }

    Report report() {
        Report result;
        const ical::LocalZone local(currentTimeZoneId());
        const auto& now = current(true);
        result.sources = now.existing;
        result.missing = now.missing;
        result.problems = now.problems;
        if (const int limit = watcher.exhaustion()) {
            const std::string setting = DirectoryWatcher::limitSetting(limit);
            result.watchProblem = AgendaLanguage::text(
                "Le modifiche non vengono notate subito: raggiunto il limite di inotify (" +
                    setting + "). I file vengono ricontrollati a ogni aggiornamento.",
                "Changes are not noticed as they happen: the inotify limit was reached (" +
                    setting + "). Files are checked again at every refresh.");
        }
        // The agenda's window: events whose repetitions took too long to work out in it.
        const Calendar calendar = AgendaDates::calendar();
        const Date today =
            std::chrono::floor<std::chrono::milliseconds>(std::chrono::system_clock::now());
        const Date from = calendar.startOfDay(today);
        const Date to = AgendaDates::endOfWeek(today, calendar);
        std::vector<ical::EventOccurrence> occurrences;
        std::vector<ical::TaskRecord> records;
        for (const auto& collection : now.collections) {
            CollectionReport entry{collection.calendar, collection.path, collection.hasEvents(),
                                   collection.hasTasks()};
            for (const auto& file : collection.files) {
                entry.events += file.parsed->eventCount();
                occurrences.clear();
                file.parsed->events(from, to, local, occurrences);
                for (const std::string& name : file.parsed->cutShortEvents()) {
                    result.problems.push_back(
                        {file.path,
                         AgendaLanguage::text("«" + name +
                                                  "»: ripetizioni saltate, la regola richiede "
                                                  "troppo lavoro",
                                              "\"" + name +
                                                  "\": repetitions skipped, the rule takes too "
                                                  "much work")});
                }
                records.clear();
                file.parsed->incompleteTasks(local, records);
                entry.openTasks += records.size();
            }
            result.collections.push_back(std::move(entry));
        }
        return result;
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
    : CalendarStore(parent), shared_(std::make_shared<Shared>()), debounce_(new QTimer(this)),
      pool_(new QThreadPool) {
    shared_->options = std::move(options);
    shared_->owner = this;
    shared_->loadConfig();
    pool_->setMaxThreadCount(1);
    debounce_->setSingleShot(true);
    debounce_->setInterval(shared_->options.debounce);
    connect(debounce_, &QTimer::timeout, this, &CalendarStore::changed);
    if (shared_->watcher.descriptor() >= 0) {
        notifier_ = new QSocketNotifier(shared_->watcher.descriptor(), QSocketNotifier::Read, this);
        connect(notifier_, &QSocketNotifier::activated, this, &ICalendarStore::onWatcherEvent);
    }
    bool consent = false;
    {
        std::lock_guard lock(shared_->mutex);
        consent = shared_->config.events || shared_->config.reminders;
    }
    if (consent) {
        // Look at the sources now, so that the first read finds them parsed.
        pool_->start([shared = shared_] { shared->current(); });
    }
}

ICalendarStore::~ICalendarStore() {
    {
        std::lock_guard lock(shared_->mutex);
        shared_->owner = nullptr;
        for (auto& [token, cancelled] : shared_->fetches) {
            cancelled->store(true);
        }
    }
    // A worker stuck on a dead mount must not hold up quitting: it is left to finish on its
    // own, holding only the shared state.
    if (pool_->waitForDone(2000)) {
        delete pool_;
    }
}

template <typename T, typename Job>
QFuture<T> ICalendarStore::onWorker(Job job) {
    auto promise = std::make_shared<QPromise<T>>();
    QFuture<T> future = promise->future();
    promise->start();
    pool_->start([shared = shared_, promise, job = std::move(job)]() mutable {
        promise->addResult(job(*shared));
        promise->finish();
    });
    return future;
}

void ICalendarStore::onWatcherEvent() {
    if (!shared_->watcher.readChanges().empty()) {
        shared_->generation.fetch_add(1);
        debounce_->start();
    }
}

AuthorizationStatus ICalendarStore::authorizationStatus(CalendarEntity entity) const {
    std::lock_guard lock(shared_->mutex);
    if (!shared_->consentFor(entity)) {
        return AuthorizationStatus::notDetermined;
    }
    return shared_->problemFor(true) ? AuthorizationStatus::denied
                                     : AuthorizationStatus::fullAccess;
}

std::optional<std::string> ICalendarStore::accessProblem(CalendarEntity entity) const {
    std::lock_guard lock(shared_->mutex);
    return shared_->problemFor(shared_->consentFor(entity));
}

QCoro::Task<AccessAnswer> ICalendarStore::requestFullAccess(CalendarEntity entity) {
    return awaited(onWorker<AccessAnswer>([entity](Shared& shared) {
        auto error = shared.changeConfig([entity](Shared::Config& next) {
            bool& consent = entity == CalendarEntity::event ? next.events : next.reminders;
            consent = true;
            return true; // written even when unchanged: a damaged file is replaced
        });
        if (error) {
            return AccessAnswer{false,
                                AgendaLanguage::text("Impossibile salvare il consenso: " + *error,
                                                     "Could not save the consent: " + *error)};
        }
        shared.current(); // the sources as they are now, and whether they can be read
        std::lock_guard lock(shared.mutex);
        auto problem = shared.problemFor(true);
        return problem ? AccessAnswer{false, std::move(problem)} : AccessAnswer{true, std::nullopt};
    }));
}

QCoro::Task<std::vector<StoreCalendar>> ICalendarStore::calendars(CalendarEntity entity) {
    return awaited(onWorker<std::vector<StoreCalendar>>(
        [entity](Shared& shared) { return shared.calendars(entity); }));
}

QCoro::Task<std::vector<StoreEvent>> ICalendarStore::events(Date start, Date end,
                                                            std::vector<std::string> calendarIDs) {
    return awaited(onWorker<std::vector<StoreEvent>>(
        [start, end, wanted = std::set<std::string>(calendarIDs.begin(), calendarIDs.end())](
            Shared& shared) { return shared.events(start, end, wanted); }));
}

CalendarStore::FetchToken ICalendarStore::fetchIncompleteReminders(ReminderCompletion completion) {
    const FetchToken token = shared_->nextToken.fetch_add(1);
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    {
        std::lock_guard lock(shared_->mutex);
        shared_->fetches.emplace(token, cancelled);
    }
    pool_->start([shared = shared_, token, cancelled, completion = std::move(completion)] {
        auto items = shared->tasks(*cancelled);
        {
            std::lock_guard lock(shared->mutex);
            shared->fetches.erase(token);
        }
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
    shared_->loadConfig();
    shared_->generation.fetch_add(1);
}

void ICalendarStore::setEvolutionFilesRead(bool read) {
    if (shared_->evolutionFiles.exchange(read) == read) {
        return;
    }
    shared_->generation.fetch_add(1);
    if (shared_->scanned.load()) {
        debounce_->start(); // what was read has changed; before any read there is nothing to tell
    }
}

std::vector<std::string> ICalendarStore::addedSources() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->config.sources;
}

QCoro::Task<std::optional<std::string>> ICalendarStore::addSource(std::string path) {
    const std::string normalised = normalisedPath(path);
    return awaited(onWorker<std::optional<std::string>>([normalised](Shared& shared) {
        auto result = shared.changeConfig([&](Shared::Config& next) {
            if (std::find(next.sources.begin(), next.sources.end(), normalised) !=
                next.sources.end()) {
                return false;
            }
            next.sources.push_back(normalised);
            return true;
        });
        shared.announceChange();
        return result;
    }));
}

QCoro::Task<std::optional<std::string>> ICalendarStore::removeSource(std::string path) {
    const std::string normalised = normalisedPath(path);
    return awaited(onWorker<std::optional<std::string>>([normalised](Shared& shared) {
        auto result = shared.changeConfig(
            [&](Shared::Config& next) { return std::erase(next.sources, normalised) > 0; });
        shared.announceChange();
        return result;
    }));
}

ICalendarStore::Report ICalendarStore::report() {
    QFuture<Report> future = onWorker<Report>([](Shared& shared) { return shared.report(); });
    future.waitForFinished();
    return future.result();
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
    // The places as of the worker's last look: the main thread does not touch the sources.
    std::string target;
    {
        std::lock_guard lock(shared_->mutex);
        for (const auto& place : shared_->existing) {
            if (!endsWithIcs(place.c_str())) {
                target = place;
                break;
            }
        }
        if (target.empty() && !shared_->existing.empty()) {
            target = parentPath(shared_->existing.front());
        }
    }
    if (target.empty()) {
        target = parentPath(shared_->options.configFile);
    }
    return QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(target)));
}

} // namespace brivane

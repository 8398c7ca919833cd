#include "Brivane/calendar/ICalendarStore.h"

#include "Brivane/calendar/CollectionItems.h"
#include "Brivane/calendar/ConsentFile.h"
#include "Brivane/calendar/DirectoryWatcher.h"
#include "Brivane/calendar/FolderScan.h"
#include "Brivane/calendar/ParseCache.h"
#include "BrivaneCore/AgendaLanguage.h"

#include <QDesktopServices>
#include <QPromise>
#include <QSocketNotifier>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <atomic>
#include <gio/gio.h>
#include <map>
#include <mutex>
#include <qcoro/qcorofuture.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace brivane {

using namespace icsstore;

// State shared with the worker thread. Fields under "guarded" are read and written under
// `mutex`, which is never held across file access, so the main thread never waits on a scan;
// fields under "worker" are touched only by the worker thread.
struct ICalendarStore::Shared {
    using Config = Consent;

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
    ParseCache cache;
    std::optional<Scan> scan;
    std::uint64_t cleanAt = 0; // the generation the last scan is known valid for

    // Reads the consent file.
    void loadConfig() {
        ConsentRead read = readConsent(options.configFile);
        std::lock_guard lock(mutex);
        config = std::move(read.consent);
        configProblem = std::move(read.problem);
    }

    // Saves a changed consent or list of sources and makes it current; on failure the state in
    // memory stays as it was. Worker only, so that writes never interleave.
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
        if (auto error = writeConsent(options.configFile, next)) {
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

    void announceChange();
    const Scan& current(bool force = false);
    void rescan(const Config& now, std::uint64_t at);
    bool missingPlaceAppeared() const;
    void refreshAccess(const Config& now);
    std::optional<std::string> problemFor(bool consent) const;
    bool consentFor(CalendarEntity entity) const {
        return entity == CalendarEntity::event ? config.events : config.reminders;
    }
    Report report();
};

// Asks the store on the main thread to announce a change, after its debounce.
void ICalendarStore::Shared::announceChange() {
    std::lock_guard lock(mutex);
    if (owner != nullptr) {
        ICalendarStore* store = owner;
        QMetaObject::invokeMethod(
            store, [store] { store->debounce_->start(); }, Qt::QueuedConnection);
    }
}

// The current scan: reused while the watcher has seen no change since it was made and
// every path it depends on is watched; otherwise the folders are listed again and every
// file is checked against the cache by size, modification time and inode. Also looks at
// whether the places can be read, and announces a change of access. Worker only.
const Scan& ICalendarStore::Shared::current(bool force) {
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

void ICalendarStore::Shared::rescan(const Config& now, std::uint64_t at) {
    Scan next;
    FolderScan scanner(cache, next);
    std::set<std::string> done;
    for (const auto& root : options.vdirRoots) {
        const std::string path = normalisedPath(root);
        if (done.insert(path).second) {
            scanner.scanRoot(path, true);
        }
    }
    for (const auto& file :
         evolutionFiles.load() ? options.evolution : std::vector<std::string>{}) {
        const std::string path = normalisedPath(file);
        if (done.insert(path).second) {
            scanner.scanSingleFile(path, true);
        }
    }
    for (const auto& source : now.sources) {
        if (!done.insert(source).second) {
            continue;
        }
        struct stat st {};
        if (stat(source.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            scanner.scanRoot(source, false);
        } else {
            scanner.scanSingleFile(source, false);
        }
    }
    scanner.parseDeferred();
    const bool settled = cache.keepWithinBudget(next, std::move(scanner.seen));
    std::stable_sort(next.problems.begin(), next.problems.end(),
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
bool ICalendarStore::Shared::missingPlaceAppeared() const {
    return std::any_of(scan->missing.begin(), scan->missing.end(), [](const std::string& p) {
        struct stat st {};
        return stat(p.c_str(), &st) == 0;
    });
}

// Source folders that exist but cannot be read: the scan's, and the places themselves.
// Only folders count: an unreadable file is one skipped item, named in the report.
void ICalendarStore::Shared::refreshAccess(const Config& now) {
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
std::optional<std::string> ICalendarStore::Shared::problemFor(bool consent) const {
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

ICalendarStore::Report ICalendarStore::Shared::report() {
    Report result;
    const auto& now = current(true);
    result.sources = now.existing;
    result.missing = now.missing;
    result.problems = now.problems;
    if (const int limit = watcher.exhaustion()) {
        const std::string setting = DirectoryWatcher::limitSetting(limit);
        result.watchProblem = AgendaLanguage::text(
            "Le modifiche non vengono notate subito: raggiunto il limite di inotify (" + setting +
                "). I file vengono ricontrollati a ogni aggiornamento.",
            "Changes are not noticed as they happen: the inotify limit was reached (" + setting +
                "). Files are checked again at every refresh.");
    }
    result.collections = collectionsOf(now, result.problems);
    return result;
}

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
    : CalendarStore(parent), shared_(std::make_shared<Shared>()), debounce_(new QTimer(this)) {
    shared_->options = std::move(options);
    shared_->cache.budget = shared_->options.memoryBudget;
    shared_->owner = this;
    shared_->loadConfig();
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
        queue_.post([shared = shared_] { shared->current(); });
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
    // Nothing leads back to this store any more: a worker stuck on a dead mount is left to
    // finish on its own, holding only the shared state.
    queue_.stop();
}

template <typename T, typename Job>
QFuture<T> ICalendarStore::onWorker(Job job) {
    auto promise = std::make_shared<QPromise<T>>();
    QFuture<T> future = promise->future();
    promise->start();
    queue_.post([shared = shared_, promise, job = std::move(job)]() mutable {
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
        [entity](Shared& shared) { return calendarsOf(shared.current(), entity); }));
}

QCoro::Task<std::vector<StoreEvent>> ICalendarStore::events(Date start, Date end,
                                                            std::vector<std::string> calendarIDs) {
    return awaited(onWorker<std::vector<StoreEvent>>(
        [start, end, wanted = std::set<std::string>(calendarIDs.begin(), calendarIDs.end())](
            Shared& shared) { return eventsOf(shared.current(), start, end, wanted); }));
}

CalendarStore::FetchToken ICalendarStore::fetchIncompleteReminders(ReminderCompletion completion) {
    const FetchToken token = shared_->nextToken.fetch_add(1);
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    {
        std::lock_guard lock(shared_->mutex);
        shared_->fetches.emplace(token, cancelled);
    }
    queue_.post([shared = shared_, token, cancelled, completion = std::move(completion)] {
        auto items = cancelled->load() ? std::nullopt : tasksOf(shared->current(), *cancelled);
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
    return calendarIDFor(normalisedPath(path));
}

QCoro::Task<LaunchProblem> ICalendarStore::openApp() {
    // Task lists open in a task application, else in the calendar application that has them.
    return launchDefaultApplication(
        {{"text/x-vtodo", "text/calendar"},
         AgendaLanguage::text(
             "Nessuna applicazione per le attività o i calendari: installane una (per esempio "
             "Evolution) o scegli quella predefinita per i file di calendario (.ics).",
             "No application opens task lists or calendars: install one (such as Evolution) or "
             "choose the default application for calendar files (.ics).")});
}

QCoro::Task<LaunchProblem> ICalendarStore::openCalendar() {
    return launchDefaultApplication(
        {{"text/calendar"},
         AgendaLanguage::text(
             "Nessuna applicazione per i calendari: installane una (per esempio GNOME Calendar "
             "o Evolution) o scegli quella predefinita per i file di calendario (.ics).",
             "No application opens calendars: install one (such as GNOME Calendar or Evolution) "
             "or choose the default application for calendar files (.ics).")});
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

#include "Brivane/calendar/eds/EdsWorker.h"

#include "BrivaneCore/AgendaLanguage.h"

#include <algorithm>

namespace brivane::eds {

namespace {

std::string localSourceName() {
    return AgendaLanguage::text("Su questo computer", "On this computer");
}

} // namespace

Worker::Worker(const EdsOptions& options_, EdsNotify notify_)
    : options(options_), notify(std::move(notify_)) {
    allowed = options.readingAllowed;
}

Worker::~Worker() = default;

struct Worker::Request {
    Worker* worker;
    std::string uid;
    bool events;
};

void Worker::post(std::function<void(Worker&)> work) {
    loop.post([this, work = std::move(work)] { work(*this); });
}

void Worker::wait(Waiter waiter) {
    const std::uint64_t id = addWaiter(std::move(waiter));
    const std::chrono::milliseconds limit{std::max<std::int64_t>(1, options.answerLimit.count())};
    post([id, limit](Worker& w) {
        w.loop.after(limit, [&w, id] { w.serveWaiters(false, id); });
        w.scheduleLoad();
        w.serveWaiters(false);
    });
}

void Worker::notifyOwner(bool runningChanged, bool running) {
    std::lock_guard lock(notifyMutex);
    if (notify) {
        notify(runningChanged, running);
    }
}

void Worker::cutOwner() {
    std::lock_guard lock(notifyMutex);
    notify = nullptr;
}

// ---- start and stop

void Worker::run() {
    loop.run([this] { start(); }, [this] { teardown(); });
}

void Worker::start() {
    if (edsSessionBusConfigured()) {
        bus.reset(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr));
    }
    if (!bus) {
        setPhase(Phase::absent);
        return;
    }
    // Never auto-starts EDS: only its presence on the bus counts.
    watch = g_bus_watch_name_on_connection(
        bus.get(), edsRegistryBusName, G_BUS_NAME_WATCHER_FLAGS_NONE,
        [](GDBusConnection*, const gchar*, const gchar*, gpointer data) {
            static_cast<Worker*>(data)->appeared();
        },
        [](GDBusConnection*, const gchar*, gpointer data) {
            static_cast<Worker*>(data)->vanished();
        },
        this, nullptr);
}

void Worker::teardown() {
    serveWaiters(true);
    g_cancellable_cancel(cancellable.get());
    if (watch != 0) {
        g_bus_unwatch_name(watch);
        watch = 0;
    }
    dropRegistry();
    bus.reset();
    std::vector<Fetch> dropped;
    {
        std::lock_guard lock(mutex);
        dropped.swap(fetches);
    }
}

void Worker::setPhase(Phase next) {
    bool runningChanged = false;
    bool running = false;
    {
        std::lock_guard lock(mutex);
        const bool was = runningLocked();
        running = next == Phase::connecting || next == Phase::ready;
        // Until the first answer the store counts as not running.
        runningChanged = was != running;
        phase = next;
    }
    answered.notify_all();
    serveWaiters(false);
    if (runningChanged) {
        notifyOwner(true, running);
    }
}

void Worker::appeared() {
    if (registry) {
        return;
    }
    setPhase(Phase::connecting);
    e_source_registry_new(
        cancellable.get(),
        [](GObject*, GAsyncResult* result, gpointer data) {
            g_autoptr(GError) error = nullptr;
            ESourceRegistry* made = e_source_registry_new_finish(result, &error);
            if (made != nullptr) {
                static_cast<Worker*>(data)->registryReady(made);
            } else if (!g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
                static_cast<Worker*>(data)->registryFailed();
            }
        },
        this);
}

void Worker::vanished() {
    const bool wasRunning = registry != nullptr;
    dropRegistry();
    {
        std::lock_guard lock(mutex);
        order.clear();
        published.clear();
    }
    setPhase(Phase::absent);
    completeFetches();
    if (wasRunning) {
        notifyOwner(false, false);
    }
}

void Worker::registryFailed() {
    // Counted as absent: there is nothing to read without the registry.
    setPhase(Phase::absent);
    completeFetches();
}

void Worker::registryReady(ESourceRegistry* made) {
    registry.reset(made);
    // The registry may still list a source while it announces its removal.
    g_signal_connect(made, "source-removed",
                     G_CALLBACK(+[](ESourceRegistry*, ESource* source, gpointer data) {
                         auto* w = static_cast<Worker*>(data);
                         w->removedUids.insert(text(e_source_get_uid(source)));
                         w->scheduleSync();
                     }),
                     this);
    g_signal_connect(made, "source-added",
                     G_CALLBACK(+[](ESourceRegistry*, ESource* source, gpointer data) {
                         auto* w = static_cast<Worker*>(data);
                         w->removedUids.erase(text(e_source_get_uid(source)));
                         w->scheduleSync();
                     }),
                     this);
    for (const char* signal : {"source-changed", "source-enabled", "source-disabled"}) {
        g_signal_connect_swapped(
            made, signal,
            G_CALLBACK(+[](gpointer data) { static_cast<Worker*>(data)->scheduleSync(); }), this);
    }
    sync();
    setPhase(Phase::ready);
}

void Worker::dropRegistry() {
    loop.remove(syncIdle);
    loop.remove(loadIdle);
    scheduleRetry(false);
    for (auto& [uid, source] : sources) {
        dropClients(*source, true, true);
    }
    sources.clear();
    if (registry) {
        g_signal_handlers_disconnect_by_data(registry.get(), this);
        registry.reset();
    }
}

// ---- sources

void Worker::scheduleSync() {
    if (syncIdle == 0) {
        syncIdle = loop.idle([this] {
            syncIdle = 0;
            sync();
        });
    }
}

void Worker::scheduleLoad() {
    if (loadIdle == 0) {
        loadIdle = loop.idle([this] {
            loadIdle = 0;
            load();
        });
    }
}

void Worker::reloadAll() {
    forceReload = true;
    scheduleSync();
}

// The account or place that holds a source: the online account's or collection's name, or
// "On this computer" for local ones.
std::string Worker::holderOf(ESource* source, const char* extension) const {
    const std::string parent = text(e_source_get_parent(source));
    std::string backend;
    if (e_source_has_extension(source, extension)) {
        backend = text(e_source_backend_get_backend_name(
            E_SOURCE_BACKEND(e_source_get_extension(source, extension))));
    }
    if (parent == "local-stub" || backend == "local" || parent.empty()) {
        return parent.empty() && !backend.empty() && backend != "local" ? backend
                                                                        : localSourceName();
    }
    const GObjectRef<ESource> holder(e_source_registry_ref_source(registry.get(), parent.c_str()));
    const std::string name = holder ? text(e_source_get_display_name(holder.get())) : "";
    return name.empty() ? backend : name;
}

void Worker::sync() {
    if (!registry) {
        return;
    }
    const Listing listing = listEnabled();
    dropUnlisted(listing);
    if (publishListing(refreshSources(listing), listing.order)) {
        notifyOwner(false, false);
    }
    scheduleLoad();
}

Worker::Listing Worker::listEnabled() const {
    Listing listing;
    for (const auto& [extension, isEvents] : {std::pair{E_SOURCE_EXTENSION_CALENDAR, true},
                                              std::pair{E_SOURCE_EXTENSION_TASK_LIST, false}}) {
        const GObjectList list(e_source_registry_list_enabled(registry.get(), extension));
        for (GList* at = list.get(); at != nullptr; at = at->next) {
            auto* source = static_cast<ESource*>(at->data);
            const std::string uid = text(e_source_get_uid(source));
            if (removedUids.count(uid) != 0) {
                continue;
            }
            auto [entry, added] = listing.kinds.try_emplace(uid);
            if (added) {
                listing.order.push_back(uid);
            }
            (isEvents ? entry->second.events : entry->second.tasks) = true;
        }
    }
    return listing;
}

void Worker::dropUnlisted(const Listing& listing) {
    for (auto it = sources.begin(); it != sources.end();) {
        if (listing.kinds.count(it->first) == 0) {
            dropClients(*it->second, true, true);
            it = sources.erase(it);
        } else {
            ++it;
        }
    }
}

// Takes the listed sources (the list's references are gone; the registry keeps its sources
// alive, so take ours) and what the main thread will read of them.
std::map<std::string, EdsRequests::Published> Worker::refreshSources(const Listing& listing) {
    std::map<std::string, Published> next;
    for (const auto& uid : listing.order) {
        GObjectRef<ESource> fresh(e_source_registry_ref_source(registry.get(), uid.c_str()));
        if (!fresh) {
            continue;
        }
        const Listing::Kinds& entry = listing.kinds.at(uid);
        auto& slot = sources[uid];
        if (!slot) {
            slot = std::make_unique<Source>();
            slot->worker = this;
            slot->uid = uid;
        }
        Source& s = *slot;
        if (s.source != fresh) {
            s.source = std::move(fresh);
        }
        if (s.events && !entry.events) {
            dropClients(s, true, false);
        }
        if (s.tasks && !entry.tasks) {
            dropClients(s, false, true);
        }
        s.events = entry.events;
        s.tasks = entry.tasks;
        Published p;
        p.calendar =
            StoreCalendar{uid, text(e_source_get_display_name(s.source.get())),
                          holderOf(s.source.get(), entry.events ? E_SOURCE_EXTENSION_CALENDAR
                                                                : E_SOURCE_EXTENSION_TASK_LIST)};
        p.events = entry.events;
        p.tasks = entry.tasks;
        next.emplace(uid, std::move(p));
    }
    return next;
}

// Makes the new listing current; true when the main thread sees another list.
bool Worker::publishListing(std::map<std::string, Published> next,
                            const std::vector<std::string>& listedOrder) {
    bool listChanged = false;
    std::lock_guard lock(mutex);
    std::vector<std::string> nextOrder;
    for (const auto& uid : listedOrder) {
        if (next.count(uid) != 0) {
            nextOrder.push_back(uid);
        }
    }
    for (auto& [uid, p] : next) {
        // What was read before stays until the source is read again.
        if (const auto found = published.find(uid); found != published.end()) {
            const Published& old = found->second;
            listChanged = listChanged || !(old.calendar == p.calendar) || old.events != p.events ||
                          old.tasks != p.tasks;
            p.eventsRead = old.eventsRead && p.events;
            p.window = old.window;
            p.attempted = old.attempted;
            if (p.events) {
                p.occurrences = old.occurrences;
            }
            p.tasksRead = old.tasksRead && p.tasks;
            if (p.tasks) {
                p.items = old.items;
            }
            p.problem = old.problem;
        } else {
            listChanged = true;
        }
    }
    listChanged = listChanged || nextOrder != order;
    order = std::move(nextOrder);
    published = std::move(next);
    return listChanged;
}

// ---- clients and views

void Worker::viewChanged(ECalClientView* view, gpointer, gpointer data) {
    auto* source = static_cast<Source*>(data);
    if (view == source->eventView.get()) {
        source->eventsStale = true;
    } else {
        source->tasksStale = true;
    }
    source->worker->scheduleLoad();
}

void Worker::backendDied(EClient* client, gpointer data) {
    auto* source = static_cast<Source*>(data);
    Worker* worker = source->worker;
    const bool events = client == E_CLIENT(source->eventClient.get());
    worker->dropClients(*source, events, !events);
    worker->setProblem(source->uid, AgendaLanguage::text("il servizio dei calendari si è fermato",
                                                         "the calendar service stopped"));
    // The last events stay until the source answers again.
    worker->scheduleRetry(true);
}

void Worker::onlineChanged(GObject*, GParamSpec*, gpointer data) {
    auto* source = static_cast<Source*>(data);
    source->eventsStale = true;
    source->tasksStale = true;
    source->worker->scheduleLoad();
}

void Worker::dropClients(Source& s, bool events, bool tasks) {
    const auto drop = [&s](GObjectRef<ECalClient>& client, GObjectRef<ECalClientView>& view) {
        if (view) {
            g_signal_handlers_disconnect_by_data(view.get(), &s);
            e_cal_client_view_stop(view.get(), nullptr);
            view.reset();
        }
        if (client) {
            g_signal_handlers_disconnect_by_data(client.get(), &s);
            client.reset();
        }
    };
    if (events) {
        drop(s.eventClient, s.eventView);
        s.eventsStale = true;
        s.eventZone.clear();
    }
    if (tasks) {
        drop(s.taskClient, s.taskView);
        s.tasksStale = true;
    }
}

// Opens a client and a view that reports every change of the source; false with the reason
// recorded when the source cannot be opened.
bool Worker::connect(Source& s, bool events, std::string& problem) {
    GObjectRef<ECalClient>& client = events ? s.eventClient : s.taskClient;
    GObjectRef<ECalClientView>& view = events ? s.eventView : s.taskView;
    if (client) {
        return true;
    }
    g_autoptr(GError) error = nullptr;
    // Not waiting for a remote server: a backend that cannot reach it answers from its cache.
    EClient* made = e_cal_client_connect_sync(
        s.source.get(), events ? E_CAL_CLIENT_SOURCE_TYPE_EVENTS : E_CAL_CLIENT_SOURCE_TYPE_TASKS,
        static_cast<guint32>(-1), cancellable.get(), &error);
    if (made == nullptr) {
        problem = messageOf(error);
        return false;
    }
    client.reset(E_CAL_CLIENT(made));
    ECalClientView* madeView = nullptr;
    if (!e_cal_client_get_view_sync(client.get(), "#t", &madeView, cancellable.get(), &error)) {
        problem = messageOf(error);
        client.reset();
        return false;
    }
    view.reset(madeView);
    // Only changes matter: the contents are read separately, for the window wanted.
    e_cal_client_view_set_flags(madeView, E_CAL_CLIENT_VIEW_FLAGS_NONE, nullptr);
    GSList fields{const_cast<char*>("UID"), nullptr};
    e_cal_client_view_set_fields_of_interest(madeView, &fields, nullptr);
    for (const char* signal : {"objects-added", "objects-modified", "objects-removed"}) {
        g_signal_connect(madeView, signal, G_CALLBACK(viewChanged), &s);
    }
    g_signal_connect(client.get(), "backend-died", G_CALLBACK(backendDied), &s);
    g_signal_connect(client.get(), "notify::online", G_CALLBACK(onlineChanged), &s);
    e_cal_client_view_start(madeView, &error);
    if (error != nullptr) {
        problem = messageOf(error);
        dropClients(s, events, !events);
        return false;
    }
    return true;
}

// ---- reading

void Worker::setProblem(const std::string& uid, std::string problem) {
    std::lock_guard lock(mutex);
    if (auto found = published.find(uid); found != published.end()) {
        found->second.problem = std::move(problem);
    }
}

// A failing source is asked again after a while, less often the longer it fails; sources
// that answer are only read again when they report a change.
void Worker::scheduleRetry(bool failing) {
    if (!failing) {
        retryDelay = 0;
        loop.remove(retryTimer);
        return;
    }
    if (retryTimer != 0) {
        return;
    }
    retryDelay = std::clamp(retryDelay * 2, 30u, 900u);
    retryTimer = loop.afterSeconds(retryDelay, [this] {
        retryTimer = 0;
        scheduleLoad();
    });
}

// Reads what is stale or wanted anew, publishes it and answers the waiting task fetches.
void Worker::load() {
    if (pass) {
        passAgain = true; // after the round in progress
        return;
    }
    if (!registry) {
        serveWaiters(false);
        completeFetches();
        return;
    }
    Window window;
    bool reading = true;
    {
        std::lock_guard lock(mutex);
        window = wanted;
        reading = allowed;
        if (!reading) {
            ++passes;
        }
    }
    if (!reading) {
        answered.notify_all();
        serveWaiters(false);
        completeFetches();
        return;
    }
    if (window.empty()) {
        window = currentWeek();
    }
    pass = std::make_unique<Pass>();
    pass->window = window;
    pass->local = std::make_unique<ical::LocalZone>(window.zone);
    const bool force = forceReload;
    forceReload = false;
    ++pass->outstanding; // held until every request is out
    for (auto& [uid, slot] : sources) {
        Source& s = *slot;
        if (s.events && (force || s.eventsStale || !(s.eventsWindow == window))) {
            request(s, true);
        }
        if (s.tasks && (force || s.tasksStale || !s.taskFile)) {
            request(s, false);
        } else if (s.tasks && s.tasksZone != window.zone) {
            publish(s.uid, std::nullopt, taskItemsOf(s, *pass->local), std::nullopt);
            s.tasksZone = window.zone;
        }
    }
    finishRequest();
}

void Worker::request(Source& s, bool events) {
    std::string problem;
    if (!connect(s, events, problem)) {
        if (events) {
            attempted(s.uid);
        }
        publish(s.uid, std::nullopt, std::nullopt, problem);
        return;
    }
    // A change reported from now on asks for another read.
    (events ? s.eventsStale : s.tasksStale) = false;
    std::string query = "(not (is-completed?))";
    if (events) {
        g_autofree gchar* from = isodate_from_time_t(static_cast<time_t>(pass->window.start));
        g_autofree gchar* to = isodate_from_time_t(static_cast<time_t>(pass->window.end));
        query = std::string("(occur-in-time-range? (make-time \"") + from + "\") (make-time \"" +
                to + "\"))";
    }
    ++pass->outstanding;
    e_cal_client_get_object_list(events ? s.eventClient.get() : s.taskClient.get(), query.c_str(),
                                 cancellable.get(), answeredRequest,
                                 new Request{this, s.uid, events});
}

void Worker::answeredRequest(GObject* client, GAsyncResult* result, gpointer data) {
    const std::unique_ptr<Request> request(static_cast<Request*>(data));
    GSList* listedObjects = nullptr;
    g_autoptr(GError) error = nullptr;
    const bool listed =
        e_cal_client_get_object_list_finish(E_CAL_CLIENT(client), result, &listedObjects, &error);
    const GObjectSList objects(listedObjects);
    if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
        return; // the store is going away
    }
    Worker& w = *request->worker;
    const auto found = w.sources.find(request->uid);
    if (found != w.sources.end()) {
        Source& s = *found->second;
        if (!listed) {
            (request->events ? s.eventsStale : s.tasksStale) = true;
            if (request->events) {
                w.attempted(s.uid);
            }
            w.publish(s.uid, std::nullopt, std::nullopt, messageOf(error));
        } else if (request->events && s.eventClient) {
            s.eventsWindow = w.pass->window;
            w.publish(s.uid,
                      expandEvents(s.uid, s.eventClient.get(), objects.get(), w.pass->window,
                                   *w.pass->local, w.cancellable.get()),
                      std::nullopt, std::nullopt);
        } else if (!request->events && s.taskClient) {
            s.taskFile = parseTasks(s.uid, s.taskClient.get(), objects.get(), w.cancellable.get());
            s.tasksZone = w.pass->window.zone;
            w.publish(s.uid, std::nullopt, w.taskItemsOf(s, *w.pass->local), std::nullopt);
        }
    }
    w.finishRequest();
}

// Records what one read gave: events, tasks or why the source failed. The last events and
// tasks of a failing source stay.
void Worker::publish(const std::string& uid, std::optional<std::vector<StoreEvent>> events,
                     std::optional<std::vector<ReminderItem>> items,
                     std::optional<std::string> problem) {
    if (problem) {
        pass->failed.insert(uid);
    }
    std::lock_guard lock(mutex);
    const auto found = published.find(uid);
    if (found == published.end()) {
        return;
    }
    Published& p = found->second;
    bool& changedAny = pass->changed;
    if (events) {
        changedAny = changedAny || !p.eventsRead || *events != p.occurrences;
        p.occurrences = std::move(*events);
        p.eventsRead = true;
        p.window = pass->window;
        p.attempted = pass->window;
    }
    if (items) {
        changedAny = changedAny || !p.tasksRead || *items != p.items;
        p.items = std::move(*items);
        p.tasksRead = true;
    }
    if (problem && p.problem != problem) {
        p.problem = std::move(problem);
        changedAny = true;
    } else if (!problem && p.problem && pass->failed.count(uid) == 0) {
        p.problem.reset();
        changedAny = true;
    }
}

void Worker::attempted(const std::string& uid) {
    std::lock_guard lock(mutex);
    if (const auto found = published.find(uid); found != published.end()) {
        found->second.attempted = pass->window;
    }
}

void Worker::finishRequest() {
    if (--pass->outstanding > 0) {
        return;
    }
    const bool changedAny = pass->changed;
    const bool failing = !pass->failed.empty();
    pass.reset();
    {
        std::lock_guard lock(mutex);
        ++passes;
    }
    answered.notify_all();
    serveWaiters(false);
    scheduleRetry(failing);
    completeFetches();
    if (changedAny) {
        notifyOwner(false, false);
    }
    if (passAgain) {
        passAgain = false;
        scheduleLoad();
    }
}

std::vector<ReminderItem> Worker::taskItemsOf(const Source& s, const ical::LocalZone& local) const {
    return taskItems(s.uid, text(e_source_get_display_name(s.source.get())), *s.taskFile, local);
}

} // namespace brivane::eds

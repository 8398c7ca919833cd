#include "Brivane/calendar/EdsBackend.h"
#include "Brivane/calendar/ICalendarReader.h"
#include "Brivane/calendar/WorkerThread.h"
#include "BrivaneCore/AgendaLanguage.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <libecal/libecal.h>
#include <libedataserver/libedataserver.h>
#include <map>
#include <mutex>
#include <qcoro/qcorosignal.h>
#include <set>
#include <thread>

namespace brivane {

namespace {

std::string text(const char* value) {
    return value != nullptr ? std::string(value) : std::string();
}

std::string messageOf(const GError* error) {
    return error != nullptr && error->message != nullptr ? std::string(error->message)
                                                         : std::string();
}

// A window of events as read: its bounds in seconds and the zone dates are read in.
struct Window {
    std::int64_t start = 0;
    std::int64_t end = 0;
    std::string zone;
    bool empty() const { return start == 0 && end == 0; }
    bool operator==(const Window&) const = default;
};

std::int64_t secondsOf(Date date) {
    return std::chrono::duration_cast<std::chrono::seconds>(date.time_since_epoch()).count();
}

// Today and the rest of the week, as the wallpaper shows them.
Window currentWeek() {
    const Calendar calendar = AgendaDates::calendar();
    const Date now =
        std::chrono::time_point_cast<std::chrono::milliseconds>(std::chrono::system_clock::now());
    return Window{secondsOf(calendar.startOfDay(now)),
                  secondsOf(AgendaDates::endOfWeek(now, calendar)), calendar.timeZoneId()};
}

bool overlaps(const StoreEvent& event, Date start, Date end) {
    return event.start < end &&
           (event.end > start || (event.end == event.start && event.start >= start));
}

std::string localSourceName() {
    return AgendaLanguage::text("Su questo computer", "On this computer");
}

struct Worker {
    // One calendar or task list of the registry; worker thread only.
    struct Source {
        Worker* worker = nullptr;
        std::string uid;
        ESource* source = nullptr;
        bool events = false;
        bool tasks = false;
        ECalClient* eventClient = nullptr;
        ECalClient* taskClient = nullptr;
        ECalClientView* eventView = nullptr;
        ECalClientView* taskView = nullptr;
        std::string eventZone;
        bool eventsStale = true;
        bool tasksStale = true;
        Window eventsWindow;
        std::string tasksZone;
        std::shared_ptr<ical::CalendarFile> taskFile;
    };

    // What the main thread reads; guarded by `mutex`.
    struct Published {
        StoreCalendar calendar;
        bool events = false;
        bool tasks = false;
        bool eventsRead = false;
        Window window;    // the window `occurrences` are for
        Window attempted; // the window last asked for, answered or failed
        std::vector<StoreEvent> occurrences;
        bool tasksRead = false;
        std::vector<ReminderItem> items;
        std::optional<std::string> problem;
    };
    struct Fetch {
        CalendarStore::FetchToken token;
        std::shared_ptr<std::atomic<bool>> cancelled;
        CalendarStore::ReminderCompletion completion;
    };
    enum class Phase { unknown, absent, connecting, ready };

    ~Worker() {
        g_main_loop_unref(loop);
        g_main_context_unref(context);
        g_object_unref(cancellable);
    }

    EdsOptions options;
    EdsNotify notify; // called on this thread, under `notifyMutex`; cleared when the store goes
    std::mutex notifyMutex;
    GMainContext* context = nullptr;
    GMainLoop* loop = nullptr;

    mutable std::mutex mutex;
    std::condition_variable answered;
    Phase phase = Phase::unknown;
    std::vector<std::string> order; // source UIDs in listing order
    std::map<std::string, Published> published;
    Window wanted;
    bool allowed = true;
    std::uint64_t passes = 0; // completed rounds of reads, for report()
    std::vector<Fetch> fetches;
    std::atomic<CalendarStore::FetchToken> nextToken{1};

    // Worker thread only.
    GDBusConnection* bus = nullptr;
    guint watch = 0;
    GCancellable* cancellable = nullptr;
    ESourceRegistry* registry = nullptr;
    std::map<std::string, std::unique_ptr<Source>> sources;
    std::set<std::string> removedUids;
    guint syncIdle = 0;
    guint loadIdle = 0;
    guint retryTimer = 0;
    unsigned retryDelay = 0;
    bool forceReload = false;

    // A caller of events() or calendars() waiting for EDS to answer; served at the end of a
    // round of reads, when EDS is found or lost, or when its time is up.
    struct Waiter {
        std::uint64_t id = 0;
        bool forEvents = false;
        Window window;
        Date start;
        Date end;
        std::vector<std::string> ids;
        CalendarEntity entity = CalendarEntity::event;
        std::shared_ptr<QPromise<std::vector<StoreEvent>>> events;
        std::shared_ptr<QPromise<std::vector<StoreCalendar>>> calendars;
    };
    std::vector<Waiter> waiters;  // guarded
    std::uint64_t nextWaiter = 1; // guarded

    // Caller holds `mutex`.
    bool settledLocked() const { return phase == Phase::absent || phase == Phase::ready; }

    // Whether every calendar asked for has answered for the window, or failed; caller holds
    // `mutex`.
    bool answeredLocked(const Window& window, const std::vector<std::string>& ids) const {
        if (!allowed || phase != Phase::ready) {
            return phase != Phase::connecting && phase != Phase::unknown;
        }
        return std::all_of(ids.begin(), ids.end(), [&](const std::string& id) {
            const auto found = published.find(id);
            return found == published.end() || !found->second.events ||
                   found->second.attempted == window;
        });
    }

    // Caller holds `mutex`.
    std::vector<StoreEvent> eventsLocked(Date start, Date end,
                                         const std::vector<std::string>& ids) const {
        std::vector<StoreEvent> result;
        for (const auto& id : ids) {
            const auto found = published.find(id);
            if (found == published.end() || !found->second.events) {
                continue;
            }
            for (const auto& event : found->second.occurrences) {
                if (overlaps(event, start, end)) {
                    result.push_back(event);
                }
            }
        }
        return result;
    }

    // Caller holds `mutex`.
    std::vector<StoreCalendar> listedLocked(CalendarEntity entity) const {
        std::vector<StoreCalendar> result;
        for (const auto& uid : order) {
            const auto& p = published.at(uid);
            if (entity == CalendarEntity::event ? p.events : p.tasks) {
                result.push_back(p.calendar);
            }
        }
        return result;
    }

    // Answers the waiters that can be answered, or all of them, or the one whose time is up.
    void serveWaiters(bool all, std::uint64_t only = 0) {
        struct Answer {
            Waiter waiter;
            std::vector<StoreEvent> events;
            std::vector<StoreCalendar> calendars;
        };
        std::vector<Answer> answers;
        {
            std::lock_guard lock(mutex);
            for (auto it = waiters.begin(); it != waiters.end();) {
                const bool ready =
                    all || it->id == only ||
                    (it->forEvents ? answeredLocked(it->window, it->ids) : settledLocked());
                if (!ready) {
                    ++it;
                    continue;
                }
                Answer answer{std::move(*it), {}, {}};
                if (answer.waiter.forEvents) {
                    answer.events =
                        eventsLocked(answer.waiter.start, answer.waiter.end, answer.waiter.ids);
                } else {
                    answer.calendars = listedLocked(answer.waiter.entity);
                }
                answers.push_back(std::move(answer));
                it = waiters.erase(it);
            }
        }
        for (auto& answer : answers) {
            if (answer.waiter.events) {
                answer.waiter.events->addResult(std::move(answer.events));
                answer.waiter.events->finish();
            } else {
                answer.waiter.calendars->addResult(std::move(answer.calendars));
                answer.waiter.calendars->finish();
            }
        }
    }

    // Registers a waiter; it is answered at once when it already can be.
    void wait(Waiter waiter) {
        std::uint64_t id = 0;
        {
            std::lock_guard lock(mutex);
            id = waiter.id = nextWaiter++;
            waiters.push_back(std::move(waiter));
        }
        const auto limit =
            static_cast<guint>(std::max<std::int64_t>(1, options.answerLimit.count()));
        post([id, limit](Worker& w) {
            GSource* timer = g_timeout_source_new(limit);
            struct Call {
                Worker* worker;
                std::uint64_t id;
            };
            g_source_set_callback(
                timer,
                [](gpointer data) -> gboolean {
                    auto* call = static_cast<Call*>(data);
                    call->worker->serveWaiters(false, call->id);
                    return G_SOURCE_REMOVE;
                },
                new Call{&w, id}, [](gpointer data) { delete static_cast<Call*>(data); });
            g_source_attach(timer, w.context);
            g_source_unref(timer);
            w.scheduleLoad();
            w.serveWaiters(false);
        });
    }

    // Runs `work` on the worker thread.
    void post(std::function<void(Worker&)> work) {
        auto* task = new std::function<void(Worker&)>(std::move(work));
        struct Call {
            Worker* worker;
            std::function<void(Worker&)>* task;
        };
        g_main_context_invoke_full(
            context, G_PRIORITY_DEFAULT,
            [](gpointer data) -> gboolean {
                auto* call = static_cast<Call*>(data);
                (*call->task)(*call->worker);
                return G_SOURCE_REMOVE;
            },
            new Call{this, task},
            [](gpointer data) {
                auto* call = static_cast<Call*>(data);
                delete call->task;
                delete call;
            });
    }

    void notifyOwner(bool runningChanged, bool running) {
        std::lock_guard lock(notifyMutex);
        if (notify) {
            notify(runningChanged, running);
        }
    }

    // ---- start and stop

    void run() {
        g_main_context_push_thread_default(context);
        start();
        g_main_loop_run(loop);
        teardown();
        g_main_context_pop_thread_default(context);
    }

    void start() {
        GError* error = nullptr;
        if (edsSessionBusConfigured()) {
            bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
            g_clear_error(&error);
        }
        if (bus == nullptr) {
            setPhase(Phase::absent);
            return;
        }
        // Never auto-starts EDS: only its presence on the bus counts.
        watch = g_bus_watch_name_on_connection(
            bus, edsRegistryBusName, G_BUS_NAME_WATCHER_FLAGS_NONE,
            [](GDBusConnection*, const gchar*, const gchar*, gpointer data) {
                static_cast<Worker*>(data)->appeared();
            },
            [](GDBusConnection*, const gchar*, gpointer data) {
                static_cast<Worker*>(data)->vanished();
            },
            this, nullptr);
    }

    void teardown() {
        serveWaiters(true);
        g_cancellable_cancel(cancellable);
        if (watch != 0) {
            g_bus_unwatch_name(watch);
            watch = 0;
        }
        dropRegistry();
        g_clear_object(&bus);
        std::vector<Fetch> dropped;
        {
            std::lock_guard lock(mutex);
            dropped.swap(fetches);
        }
    }

    void setPhase(Phase next) {
        bool runningChanged = false;
        bool running = false;
        {
            std::lock_guard lock(mutex);
            const bool was = phase == Phase::connecting || phase == Phase::ready;
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

    void appeared() {
        if (registry != nullptr) {
            return;
        }
        setPhase(Phase::connecting);
        e_source_registry_new(
            cancellable,
            [](GObject*, GAsyncResult* result, gpointer data) {
                GError* error = nullptr;
                ESourceRegistry* made = e_source_registry_new_finish(result, &error);
                if (made == nullptr) {
                    const bool cancelled = g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED);
                    g_clear_error(&error);
                    if (!cancelled) {
                        static_cast<Worker*>(data)->registryFailed();
                    }
                    return;
                }
                static_cast<Worker*>(data)->registryReady(made);
            },
            this);
    }

    void vanished() {
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

    void registryFailed() {
        // Counted as absent: there is nothing to read without the registry.
        setPhase(Phase::absent);
        completeFetches();
    }

    void registryReady(ESourceRegistry* made) {
        registry = made;
        // The registry may still list a source while it announces its removal.
        g_signal_connect(registry, "source-removed",
                         G_CALLBACK(+[](ESourceRegistry*, ESource* source, gpointer data) {
                             auto* w = static_cast<Worker*>(data);
                             w->removedUids.insert(text(e_source_get_uid(source)));
                             w->scheduleSync();
                         }),
                         this);
        g_signal_connect(registry, "source-added",
                         G_CALLBACK(+[](ESourceRegistry*, ESource* source, gpointer data) {
                             auto* w = static_cast<Worker*>(data);
                             w->removedUids.erase(text(e_source_get_uid(source)));
                             w->scheduleSync();
                         }),
                         this);
        for (const char* signal : {"source-changed", "source-enabled", "source-disabled"}) {
            g_signal_connect_swapped(registry, signal, G_CALLBACK(+[](gpointer data) {
                                         static_cast<Worker*>(data)->scheduleSync();
                                     }),
                                     this);
        }
        sync();
        setPhase(Phase::ready);
    }

    void dropRegistry() {
        removeSource(syncIdle);
        removeSource(loadIdle);
        scheduleRetry(false);
        for (auto& [uid, source] : sources) {
            dropClients(*source, true, true);
            g_clear_object(&source->source);
        }
        sources.clear();
        if (registry != nullptr) {
            g_signal_handlers_disconnect_by_data(registry, this);
            g_clear_object(&registry);
        }
    }

    // ---- sources

    void scheduleSync() {
        if (syncIdle == 0) {
            syncIdle = idle(+[](Worker& w) {
                w.syncIdle = 0;
                w.sync();
            });
        }
    }

    void scheduleLoad() {
        if (loadIdle == 0) {
            loadIdle = idle(+[](Worker& w) {
                w.loadIdle = 0;
                w.load();
            });
        }
    }

    // Sources of this context; g_source_remove() would look in the default one.
    void removeSource(guint& id) {
        if (id != 0) {
            if (GSource* source = g_main_context_find_source_by_id(context, id)) {
                g_source_destroy(source);
            }
            id = 0;
        }
    }

    guint idle(void (*work)(Worker&)) {
        struct Call {
            Worker* worker;
            void (*work)(Worker&);
        };
        GSource* source = g_idle_source_new();
        g_source_set_callback(
            source,
            [](gpointer data) -> gboolean {
                auto* call = static_cast<Call*>(data);
                call->work(*call->worker);
                return G_SOURCE_REMOVE;
            },
            new Call{this, work}, [](gpointer data) { delete static_cast<Call*>(data); });
        const guint id = g_source_attach(source, context);
        g_source_unref(source);
        return id;
    }

    // The account or place that holds a source: the online account's or collection's name, or
    // "On this computer" for local ones.
    std::string holderOf(ESource* source, const char* extension) const {
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
        ESource* holder = e_source_registry_ref_source(registry, parent.c_str());
        std::string name = holder != nullptr ? text(e_source_get_display_name(holder)) : "";
        if (holder != nullptr) {
            g_object_unref(holder);
        }
        return name.empty() ? backend : name;
    }

    void sync() {
        if (registry == nullptr) {
            return;
        }
        struct Listed {
            bool events = false;
            bool tasks = false;
        };
        std::vector<std::string> listedOrder;
        std::map<std::string, Listed> listed;
        for (const auto& [extension, isEvents] : {std::pair{E_SOURCE_EXTENSION_CALENDAR, true},
                                                  std::pair{E_SOURCE_EXTENSION_TASK_LIST, false}}) {
            GList* list = e_source_registry_list_enabled(registry, extension);
            for (GList* at = list; at != nullptr; at = at->next) {
                auto* source = static_cast<ESource*>(at->data);
                const std::string uid = text(e_source_get_uid(source));
                if (removedUids.count(uid) != 0) {
                    continue;
                }
                auto [entry, added] = listed.try_emplace(uid);
                if (added) {
                    listedOrder.push_back(uid);
                }
                (isEvents ? entry->second.events : entry->second.tasks) = true;
            }
            g_list_free_full(list, g_object_unref);
        }
        // The list's references are gone; the registry keeps its sources alive, so take ours.
        for (auto it = sources.begin(); it != sources.end();) {
            if (listed.count(it->first) == 0) {
                dropClients(*it->second, true, true);
                g_clear_object(&it->second->source);
                it = sources.erase(it);
            } else {
                ++it;
            }
        }
        std::map<std::string, Published> next;
        for (const auto& uid : listedOrder) {
            ESource* fresh = e_source_registry_ref_source(registry, uid.c_str());
            if (fresh == nullptr) {
                continue;
            }
            const Listed& entry = listed[uid];
            auto& slot = sources[uid];
            if (!slot) {
                slot = std::make_unique<Source>();
                slot->worker = this;
                slot->uid = uid;
            }
            Source& s = *slot;
            if (s.source != fresh) {
                g_clear_object(&s.source);
                s.source = fresh;
            } else {
                g_object_unref(fresh);
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
                StoreCalendar{uid, text(e_source_get_display_name(s.source)),
                              holderOf(s.source, entry.events ? E_SOURCE_EXTENSION_CALENDAR
                                                              : E_SOURCE_EXTENSION_TASK_LIST)};
            p.events = entry.events;
            p.tasks = entry.tasks;
            next.emplace(uid, std::move(p));
        }
        bool listChanged = false;
        {
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
                    listChanged = listChanged || !(old.calendar == p.calendar) ||
                                  old.events != p.events || old.tasks != p.tasks;
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
        }
        if (listChanged) {
            notifyOwner(false, false);
        }
        scheduleLoad();
    }

    // ---- clients and views

    static void viewChanged(ECalClientView* view, gpointer, gpointer data) {
        auto* source = static_cast<Source*>(data);
        if (view == source->eventView) {
            source->eventsStale = true;
        } else {
            source->tasksStale = true;
        }
        source->worker->scheduleLoad();
    }

    static void backendDied(EClient* client, gpointer data) {
        auto* source = static_cast<Source*>(data);
        Worker* worker = source->worker;
        const bool events = client == E_CLIENT(source->eventClient);
        worker->dropClients(*source, events, !events);
        worker->setProblem(source->uid,
                           AgendaLanguage::text("il servizio dei calendari si è fermato",
                                                "the calendar service stopped"));
        // The last events stay until the source answers again.
        worker->scheduleRetry(true);
    }

    static void onlineChanged(GObject*, GParamSpec*, gpointer data) {
        auto* source = static_cast<Source*>(data);
        source->eventsStale = true;
        source->tasksStale = true;
        source->worker->scheduleLoad();
    }

    void dropClients(Source& s, bool events, bool tasks) {
        const auto drop = [](ECalClient*& client, ECalClientView*& view, Source* data) {
            if (view != nullptr) {
                g_signal_handlers_disconnect_by_data(view, data);
                e_cal_client_view_stop(view, nullptr);
                g_clear_object(&view);
            }
            if (client != nullptr) {
                g_signal_handlers_disconnect_by_data(client, data);
                g_clear_object(&client);
            }
        };
        if (events) {
            drop(s.eventClient, s.eventView, &s);
            s.eventsStale = true;
            s.eventZone.clear();
        }
        if (tasks) {
            drop(s.taskClient, s.taskView, &s);
            s.tasksStale = true;
        }
    }

    // Opens a client and a view that reports every change of the source; false with the reason
    // recorded when the source cannot be opened.
    bool connect(Source& s, bool events, std::string& problem) {
        ECalClient*& client = events ? s.eventClient : s.taskClient;
        ECalClientView*& view = events ? s.eventView : s.taskView;
        if (client != nullptr) {
            return true;
        }
        GError* error = nullptr;
        // Not waiting for a remote server: a backend that cannot reach it answers from its cache.
        EClient* made = e_cal_client_connect_sync(
            s.source, events ? E_CAL_CLIENT_SOURCE_TYPE_EVENTS : E_CAL_CLIENT_SOURCE_TYPE_TASKS,
            static_cast<guint32>(-1), cancellable, &error);
        if (made == nullptr) {
            problem = messageOf(error);
            g_clear_error(&error);
            return false;
        }
        client = E_CAL_CLIENT(made);
        ECalClientView* made_view = nullptr;
        if (!e_cal_client_get_view_sync(client, "#t", &made_view, cancellable, &error)) {
            problem = messageOf(error);
            g_clear_error(&error);
            g_clear_object(&client);
            return false;
        }
        view = made_view;
        // Only changes matter: the contents are read separately, for the window wanted.
        e_cal_client_view_set_flags(view, E_CAL_CLIENT_VIEW_FLAGS_NONE, nullptr);
        GSList fields{const_cast<char*>("UID"), nullptr};
        e_cal_client_view_set_fields_of_interest(view, &fields, nullptr);
        for (const char* signal : {"objects-added", "objects-modified", "objects-removed"}) {
            g_signal_connect(view, signal, G_CALLBACK(viewChanged), &s);
        }
        g_signal_connect(client, "backend-died", G_CALLBACK(backendDied), &s);
        g_signal_connect(client, "notify::online", G_CALLBACK(onlineChanged), &s);
        e_cal_client_view_start(view, &error);
        if (error != nullptr) {
            problem = messageOf(error);
            g_clear_error(&error);
            dropClients(s, events, !events);
            return false;
        }
        return true;
    }

    // ---- reading

    struct InstanceSink {
        const std::string* calendarID;
        Date start;
        Date end;
        const ical::LocalZone* local;
        ECalClient* client;
        std::vector<StoreEvent>* out;
        std::map<std::string, int> perEvent;
        // Occurrences of a series that are stored as their own items, by UID.
        std::map<std::string, std::set<Date>> replaced;
    };

    static icalcomponent* native(ICalComponent* component) {
        return static_cast<icalcomponent*>(i_cal_object_get_native(I_CAL_OBJECT(component)));
    }

    // The instant of a date property, its zone resolved the way EDS resolves it for the source.
    static std::optional<Date> instantOf(icalproperty* property, const InstanceSink& sink) {
        if (property == nullptr) {
            return std::nullopt;
        }
        icaltimetype value = icalvalue_get_datetime(icalproperty_get_value(property));
        if (!icaltime_is_utc(value) && value.is_date == 0) {
            value.zone = nullptr;
            icalparameter* tzid = icalproperty_get_first_parameter(property, ICAL_TZID_PARAMETER);
            if (tzid != nullptr && icalparameter_get_tzid(tzid) != nullptr) {
                if (ICalTimezone* zone = e_cal_client_tzlookup_cb(icalparameter_get_tzid(tzid),
                                                                  sink.client, nullptr, nullptr)) {
                    value.zone =
                        static_cast<icaltimezone*>(i_cal_object_get_native(I_CAL_OBJECT(zone)));
                }
            }
        }
        return ical::instantOf(value, *sink.local);
    }

    // The end of an occurrence from the event's own length. EDS adds that length in absolute
    // time to the wall-clock start, so an event that spans a change of offset would end an hour
    // early or late.
    static std::optional<Date> endFromLength(icalcomponent* component, const icaltimetype& start,
                                             Date from, const InstanceSink& sink) {
        icalproperty* first = icalcomponent_get_first_property(component, ICAL_DTSTART_PROPERTY);
        icalproperty* last = icalcomponent_get_first_property(component, ICAL_DTEND_PROPERTY);
        if (first == nullptr || last == nullptr) {
            return std::nullopt;
        }
        const icaltimetype firstValue = icalproperty_get_dtstart(first);
        const icaltimetype lastValue = icalproperty_get_dtend(last);
        if (firstValue.is_date != 0 && lastValue.is_date != 0) {
            const auto days =
                (icaltime_as_timet(lastValue) - icaltime_as_timet(firstValue)) / 86400;
            icaltimetype end = start;
            icaltime_adjust(&end, static_cast<int>(days), 0, 0, 0);
            return ical::instantOf(end, *sink.local);
        }
        const auto a = instantOf(first, sink);
        const auto b = instantOf(last, sink);
        if (firstValue.is_date != 0 || lastValue.is_date != 0 || !a || !b || *b < *a) {
            return std::nullopt;
        }
        return from + (*b - *a);
    }

    static void add(InstanceSink& sink, icalcomponent* component, Date from, Date to, bool allDay) {
        StoreEvent event;
        event.calendarID = *sink.calendarID;
        event.eventIdentifier = text(icalcomponent_get_uid(component));
        event.calendarItemIdentifier = event.eventIdentifier;
        event.title = text(icalcomponent_get_summary(component));
        event.start = from;
        event.end = std::max(to, from);
        event.allDay = allDay;
        event.cancelled = icalcomponent_get_status(component) == ICAL_STATUS_CANCELLED;
        if (!overlaps(event, sink.start, sink.end)) {
            return;
        }
        // A rule that fires every minute must not flood the week.
        if (++sink.perEvent[event.eventIdentifier] > ical::maxOccurrencesPerWindow) {
            return;
        }
        sink.out->push_back(std::move(event));
    }

    // One occurrence of a series (or the only one of a single event), as EDS expands it.
    static gboolean instance(ICalComponent* item, ICalTime* start, ICalTime* end, gpointer data,
                             GCancellable*, GError**) {
        auto* sink = static_cast<InstanceSink*>(data);
        icalcomponent* component = native(item);
        const auto* startValue =
            static_cast<const icaltimetype*>(i_cal_object_get_native(I_CAL_OBJECT(start)));
        const auto* endValue =
            static_cast<const icaltimetype*>(i_cal_object_get_native(I_CAL_OBJECT(end)));
        if (startValue == nullptr || endValue == nullptr) {
            return TRUE;
        }
        const auto from = ical::instantOf(*startValue, *sink->local);
        if (!from) {
            return TRUE;
        }
        const auto found = sink->replaced.find(text(icalcomponent_get_uid(component)));
        if (found != sink->replaced.end() && found->second.count(*from) != 0) {
            return TRUE; // stored as its own item
        }
        auto to = endFromLength(component, *startValue, *from, *sink);
        if (!to) {
            to = ical::instantOf(*endValue, *sink->local);
        }
        add(*sink, component, *from, to.value_or(*from), startValue->is_date != 0);
        return TRUE;
    }

    // An occurrence stored as its own item, with the start and end it was given.
    static void detachedOccurrence(icalcomponent* component, InstanceSink& sink) {
        icalproperty* startProperty =
            icalcomponent_get_first_property(component, ICAL_DTSTART_PROPERTY);
        const auto from = instantOf(startProperty, sink);
        if (!from) {
            return;
        }
        const bool allDay = icalproperty_get_dtstart(startProperty).is_date != 0;
        std::optional<Date> to =
            instantOf(icalcomponent_get_first_property(component, ICAL_DTEND_PROPERTY), sink);
        if (!to) {
            icalproperty* duration =
                icalcomponent_get_first_property(component, ICAL_DURATION_PROPERTY);
            if (duration != nullptr) {
                to = *from + std::chrono::seconds(
                                 icaldurationtype_as_int(icalproperty_get_duration(duration)));
            } else {
                to = allDay ? *from + std::chrono::hours(24) : *from;
            }
        }
        add(sink, component, *from, *to, allDay);
    }

    // The occurrences of one calendar in the window from the window's items; EDS's own
    // recurrence code expands the series here, so one request per calendar is all it takes.
    std::vector<StoreEvent> expandEvents(Source& s, GSList* objects, const Window& window,
                                         const ical::LocalZone& local) {
        ICalTimezone* zone = i_cal_timezone_get_builtin_timezone(local.name().c_str());
        if (zone == nullptr) {
            zone = i_cal_timezone_get_utc_timezone();
        }
        std::vector<StoreEvent> result;
        InstanceSink sink{&s.uid,
                          dateFromSeconds(window.start),
                          dateFromSeconds(window.end),
                          &local,
                          s.eventClient,
                          &result,
                          {},
                          {}};
        std::vector<icalcomponent*> detached;
        for (GSList* at = objects; at != nullptr; at = at->next) {
            icalcomponent* component = native(static_cast<ICalComponent*>(at->data));
            icalproperty* rid =
                icalcomponent_get_first_property(component, ICAL_RECURRENCEID_PROPERTY);
            if (rid == nullptr) {
                continue;
            }
            detached.push_back(component);
            if (const auto original = instantOf(rid, sink)) {
                sink.replaced[text(icalcomponent_get_uid(component))].insert(*original);
            }
        }
        ICalTime* windowStart = i_cal_time_new_from_timet_with_zone(
            static_cast<time_t>(window.start), FALSE, i_cal_timezone_get_utc_timezone());
        ICalTime* windowEnd = i_cal_time_new_from_timet_with_zone(
            static_cast<time_t>(window.end), FALSE, i_cal_timezone_get_utc_timezone());
        for (GSList* at = objects; at != nullptr; at = at->next) {
            auto* item = static_cast<ICalComponent*>(at->data);
            if (icalcomponent_get_first_property(native(item), ICAL_RECURRENCEID_PROPERTY) !=
                nullptr) {
                continue;
            }
            e_cal_recur_generate_instances_sync(item, windowStart, windowEnd, instance, &sink,
                                                e_cal_client_tzlookup_cb, s.eventClient, zone,
                                                cancellable, nullptr);
        }
        for (icalcomponent* component : detached) {
            detachedOccurrence(component, sink);
        }
        g_object_unref(windowStart);
        g_object_unref(windowEnd);
        return result;
    }

    // The zones named by a task's dates, so that the reader finds them beside the task.
    static void collectZones(ICalComponent* component, std::set<std::string>& tzids) {
        auto* native =
            static_cast<icalcomponent*>(i_cal_object_get_native(I_CAL_OBJECT(component)));
        for (icalproperty_kind kind : {ICAL_DUE_PROPERTY, ICAL_DTSTART_PROPERTY}) {
            icalproperty* property = icalcomponent_get_first_property(native, kind);
            if (property == nullptr) {
                continue;
            }
            icalparameter* tzid = icalproperty_get_first_parameter(property, ICAL_TZID_PARAMETER);
            if (tzid != nullptr && icalparameter_get_tzid(tzid) != nullptr) {
                tzids.insert(icalparameter_get_tzid(tzid));
            }
        }
    }

    // The tasks of one list as one calendar text, read by the same reader as task files so that
    // due dates, priorities and completion follow the same rules.
    std::shared_ptr<ical::CalendarFile> parseTasks(Source& s, GSList* objects) {
        std::string calendar = "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Pellora//EN\r\n";
        std::set<std::string> tzids;
        for (GSList* at = objects; at != nullptr; at = at->next) {
            auto* component = static_cast<ICalComponent*>(at->data);
            if (i_cal_component_isa(component) != I_CAL_VTODO_COMPONENT) {
                continue;
            }
            collectZones(component, tzids);
            gchar* item = i_cal_component_as_ical_string(component);
            calendar += text(item);
            g_free(item);
        }
        for (const auto& tzid : tzids) {
            // Known to the client after the first time; a zone EDS cannot name is left to the
            // reader, which knows the system's zones.
            ICalTimezone* zone = nullptr;
            if (e_cal_client_get_timezone_sync(s.taskClient, tzid.c_str(), &zone, cancellable,
                                               nullptr) &&
                zone != nullptr) {
                if (ICalComponent* definition = i_cal_timezone_get_component(zone)) {
                    gchar* item = i_cal_component_as_ical_string(definition);
                    calendar += text(item);
                    g_free(item);
                    g_object_unref(definition);
                }
            }
        }
        calendar += "END:VCALENDAR\r\n";
        return ical::CalendarFile::parse(calendar, s.uid);
    }

    void setProblem(const std::string& uid, std::string problem) {
        std::lock_guard lock(mutex);
        if (auto found = published.find(uid); found != published.end()) {
            found->second.problem = std::move(problem);
        }
    }

    // A failing source is asked again after a while, less often the longer it fails; sources
    // that answer are only read again when they report a change.
    void scheduleRetry(bool failing) {
        if (!failing) {
            retryDelay = 0;
            removeSource(retryTimer);
            return;
        }
        if (retryTimer != 0) {
            return;
        }
        retryDelay = std::clamp(retryDelay * 2, 30u, 900u);
        GSource* timer = g_timeout_source_new_seconds(retryDelay);
        g_source_set_callback(
            timer,
            [](gpointer data) -> gboolean {
                auto* w = static_cast<Worker*>(data);
                w->retryTimer = 0;
                w->scheduleLoad();
                return G_SOURCE_REMOVE;
            },
            this, nullptr);
        retryTimer = g_source_attach(timer, context);
        g_source_unref(timer);
    }

    // One round of reads: every stale source asked at once, so that EDS answers them side by
    // side; the round ends when the last one has answered.
    struct Pass {
        Window window;
        std::unique_ptr<ical::LocalZone> local;
        int outstanding = 0;
        bool changed = false;
        std::set<std::string> failed;
    };
    std::unique_ptr<Pass> pass;
    bool passAgain = false;

    struct Request {
        Worker* worker;
        std::string uid;
        bool events;
    };

    // Reads what is stale or wanted anew, publishes it and answers the waiting task fetches.
    void load() {
        if (pass) {
            passAgain = true; // after the round in progress
            return;
        }
        if (registry == nullptr) {
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
        }
        if (!reading) {
            {
                std::lock_guard lock(mutex);
                ++passes;
            }
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
                publish(s.uid, std::nullopt, taskItems(s, *pass->local), std::nullopt);
                s.tasksZone = window.zone;
            }
        }
        finishRequest();
    }

    void request(Source& s, bool events) {
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
            gchar* from = isodate_from_time_t(static_cast<time_t>(pass->window.start));
            gchar* to = isodate_from_time_t(static_cast<time_t>(pass->window.end));
            query = std::string("(occur-in-time-range? (make-time \"") + from +
                    "\") (make-time \"" + to + "\"))";
            g_free(from);
            g_free(to);
        }
        ++pass->outstanding;
        e_cal_client_get_object_list(events ? s.eventClient : s.taskClient, query.c_str(),
                                     cancellable, answeredRequest,
                                     new Request{this, s.uid, events});
    }

    static void answeredRequest(GObject* client, GAsyncResult* result, gpointer data) {
        std::unique_ptr<Request> request(static_cast<Request*>(data));
        GSList* objects = nullptr;
        GError* error = nullptr;
        const bool listed =
            e_cal_client_get_object_list_finish(E_CAL_CLIENT(client), result, &objects, &error);
        if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
            g_clear_error(&error);
            g_slist_free_full(objects, g_object_unref);
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
            } else if (request->events && s.eventClient != nullptr) {
                s.eventsWindow = w.pass->window;
                w.publish(s.uid, w.expandEvents(s, objects, w.pass->window, *w.pass->local),
                          std::nullopt, std::nullopt);
            } else if (!request->events && s.taskClient != nullptr) {
                s.taskFile = w.parseTasks(s, objects);
                s.tasksZone = w.pass->window.zone;
                w.publish(s.uid, std::nullopt, w.taskItems(s, *w.pass->local), std::nullopt);
            }
        }
        g_clear_error(&error);
        g_slist_free_full(objects, g_object_unref);
        w.finishRequest();
    }

    // Records what one read gave: events, tasks or why the source failed. The last events and
    // tasks of a failing source stay.
    void publish(const std::string& uid, std::optional<std::vector<StoreEvent>> events,
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

    void attempted(const std::string& uid) {
        std::lock_guard lock(mutex);
        if (const auto found = published.find(uid); found != published.end()) {
            found->second.attempted = pass->window;
        }
    }

    void finishRequest() {
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

    std::vector<ReminderItem> taskItems(const Source& s, const ical::LocalZone& local) const {
        std::vector<ical::TaskRecord> records;
        s.taskFile->incompleteTasks(local, records);
        const std::string title = text(e_source_get_display_name(s.source));
        std::vector<ReminderItem> items;
        items.reserve(records.size());
        for (auto& r : records) {
            items.emplace_back(s.uid + "/" + r.identifier, std::move(r.title), title, r.due,
                               r.hasTime, r.priority, s.uid);
        }
        return items;
    }

    // Answers every waiting fetch once EDS is known to be absent or a read has finished.
    void completeFetches() {
        std::vector<Fetch> due;
        std::vector<ReminderItem> items;
        {
            std::lock_guard lock(mutex);
            if (phase == Phase::unknown || phase == Phase::connecting || fetches.empty()) {
                return;
            }
            due.swap(fetches);
            for (const auto& uid : order) {
                const Published& p = published.at(uid);
                if (p.tasks) {
                    items.insert(items.end(), p.items.begin(), p.items.end());
                }
            }
        }
        for (auto& fetch : due) {
            if (!fetch.cancelled->load()) {
                fetch.completion(items);
            }
        }
    }
};

class Backend final : public EdsBackend {
public:
    Backend(const EdsOptions& options, EdsNotify notify);
    ~Backend() override;
    bool running() const override;
    QCoro::Task<std::vector<StoreCalendar>> calendars(CalendarEntity entity) override;
    std::vector<StoreCalendar> listed(CalendarEntity entity) const override;
    bool holds(const std::string& calendarID) const override;
    QCoro::Task<std::vector<StoreEvent>> events(Date start, Date end,
                                                std::vector<std::string> calendarIDs) override;
    CalendarStore::FetchToken
    fetchIncompleteReminders(CalendarStore::ReminderCompletion completion) override;
    void cancelFetch(CalendarStore::FetchToken token) override;
    void reset() override;
    void setReadingAllowed(bool allowed) override;
    EdsReport report(std::chrono::milliseconds wait) override;

private:
    std::shared_ptr<Worker> worker_;
    std::unique_ptr<WorkerThread> thread_;
};

Backend::Backend(const EdsOptions& options, EdsNotify notify)
    : worker_(std::make_shared<Worker>()) {
    Worker& w = *worker_;
    w.options = options;
    w.allowed = options.readingAllowed;
    w.notify = std::move(notify);
    w.context = g_main_context_new();
    w.cancellable = g_cancellable_new();
    w.loop = g_main_loop_new(w.context, FALSE);
    thread_ = std::make_unique<WorkerThread>([worker = worker_] { worker->run(); });
    // Long enough for a local bus to answer, short enough that start-up does not notice.
    std::unique_lock lock(w.mutex);
    w.answered.wait_for(lock, options.presenceWait,
                        [&w] { return w.phase != Worker::Phase::unknown; });
}

Backend::~Backend() {
    Worker& w = *worker_;
    {
        std::lock_guard lock(w.notifyMutex);
        w.notify = nullptr;
    }
    {
        std::lock_guard lock(w.mutex);
        for (auto& fetch : w.fetches) {
            fetch.cancelled->store(true);
        }
    }
    // A call stuck on a hung backend gives up now rather than holding up quitting.
    g_cancellable_cancel(w.cancellable);
    w.post([](Worker& worker) { g_main_loop_quit(worker.loop); });
    thread_->stop();
}

bool Backend::running() const {
    std::lock_guard lock(worker_->mutex);
    return worker_->phase == Worker::Phase::connecting || worker_->phase == Worker::Phase::ready;
}

std::vector<StoreCalendar> Backend::listed(CalendarEntity entity) const {
    std::lock_guard lock(worker_->mutex);
    return worker_->listedLocked(entity);
}

QCoro::Task<std::vector<StoreCalendar>> Backend::calendars(CalendarEntity entity) {
    auto promise = std::make_shared<QPromise<std::vector<StoreCalendar>>>();
    QFuture<std::vector<StoreCalendar>> future = promise->future();
    promise->start();
    bool now = false;
    {
        std::lock_guard lock(worker_->mutex);
        now = worker_->settledLocked();
        if (now) {
            promise->addResult(worker_->listedLocked(entity));
            promise->finish();
        }
    }
    if (!now) {
        Worker::Waiter waiter;
        waiter.entity = entity;
        waiter.calendars = promise;
        worker_->wait(std::move(waiter));
    }
    return awaited(std::move(future));
}

bool Backend::holds(const std::string& calendarID) const {
    std::lock_guard lock(worker_->mutex);
    return worker_->published.count(calendarID) != 0;
}

QCoro::Task<std::vector<StoreEvent>> Backend::events(Date start, Date end,
                                                     std::vector<std::string> calendarIDs) {
    const Window window{secondsOf(start), secondsOf(end), currentTimeZoneId()};
    auto promise = std::make_shared<QPromise<std::vector<StoreEvent>>>();
    QFuture<std::vector<StoreEvent>> future = promise->future();
    promise->start();
    bool now = false;
    {
        std::lock_guard lock(worker_->mutex);
        worker_->wanted = window;
        now = worker_->answeredLocked(window, calendarIDs);
        if (now) {
            promise->addResult(worker_->eventsLocked(start, end, calendarIDs));
            promise->finish();
        }
    }
    if (now) {
        return awaited(std::move(future));
    }
    // Read now, and answered when every calendar has answered or the time is up; a source
    // that does not answer in time keeps its last events.
    Worker::Waiter waiter;
    waiter.forEvents = true;
    waiter.window = window;
    waiter.start = start;
    waiter.end = end;
    waiter.ids = std::move(calendarIDs);
    waiter.events = promise;
    worker_->wait(std::move(waiter));
    return awaited(std::move(future));
}

CalendarStore::FetchToken
Backend::fetchIncompleteReminders(CalendarStore::ReminderCompletion completion) {
    const auto token = worker_->nextToken.fetch_add(1);
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    {
        std::lock_guard lock(worker_->mutex);
        worker_->fetches.push_back({token, cancelled, std::move(completion)});
    }
    worker_->post([](Worker& w) { w.scheduleLoad(); });
    return token;
}

void Backend::cancelFetch(CalendarStore::FetchToken token) {
    std::lock_guard lock(worker_->mutex);
    for (auto& fetch : worker_->fetches) {
        if (fetch.token == token) {
            fetch.cancelled->store(true);
        }
    }
}

void Backend::reset() {
    worker_->post([](Worker& w) {
        w.forceReload = true;
        w.scheduleSync();
    });
}

void Backend::setReadingAllowed(bool allowed) {
    {
        std::lock_guard lock(worker_->mutex);
        if (worker_->allowed == allowed) {
            return;
        }
        worker_->allowed = allowed;
    }
    worker_->post([](Worker& w) { w.scheduleLoad(); });
}

EdsReport Backend::report(std::chrono::milliseconds wait) {
    Worker& w = *worker_;
    const auto deadline = std::chrono::steady_clock::now() + wait;
    std::uint64_t before = 0;
    {
        std::unique_lock lock(w.mutex);
        w.answered.wait_until(lock, deadline, [&w] {
            return w.phase == Worker::Phase::absent || w.phase == Worker::Phase::ready;
        });
        before = w.passes;
    }
    // Reads the window last asked for, or this week.
    w.post([](Worker& worker) { worker.scheduleLoad(); });
    EdsReport result;
    std::unique_lock lock(w.mutex);
    result.complete = w.answered.wait_until(lock, deadline, [&w, before] {
        return w.phase == Worker::Phase::absent || w.passes > before;
    });
    result.running = w.phase == Worker::Phase::connecting || w.phase == Worker::Phase::ready;
    for (const auto& uid : w.order) {
        const auto& p = w.published.at(uid);
        result.sources.push_back(EdsSourceReport{p.calendar, p.events, p.tasks,
                                                 p.occurrences.size(), p.items.size(), p.problem});
    }
    return result;
}

} // namespace

} // namespace brivane

extern "C" __attribute__((visibility("default"))) brivane::EdsBackend*
pellora_eds_backend(const brivane::EdsOptions& options, brivane::EdsNotify notify) {
    try {
        return new brivane::Backend(options, std::move(notify));
    } catch (...) {
        return nullptr;
    }
}

#pragma once

// The EDS worker: follows the source registry on the session bus, keeps a client and a view per
// enabled calendar and task list, and reads them in rounds when a view reports a change or a
// window is wanted. It runs on its own thread (EdsLoop); what it reads is published through
// EdsRequests for the main thread.

#include "Brivane/calendar/EdsBackend.h"
#include "Brivane/calendar/GLibHandles.h"
#include "Brivane/calendar/eds/EdsLoop.h"
#include "Brivane/calendar/eds/EdsRequests.h"

#include <libecal/libecal.h>
#include <libedataserver/libedataserver.h>
#include <set>

namespace brivane::eds {

struct Worker;

// One calendar or task list of the registry; worker thread only.
struct WorkerSource {
    Worker* worker = nullptr;
    std::string uid;
    GObjectRef<ESource> source;
    bool events = false;
    bool tasks = false;
    GObjectRef<ECalClient> eventClient;
    GObjectRef<ECalClient> taskClient;
    GObjectRef<ECalClientView> eventView;
    GObjectRef<ECalClientView> taskView;
    std::string eventZone;
    bool eventsStale = true;
    bool tasksStale = true;
    Window eventsWindow;
    std::string tasksZone;
    std::shared_ptr<ical::CalendarFile> taskFile;
};

struct Worker : EdsRequests {
    using Source = WorkerSource;

    Worker(const EdsOptions& options, EdsNotify notify);
    ~Worker();

    EdsOptions options;
    EdsLoop loop;
    // Cancelled when the store goes, so that a call stuck on a hung backend gives up.
    GObjectRef<GCancellable> cancellable{g_cancellable_new()};

    // Runs on the worker thread until the loop quits.
    void run();
    // Runs `work` on the worker thread.
    void post(std::function<void(Worker&)> work);
    // Registers a waiter; it is answered at once when it already can be, else when it can or its
    // time is up.
    void wait(Waiter waiter);
    void scheduleSync();
    void scheduleLoad();
    // Lists the sources again and reads every one anew.
    void reloadAll();
    // From now on the owner hears nothing more; from any thread.
    void cutOwner();

private:
    // The enabled calendars and task lists in the registry's order.
    struct Listing {
        struct Kinds {
            bool events = false;
            bool tasks = false;
        };
        std::vector<std::string> order;
        std::map<std::string, Kinds> kinds;
    };
    // One round of reads: every stale source asked at once, so that EDS answers them side by
    // side; the round ends when the last one has answered.
    struct Pass {
        Window window;
        std::unique_ptr<ical::LocalZone> local;
        int outstanding = 0;
        bool changed = false;
        std::set<std::string> failed;
    };
    struct Request;

    void notifyOwner(bool runningChanged, bool running);
    void start();
    void teardown();
    void setPhase(Phase next);
    void appeared();
    void vanished();
    void registryFailed();
    void registryReady(ESourceRegistry* made);
    void dropRegistry();

    std::string holderOf(ESource* source, const char* extension) const;
    void sync();
    Listing listEnabled() const;
    void dropUnlisted(const Listing& listing);
    std::map<std::string, Published> refreshSources(const Listing& listing);
    bool publishListing(std::map<std::string, Published> next,
                        const std::vector<std::string>& listedOrder);

    static void viewChanged(ECalClientView* view, gpointer, gpointer data);
    static void backendDied(EClient* client, gpointer data);
    static void onlineChanged(GObject*, GParamSpec*, gpointer data);
    void dropClients(Source& s, bool events, bool tasks);
    bool connect(Source& s, bool events, std::string& problem);

    void setProblem(const std::string& uid, std::string problem);
    void scheduleRetry(bool failing);
    void load();
    void request(Source& s, bool events);
    static void answeredRequest(GObject* client, GAsyncResult* result, gpointer data);
    void publish(const std::string& uid, std::optional<std::vector<StoreEvent>> events,
                 std::optional<std::vector<ReminderItem>> items,
                 std::optional<std::string> problem);
    void attempted(const std::string& uid);
    void finishRequest();
    std::vector<ReminderItem> taskItemsOf(const Source& s, const ical::LocalZone& local) const;

    std::mutex notifyMutex;
    EdsNotify notify; // called on this thread, under `notifyMutex`

    // Worker thread only.
    GObjectRef<GDBusConnection> bus;
    guint watch = 0;
    GObjectRef<ESourceRegistry> registry;
    std::map<std::string, std::unique_ptr<Source>> sources;
    std::set<std::string> removedUids;
    guint syncIdle = 0;
    guint loadIdle = 0;
    guint retryTimer = 0;
    unsigned retryDelay = 0;
    bool forceReload = false;
    std::unique_ptr<Pass> pass;
    bool passAgain = false;
};

} // namespace brivane::eds

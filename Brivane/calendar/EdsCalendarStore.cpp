#include "Brivane/calendar/EdsCalendarStore.h"

#include "Brivane/Logging.h"

#include <QMetaObject>
#include <QtGlobal>
#include <dlfcn.h>
#include <filesystem>
#include <gio/gio.h>

namespace brivane {

namespace {

// The module lies beside the executable in a build tree and in its own folder of the library
// directory once installed; dlopen's search path is not used, so no other copy can be picked up.
std::vector<std::filesystem::path> modulePlaces() {
    std::error_code error;
    const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error)
        return {};
    const auto folder = executable.parent_path();
    return {folder / edsModuleFileName,
            (folder / PELLORA_EDS_MODULE_FROM_BINDIR / edsModuleFileName).lexically_normal()};
}

struct ModuleLoad {
    EdsBackendFactory factory = nullptr;
    std::string problem; // why there is no factory
};

// Loaded once per process and never unloaded: the GLib types it registers stay. Why it could not
// be loaded is logged once.
const ModuleLoad& loadModule() {
    static const ModuleLoad load = [] {
        ModuleLoad result;
        std::string looked;
        for (const auto& place : modulePlaces()) {
            if (!std::filesystem::exists(place)) {
                looked += (looked.empty() ? "" : ", ") + place.string();
                continue;
            }
            void* module = dlopen(place.c_str(), RTLD_NOW | RTLD_LOCAL);
            void* made = module != nullptr ? dlsym(module, edsBackendFactoryName) : nullptr;
            if (made != nullptr) {
                result.factory = reinterpret_cast<EdsBackendFactory>(made);
                return result;
            }
            const char* why = dlerror();
            result.problem = why != nullptr ? why : place.string();
            break;
        }
        if (result.problem.empty())
            result.problem = std::string(edsModuleFileName) + " is missing" +
                             (looked.empty() ? "" : " (looked for " + looked + ")");
        qCWarning(lcCalendar, "Evolution Data Server calendars cannot be read: %s",
                  result.problem.c_str());
        return result;
    }();
    return load;
}

GDBusConnection* sessionBus() {
    if (!edsSessionBusConfigured())
        return nullptr;
    return g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
}

// Asks the bus, waiting at most `wait`; false when it does not answer in time.
bool registryOnBus(GDBusConnection* bus, std::chrono::milliseconds wait) {
    g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
        bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "NameHasOwner", g_variant_new("(s)", edsRegistryBusName), G_VARIANT_TYPE("(b)"),
        G_DBUS_CALL_FLAGS_NONE, static_cast<gint>(std::max<std::int64_t>(1, wait.count())), nullptr,
        nullptr);
    if (reply == nullptr)
        return false;
    gboolean owned = FALSE;
    g_variant_get(reply, "(b)", &owned);
    return owned != FALSE;
}

} // namespace

EdsCalendarStore::EdsCalendarStore(QObject* parent) : EdsCalendarStore(Options{}, parent) {}

EdsCalendarStore::EdsCalendarStore(Options options, QObject* parent)
    : QObject(parent), options_(options), allowed_(options.readingAllowed) {
    g_autoptr(GDBusConnection) bus = sessionBus();
    if (bus == nullptr)
        return; // no bus: EDS is absent for good
    if (!registryOnBus(bus, options_.presenceWait) || !startBackend())
        watchForEds();
}

EdsCalendarStore::~EdsCalendarStore() {
    if (watch_ != 0)
        g_bus_unwatch_name(watch_);
    // Joins the backend's thread, after which nothing more is queued for this object.
    backend_.reset();
}

bool EdsCalendarStore::startBackend() {
    const ModuleLoad& module = loadModule();
    if (module.factory == nullptr) {
        unreadable_ = module.problem;
        return false;
    }
    const EdsBackendFactory factory = module.factory;
    Options options = options_;
    options.readingAllowed = allowed_;
    backend_.reset(factory(options, [this](bool runningChanged, bool running) {
        QMetaObject::invokeMethod(
            this,
            [this, runningChanged, running] {
                if (runningChanged)
                    Q_EMIT this->runningChanged(running);
                Q_EMIT changed();
            },
            Qt::QueuedConnection);
    }));
    return backend_ != nullptr;
}

// Until EDS appears; from then on the backend follows it. The callback arrives through the
// main thread's GLib context, which Qt's event loop runs.
void EdsCalendarStore::watchForEds() {
    g_autoptr(GDBusConnection) bus = sessionBus();
    if (bus == nullptr)
        return;
    watch_ = g_bus_watch_name_on_connection(
        bus, edsRegistryBusName, G_BUS_NAME_WATCHER_FLAGS_NONE,
        [](GDBusConnection*, const gchar*, const gchar*, gpointer data) {
            auto* store = static_cast<EdsCalendarStore*>(data);
            if (store->backend_ != nullptr || !store->startBackend())
                return;
            g_bus_unwatch_name(store->watch_);
            store->watch_ = 0;
        },
        nullptr, this, nullptr);
}

bool EdsCalendarStore::running() const {
    return backend_ != nullptr && backend_->running();
}

std::vector<StoreCalendar> EdsCalendarStore::listed(CalendarEntity entity) const {
    return backend_ != nullptr ? backend_->listed(entity) : std::vector<StoreCalendar>{};
}

QCoro::Task<std::vector<StoreCalendar>> EdsCalendarStore::calendars(CalendarEntity entity) {
    if (backend_ == nullptr)
        co_return std::vector<StoreCalendar>{};
    co_return co_await backend_->calendars(entity);
}

bool EdsCalendarStore::holds(const std::string& calendarID) const {
    return backend_ != nullptr && backend_->holds(calendarID);
}

QCoro::Task<std::vector<StoreEvent>>
EdsCalendarStore::events(Date start, Date end, std::vector<std::string> calendarIDs) {
    if (backend_ == nullptr)
        co_return std::vector<StoreEvent>{};
    co_return co_await backend_->events(start, end, std::move(calendarIDs));
}

CalendarStore::FetchToken
EdsCalendarStore::fetchIncompleteReminders(CalendarStore::ReminderCompletion completion) {
    if (backend_ != nullptr)
        return backend_->fetchIncompleteReminders(std::move(completion));
    // No tasks without EDS; answered later, as the backend would, so callers see one order.
    CalendarStore::FetchToken token = 0;
    {
        std::lock_guard lock(mutex_);
        token = nextToken_++;
        unanswered_.insert(token);
    }
    QMetaObject::invokeMethod(
        this,
        [this, token, completion = std::move(completion)] {
            {
                std::lock_guard lock(mutex_);
                if (unanswered_.erase(token) == 0)
                    return; // cancelled
            }
            completion(std::vector<ReminderItem>{});
        },
        Qt::QueuedConnection);
    return token;
}

void EdsCalendarStore::cancelFetch(CalendarStore::FetchToken token) {
    {
        std::lock_guard lock(mutex_);
        if (unanswered_.erase(token) != 0)
            return;
    }
    if (backend_ != nullptr)
        backend_->cancelFetch(token);
}

void EdsCalendarStore::reset() {
    if (backend_ != nullptr)
        backend_->reset();
}

void EdsCalendarStore::setReadingAllowed(bool allowed) {
    allowed_ = allowed;
    if (backend_ != nullptr)
        backend_->setReadingAllowed(allowed);
}

EdsCalendarStore::Report EdsCalendarStore::report(std::chrono::milliseconds wait) {
    if (backend_ != nullptr)
        return backend_->report(wait);
    return Report{false, true, {}};
}

} // namespace brivane

#include "Brivane/calendar/EdsCalendarStore.h"

#include "Brivane/Logging.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QMetaObject>
#include <QtGlobal>
#include <dlfcn.h>
#include <filesystem>
#include <optional>

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

// Qt's own connection, which the tray already holds: GLib's D-Bus client (a connection and two
// threads of its own) starts only with the module, once EDS is there.
std::optional<QDBusConnection> sessionBus() {
    if (!edsSessionBusConfigured())
        return std::nullopt;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return std::nullopt;
    return bus;
}

QDBusMessage askForRegistry() {
    QDBusMessage ask = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameHasOwner"));
    ask << QString::fromLatin1(edsRegistryBusName);
    return ask;
}

bool saysOwned(const QDBusMessage& reply) {
    return reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty() &&
           reply.arguments().constFirst().toBool();
}

} // namespace

EdsCalendarStore::EdsCalendarStore(QObject* parent) : EdsCalendarStore(Options{}, parent) {}

EdsCalendarStore::EdsCalendarStore(Options options, QObject* parent)
    : QObject(parent), options_(options), allowed_(options.readingAllowed) {
    const auto bus = sessionBus();
    if (!bus)
        return; // no bus: EDS is absent for good
    // Watched before asking, so an EDS that starts in between is not missed.
    watch_ = new QDBusServiceWatcher(QString::fromLatin1(edsRegistryBusName), *bus,
                                     QDBusServiceWatcher::WatchForRegistration, this);
    connect(watch_.data(), &QDBusServiceWatcher::serviceRegistered, this,
            &EdsCalendarStore::edsSeen);
    // A short wait, so the first refresh already reads EDS; a bus too busy to answer in time
    // (a login starting everything at once) still answers later, and that answer counts too.
    const auto wait = static_cast<int>(options_.presenceWait.count());
    if (wait > 0) {
        const QDBusMessage reply = bus->call(askForRegistry(), QDBus::Block, wait);
        if (reply.type() == QDBusMessage::ReplyMessage) {
            if (saysOwned(reply))
                edsSeen();
            return; // else the watch sees it start
        }
    }
    auto* answer = new QDBusPendingCallWatcher(bus->asyncCall(askForRegistry()), this);
    connect(answer, &QDBusPendingCallWatcher::finished, this,
            [this](QDBusPendingCallWatcher* call) {
                call->deleteLater();
                if (saysOwned(call->reply()))
                    edsSeen();
            });
}

EdsCalendarStore::~EdsCalendarStore() {
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

// The bus is watched until EDS is seen; from then on the backend follows it. When the module
// cannot be loaded, the next start of EDS tries again.
void EdsCalendarStore::edsSeen() {
    if (backend_ != nullptr || !startBackend())
        return;
    if (watch_ != nullptr)
        watch_->deleteLater();
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

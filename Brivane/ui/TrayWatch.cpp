#include "Brivane/ui/TrayWatch.h"

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QDBusServiceWatcher>
#include <QGuiApplication>
#include <cstdlib>
#include <xcb/xcb.h>

namespace brivane::ui {

namespace {

const QString watcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString watcherPath = QStringLiteral("/StatusNotifierWatcher");

} // namespace

bool TrayWatch::statusNotifierHostPresent() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface() ||
        !bus.interface()->isServiceRegistered(watcherService))
        return false;
    QDBusInterface watcher(watcherService, watcherPath, watcherService, bus);
    return watcher.isValid() && watcher.property("IsStatusNotifierHostRegistered").toBool();
}

namespace {

xcb_connection_t* x11Connection() {
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->connection() : nullptr;
}

// The XEmbed tray selection of the default screen, "_NET_SYSTEM_TRAY_S<n>".
xcb_atom_t traySelection(xcb_connection_t* connection) {
    const QByteArray name = "_NET_SYSTEM_TRAY_S" + QByteArray::number(0);
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, uint16_t(name.size()), name.constData()),
        nullptr);
    const xcb_atom_t atom = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    free(reply);
    return atom;
}

} // namespace

bool TrayWatch::xembedTrayPresent() {
    xcb_connection_t* connection = x11Connection();
    if (!connection)
        return false;
    const xcb_atom_t selection = traySelection(connection);
    if (selection == XCB_ATOM_NONE)
        return false;
    xcb_get_selection_owner_reply_t* reply = xcb_get_selection_owner_reply(
        connection, xcb_get_selection_owner(connection, selection), nullptr);
    const bool owned = reply && reply->owner != XCB_WINDOW_NONE;
    free(reply);
    return owned;
}

namespace {

// A tray taking the selection announces itself with a MANAGER client message on the root window,
// which Qt's xcb connection already receives.
class ManagerFilter final : public QAbstractNativeEventFilter {
public:
    ManagerFilter(TrayWatch* owner, xcb_atom_t manager, xcb_atom_t selection)
        : owner_(owner), manager_(manager), selection_(selection) {}

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) override {
        if (eventType != "xcb_generic_event_t")
            return false;
        const auto* event = static_cast<const xcb_generic_event_t*>(message);
        if ((event->response_type & 0x7f) != XCB_CLIENT_MESSAGE)
            return false;
        const auto* client = static_cast<const xcb_client_message_event_t*>(message);
        if (client->type == manager_ && client->format == 32 &&
            client->data.data32[1] == selection_)
            QMetaObject::invokeMethod(owner_, "hostRegistered", Qt::QueuedConnection);
        return false;
    }

private:
    TrayWatch* owner_;
    xcb_atom_t manager_;
    xcb_atom_t selection_;
};

} // namespace

TrayWatch::TrayWatch(QObject* parent) : QObject(parent) {
    xembedGrace_.setSingleShot(true);
    xembedGrace_.setInterval(3000);
    connect(&xembedGrace_, &QTimer::timeout, this, &TrayWatch::settle);
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected()) {
        auto* services = new QDBusServiceWatcher(watcherService, bus,
                                                 QDBusServiceWatcher::WatchForRegistration, this);
        connect(services, &QDBusServiceWatcher::serviceRegistered, this, &TrayWatch::check);
        // The watcher may come up before its host registers.
        bus.connect(QString(), watcherPath, watcherService,
                    QStringLiteral("StatusNotifierHostRegistered"), this, SLOT(hostRegistered()));
    }
    if (xcb_connection_t* connection = x11Connection()) {
        const QByteArray manager = "MANAGER";
        xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
            connection,
            xcb_intern_atom(connection, 0, uint16_t(manager.size()), manager.constData()), nullptr);
        if (reply) {
            x11Filter_ =
                std::make_unique<ManagerFilter>(this, reply->atom, traySelection(connection));
            QCoreApplication::instance()->installNativeEventFilter(x11Filter_.get());
        }
        free(reply);
    }
    // An XEmbed tray already there starts the wait for the StatusNotifierHost.
    QMetaObject::invokeMethod(this, &TrayWatch::check, Qt::QueuedConnection);
}

TrayWatch::~TrayWatch() {
    if (x11Filter_ && QCoreApplication::instance())
        QCoreApplication::instance()->removeNativeEventFilter(x11Filter_.get());
}

void TrayWatch::hostRegistered() {
    check();
}

void TrayWatch::check() {
    if (emitted_)
        return;
    if (statusNotifierHostPresent()) {
        settle();
        return;
    }
    // A panel with both kinds of tray takes the XEmbed selection a moment before its
    // StatusNotifierHost registers; the D-Bus icon, once Qt settles for XEmbed, never comes.
    if (xembedTrayPresent() && !xembedGrace_.isActive())
        xembedGrace_.start();
}

void TrayWatch::settle() {
    if (emitted_)
        return;
    emitted_ = true;
    xembedGrace_.stop();
    Q_EMIT appeared();
}

} // namespace brivane::ui

#include "Brivane/controller/SystemEvents.h"

#include "Brivane/Logging.h"

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QDir>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QScreen>
#include <QSocketNotifier>
#include <QtEndian>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <xcb/xcb.h>

namespace brivane {

namespace {

const QString login1Service = QStringLiteral("org.freedesktop.login1");
const QString login1Path = QStringLiteral("/org/freedesktop/login1");
const QString login1Manager = QStringLiteral("org.freedesktop.login1.Manager");
const QString propertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");

// The self-pipe of the termination signals: the handler writes the signal number, the main
// thread reads it. One per process.
int signalPipe[2] = {-1, -1};
constexpr int terminationSignals[] = {SIGTERM, SIGINT, SIGHUP};

void onTerminationSignal(int signalNumber) {
    const int saved = errno;
    const auto byte = static_cast<unsigned char>(signalNumber);
    [[maybe_unused]] const auto written = ::write(signalPipe[1], &byte, 1);
    errno = saved;
}

// A fingerprint of the zone file: where the link points and what the file holds.
QString zoneFingerprint(const QString& path) {
    const QFileInfo info(path);
    return info.canonicalFilePath() + u'|' + QString::number(info.size()) + u'|' +
           QString::number(info.lastModified().toMSecsSinceEpoch());
}

} // namespace

// Root-window property changes of _NET_CURRENT_DESKTOP, seen through Qt's xcb connection.
class SystemEvents::X11Filter final : public QAbstractNativeEventFilter {
public:
    X11Filter(SystemEvents* owner, xcb_window_t root, xcb_atom_t atom)
        : owner_(owner), root_(root), atom_(atom) {}

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) override {
        if (eventType != "xcb_generic_event_t")
            return false;
        const auto* event = static_cast<const xcb_generic_event_t*>(message);
        if ((event->response_type & 0x7f) != XCB_PROPERTY_NOTIFY)
            return false;
        const auto* property = static_cast<const xcb_property_notify_event_t*>(message);
        if (property->window == root_ && property->atom == atom_)
            QMetaObject::invokeMethod(owner_, &SystemEvents::workspaceChanged,
                                      Qt::QueuedConnection);
        return false;
    }

private:
    SystemEvents* owner_;
    xcb_window_t root_;
    xcb_atom_t atom_;
};

SystemEvents::SystemEvents(QObject* parent) : QObject(parent) {
    watchTermination();
    watchTimeZone();
    watchScreens();
    watchLogind();
    watchWorkspaces();
}

SystemEvents::~SystemEvents() {
    if (x11Filter_ && QCoreApplication::instance())
        QCoreApplication::instance()->removeNativeEventFilter(x11Filter_.get());
    if (signalNotifier_) {
        for (int signalNumber : terminationSignals)
            std::signal(signalNumber, SIG_DFL);
        ::close(signalPipe[0]);
        ::close(signalPipe[1]);
        signalPipe[0] = signalPipe[1] = -1;
    }
}

// --- termination signals ----------------------------------------------------------------------

void SystemEvents::watchTermination() {
    if (signalPipe[0] >= 0 || ::pipe2(signalPipe, O_NONBLOCK | O_CLOEXEC) != 0)
        return;
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signalNumber : terminationSignals)
        sigaction(signalNumber, &action, nullptr);
    signalNotifier_ = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(signalNotifier_, &QSocketNotifier::activated, this, [this] {
        unsigned char byte = 0;
        while (::read(signalPipe[0], &byte, 1) == 1)
            Q_EMIT terminationRequested(byte);
    });
}

// --- time zone --------------------------------------------------------------------------------

QString SystemEvents::timeZoneFile() {
    QString tz = qEnvironmentVariable("TZ");
    if (tz.startsWith(u':'))
        tz.remove(0, 1);
    if (tz.isEmpty())
        return QStringLiteral("/etc/localtime");
    if (QDir::isAbsolutePath(tz))
        return tz;
    const QString dir = qEnvironmentVariable("TZDIR", QStringLiteral("/usr/share/zoneinfo"));
    return dir + u'/' + tz;
}

void SystemEvents::watchTimeZone() {
    const QString file = timeZoneFile();
    zoneWatcher_ = new QFileSystemWatcher(this);
    // The zone file is usually a link that tools replace by renaming: watch its folder too.
    zoneWatcher_->addPath(QFileInfo(file).absolutePath());
    if (QFileInfo::exists(file))
        zoneWatcher_->addPath(file);
    auto fingerprint = std::make_shared<QString>(zoneFingerprint(file));
    auto check = [this, file, fingerprint] {
        if (QFileInfo::exists(file) && !zoneWatcher_->files().contains(file))
            zoneWatcher_->addPath(file);
        const QString now = zoneFingerprint(file);
        if (now != *fingerprint) {
            *fingerprint = now;
            Q_EMIT timeZoneChanged();
        }
    };
    connect(zoneWatcher_, &QFileSystemWatcher::fileChanged, this, check);
    connect(zoneWatcher_, &QFileSystemWatcher::directoryChanged, this, check);

    QDBusConnection::systemBus().connect(
        QStringLiteral("org.freedesktop.timedate1"), QStringLiteral("/org/freedesktop/timedate1"),
        propertiesInterface, QStringLiteral("PropertiesChanged"), this,
        SLOT(onTimedateProperties(QString, QVariantMap, QStringList)));
}

void SystemEvents::onTimedateProperties(const QString& interface, const QVariantMap& changed,
                                        const QStringList& invalidated) {
    if (interface == u"org.freedesktop.timedate1" &&
        (changed.contains(QStringLiteral("Timezone")) ||
         invalidated.contains(QStringLiteral("Timezone"))))
        Q_EMIT timeZoneChanged();
}

// --- screens and activation -------------------------------------------------------------------

void SystemEvents::watchScreens() {
    auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    if (!app)
        return;
    connect(app, &QGuiApplication::screenAdded, this, [this](QScreen* screen) {
        watchScreen(screen);
        Q_EMIT screensChanged();
    });
    connect(app, &QGuiApplication::screenRemoved, this, &SystemEvents::screensChanged);
    connect(app, &QGuiApplication::primaryScreenChanged, this, &SystemEvents::screensChanged);
    for (QScreen* screen : QGuiApplication::screens())
        watchScreen(screen);
    connect(app, &QGuiApplication::applicationStateChanged, this, [this](Qt::ApplicationState s) {
        if (s == Qt::ApplicationActive)
            Q_EMIT applicationActivated();
    });
}

void SystemEvents::watchScreen(QScreen* screen) {
    connect(screen, &QScreen::geometryChanged, this, &SystemEvents::screensChanged);
    connect(screen, &QScreen::logicalDotsPerInchChanged, this, &SystemEvents::screensChanged);
}

// --- logind: sleep, shutdown, lock -----------------------------------------------------------

void SystemEvents::watchLogind() {
    QDBusConnection bus = QDBusConnection::systemBus();
    if (bus.isConnected()) {
        bus.connect(login1Service, login1Path, login1Manager, QStringLiteral("PrepareForSleep"),
                    this, SLOT(onPrepareForSleep(bool)));
        bus.connect(login1Service, login1Path, login1Manager, QStringLiteral("PrepareForShutdown"),
                    this, SLOT(onPrepareForShutdown(bool)));
        takeShutdownInhibitor();

        // Our session's object, for LockedHint.
        QDBusMessage call = QDBusMessage::createMethodCall(login1Service, login1Path, login1Manager,
                                                           QStringLiteral("GetSessionByPID"));
        call << static_cast<uint>(QCoreApplication::applicationPid());
        auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this,
                [this](QDBusPendingCallWatcher* w) {
                    w->deleteLater();
                    const QDBusPendingReply<QDBusObjectPath> reply = *w;
                    if (reply.isError()) {
                        warnOnce(lcController(), "No login session: " + reply.error().message());
                        return;
                    }
                    sessionPath_ = reply.value().path();
                    QDBusConnection::systemBus().connect(
                        login1Service, sessionPath_, propertiesInterface,
                        QStringLiteral("PropertiesChanged"), this,
                        SLOT(onSessionProperties(QString, QVariantMap, QStringList)));
                });
    }
    // The screensaver of the desktop (GNOME and the freedesktop name most others use).
    QDBusConnection session = QDBusConnection::sessionBus();
    for (const QString& interface :
         {QStringLiteral("org.freedesktop.ScreenSaver"), QStringLiteral("org.gnome.ScreenSaver")})
        session.connect(QString(), QString(), interface, QStringLiteral("ActiveChanged"), this,
                        SLOT(onScreenSaverActive(bool)));
}

void SystemEvents::takeShutdownInhibitor() {
    QDBusMessage call = QDBusMessage::createMethodCall(login1Service, login1Path, login1Manager,
                                                       QStringLiteral("Inhibit"));
    call << QStringLiteral("shutdown") << QStringLiteral("Pellora")
         << QStringLiteral("Putting the user's wallpaper back") << QStringLiteral("delay");
    auto* watcher = new QDBusPendingCallWatcher(QDBusConnection::systemBus().asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        const QDBusPendingReply<QDBusUnixFileDescriptor> reply = *w;
        if (!reply.isError())
            inhibitor_ = reply.value();
        else
            warnOnce(lcController(), "No shutdown delay: " + reply.error().message());
    });
}

void SystemEvents::releaseShutdownInhibitor() {
    inhibitor_ = QDBusUnixFileDescriptor();
}

void SystemEvents::onPrepareForSleep(bool sleeping) {
    if (!sleeping)
        Q_EMIT woke();
}

void SystemEvents::onPrepareForShutdown(bool starting) {
    if (starting) {
        Q_EMIT shutdownRequested();
        return;
    }
    // The shutdown was called off.
    if (!inhibitor_.isValid())
        takeShutdownInhibitor();
    Q_EMIT shutdownCancelled();
}

void SystemEvents::onSessionProperties(const QString& interface, const QVariantMap& changed,
                                       const QStringList&) {
    if (interface != u"org.freedesktop.login1.Session")
        return;
    const auto it = changed.find(QStringLiteral("LockedHint"));
    if (it != changed.end())
        Q_EMIT sessionLockChanged(it->toBool());
}

void SystemEvents::onScreenSaverActive(bool active) {
    Q_EMIT sessionLockChanged(active);
}

// --- workspaces -------------------------------------------------------------------------------

void SystemEvents::watchWorkspaces() {
    if (auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        if (auto* x11 = app->nativeInterface<QNativeInterface::QX11Application>()) {
            xcb_connection_t* connection = x11->connection();
            // Platforms other than xcb (offscreen with its GLX helper) may offer the interface
            // without a connection.
            if (!connection || xcb_connection_has_error(connection)) {
                watchSway();
                return;
            }
            const char name[] = "_NET_CURRENT_DESKTOP";
            xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(
                connection, xcb_intern_atom(connection, 0, sizeof name - 1, name), nullptr);
            const xcb_setup_t* setup = xcb_get_setup(connection);
            const xcb_screen_iterator_t screen = xcb_setup_roots_iterator(setup);
            if (atom && screen.rem > 0) {
                // Qt already selects property changes on the root window.
                x11Filter_ = std::make_unique<X11Filter>(this, screen.data->root, atom->atom);
                app->installNativeEventFilter(x11Filter_.get());
            }
            std::free(atom);
        }
    }
    watchSway();
}

void SystemEvents::watchSway() {
    const QString path = qEnvironmentVariable("SWAYSOCK");
    if (path.isEmpty())
        return;
    sway_ = new QLocalSocket(this);
    connect(sway_, &QLocalSocket::connected, this, [this] {
        // i3 IPC: magic, payload length, message type 2 (SUBSCRIBE), payload.
        const QByteArray payload = QByteArrayLiteral("[\"workspace\"]");
        QByteArray message = QByteArrayLiteral("i3-ipc");
        const quint32 header[2] = {static_cast<quint32>(payload.size()), 2};
        message.append(reinterpret_cast<const char*>(header), sizeof header);
        message.append(payload);
        sway_->write(message);
    });
    connect(sway_, &QLocalSocket::readyRead, this, [this] {
        swayBuffer_ += sway_->readAll();
        constexpr qsizetype headerSize = 14;
        while (swayBuffer_.size() >= headerSize) {
            quint32 length = 0;
            quint32 type = 0;
            std::memcpy(&length, swayBuffer_.constData() + 6, 4);
            std::memcpy(&type, swayBuffer_.constData() + 10, 4);
            if (length > (1u << 24)) { // not a sway socket
                sway_->abort();
                swayBuffer_.clear();
                return;
            }
            if (swayBuffer_.size() < headerSize + qsizetype(length))
                return;
            const QByteArray payload = swayBuffer_.mid(headerSize, length);
            swayBuffer_.remove(0, headerSize + length);
            // Event 0 (workspace) with the high bit; only a change of focus moves the user.
            if (type == 0x80000000u) {
                const auto change = QJsonDocument::fromJson(payload).object().value(u"change");
                if (change.toString() == u"focus")
                    Q_EMIT workspaceChanged();
            }
        }
    });
    sway_->connectToServer(path);
}

} // namespace brivane

#pragma once

// The desktop's notifications the controller listens to, each turned into a Qt signal on the main
// thread: time-zone change (/etc/localtime and the file TZ names, org.freedesktop.timedate1),
// screens added, removed, resized or a new primary, the application becoming active, wake and
// shutdown (logind PrepareForSleep / PrepareForShutdown), the session lock (logind LockedHint, the
// screensaver's ActiveChanged), workspace changes (X11 _NET_CURRENT_DESKTOP, sway IPC), and the
// termination signals SIGTERM, SIGINT and SIGHUP (a self-pipe: the handler only writes a byte).
// A source that is not there (no system bus, no X11, no sway) is simply not listened to.

#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QPointer>
#include <QString>
#include <memory>

class QFileSystemWatcher;
class QLocalSocket;
class QScreen;
class QSocketNotifier;

namespace brivane {

class SystemEvents : public QObject {
    Q_OBJECT
public:
    explicit SystemEvents(QObject* parent = nullptr);
    ~SystemEvents() override;

    // Holds a logind "delay" lock so that a shutdown waits until the wallpaper is back; release
    // it once the restore is done.
    void releaseShutdownInhibitor();

    // The file the time zone comes from: the one TZ names, else /etc/localtime.
    static QString timeZoneFile();

Q_SIGNALS:
    void timeZoneChanged();
    void screensChanged();
    void applicationActivated();
    void woke();
    void workspaceChanged();
    void sessionLockChanged(bool locked);
    void shutdownRequested();
    // PrepareForShutdown(false): the shutdown was called off.
    void shutdownCancelled();
    // SIGTERM, SIGINT or SIGHUP arrived.
    void terminationRequested(int signalNumber);

private Q_SLOTS:
    void onPrepareForSleep(bool sleeping);
    void onPrepareForShutdown(bool starting);
    void onSessionProperties(const QString& interface, const QVariantMap& changed,
                             const QStringList& invalidated);
    void onScreenSaverActive(bool active);
    void onTimedateProperties(const QString& interface, const QVariantMap& changed,
                              const QStringList& invalidated);

private:
    void watchTimeZone();
    void watchScreens();
    void watchScreen(QScreen* screen);
    void watchLogind();
    void watchWorkspaces();
    void watchSway();
    void watchTermination();
    void takeShutdownInhibitor();

    QFileSystemWatcher* zoneWatcher_ = nullptr;
    QLocalSocket* sway_ = nullptr;
    QByteArray swayBuffer_;
    QSocketNotifier* signalNotifier_ = nullptr;
    QDBusUnixFileDescriptor inhibitor_;
    QString sessionPath_;
    class X11Filter;
    std::unique_ptr<X11Filter> x11Filter_;
};

} // namespace brivane

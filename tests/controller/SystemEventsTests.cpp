#include "Brivane/controller/SystemEvents.h"
#include "ControllerTestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileSystemWatcher>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QTemporaryDir>
#include <csignal>
#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <xcb/xcb.h>

namespace brivane {
namespace {

// The peer has read everything written to this local socket. Both ends run on this thread, so
// the peer has also handled what it read.
bool readByPeer(QLocalSocket& socket) {
    int unread = -1;
    return ::ioctl(int(socket.socketDescriptor()), SIOCOUTQ, &unread) == 0 && unread == 0;
}

// A sway IPC socket of our own: it takes the subscription and sends workspace events.
TEST(SystemEventsTest, SwayWorkspaceFocusIsAWorkspaceChange) {
    const QString path = test::freshDirectory("sway") + "/sway-ipc.sock";
    QLocalServer server;
    ASSERT_TRUE(server.listen(path));
    qputenv("SWAYSOCK", path.toUtf8());
    SystemEvents events;
    qunsetenv("SWAYSOCK");
    int changes = 0;
    QObject::connect(&events, &SystemEvents::workspaceChanged, [&] { ++changes; });

    ASSERT_TRUE(test::waitUntil([&] { return server.hasPendingConnections(); }));
    QLocalSocket* client = server.nextPendingConnection();
    QByteArray subscription;
    ASSERT_TRUE(test::waitUntil([&] {
        subscription += client->readAll();
        return subscription.size() >= 14 + 13;
    }));
    EXPECT_TRUE(subscription.startsWith("i3-ipc"));
    EXPECT_TRUE(subscription.endsWith("[\"workspace\"]"));

    auto send = [&](quint32 type, const QByteArray& payload) {
        QByteArray message = "i3-ipc";
        const quint32 header[2] = {quint32(payload.size()), type};
        message.append(reinterpret_cast<const char*>(header), sizeof header);
        message.append(payload);
        // Split in two writes: a message may arrive in pieces.
        client->write(message.left(9));
        client->flush();
        ASSERT_TRUE(test::waitUntil([&] { return readByPeer(*client); }));
        client->write(message.mid(9));
        client->flush();
        ASSERT_TRUE(test::waitUntil([&] { return readByPeer(*client); }));
    };
    send(2, R"({"success": true})");
    send(0x80000000u, R"({"change": "init", "current": {"num": 3}})");
    send(0x80000000u, R"({"change": "focus", "current": {"num": 2}})");
    // The peer having read the bytes does not mean it has handled them yet.
    EXPECT_TRUE(test::waitUntil([&] { return changes > 0; }));
    EXPECT_EQ(changes, 1) << "only a change of focus moves the user";
}

// The zone file TZ names is watched; replacing it (as tools do, by renaming) is a change.
TEST(SystemEventsTest, ReplacingTheZoneFileIsATimeZoneChange) {
    const QString dir = test::freshDirectory("zone");
    const QString zone = dir + "/localtime";
    QFile::copy("/usr/share/zoneinfo/Europe/Rome", zone);
    const QByteArray saved = qgetenv("TZ");
    qputenv("TZ", (":" + zone).toUtf8());
    EXPECT_EQ(SystemEvents::timeZoneFile(), zone);
    SystemEvents events;
    qputenv("TZ", saved);
    int changes = 0;
    QObject::connect(&events, &SystemEvents::timeZoneChanged, [&] { ++changes; });

    QFile::copy("/usr/share/zoneinfo/Asia/Tokyo", dir + "/next");
    ASSERT_EQ(::rename((dir + "/next").toLocal8Bit().constData(), zone.toLocal8Bit().constData()),
              0);
    EXPECT_TRUE(test::waitUntil([&] { return changes >= 1; }));
    const int afterFirst = changes;
    // A watcher of our own sees the folder change; the controller's, armed first on the same
    // folder, is served in the same turn of the event loop or the next.
    QFileSystemWatcher folder({dir});
    bool seen = false;
    QObject::connect(&folder, &QFileSystemWatcher::directoryChanged, [&] { seen = true; });
    QFile(dir + "/unrelated").open(QIODevice::WriteOnly);
    ASSERT_TRUE(test::waitUntil([&] { return seen; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(changes, afterFirst) << "another file of the folder is no change of zone";
}

// Under X11 the root window's _NET_CURRENT_DESKTOP, set as a window manager sets it.
TEST(SystemEventsTest, TheX11CurrentDesktopIsAWorkspaceChange) {
    if (!test::haveDisplay())
        GTEST_SKIP() << "no display";
    SystemEvents events;
    int changes = 0;
    QObject::connect(&events, &SystemEvents::workspaceChanged, [&] { ++changes; });

    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    ASSERT_FALSE(xcb_connection_has_error(connection));
    const char name[] = "_NET_CURRENT_DESKTOP";
    xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, sizeof name - 1, name), nullptr);
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    const std::uint32_t desktop = 2;
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, root, atom->atom, XCB_ATOM_CARDINAL, 32,
                        1, &desktop);
    xcb_flush(connection);
    std::free(atom);
    EXPECT_TRUE(test::waitUntil([&] { return changes >= 1; }));
    xcb_disconnect(connection);
}

// The tray application as a session manager restores it ("-session ID", Qt's own arguments) and
// on a platform without X11 and without sway (offscreen): it starts, stays and ends on SIGTERM.
TEST(Startup, QtsOwnArgumentsAndPlatformsWithoutX11) {
    const QStringList qtArguments = {"-session", "1234abc", "-reverse",
                                     "-style",   "Fusion",  "--platform=offscreen"};
    for (const QStringList& arguments : {QStringList{}, qtArguments}) {
        SCOPED_TRACE(arguments.join(' ').toStdString());
        // Short: the single-instance socket's path must fit a socket address.
        QTemporaryDir folder(QDir::tempPath() + "/pst-XXXXXX");
        const QString root = folder.path();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name :
             {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR"}) {
            QDir().mkpath(root + "/" + name);
            env.insert(name, root + "/" + name);
        }
        QFile::setPermissions(root + "/XDG_RUNTIME_DIR", QFileDevice::ReadOwner |
                                                             QFileDevice::WriteOwner |
                                                             QFileDevice::ExeOwner);
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.remove("SWAYSOCK");
        QProcess pellora;
        pellora.setProcessEnvironment(env);
        pellora.start(test::pelloraExecutable(), arguments);
        ASSERT_TRUE(pellora.waitForStarted(10000));
        // Settled: the controller has started and refreshed once.
        ASSERT_FALSE(pellora.waitForFinished(4000)) << pellora.readAllStandardError().toStdString();
        ASSERT_GT(pellora.processId(), 0);
        ::kill(pid_t(pellora.processId()), SIGTERM);
        ASSERT_TRUE(pellora.waitForFinished(10000));
        EXPECT_EQ(pellora.exitStatus(), QProcess::NormalExit)
            << pellora.readAllStandardError().toStdString();
    }

    // Anything else is still refused.
    QProcess bogus;
    bogus.start(test::pelloraExecutable(), {"-session", "1", "--bogus"});
    ASSERT_TRUE(bogus.waitForFinished(10000));
    EXPECT_EQ(bogus.exitCode(), 2);
    EXPECT_TRUE(bogus.readAllStandardError().contains("unknown argument '--bogus'"));
}

} // namespace
} // namespace brivane

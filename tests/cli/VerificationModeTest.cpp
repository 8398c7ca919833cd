#include "TestSession.h"

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QObject>
#include <QProcess>
#include <QTimer>
#include <csignal>
#include <functional>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace brivane {
namespace {

struct Outcome {
    int status = -1;
    QString output;
};

// The program itself, as a user or a support script runs it.
Outcome pellora(const QStringList& arguments, const std::map<QString, QString>& environment = {},
                const QStringList& unset = {}) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("LANGUAGE", "en_GB");
    for (const auto& [key, value] : environment)
        env.insert(key, value);
    for (const QString& key : unset)
        env.remove(key);
    QProcess process;
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(PELLORA_EXECUTABLE, arguments);
    process.waitForFinished(60000);
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAllStandardOutput())};
}

class VerificationModeTest : public testing::Test {
protected:
    void SetUp() override {
        PELLORA_REQUIRE("display", test::haveDisplay() && test::haveSessionBus(),
                        "needs the two-monitor display and D-Bus of scripts/with-session");
        tmp = test::freshDirectory("tmp");
        user = test::writeImage(test::freshDirectory("pictures") + "/my lake.png", {64, 40},
                                Qt::darkCyan);
    }
    QStringList leftovers() const { return QDir(tmp).entryList(QDir::Dirs | QDir::NoDotAndDotDot); }
    QString tmp;
    QUrl user;
};

TEST_F(VerificationModeTest, PassesOnGnomeSettingsWithTwoMonitors) {
    test::run("gsettings", {"set", "org.gnome.desktop.background", "picture-uri", user.toString()});
    const QString before =
        test::run("gsettings", {"get", "org.gnome.desktop.background", "picture-uri"});
    const Outcome run =
        pellora({"--verify-wallpaper"}, {{"PELLORA_DESKTOP", "GNOME"}, {"TMPDIR", tmp}});
    EXPECT_EQ(run.output,
              "PASS: wallpaper applied and original URL restored from saved recovery data on A.\n");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(test::run("gsettings", {"get", "org.gnome.desktop.background", "picture-uri"}),
              before);
    EXPECT_TRUE(leftovers().isEmpty()) << "the verification directory is deleted";
}

TEST_F(VerificationModeTest, PassesOnXfceThroughXfconf) {
    auto set = [](const QString& property, const QVariant& value) {
        QDBusMessage m = QDBusMessage::createMethodCall("org.xfce.Xfconf", "/org/xfce/Xfconf",
                                                        "org.xfce.Xfconf", "SetProperty");
        m.setArguments({"xfce4-desktop", property, QVariant::fromValue(QDBusVariant(value))});
        return QDBusConnection::sessionBus().call(m);
    };
    const QString key = "/backdrop/screen0/monitorA/workspace0/last-image";
    ASSERT_EQ(set(key, user.toLocalFile()).type(), QDBusMessage::ReplyMessage);
    set("/backdrop/screen0/monitorA/workspace0/image-style", 5);
    const Outcome run =
        pellora({"--verify-wallpaper"}, {{"PELLORA_DESKTOP", "XFCE"}, {"TMPDIR", tmp}});
    EXPECT_EQ(run.output,
              "PASS: wallpaper applied and original URL restored from saved recovery data on A.\n");
    EXPECT_EQ(run.status, 0);
    QDBusMessage get = QDBusMessage::createMethodCall("org.xfce.Xfconf", "/org/xfce/Xfconf",
                                                      "org.xfce.Xfconf", "GetProperty");
    get.setArguments({"xfce4-desktop", "/backdrop/screen0/monitorA/workspace0/image-style"});
    EXPECT_EQ(QDBusConnection::sessionBus()
                  .call(get)
                  .arguments()
                  .value(0)
                  .value<QDBusVariant>()
                  .variant(),
              5);
}

TEST_F(VerificationModeTest, AFailureIsExplainedAndTheDirectoryKept) {
    const Outcome run =
        pellora({"--verify-wallpaper"}, {{"PELLORA_DESKTOP", "Nowhere"}, {"TMPDIR", tmp}});
    EXPECT_EQ(run.status, 1);
    const QStringList lines = run.output.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 5) << run.output.toStdString();
    EXPECT_TRUE(lines[0].startsWith("Expected directory: " + QDir(tmp).canonicalPath() +
                                    "/agenda-wallpaper-verification-"));
    EXPECT_EQ(lines[1], "Observed desktop URL: nil");
    EXPECT_EQ(lines[2], "Successful screens: 0; errors: [\"A: Pellora cannot set the wallpaper on "
                        "this desktop (Nowhere).\"]");
    EXPECT_TRUE(lines[3].startsWith("Applied: false, restored: true. Recovery data: "));
    EXPECT_EQ(lines[4], "Wallpaper verification failed: A: Pellora cannot set the wallpaper on "
                        "this desktop (Nowhere).");
    EXPECT_EQ(leftovers().size(), 1) << "kept for inspection";
}

TEST_F(VerificationModeTest, ADesktopWhoseSettingsAreNotInstalledGivesAClearLine) {
    // Without the test schemas, and with no system folders to find the machine's own in, MATE's
    // settings do not exist; GSettings must not abort.
    const Outcome run = pellora({"--verify-wallpaper"},
                                {{"PELLORA_DESKTOP", "MATE"},
                                 {"TMPDIR", tmp},
                                 {"XDG_DATA_DIRS", test::freshDirectory("no-data-dirs")}},
                                {"GSETTINGS_SCHEMA_DIR"});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(run.output.endsWith("Wallpaper verification failed: A: The MATE background "
                                    "settings (org.mate.background) are not installed.\n"))
        << run.output.toStdString();
}

// sway cannot be asked for its backgrounds; without the swaybg it starts to read them from, the
// check would only read back Pellora's own record: it fails and says why.
TEST_F(VerificationModeTest, SwayWithoutSwaybgCannotBeVerified) {
    const QString bin = test::freshDirectory("bin");
    ASSERT_TRUE(QFile::copy(PELLORA_FAKE_SWAYMSG, bin + "/swaymsg"));
    const QString config = qEnvironmentVariable("XDG_CONFIG_HOME") + "/sway/config";
    QDir().mkpath(QFileInfo(config).path());
    QFile file(config);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("output * bg \"" + user.toLocalFile().toUtf8() + "\" fill\n");
    file.close();
    const Outcome run =
        pellora({"--verify-wallpaper"}, {{"PELLORA_DESKTOP", "sway"},
                                         {"TMPDIR", tmp},
                                         {"SWAYSOCK", bin + "/sway-ipc.sock"},
                                         {"PATH", bin + ":" + qEnvironmentVariable("PATH")}});
    QFile::remove(config);
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(run.output.endsWith("\nWallpaper verification failed: sway runs no swaybg: the "
                                    "picture it shows cannot be read\n"))
        << run.output.toStdString();
    QFile calls(bin + "/calls.log");
    ASSERT_TRUE(calls.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = calls.readAll().split('\n');
    ASSERT_EQ(lines.size(), 3) << "the agenda, then the user's picture back";
    EXPECT_EQ(lines[1], "A\t" + user.toLocalFile().toUtf8().toHex() + "\tfill\t");
}

// Qt aborts when no plugin for its platform is installed (qt6-wayland missing on sway): one line
// says so and the program ends with 1, in every mode that needs a display.
TEST_F(VerificationModeTest, AMissingPlatformPluginIsSaidNotAborted) {
    for (const QString& platform : {QString("nonexistent"), QString("wayland-nonexistent")}) {
        for (const QStringList& arguments :
             {QStringList{"--display-info"}, QStringList{"--verify-wallpaper"},
              QStringList{"--desktop-url", "A"}, QStringList{}}) {
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert("LANGUAGE", "en_GB");
            env.insert("QT_QPA_PLATFORM", platform);
            env.insert("TMPDIR", tmp);
            QProcess process;
            process.setProcessEnvironment(env);
            process.start(PELLORA_EXECUTABLE, arguments);
            ASSERT_TRUE(process.waitForFinished(60000));
            const QString context = platform + " " + arguments.join(' ');
            EXPECT_EQ(process.exitStatus(), QProcess::NormalExit) << context.toStdString();
            EXPECT_EQ(process.exitCode(), 1) << context.toStdString();
            EXPECT_EQ(QString::fromUtf8(process.readAllStandardError()),
                      "pellora: Qt cannot start: no platform plugin is installed for " + platform +
                          (platform.startsWith("wayland") ? " (package qt6-wayland)" : "") + "\n")
                << context.toStdString();
            EXPECT_EQ(process.readAllStandardOutput(), "") << context.toStdString();
        }
    }
    EXPECT_TRUE(leftovers().isEmpty()) << "nothing was changed";
}

TEST_F(VerificationModeTest, WithoutADisplayThereIsNoScreen) {
    const Outcome run = pellora({"--verify-wallpaper"}, {{"TMPDIR", tmp}},
                                {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.output, "Wallpaper verification failed: The previous wallpaper cannot be "
                          "recovered. Choose an image in System Settings and try again.\n");
}

TEST_F(VerificationModeTest, ScreenQueriesAndTheirOrderAmongTheModes) {
    const Outcome info = pellora({"--display-info"});
    EXPECT_EQ(info.status, 0);
    EXPECT_EQ(nlohmann::json::parse(info.output.toStdString()),
              nlohmann::json::parse(R"([{"name":"A","width":"1920","height":"1080","scale":"1.0"},
                                        {"name":"B","width":"1920","height":"1200","scale":"1.0"}])"));
    EXPECT_TRUE(info.output.startsWith("[\n  {\n")) << "pretty-printed";

    const Outcome scaled = pellora({"--display-info"}, {{"QT_SCREEN_SCALE_FACTORS", "A=2;B=1.5"}});
    const auto screens = nlohmann::json::parse(scaled.output.toStdString());
    EXPECT_EQ(screens[0]["scale"], "2.0");
    EXPECT_EQ(screens[0]["width"], "960");
    EXPECT_EQ(screens[1]["scale"], "1.5");

    test::run("gsettings", {"set", "org.gnome.desktop.background", "picture-uri", user.toString()});
    const Outcome url = pellora({"--desktop-url", "B"}, {{"PELLORA_DESKTOP", "GNOME"}});
    EXPECT_EQ(url.output, user.toString(QUrl::FullyEncoded) + "\n");
    EXPECT_EQ(url.status, 0);
    EXPECT_EQ(pellora({"--desktop-url", "nosuchscreen"}).output, "");

    // --desktop-url as the last argument does not apply; the display description runs.
    EXPECT_EQ(pellora({"--display-info", "--desktop-url"}).output, info.output);
    // The query wins over the verification, which wins over the previews.
    EXPECT_EQ(pellora({"--verify-wallpaper", "--desktop-url", "nosuchscreen"}).output, "");
}

// DISPLAY names a server that is not there (gone, or never started): Qt would abort; the modes
// answer as without a display.
TEST(ScreenQueries, AnUnreachableDisplayIsLikeNoDisplay) {
    const std::map<QString, QString> gone = {{"DISPLAY", ":98765"},
                                             {"TMPDIR", test::sessionRoot()}};
    const QStringList unset = {"WAYLAND_DISPLAY", "QT_QPA_PLATFORM"};
    const Outcome info = pellora({"--display-info"}, gone, unset);
    EXPECT_EQ(info.status, 0);
    EXPECT_EQ(info.output, "[]\n");
    const Outcome url = pellora({"--desktop-url", "A"}, gone, unset);
    EXPECT_EQ(url.status, 0);
    EXPECT_EQ(url.output, "");
    const Outcome verify = pellora({"--verify-wallpaper"}, gone, unset);
    EXPECT_EQ(verify.status, 1);
    EXPECT_EQ(verify.output, "Wallpaper verification failed: The previous wallpaper cannot be "
                             "recovered. Choose an image in System Settings and try again.\n");
}

// Stands in for plasmashell: always reports the user's picture (so the check keeps waiting for
// the new one) and notes every picture it is told to show.
class SlowPlasma : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.PlasmaShell")
public:
    QString picture;
    QStringList written;
    std::function<void()> onWrite;

public Q_SLOTS:
    QString evaluateScript(const QString& script) {
        if (!script.contains("writeConfig(\"Image\""))
            return QStringLiteral(
                       R"({"wallpaperPlugin":"org.kde.image","Image":"%1","FillMode":2})")
                .arg(picture);
        written << script.section("writeConfig(\"Image\", \"", 1).section('"', 0, 0);
        if (onWrite)
            onWrite();
        return QStringLiteral("OK");
    }
};

// SIGTERM (a logout, a kill from a script) while the check has changed the wallpaper: the
// check stops waiting, puts the user's picture back, and only then ends by that signal.
TEST_F(VerificationModeTest, ASignalDuringTheCheckStillPutsTheWallpaperBack) {
    SlowPlasma plasma;
    plasma.picture = user.toString();
    auto bus = QDBusConnection::sessionBus();
    ASSERT_TRUE(bus.registerObject("/PlasmaShell", &plasma, QDBusConnection::ExportAllSlots));
    ASSERT_TRUE(test::claimBusName("org.kde.plasmashell"));

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("LANGUAGE", "en_GB");
    env.insert("PELLORA_DESKTOP", "KDE");
    env.insert("TMPDIR", tmp);
    QProcess process;
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    plasma.onWrite = [&] {
        if (plasma.written.size() == 1)
            ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
    };
    process.start(PELLORA_EXECUTABLE, {"--verify-wallpaper"});
    QEventLoop loop;
    QObject::connect(&process, &QProcess::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(30000, &loop, &QEventLoop::quit);
    loop.exec();
    bus.unregisterService("org.kde.plasmashell");
    bus.unregisterObject("/PlasmaShell");

    ASSERT_EQ(process.state(), QProcess::NotRunning);
    ASSERT_EQ(plasma.written.size(), 2) << "the sample, then the user's picture";
    EXPECT_TRUE(plasma.written[0].contains("agenda-wallpaper-verification-"));
    EXPECT_EQ(QUrl(plasma.written[1]), user);
    EXPECT_EQ(process.exitStatus(), QProcess::CrashExit) << "ended by the signal";
    EXPECT_EQ(QString::fromUtf8(process.readAllStandardOutput()),
              "Wallpaper verification failed: interrupted by SIGTERM; the previous wallpaper was "
              "put back\n");
    EXPECT_TRUE(leftovers().isEmpty()) << "nothing left to inspect: the picture is back";
}

} // namespace
} // namespace brivane

#include "VerificationModeTest.moc"

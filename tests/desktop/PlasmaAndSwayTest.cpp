#include "Brivane/desktop/PlasmaDesktopPictures.h"
#include "Brivane/desktop/SwayDesktopPictures.h"
#include "TestSession.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDir>
#include <QFile>
#include <QObject>
#include <deque>
#include <gtest/gtest.h>

namespace brivane {
namespace {

// Stands in for plasmashell on the session bus: records every script and answers from a
// queue (an empty answer when the queue is empty; a D-Bus error for answers "!…").
class PlasmaShellPeer : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.PlasmaShell")
public:
    std::vector<std::string> scripts;
    std::deque<QString> answers;

public Q_SLOTS:
    QString evaluateScript(const QString& script) {
        scripts.push_back(script.toStdString());
        const QString answer = answers.empty() ? QString() : answers.front();
        if (!answers.empty())
            answers.pop_front();
        if (answer.startsWith(QLatin1Char('!')))
            sendErrorReply(QDBusError::Failed, answer.mid(1));
        return answer;
    }
};

TEST(PlasmaDesktopPictures, ReadsAndWritesTheImagePluginOfTheScreensContainment) {
    if (!test::haveSessionBus())
        GTEST_SKIP() << "needs a D-Bus session (scripts/with-session)";
    PlasmaShellPeer peer;
    auto bus = QDBusConnection::sessionBus();
    ASSERT_TRUE(bus.registerObject("/PlasmaShell", &peer, QDBusConnection::ExportAllSlots));
    ASSERT_TRUE(bus.registerService("org.kde.plasmashell"));

    const ConnectedScreen a = test::screen("A", QRect(0, 0, 1920, 1080), 1);
    const ConnectedScreen b = test::screen("B", QRect(1920, 0, 2560, 1440), 1);
    PlasmaDesktopPictures plasma([&] { return std::vector{a, b}; });

    peer.answers = {
        R"({"wallpaperPlugin":"org.kde.image","Image":"file:///home/u/my lake.jpg","FillMode":2,"Color":""})"};
    EXPECT_EQ(plasma.desktopImageURL(b), QUrl::fromLocalFile("/home/u/my lake.jpg"));
    ASSERT_EQ(peer.scripts.size(), 1u);
    EXPECT_EQ(peer.scripts[0], plasma.readScript(b));
    EXPECT_NE(
        peer.scripts[0].find("g.x == 1920 && g.y == 0 && g.width == 2560 && g.height == 1440"),
        std::string::npos);
    EXPECT_NE(peer.scripts[0].find("ds[j].screen == 1"), std::string::npos)
        << "the system's order when no geometry matches";

    peer.answers = {
        R"({"wallpaperPlugin":"org.kde.image","Image":"file:///home/u/my lake.jpg","FillMode":2,"Color":""})"};
    const DesktopOptions original = plasma.desktopImageOptions(b);
    EXPECT_EQ(original, (DesktopOptions{{"wallpaperPlugin", "org.kde.image"},
                                        {"Image", "file:///home/u/my lake.jpg"},
                                        {"FillMode", 2}}));

    peer.scripts.clear();
    peer.answers = {"OK"};
    plasma.setDesktopImageURL(QUrl::fromLocalFile("/data/agenda-B-1.png"), b,
                              plasma.stretchedOptions(QColor(242, 242, 242)));
    ASSERT_EQ(peer.scripts.size(), 1u);
    const std::string& set = peer.scripts[0];
    EXPECT_EQ(set.substr(set.find("if (!d)")),
              "if (!d) {\n"
              "    print(\"NOSCREEN\");\n"
              "} else if (typeof locked !== \"undefined\" && locked) {\n"
              "    print(\"LOCKED\");\n"
              "} else {\n"
              "    d.wallpaperPlugin = \"org.kde.image\";\n"
              "    d.currentConfigGroup = [\"Wallpaper\", \"org.kde.image\", \"General\"];\n"
              "    d.writeConfig(\"Image\", \"file:///data/agenda-B-1.png\");\n"
              "    d.writeConfig(\"FillMode\", 0);\n"
              "    d.writeConfig(\"Color\", \"#f2f2f2\");\n"
              "    print(\"OK\");\n"
              "}\n");

    // Restoring writes the user's own spelling back.
    peer.scripts.clear();
    peer.answers = {"OK"};
    plasma.setDesktopImageURL(QUrl::fromLocalFile("/home/u/my lake.jpg"), b, original);
    EXPECT_NE(peer.scripts[0].find("d.writeConfig(\"Image\", \"file:///home/u/my lake.jpg\");\n"
                                   "    d.writeConfig(\"FillMode\", 2);\n    print"),
              std::string::npos)
        << peer.scripts[0];

    // Locked widgets, a missing containment, a slideshow, a shell that fails.
    peer.answers = {"LOCKED"};
    try {
        plasma.setDesktopImageURL(QUrl::fromLocalFile("/x.png"), a, {});
        FAIL() << "a locked shell must refuse";
    } catch (const DesktopPictureError& e) {
        EXPECT_NE(std::string(e.what()).find("Unlock Widgets"), std::string::npos) << e.what();
    }
    peer.answers = {"!Widgets are locked"};
    EXPECT_THROW(plasma.setDesktopImageURL(QUrl::fromLocalFile("/x.png"), a, {}),
                 DesktopPictureError);
    peer.answers = {"NOSCREEN"};
    EXPECT_THROW(plasma.desktopImageURL(a), DesktopPictureError);
    peer.answers = {R"({"wallpaperPlugin":"org.kde.slideshow","Image":"file:///a.jpg"})"};
    EXPECT_EQ(plasma.desktopImageURL(a), std::nullopt) << "no single picture to put back";
    peer.answers = {"!org.kde.plasmashell crashed"};
    try {
        plasma.desktopImageURL(a);
        FAIL();
    } catch (const DesktopPictureError& e) {
        EXPECT_EQ(std::string(e.what()), "Plasma does not answer: org.kde.plasmashell crashed");
    }
    bus.unregisterService("org.kde.plasmashell");
    bus.unregisterObject("/PlasmaShell");
}

class SwayTest : public testing::Test {
protected:
    void SetUp() override {
        bin = test::freshDirectory("bin");
        log = bin + "/calls.log";
        // Records each call, one line per argument list; fails when asked to.
        QFile script(bin + "/swaymsg");
        ASSERT_TRUE(script.open(QIODevice::WriteOnly));
        script.write("#!/bin/sh\n"
                     "if [ -e \"$(dirname \"$0\")/fail\" ]; then echo 'Error: unknown output'; "
                     "exit 2; fi\n"
                     "printf '%s|' \"$@\" >> \"$(dirname \"$0\")/calls.log\"\n"
                     "echo >> \"$(dirname \"$0\")/calls.log\"\n");
        script.close();
        script.setPermissions(script.permissions() | QFileDevice::ExeOwner);
        oldPath = qgetenv("PATH");
        qputenv("PATH", bin.toUtf8() + ":" + oldPath);
        qputenv("SWAYSOCK", ("/run/user/1000/sway-ipc." + bin.right(8)).toUtf8());
        config = qEnvironmentVariable("XDG_CONFIG_HOME") + "/sway/config";
        QDir().mkpath(QFileInfo(config).path());
        QFile::remove(config);
        QFile::remove(qEnvironmentVariable("XDG_RUNTIME_DIR") + "/pellora-sway-backgrounds.json");
    }
    void TearDown() override { qputenv("PATH", oldPath); }
    QStringList calls() const {
        QFile f(log);
        f.open(QIODevice::ReadOnly);
        return QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
    }
    void writeConfig(const QByteArray& text) {
        QFile f(config);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(text);
    }
    QString bin, log, config;
    QByteArray oldPath;
    ConnectedScreen a = test::screen("eDP-1", QRect(0, 0, 1920, 1080), 1);
    ConnectedScreen b = test::screen("HDMI-A-1", QRect(1920, 0, 1920, 1080), 1);
};

TEST_F(SwayTest, KnowsTheConfiguredPictureAndWhatItSet) {
    writeConfig("set $wallpapers ~/Pictures/walls\n"
                "# output * bg /usr/share/backgrounds/sway/old.png fill\n"
                "output * bg /usr/share/backgrounds/sway/Sway_Wallpaper_Blue_1920x1080.png fill\n"
                "output HDMI-A-1 background \"$wallpapers/my hill.jpg\" fit #112233\n"
                "output DP-9 bg #000000 solid_color\n");
    SwayDesktopPictures sway;
    EXPECT_EQ(sway.desktopImageURL(a),
              QUrl::fromLocalFile("/usr/share/backgrounds/sway/Sway_Wallpaper_Blue_1920x1080.png"));
    EXPECT_EQ(sway.desktopImageURL(b),
              QUrl::fromLocalFile(QDir::homePath() + "/Pictures/walls/my hill.jpg"));
    const DesktopOptions original = sway.desktopImageOptions(b);
    EXPECT_EQ(original, (DesktopOptions{{"mode", "fit"}, {"color", "#112233"}}));

    sway.setDesktopImageURL(QUrl::fromLocalFile("/data/agenda-HDMI-A-1-1.png"), b,
                            sway.stretchedOptions(QColor(242, 242, 242)));
    ASSERT_EQ(calls(), QStringList{"--|output \"HDMI-A-1\" bg \"/data/agenda-HDMI-A-1-1.png\" "
                                   "stretch \"#f2f2f2\"|"});
    EXPECT_EQ(sway.desktopImageURL(b), QUrl::fromLocalFile("/data/agenda-HDMI-A-1-1.png"));
    EXPECT_EQ(SwayDesktopPictures().desktopImageURL(b),
              QUrl::fromLocalFile("/data/agenda-HDMI-A-1-1.png"))
        << "a fresh process knows it too";

    sway.setDesktopImageURL(QUrl::fromLocalFile(QDir::homePath() + "/Pictures/walls/my hill.jpg"),
                            b, original);
    EXPECT_EQ(calls().last(), "--|output \"HDMI-A-1\" bg \"" + QDir::homePath() +
                                  "/Pictures/walls/my hill.jpg\" fit \"#112233\"|");
    EXPECT_EQ(sway.desktopImageURL(b),
              QUrl::fromLocalFile(QDir::homePath() + "/Pictures/walls/my hill.jpg"));

    // Another sway instance (new socket) has not seen our picture.
    sway.setDesktopImageURL(QUrl::fromLocalFile("/data/agenda-eDP-1-1.png"), a, {});
    qputenv("SWAYSOCK", "/run/user/1000/sway-ipc.other");
    EXPECT_EQ(sway.desktopImageURL(a),
              QUrl::fromLocalFile("/usr/share/backgrounds/sway/Sway_Wallpaper_Blue_1920x1080.png"));
}

TEST_F(SwayTest, WithoutAConfiguredPictureThereIsNothingToRecordAndErrorsAreClear) {
    SwayDesktopPictures sway;
    EXPECT_EQ(sway.desktopImageURL(a), std::nullopt);
    QFile(bin + "/fail").open(QIODevice::WriteOnly);
    try {
        sway.setDesktopImageURL(QUrl::fromLocalFile("/x.png"), a, {});
        FAIL();
    } catch (const DesktopPictureError& e) {
        EXPECT_EQ(std::string(e.what()), "sway does not answer: Error: unknown output");
    }
    EXPECT_EQ(sway.desktopImageURL(a), std::nullopt) << "nothing recorded for a failed set";
}

} // namespace
} // namespace brivane

#include "PlasmaAndSwayTest.moc"

#include "Brivane/desktop/JavaScriptText.h"
#include "Brivane/desktop/PlasmaDesktopPictures.h"
#include "Brivane/desktop/SwayDesktopPictures.h"
#include "TestSession.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QObject>
#include <QProcess>
#include <QStandardPaths>
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
    PELLORA_REQUIRE("dbus", test::haveSessionBus(), "needs a D-Bus session (scripts/with-session)");
    PlasmaShellPeer peer;
    auto bus = QDBusConnection::sessionBus();
    ASSERT_TRUE(bus.registerObject("/PlasmaShell", &peer, QDBusConnection::ExportAllSlots));
    ASSERT_TRUE(test::claimBusName("org.kde.plasmashell"));

    const ConnectedScreen a = test::screen("A", QRect(0, 0, 1920, 1080), 1);
    const ConnectedScreen b = test::screen("B", QRect(1920, 0, 2560, 1440), 1);
    PlasmaDesktopPictures plasma;

    peer.answers = {
        R"({"wallpaperPlugin":"org.kde.image","Image":"file:///home/u/my lake.jpg","FillMode":2,"Color":""})"};
    EXPECT_EQ(plasma.desktopImageURL(b), QUrl::fromLocalFile("/home/u/my lake.jpg"));
    ASSERT_EQ(peer.scripts.size(), 1u);
    EXPECT_EQ(peer.scripts[0], plasma.readScript(b));
    EXPECT_NE(peer.scripts[0].find("screenForConnector(\"B\")"), std::string::npos)
        << "Plasma's own numbering of the screen";
    EXPECT_NE(
        peer.scripts[0].find("g.x == 1920 && g.y == 0 && g.width == 2560 && g.height == 1440"),
        std::string::npos)
        << "the geometry where the shell cannot map connectors";

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

    // Restoring writes the user's own spelling back, and removes the colour they never set.
    peer.scripts.clear();
    peer.answers = {"OK"};
    plasma.setDesktopImageURL(QUrl::fromLocalFile("/home/u/my lake.jpg"), b, original);
    EXPECT_NE(peer.scripts[0].find("d.writeConfig(\"Image\", \"file:///home/u/my lake.jpg\");\n"
                                   "    d.writeConfig(\"FillMode\", 2);\n"),
              std::string::npos)
        << peer.scripts[0];
    EXPECT_NE(peer.scripts[0].find("general.deleteEntry(\"Color\");"), std::string::npos)
        << peer.scripts[0];
    EXPECT_EQ(peer.scripts[0].find("deleteEntry(\"FillMode\")"), std::string::npos)
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
    // No desktop on that screen: no picture, as for a screen without one (not an error).
    peer.answers = {"NOSCREEN", "NOSCREEN"};
    EXPECT_EQ(plasma.desktopImageURL(a), std::nullopt);
    EXPECT_EQ(plasma.desktopImageOptions(a), DesktopOptions::object());
    peer.answers = {"NOSCREEN"};
    EXPECT_THROW(plasma.setDesktopImageURL(QUrl::fromLocalFile("/x.png"), a, {}),
                 DesktopPictureError);
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

// The scripts run in a stand-in for Plasma's scripting globals (node): which containment they
// pick is Plasma's own numbering, never Qt's order or another monitor's.
std::string runInPlasma(const std::string& script, const std::string& setup) {
    QProcess node;
    node.start(QStringLiteral("node"), {QStringLiteral("-")});
    if (!node.waitForStarted(10000))
        return "no node";
    const std::string program = "const out = [];\n"
                                "function print(s) { out.push(String(s)); }\n"
                                "function desktop(screen, image, activity) {\n"
                                "  return {screen, activity: activity || 'work', wallpaperPlugin: "
                                "'org.kde.image', currentConfigGroup: [], config: {Image: image},\n"
                                "    readConfig(k) { return this.config[k] || ''; },\n"
                                "    writeConfig(k, v) { this.config[k] = v; }};\n"
                                "}\n" +
                                setup + "\n(function() {\n" + script +
                                "\n})();\nconsole.log(out.join('\\n'));\n";
    node.write(QByteArray::fromStdString(program));
    node.closeWriteChannel();
    node.waitForFinished(20000);
    return QString::fromUtf8(node.readAllStandardOutput()).trimmed().toStdString() +
           QString::fromUtf8(node.readAllStandardError()).trimmed().toStdString();
}

TEST(PlasmaDesktopPictures, TheScriptsFindTheScreensOwnContainment) {
    PELLORA_REQUIRE("node", !QStandardPaths::findExecutable(QStringLiteral("node")).isEmpty(),
                    "needs node (scripts/setup installs it)");
    PlasmaDesktopPictures plasma;
    const ConnectedScreen a = test::screen("DP-1", QRect(0, 0, 1920, 1080), 1);
    const ConnectedScreen b = test::screen("HDMI-A-1", QRect(1920, 0, 2560, 1440), 1);
    auto image = [](const std::string& answer) {
        const auto json = nlohmann::json::parse(answer, nullptr, false);
        return json.is_object() ? json.value("Image", std::string("?")) : answer;
    };
    // Plasma numbers HDMI-A-1 as 0 (Qt lists it second); another activity also has a desktop
    // on that screen.
    const std::string shell =
        "const all = [desktop(1, 'dp.jpg'), desktop(0, 'other-activity.jpg', 'home'), "
        "desktop(0, 'hdmi.jpg')];\n"
        "function desktops() { return all; }\n"
        "function desktopsForActivity(a) { return all.filter(d => d.activity === a); }\n"
        "function currentActivity() { return 'work'; }\n"
        "function screenForConnector(c) { return ({'HDMI-A-1': 0, 'DP-1': 1})[c] ?? -1; }\n";
    EXPECT_EQ(image(runInPlasma(plasma.readScript(b), shell)), "hdmi.jpg");
    EXPECT_EQ(image(runInPlasma(plasma.readScript(a), shell)), "dp.jpg");
    EXPECT_EQ(runInPlasma(plasma.writeScript(b, QUrl::fromLocalFile("/d/agenda.png"), {}) +
                              "print(all[2].config.Image + ' ' + all[1].config.Image);",
                          shell),
              "OK\nfile:///d/agenda.png other-activity.jpg");

    // A connector the shell does not know: no desktop, not the first one.
    const ConnectedScreen c = test::screen("DP-7", QRect(0, 1080, 800, 600), 1);
    EXPECT_EQ(runInPlasma(plasma.readScript(c), shell), "NOSCREEN");
    EXPECT_EQ(runInPlasma(plasma.writeScript(c, QUrl::fromLocalFile("/d/x.png"), {}), shell),
              "NOSCREEN");

    // An older shell without screenForConnector: the screen's geometry decides.
    const std::string older =
        "const all = [desktop(0, 'first.jpg'), desktop(1, 'second.jpg'), desktop(-1, 'x.jpg')];\n"
        "function desktops() { return all; }\n"
        "function screenGeometry(i) { return [{x: 1920, y: 0, width: 2560, height: 1440},\n"
        "  {x: 0, y: 0, width: 1920, height: 1080}][i]; }\n";
    EXPECT_EQ(image(runInPlasma(plasma.readScript(b), older)), "first.jpg");
    EXPECT_EQ(image(runInPlasma(plasma.readScript(a), older)), "second.jpg");
    EXPECT_EQ(runInPlasma(plasma.readScript(c), older), "NOSCREEN");
}

// Qt's script engine, Plasma's, reads U+2028 and U+2029 as line ends, which may not stand
// inside a string literal: a script with one unescaped fails as a whole.
TEST(PlasmaDesktopPictures, ScriptLiteralsHoldNoLineEnds) {
    const bool withNode = !QStandardPaths::findExecutable(QStringLiteral("node")).isEmpty();
    for (const std::string text : {"HDMI\u2028A-1", "a\u2029b", "l'a \"b\" \\ \n\r\t $x"}) {
        const std::string literal = javaScriptString(text);
        for (const char* lineEnd : {"\n", "\r", "\u2028", "\u2029"})
            EXPECT_EQ(literal.find(lineEnd), std::string::npos) << literal;
        if (withNode) {
            EXPECT_EQ(runInPlasma("print(JSON.stringify(" + literal + "));", ""),
                      nlohmann::json(text).dump());
        }
    }
}

// A shell that hangs (here: its calls are only served once this thread turns its event loop,
// which a blocking call does not) costs one short wait, not ten seconds on every call.
TEST(PlasmaDesktopPictures, AHungShellCostsOneShortWaitNotOnePerCall) {
    PELLORA_REQUIRE("dbus", test::haveSessionBus(), "needs a D-Bus session (scripts/with-session)");
    PlasmaShellPeer peer;
    {
        auto bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "hung-plasma");
        ASSERT_TRUE(bus.registerObject("/PlasmaShell", &peer, QDBusConnection::ExportAllSlots));
        ASSERT_TRUE(test::claimBusName("org.kde.plasmashell"));
    }
    const ConnectedScreen a = test::screen("A", QRect(0, 0, 1920, 1080), 1);
    PlasmaDesktopPictures plasma;
    QElapsedTimer clock;
    clock.start();
    EXPECT_THROW(plasma.desktopImageURL(a), DesktopPictureError);
    const qint64 first = clock.restart();
    EXPECT_THROW(plasma.desktopImageOptions(a), DesktopPictureError);
    EXPECT_THROW(plasma.setDesktopImageURL(QUrl::fromLocalFile("/x.png"), a, {}),
                 DesktopPictureError);
    const qint64 later = clock.elapsed();
    EXPECT_LT(first, 5000) << "one wait, well below the old ten seconds";
    EXPECT_LT(later, 500) << "a shell that did not answer is not waited for again at once";
    QDBusConnection::disconnectFromBus("hung-plasma");
}

class SwayTest : public testing::Test {
protected:
    void SetUp() override {
        bin = test::freshDirectory("bin");
        log = bin + "/calls.log";
        ASSERT_TRUE(QFile::copy(PELLORA_FAKE_SWAYMSG, bin + "/swaymsg"));
        QFile::setPermissions(bin + "/swaymsg", QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        oldPath = qgetenv("PATH");
        qputenv("PATH", bin.toUtf8() + ":" + oldPath);
        qputenv("SWAYSOCK", ("/run/user/1000/sway-ipc." + bin.right(8)).toUtf8());
        config = qEnvironmentVariable("XDG_CONFIG_HOME") + "/sway/config";
        QDir().mkpath(QFileInfo(config).path());
        QFile::remove(config);
        QFile::remove(qEnvironmentVariable("XDG_RUNTIME_DIR") + "/pellora-sway-backgrounds.json");
    }
    void TearDown() override { qputenv("PATH", oldPath); }
    // What sway made of each call: output, the file after wordexp, mode, colour.
    struct Call {
        QString output;
        QByteArray file;
        QString mode, colour;
        bool operator==(const Call&) const = default;
    };
    std::vector<Call> calls() const {
        QFile f(log);
        std::vector<Call> result;
        if (!f.open(QIODevice::ReadOnly))
            return result;
        for (const QByteArray& line : f.readAll().split('\n')) {
            const QList<QByteArray> fields = line.split('\t');
            if (fields.size() == 4)
                result.push_back({QString::fromUtf8(fields[0]), QByteArray::fromHex(fields[1]),
                                  QString::fromUtf8(fields[2]), QString::fromUtf8(fields[3])});
        }
        return result;
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
    const QString walls = QDir::homePath() + "/Pictures/walls";
    QDir().mkpath(walls);
    QFile(walls + "/my hill.jpg").open(QIODevice::WriteOnly);
    const QString data = test::freshDirectory("data");
    QFile(data + "/agenda-HDMI-A-1-1.png").open(QIODevice::WriteOnly);
    QFile(data + "/agenda-eDP-1-1.png").open(QIODevice::WriteOnly);
    writeConfig("set $wallpapers ~/Pictures/walls\n"
                "# output * bg /usr/share/backgrounds/sway/old.png fill\n"
                "output * bg /usr/share/backgrounds/sway/Sway_Wallpaper_Blue_1920x1080.png fill\n"
                "output HDMI-A-1 background \"$wallpapers/my hill.jpg\" fit #112233\n"
                "output DP-9 bg #000000 solid_color\n");
    SwayDesktopPictures sway;
    EXPECT_EQ(sway.desktopImageURL(a),
              QUrl::fromLocalFile("/usr/share/backgrounds/sway/Sway_Wallpaper_Blue_1920x1080.png"));
    EXPECT_EQ(sway.desktopImageURL(b), QUrl::fromLocalFile(walls + "/my hill.jpg"));
    const DesktopOptions original = sway.desktopImageOptions(b);
    EXPECT_EQ(original, (DesktopOptions{{"mode", "fit"}, {"color", "#112233"}}));

    const QUrl agenda = QUrl::fromLocalFile(data + "/agenda-HDMI-A-1-1.png");
    sway.setDesktopImageURL(agenda, b, sway.stretchedOptions(QColor(242, 242, 242)));
    ASSERT_EQ(calls(),
              (std::vector<Call>{{"HDMI-A-1", agenda.toLocalFile().toUtf8(), "stretch", ""}}));
    EXPECT_EQ(sway.desktopImageURL(b), agenda);
    EXPECT_EQ(SwayDesktopPictures().desktopImageURL(b), agenda) << "a fresh process knows it too";

    sway.setDesktopImageURL(QUrl::fromLocalFile(walls + "/my hill.jpg"), b, original);
    EXPECT_EQ(calls().back(),
              (Call{"HDMI-A-1", (walls + "/my hill.jpg").toUtf8(), "fit", "#112233"}));
    EXPECT_EQ(sway.desktopImageURL(b), QUrl::fromLocalFile(walls + "/my hill.jpg"));

    // Another sway instance (new socket) has not seen our picture.
    sway.setDesktopImageURL(QUrl::fromLocalFile(data + "/agenda-eDP-1-1.png"), a, {});
    qputenv("SWAYSOCK", "/run/user/1000/sway-ipc.other");
    EXPECT_EQ(sway.desktopImageURL(a),
              QUrl::fromLocalFile("/usr/share/backgrounds/sway/Sway_Wallpaper_Blue_1920x1080.png"));
}

// sway expands the file with wordexp(3): every byte of a hostile path must come back as it
// was, and nothing in it may run.
TEST_F(SwayTest, PathsReachSwayByteForByteAndNothingInThemRuns) {
    const QString root = test::freshDirectory("sway pics $mod 'q'");
    const QString ran = bin + "/RAN"; // swaymsg runs in its own folder
    const QStringList names = {"it's here.png",
                               "$HOME and $mod and ${x}.png",
                               "*.png",
                               "back\\slash\\$mod.png",
                               "`touch RAN1`.png",
                               "$(touch RAN2).png",
                               "two  spaces\tand tab.png",
                               "semi;colon, comma & pipe|.png",
                               "quote\"d \\\" and \\\\\".png",
                               "~tilde #hash [br] {brace} ?.png",
                               "100% ünïcödé.png"};
    SwayDesktopPictures sway;
    for (const QString& name : names) {
        const QString path = root + '/' + name;
        QFile(path).open(QIODevice::WriteOnly);
        const std::size_t before = calls().size();
        EXPECT_NO_THROW(sway.setDesktopImageURL(QUrl::fromLocalFile(path), a,
                                                {{"mode", "fill"}, {"color", "#000000"}}))
            << name.toStdString();
        ASSERT_EQ(calls().size(), before + 1) << name.toStdString();
        EXPECT_EQ(calls().back().file, path.toUtf8()) << name.toStdString();
        EXPECT_EQ(calls().back().mode, "fill");
    }
    EXPECT_FALSE(QFile::exists(ran + "1"));
    EXPECT_FALSE(QFile::exists(ran + "2"));

    // sway's socket makes every line feed a ";": such a file cannot be shown, and says so.
    const std::size_t before = calls().size();
    try {
        sway.setDesktopImageURL(QUrl::fromLocalFile(root + "/new\nline.png"), a, {});
        FAIL();
    } catch (const DesktopPictureError& e) {
        EXPECT_TRUE(std::string(e.what()).starts_with("sway cannot take a file with a line break"))
            << e.what();
    }
    EXPECT_EQ(calls().size(), before);

    // Only the known words reach sway as mode and colour (a record edited by hand).
    const QString plain = root + "/plain.png";
    QFile(plain).open(QIODevice::WriteOnly);
    sway.setDesktopImageURL(
        QUrl::fromLocalFile(plain), a,
        {{"mode", "fill; exec touch RAN3"}, {"color", "#000000, exec touch RAN4"}});
    EXPECT_EQ(calls().back(), (Call{"eDP-1", plain.toUtf8(), "fill", ""}));
    sway.setDesktopImageURL(QUrl::fromLocalFile(plain), a, {{"mode", "Center"}});
    EXPECT_EQ(calls().back().mode, "center");
    EXPECT_FALSE(QFile::exists(ran + "3"));
    EXPECT_FALSE(QFile::exists(ran + "4"));
}

TEST_F(SwayTest, WithoutAConfiguredPictureThereIsNothingToRecordAndErrorsAreClear) {
    writeConfig("set $mod Mod4\n"); // read before the machine's own
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

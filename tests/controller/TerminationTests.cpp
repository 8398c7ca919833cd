#include "ControllerTestSupport.h"

#include <QImage>
#include <QProcess>
#include <csignal>
#include <gtest/gtest.h>
#include <random>

namespace brivane {
namespace {

QString gsettings(const QStringList& arguments) {
    QProcess process;
    process.start(QStringLiteral("gsettings"), arguments);
    process.waitForFinished(10000);
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

QStringList background() {
    QStringList values;
    for (const char* key : {"picture-uri", "picture-uri-dark", "picture-options", "primary-color"})
        values << gsettings({"get", "org.gnome.desktop.background", key});
    return values;
}

// A controller applying wallpapers one refresh after another is sent SIGTERM, SIGINT or SIGHUP
// at a random moment: it must end by itself, and the user's picture must be back.
TEST(Termination, ASignalMidApplyEndsWithTheUsersPictureBack) {
    const QString root = test::freshDirectory("signals");
    QImage image(32, 20, QImage::Format_RGB32);
    image.fill(Qt::darkYellow);
    const QString picture = root + "/my \"best\" $wallpaper.png";
    ASSERT_TRUE(image.save(picture, "png"));
    const QString uri = QUrl::fromLocalFile(picture).toString();
    gsettings({"set", "org.gnome.desktop.background", "picture-uri", uri});
    gsettings({"set", "org.gnome.desktop.background", "picture-uri-dark", uri});
    gsettings({"set", "org.gnome.desktop.background", "picture-options", "zoom"});
    const QStringList expected = background();
    ASSERT_EQ(expected[0], "'" + uri + "'");

    std::mt19937 random(20261207);
    std::uniform_int_distribution<int> delay(0, 250);
    int trial = 0;
    for (int signalNumber : {SIGTERM, SIGINT, SIGHUP}) {
        const QString dir = root + QStringLiteral("/data-%1").arg(trial++);
        Preferences stored;
        stored.activated = true;
        test::writeFile((dir + "/preferences.json").toStdString(), stored.toJson().dump());
        QProcess child;
        child.setProcessChannelMode(QProcess::SeparateChannels);
        child.start(test::childExecutable(), {dir});
        ASSERT_TRUE(child.waitForStarted());
        ASSERT_TRUE(test::waitUntil(
            [&] {
                child.waitForReadyRead(10);
                return child.canReadLine();
            },
            20000))
            << "the child never applied: " << child.readAllStandardError().toStdString();
        ASSERT_NE(background(), expected) << "the agenda is on the desktop";
        QThread::msleep(delay(random));
        ::kill(static_cast<pid_t>(child.processId()), signalNumber);
        ASSERT_TRUE(child.waitForFinished(20000)) << "signal " << signalNumber;
        EXPECT_EQ(child.exitStatus(), QProcess::NormalExit) << "signal " << signalNumber;
        EXPECT_EQ(child.exitCode(), 0) << child.readAllStandardError().toStdString();
        EXPECT_EQ(background(), expected) << "signal " << signalNumber;
        EXPECT_TRUE(AgendaModel::readPreferences(dir)->activated)
            << "any other end leaves the settings as they were";
    }
}

} // namespace
} // namespace brivane

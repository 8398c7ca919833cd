#include "Brivane/desktop/OriginalDesktop.h"
#include "TestSession.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QThread>
#include <csignal>
#include <gtest/gtest.h>
#include <random>

namespace brivane {
namespace {

const QStringList keys = {"picture-uri", "picture-uri-dark", "picture-options", "primary-color",
                          "color-shading-type"};

QStringList background() {
    QStringList values;
    for (const QString& key : keys)
        values << test::run("gsettings", {"get", "org.gnome.desktop.background", key}).trimmed();
    return values;
}

// Kills a process that applies wallpapers to two screens at random moments; every time a
// fresh process must put back exactly the user's wallpaper, from a recovery file that is
// always valid JSON.
TEST(CrashSafety, KilledAtRandomMomentsTheUsersWallpaperAlwaysComesBack) {
    const QString root = test::freshDirectory("crash");
    const QUrl user = test::writeImage(root + "/my wallpaper.png", {32, 20}, Qt::darkYellow);
    const QString dark = QUrl::fromLocalFile(root + "/my dark wallpaper.png").toString();
    test::writeImage(root + "/my dark wallpaper.png", {32, 20}, Qt::darkBlue);
    const std::vector<std::pair<QString, QString>> userSettings = {
        {"picture-uri", user.toString()},
        {"picture-uri-dark", dark},
        {"picture-options", "zoom"},
        {"primary-color", "#3465a4"},
        {"color-shading-type", "vertical"}};
    for (const auto& [key, value] : userSettings)
        test::run("gsettings", {"set", "org.gnome.desktop.background", key, value});
    const QStringList expected = background();
    ASSERT_EQ(expected[0], "'" + user.toString() + "'") << "spelled with a plain space";

    std::mt19937 random(20261207);
    std::uniform_int_distribution<int> delay(0, 400);
    const int trials = 60;
    int withRecords = 0, withoutFile = 0;
    for (int trial = 0; trial < trials; ++trial) {
        const QString dir = root + QStringLiteral("/data-%1").arg(trial);
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(PELLORA_CRASH_CHILD, {"apply", dir});
        ASSERT_TRUE(child.waitForStarted());
        QThread::msleep(delay(random));
        ::kill(static_cast<pid_t>(child.processId()), SIGKILL);
        child.waitForFinished();

        QFile recovery(dir + "/original-desktops.json");
        if (recovery.open(QIODevice::ReadOnly)) {
            const QByteArray data = recovery.readAll();
            ASSERT_TRUE(nlohmann::json::accept(data.begin(), data.end()))
                << "trial " << trial << ": " << data.toStdString();
            if (!decodeOriginalDesktops(data).empty())
                ++withRecords;
        } else {
            ++withoutFile;
        }

        int status = -1;
        const QString failures = test::run(PELLORA_CRASH_CHILD, {"restore", dir}, &status);
        ASSERT_EQ(status, 0) << "trial " << trial << ": " << failures.toStdString();
        ASSERT_EQ(background(), expected) << "trial " << trial;
    }
    std::printf("kill -9 trials: %d, killed with wallpapers recorded: %d, before the first "
                "record: %d; every time the user's wallpaper came back\n",
                trials, withRecords, withoutFile);
    EXPECT_GE(withRecords, trials / 2) << "most kills should hit a changed desktop";
}

} // namespace
} // namespace brivane

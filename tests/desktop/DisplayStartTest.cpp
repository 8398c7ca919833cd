#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace brivane {
namespace {

// Qt aborts (SIGABRT) when the display it is pointed at cannot be reached. The tray and the
// display queries say so in one line instead; the tray ends with 1, the queries see no screen.
TEST(DisplayStart, ADisplayThatCannotBeReachedIsSaidNotAborted) {
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const QString noSocket = folder.path() + "/wayland-gone";
    struct Case {
        QString display, wayland, platform, named;
    };
    // An X display number no server holds (the 16-bit port range ends below it), a Wayland
    // socket that is not there.
    for (const Case& c :
         {Case{":70001", "", "", ":70001"}, Case{"", noSocket, "wayland", noSocket}}) {
        for (const QStringList& arguments : {QStringList{}, QStringList{"--display-info"}}) {
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert("LANGUAGE", "en_GB");
            env.insert("TMPDIR", folder.path());
            for (const auto& [name, value] : {std::pair{"DISPLAY", c.display},
                                              {"WAYLAND_DISPLAY", c.wayland},
                                              {"QT_QPA_PLATFORM", c.platform}})
                value.isEmpty() ? env.remove(name) : env.insert(name, value);
            QProcess process;
            process.setProcessEnvironment(env);
            process.start(PELLORA_EXECUTABLE, arguments);
            ASSERT_TRUE(process.waitForFinished(60000));
            const std::string context = (c.named + " " + arguments.join(' ')).toStdString();
            EXPECT_EQ(process.exitStatus(), QProcess::NormalExit) << context;
            const QString error = QString::fromUtf8(process.readAllStandardError());
            if (arguments.isEmpty()) {
                EXPECT_EQ(process.exitCode(), 1) << context;
                EXPECT_EQ(error, "pellora: the display " + c.named + " cannot be reached\n")
                    << context;
                EXPECT_EQ(process.readAllStandardOutput(), "") << context;
            } else {
                EXPECT_EQ(process.exitCode(), 0) << context;
                EXPECT_EQ(error,
                          "pellora: the display " + c.named + " cannot be reached; no screens\n")
                    << context;
                EXPECT_EQ(process.readAllStandardOutput(), "[]\n") << context;
            }
        }
    }
}

} // namespace
} // namespace brivane

#include "Brivane/calendar/ICalendarStore.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

namespace brivane {
namespace {

namespace fs = std::filesystem;

constexpr const char* childVariable = "PELLORA_LAUNCH_CHILD";

void write(const fs::path& path, const std::string& text, bool executable = false) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
    if (executable)
        fs::permissions(path, fs::perms::owner_all, fs::perm_options::add);
}

// A desktop entry whose program lies under a path with a quote and a dollar sign, quoted as the
// desktop entry format asks (a backslash before `"` and `$`, itself doubled in the value).
void handler(const fs::path& data, const std::string& id, const fs::path& script, int exitCode) {
    write(script,
          "#!/bin/sh\nprintf '%s\\n' \"$0\" \"$@\" > \"$(dirname \"$0\")/" + id + ".argv\"\nexit " +
              std::to_string(exitCode) + "\n",
          true);
    std::string quoted;
    for (const char c : script.string()) {
        if (c == '"' || c == '$' || c == '\\' || c == '`')
            quoted += "\\\\";
        quoted += c;
    }
    write(data / "applications" / (id + ".desktop"),
          "[Desktop Entry]\nType=Application\nName=" + id + "\nExec=\"" + quoted +
              "\" %U\nMimeType=text/calendar;text/x-vtodo;\n");
}

// Opens both applications in a child process whose desktop is only the given folders (GLib
// reads the XDG folders once per process), in the given language: one line per application,
// "started" or the reason given.
QStringList openBoth(const fs::path& root, const char* language) {
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(childVariable, QString::fromStdString(root.string()));
    env.insert("HOME", QString::fromStdString((root / "home").string()));
    env.insert("XDG_DATA_HOME", QString::fromStdString((root / "data").string()));
    env.insert("XDG_CONFIG_HOME", QString::fromStdString((root / "config").string()));
    env.insert("XDG_DATA_DIRS", QString::fromStdString((root / "none").string()));
    env.insert("XDG_CONFIG_DIRS", QString::fromStdString((root / "none").string()));
    env.remove("XDG_CURRENT_DESKTOP");
    env.insert("LANGUAGE", language);
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--gtest_filter=DesktopLauncherChild.*")});
    EXPECT_TRUE(child.waitForFinished(30000));
    EXPECT_EQ(child.exitCode(), 0) << child.readAllStandardError().toStdString();
    QStringList lines;
    for (const QString& line : QString::fromUtf8(child.readAllStandardOutput()).split('\n'))
        if (line.startsWith(QLatin1String("calendar: ")) ||
            line.startsWith(QLatin1String("tasks: ")))
            lines << line;
    return lines;
}

TEST(DesktopLauncherChild, OpensBoth) {
    const char* root = std::getenv(childVariable);
    if (root == nullptr)
        GTEST_SKIP() << "run by DesktopLauncher tests";
    ICalendarStore store({(fs::path(root) / "home" / "sources.json").string(), {}, {}});
    const auto said = [](const LaunchProblem& problem) { return problem.value_or("started"); };
    std::printf("calendar: %s\n", said(QCoro::waitFor(store.openCalendar())).c_str());
    std::printf("tasks: %s\n", said(QCoro::waitFor(store.openApp())).c_str());
}

TEST(DesktopLauncher, WithNoApplicationForCalendarsTheReasonIsGivenInBothLanguages) {
    QTemporaryDir dir;
    const fs::path root = dir.path().toStdString();
    fs::create_directories(root / "none");
    EXPECT_EQ(openBoth(root, "en_GB"),
              QStringList({"calendar: No application opens calendars: install one (such as GNOME "
                           "Calendar or Evolution) or choose the default application for "
                           "calendar files (.ics).",
                           "tasks: No application opens task lists or calendars: install one "
                           "(such as Evolution) or choose the default application for calendar "
                           "files (.ics)."}));
    const QStringList italian = openBoth(root, "it_IT");
    ASSERT_EQ(italian.size(), 2);
    EXPECT_TRUE(italian[0].startsWith("calendar: Nessuna applicazione per i calendari"));
    EXPECT_TRUE(italian[1].startsWith("tasks: Nessuna applicazione per le attività"));
}

TEST(DesktopLauncher, StartsTheChosenApplicationAndReportsOneThatFailsAtOnce) {
    QTemporaryDir dir;
    const fs::path root = fs::path(dir.path().toStdString()) / "it's \"$HOME\" $(x)";
    fs::create_directories(root / "none");
    handler(root / "data", "calendar-app", root / "bin" / "cal $PATH \"app\"", 0);
    handler(root / "data", "tasks-app", root / "bin" / "tasks 'app'", 3);
    write(root / "config" / "mimeapps.list",
          "[Default Applications]\ntext/calendar=calendar-app.desktop\n"
          "text/x-vtodo=tasks-app.desktop\n");

    EXPECT_EQ(
        openBoth(root, "en_GB"),
        QStringList({"calendar: started", "tasks: tasks-app closed at once (exit status 3)."}));
    // The program ran from its own path, untouched by the shell, with no file to open.
    std::ifstream argv(root / "bin" / "calendar-app.argv");
    std::string first, rest;
    std::getline(argv, first);
    EXPECT_EQ(first, (root / "bin" / "cal $PATH \"app\"").string());
    EXPECT_FALSE(std::getline(argv, rest));

    EXPECT_EQ(openBoth(root, "it_IT").value(1),
              "tasks: L’applicazione tasks-app si è chiusa subito (codice di uscita 3).");
}

} // namespace
} // namespace brivane

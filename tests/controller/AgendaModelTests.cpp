#include "ControllerTestSupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace brivane {
namespace {

using test::ModelSetup;
using test::utc;

const Date monday = utc(2026, 12, 7, 9, 0); // 10:00 in Rome

std::string event(const std::string& uid, const std::string& summary, const std::string& start,
                  const std::string& end, const std::string& extra = "") {
    return "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//test//EN\r\nBEGIN:VEVENT\r\nUID:" + uid +
           "\r\nSUMMARY:" + summary + "\r\nDTSTART:" + start + "\r\nDTEND:" + end + "\r\n" + extra +
           "END:VEVENT\r\nEND:VCALENDAR\r\n";
}

std::string preferencesText(const QString& data) {
    return test::readFile((data + "/preferences.json").toStdString());
}

// Runs this test again in a child process that keeps its user but cannot bypass file
// permissions: root writes everywhere, so permission failures only show without those
// capabilities. The child stays root, so it still reaches the build and the test's folders
// wherever they lie (a clone under /root included). True when the caller was root and the
// child's verdict is in `passed`.
bool rerunWithoutPermissionOverrides(bool* passed) {
    if (geteuid() != 0 || qEnvironmentVariableIsSet("PELLORA_TEST_WITHOUT_OVERRIDES"))
        return false;
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("PELLORA_TEST_WITHOUT_OVERRIDES", "1");
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    child.setChildProcessModifier([] {
        // Out of the bounding set, so that the program started next does not get them back.
        for (const int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER})
            if (prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0)
                _exit(3);
    });
    child.start(
        QCoreApplication::applicationFilePath(),
        {QStringLiteral("--gtest_filter=%1.%2").arg(info->test_suite_name(), info->name())});
    child.waitForFinished(60000);
    *passed = child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0;
    return true;
}

// --- storage ------------------------------------------------------------------------------------

TEST(AgendaModelStorage, WithoutSettingsFileTheDefaultsHold) {
    ModelSetup setup(monday);
    setup.consent = false;
    auto model = setup.build();
    Preferences defaults;
    defaults.migrateGroupNamesIfNeeded();
    EXPECT_EQ(model->preferences(), defaults);
    EXPECT_EQ(model->draft().assignments, defaults.assignments);
    EXPECT_FALSE(model->error());
    EXPECT_FALSE(model->storageError());
    EXPECT_FALSE(model->authorized());
    EXPECT_EQ(model->screens().size(), 2u);
    EXPECT_EQ(model->draft().screens.at("B").name, "Screen B");
    EXPECT_FALSE(QFile::exists(setup.data + "/preferences.json")) << "nothing written on reading";

    ModelSetup assigned(monday);
    Preferences stored;
    stored.assignments["cal"] = AgendaGroup::personal;
    test::writeFile((assigned.data + "/preferences.json").toStdString(), stored.toJson().dump());
    auto withAssignments = assigned.build();
    EXPECT_EQ(withAssignments->preferences().assignments, stored.assignments);
}

TEST(AgendaModelStorage, ACorruptFileDisablesApplyForTheRunAndIsNeverOverwritten) {
    ModelSetup setup(monday);
    const std::string corrupt = R"({"assignments": {"x": "nonsense"}, "calendarNames": {}})";
    test::writeFile((setup.data + "/preferences.json").toStdString(), corrupt);
    const std::string id = setup.addCalendar("work", "Work", {});
    auto model = setup.build();

    ASSERT_TRUE(model->error());
    EXPECT_EQ(model->error()->rfind("Could not read settings: ", 0), 0u) << *model->error();
    EXPECT_GT(model->error()->size(), std::string("Could not read settings: ").size())
        << "the decoding error follows the prefix";
    EXPECT_EQ(model->storageError(), model->error());
    EXPECT_FALSE(model->preferences().activated);
    EXPECT_TRUE(model->preferences().assignments.empty());

    ASSERT_TRUE(test::reload(*model));
    model->assign(id, AgendaGroup::ostrid);
    EXPECT_FALSE(model->canApply());
    model->apply();
    model->setLaunchAtLogin(false);
    ASSERT_TRUE(model->loginItemError());
    EXPECT_EQ(model->loginItemError()->rfind("Could not save launch at login: ", 0), 0u);
    model->restoreAndQuit();
    EXPECT_EQ(preferencesText(setup.data), corrupt) << "the user's file is kept as it was";
}

TEST(AgendaModelStorage, HostileSettingsFilesAreReportedNotFollowed) {
    for (const std::string kind : {"folder", "fifo", "huge", "not json"}) {
        ModelSetup setup(monday, QString::fromStdString("hostile"));
        const QString path = setup.data + "/preferences.json";
        QDir().mkpath(setup.data);
        if (kind == "folder")
            QDir().mkpath(path);
        else if (kind == "fifo")
            ASSERT_EQ(mkfifo(path.toLocal8Bit().constData(), 0600), 0);
        else if (kind == "huge")
            test::writeFile(path.toStdString(), std::string(5 * 1024 * 1024, ' '));
        else
            test::writeFile(path.toStdString(), "\xff\xfe{");
        auto model = setup.build(); // a FIFO would block here if it were opened
        ASSERT_TRUE(model->storageError()) << kind;
        EXPECT_EQ(model->storageError()->rfind("Could not read settings: ", 0), 0u) << kind;
    }
}

TEST(AgendaModelStorage, AFailedWriteLeavesEverythingAsItWas) {
    bool passed = false;
    if (rerunWithoutPermissionOverrides(&passed)) {
        EXPECT_TRUE(passed) << "the run without permission overrides failed";
        return;
    }
    ModelSetup setup(monday);
    const std::string id = setup.addCalendar("work", "Work", {});
    auto model = setup.build();
    ASSERT_TRUE(test::reload(*model));
    model->assign(id, AgendaGroup::ostrid);
    ASSERT_TRUE(model->canApply());
    const Preferences before = model->preferences();
    const Preferences draft = model->draft();

    ASSERT_EQ(chmod(setup.data.toLocal8Bit().constData(), 0500), 0);
    model->apply();
    ASSERT_TRUE(model->error());
    EXPECT_EQ(model->error()->rfind("Settings were not saved: ", 0), 0u) << *model->error();
    EXPECT_EQ(model->preferences(), before);
    EXPECT_EQ(model->draft(), draft);
    EXPECT_FALSE(model->refreshing()) << "no refresh after a failed apply";

    model->setLaunchAtLogin(true);
    ASSERT_TRUE(model->loginItemError());
    EXPECT_EQ(model->loginItemError()->rfind("Could not save launch at login: ", 0), 0u);
    EXPECT_EQ(model->preferences(), before);

    const auto failures = model->restoreAndQuit();
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].rfind("Could not save settings: ", 0), 0u) << failures[0];
    chmod(setup.data.toLocal8Bit().constData(), 0700);
}

TEST(AgendaModelStorage, ApplyWritesTheNormalizedDraftAndSwitchesTheWallpaperOn) {
    ModelSetup setup(monday);
    const std::string id = setup.addCalendar("work", "Work", {});
    auto model = setup.build();
    ASSERT_TRUE(test::reload(*model));
    ASSERT_EQ(model->calendars().size(), 1u);
    model->assign(id, AgendaGroup::personal);
    model->renameGroup(AgendaGroup::personal, "  Casa  ");
    model->apply();
    EXPECT_TRUE(model->preferences().activated);
    EXPECT_EQ(model->preferences(), model->draft());
    const Preferences stored = *AgendaModel::readPreferences(setup.data);
    EXPECT_EQ(stored, model->preferences());
    EXPECT_EQ(stored.groupName(AgendaGroup::personal), "Casa");
    EXPECT_EQ(stored.calendarNames.at(id), "Work — " + model->calendars()[0].source);
    QFileInfo info(setup.data + "/preferences.json");
    EXPECT_EQ(info.permissions() & (QFileDevice::ReadOther | QFileDevice::ReadGroup), 0)
        << "the settings are the user's alone";
    EXPECT_TRUE(model->refreshing()) << "apply starts a refresh";
    ASSERT_TRUE(test::waitForIdle(*model));
    EXPECT_EQ(setup.pictures->sets, 2) << "both screens set";
    ASSERT_TRUE(model->message());
    EXPECT_EQ(*model->message(), "Wallpaper applied: Screen A, Screen B");
}

TEST(AgendaModelStorage, NamedListsMigrateToTheirListIdentifiers) {
    ModelSetup setup(monday);
    Preferences stored;
    stored.reminderGrouping = ReminderGrouping::namedLists;
    test::writeFile((setup.data + "/preferences.json").toStdString(), stored.toJson().dump());
    auto model = setup.build();

    ReminderSnapshot reminders;
    reminders.state = ReminderAvailability::available;
    reminders.lists = {ReminderList("t", "Oggi", "local"), ReminderList("m", "Domani", "local"),
                       ReminderList("p", "Pianificazione", "local")};
    ReminderSnapshot missingOne = reminders;
    missingOne.lists.pop_back();
    model->migrateNamedReminderLists(missingOne);
    EXPECT_EQ(model->preferences().reminderGrouping, ReminderGrouping::namedLists);

    model->migrateNamedReminderLists(reminders);
    const ReminderListIDs expected{{"today", "t"}, {"tomorrow", "m"}, {"scheduled", "p"}};
    EXPECT_EQ(model->preferences().reminderGrouping, ReminderGrouping::selectedLists);
    EXPECT_EQ(model->preferences().reminderListIDs, expected);
    EXPECT_EQ(model->draft().reminderListIDs, expected);
    EXPECT_EQ(AgendaModel::readPreferences(setup.data)->reminderListIDs, expected);
}

// --- draft --------------------------------------------------------------------------------------

TEST(AgendaModelDraft, EditsChangeOnlyTheDraftAndNotifyOnRealChanges) {
    ModelSetup setup(monday);
    const std::string id = setup.addCalendar("work", "Work", {});
    auto model = setup.build();
    ASSERT_TRUE(test::reload(*model));
    int draftSignals = 0;
    QObject::connect(model.get(), &AgendaModel::draftChanged, [&] { ++draftSignals; });

    model->assign("unknown", AgendaGroup::ostrid);
    EXPECT_EQ(model->draft().assignments.at("unknown"), AgendaGroup::ostrid);
    EXPECT_FALSE(model->draft().calendarNames.count("unknown"));
    EXPECT_EQ(model->missingCalendars(), std::vector<std::string>{"unknown"});
    model->assign(id, AgendaGroup::ostrid);
    EXPECT_EQ(model->selectedCalendarCount(), 1);
    model->assign("unknown", std::nullopt);
    EXPECT_TRUE(model->missingCalendars().empty());
    EXPECT_EQ(draftSignals, 3);
    model->assign("unknown", std::nullopt);
    EXPECT_EQ(draftSignals, 3) << "no change, no signal";

    model->selectReminderList("list-1", ReminderSection::tomorrow);
    EXPECT_EQ(model->draft().reminderListIDs->at("tomorrow"), "list-1");
    model->selectReminderList("", ReminderSection::tomorrow);
    EXPECT_FALSE(model->draft().reminderListIDs->count("tomorrow"));
    EXPECT_TRUE(model->preferences().assignments.empty()) << "nothing applied";

    EXPECT_TRUE(model->canApply());
    Preferences off = model->draft();
    off.screens["A"].enabled = false;
    off.screens["B"].enabled = false;
    off.screens["gone"] = ScreenPreferences{};
    model->setDraft(off);
    EXPECT_FALSE(model->canApply()) << "every connected screen switched off";
    EXPECT_EQ(model->disconnectedScreens(), std::vector<std::string>{"gone"});
    off.screens.erase("B");
    model->setDraft(off);
    EXPECT_TRUE(model->canApply()) << "a connected screen without an entry counts as enabled";
    model->renameGroup(AgendaGroup::ostrid, "");
    EXPECT_FALSE(model->canApply()) << "an empty group name";
}

// --- launch at login ----------------------------------------------------------------------------

// The command line a desktop runs for the entry, as GLib's desktop-entry reader sees it.
std::vector<std::string> launchArguments(const QString& entry) {
    GKeyFile* file = g_key_file_new();
    std::vector<std::string> arguments;
    if (g_key_file_load_from_file(file, entry.toLocal8Bit().constData(), G_KEY_FILE_NONE,
                                  nullptr)) {
        gchar* exec = g_key_file_get_string(file, "Desktop Entry", "Exec", nullptr);
        gchar** argv = nullptr;
        if (exec && g_shell_parse_argv(exec, nullptr, &argv, nullptr))
            for (gchar** a = argv; *a; ++a)
                arguments.emplace_back(*a);
        g_strfreev(argv);
        g_free(exec);
    }
    g_key_file_free(file);
    return arguments;
}

TEST(LoginItemTest, TheAutostartEntryRunsThisProgramWhateverItsPath) {
    ModelSetup setup(monday);
    setup.loginItem.program = setup.root + R"(/it's "my" $HOME `x` 100% \dir/pellora)";
    LoginItem item(setup.loginItem);
    EXPECT_EQ(item.status(), LoginItemStatus::notRegistered);
    item.registerItem();
    EXPECT_EQ(item.status(), LoginItemStatus::enabled);
    const auto arguments = launchArguments(setup.loginItem.entryPath);
    ASSERT_EQ(arguments.size(), 2u);
    // %u stays for the desktop to expand; "%%" is a literal percent sign.
    QString program = QString::fromStdString(arguments[0]);
    EXPECT_EQ(program.replace("%%", "%"), setup.loginItem.program);
    EXPECT_EQ(arguments[1], "%u");

    test::writeFile(setup.loginItem.entryPath.toStdString(),
                    "[Desktop Entry]\nName=Pellora\nExec=x\nHidden=true\n");
    EXPECT_EQ(item.status(), LoginItemStatus::requiresApproval) << "switched off by the user";
    item.unregisterItem();
    EXPECT_FALSE(QFile::exists(setup.loginItem.entryPath));
    item.unregisterItem(); // nothing to remove is no error

    LoginItem::Location nowhere = setup.loginItem;
    nowhere.sourceEntry.clear();
    EXPECT_EQ(LoginItem(nowhere).status(), LoginItemStatus::notFound);
    EXPECT_THROW(LoginItem(nowhere).registerItem(), LoginItemError);
}

TEST(LoginItemTest, ReconcileFollowsTheSettingAndReportsFailures) {
    ModelSetup setup(monday);
    auto model = setup.build();
    EXPECT_EQ(model->loginItemStatus(), LoginItemStatus::notRegistered);
    model->reconcileLoginItem(); // wanted by default (Info.json or true)
    EXPECT_EQ(model->loginItemStatus(), AgendaModel::defaultLaunchAtLogin()
                                            ? LoginItemStatus::enabled
                                            : LoginItemStatus::notRegistered);
    model->setLaunchAtLogin(false);
    EXPECT_EQ(model->loginItemStatus(), LoginItemStatus::notRegistered);
    EXPECT_EQ(model->preferences().launchAtLogin, false);
    EXPECT_EQ(model->draft().launchAtLogin, false);
    EXPECT_EQ(AgendaModel::readPreferences(setup.data)->launchAtLogin, false);
    model->setLaunchAtLogin(true);
    EXPECT_EQ(model->loginItemStatus(), LoginItemStatus::enabled);
    EXPECT_FALSE(model->loginItemError());

    ModelSetup broken(monday);
    broken.loginItem.sourceEntry.clear();
    auto withoutEntry = broken.build();
    withoutEntry->setLaunchAtLogin(true);
    EXPECT_EQ(withoutEntry->loginItemStatus(), LoginItemStatus::notFound);
    ASSERT_TRUE(withoutEntry->loginItemError());
    EXPECT_EQ(withoutEntry->loginItemError()->rfind("Launch at login could not be configured: ", 0),
              0u);
}

// Autostart switched off in the desktop's own settings stays off: the entry is not rewritten,
// and the settings show that the desktop needs the user.
TEST(LoginItemTest, ASwitchOffInTheDesktopIsNeverUndone) {
    for (const char* off : {"Hidden=true", "X-GNOME-Autostart-enabled=false"}) {
        SCOPED_TRACE(off);
        ModelSetup setup(monday);
        const std::string text =
            std::string("[Desktop Entry]\nName=Pellora\nExec=pellora\n") + off + "\n";
        test::writeFile(setup.loginItem.entryPath.toStdString(), text);
        auto model = setup.build();
        model->start();
        EXPECT_EQ(model->loginItemStatus(), LoginItemStatus::requiresApproval);
        model->reconcileLoginItem();
        QFile entry(setup.loginItem.entryPath);
        ASSERT_TRUE(entry.open(QIODevice::ReadOnly));
        EXPECT_EQ(entry.readAll().toStdString(), text);
        EXPECT_EQ(model->loginItemStatus(), LoginItemStatus::requiresApproval);
        EXPECT_FALSE(model->loginItemError());
    }
}

// --- snapshots ----------------------------------------------------------------------------------

TEST(AgendaModelSnapshot, EventsOfAssignedCalendarsForTheRestOfTheWeek) {
    ModelSetup setup(monday);
    const std::string work = setup.addCalendar(
        "work", "Work",
        {event("a", "Standup", "20261207T090000Z", "20261207T093000Z"),
         event("b", "", "20261206T230000Z", "20261207T010000Z"), // yesterday into today
         event("c", "Gone", "20261207T120000Z", "20261207T130000Z", "STATUS:CANCELLED\r\n"),
         event("d", "Weekly", "20261208T080000Z", "20261208T090000Z",
               "RRULE:FREQ=DAILY;COUNT=10\r\n"),
         event("e", "Next week", "20261214T080000Z", "20261214T090000Z")});
    const std::string other = setup.addCalendar(
        "other", "Other", {event("x", "Not assigned", "20261207T100000Z", "20261207T110000Z")});
    auto model = setup.build();
    ASSERT_TRUE(test::reload(*model));
    EXPECT_FALSE(model->lastReadAt()) << "nothing assigned: no read time";
    EXPECT_FALSE(model->snapshot().fetchedAt);

    model->assign(work, AgendaGroup::ostrid);
    model->apply();
    ASSERT_TRUE(test::waitForIdle(*model));
    const AgendaSnapshot& snapshot = model->snapshot();
    ASSERT_TRUE(snapshot.fetchedAt);
    EXPECT_EQ(model->lastReadAt(), snapshot.fetchedAt);
    std::vector<std::string> titles;
    std::set<std::string> ids;
    for (const auto& e : snapshot.events) {
        titles.push_back(e.title);
        ids.insert(e.id);
        EXPECT_EQ(e.id.rfind(work + ":", 0), 0u);
    }
    std::sort(titles.begin(), titles.end());
    // Tuesday to Sunday of the daily series, the untitled event, the standup.
    EXPECT_EQ(titles, (std::vector<std::string>{"Standup", "Untitled", "Weekly", "Weekly", "Weekly",
                                                "Weekly", "Weekly", "Weekly"}));
    EXPECT_EQ(ids.size(), snapshot.events.size()) << "every occurrence has its own id";
    EXPECT_EQ(snapshot.availability.at(AgendaGroup::ostrid), GroupAvailability::available());
    EXPECT_EQ(snapshot.availability.at(AgendaGroup::personal), GroupAvailability::notSelected());
    (void)other;
}

// Calendars by address on a desktop without local calendars: a subscription alone lists its
// calendar, lets Apply run and reaches the wallpaper; when its host fails, the events last read
// stay and the failure says since when, naming the host only; removing it leaves no group behind.
TEST(AgendaModelSnapshot, ASubscriptionAloneIsACalendarSourceFromAddingToRemoving) {
    test::CalendarHost host;
    ModelSetup setup(monday);
    setup.consent = false;
    auto model = setup.build();
    ASSERT_TRUE(test::reload(*model));
    ASSERT_FALSE(model->authorized());
    EXPECT_FALSE(model->canApply());

    const auto added = QCoro::waitFor(model->subscribe(host.address(), "Term"));
    ASSERT_FALSE(added.error) << *added.error;
    const std::string id = added.subscription->id;
    ASSERT_EQ(model->calendars().size(), 1u);
    EXPECT_EQ(model->calendars()[0].id, id);
    EXPECT_EQ(model->calendars()[0].name, "Term");
    EXPECT_EQ(model->calendars()[0].source, SubscriptionService::accountTitle());

    model->assign(id, AgendaGroup::ostrid);
    ASSERT_TRUE(model->canApply()) << model->applyBlocker()->text;
    model->apply();
    ASSERT_TRUE(test::waitForIdle(*model));
    ASSERT_FALSE(setup.drawn.empty());
    const auto& drawn = setup.drawn.back();
    // Today to Sunday, one a day.
    EXPECT_EQ(std::count(drawn.begin(), drawn.end(), "Assembly"), 7) << drawn.size();
    EXPECT_EQ(model->snapshot().availability.at(AgendaGroup::ostrid),
              GroupAvailability::available());

    host.stop();
    setup.timers->advance(std::chrono::minutes(20));
    model->refresh(KeyringAccess::userAction);
    ASSERT_TRUE(test::waitForIdle(*model, 20000));
    const SubscriptionService::State state = model->subscriptions().state(id);
    ASSERT_TRUE(state.error);
    EXPECT_NE(state.error->find(host.host()), std::string::npos) << *state.error;
    EXPECT_EQ(state.error->find(test::CalendarHost::token), std::string::npos) << *state.error;
    ASSERT_TRUE(state.failingSince);
    EXPECT_EQ(state.failingSince->toMSecsSinceEpoch(),
              (monday + std::chrono::minutes(20)).time_since_epoch().count());
    EXPECT_EQ(std::count(setup.drawn.back().begin(), setup.drawn.back().end(), "Assembly"), 7);

    EXPECT_FALSE(QCoro::waitFor(model->unsubscribe(id)));
    EXPECT_TRUE(model->calendars().empty());
    EXPECT_FALSE(model->draft().assignments.count(id));
    EXPECT_TRUE(model->missingCalendars().empty());
}

} // namespace
} // namespace brivane

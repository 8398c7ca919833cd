#include "Brivane/calendar/ICalendarReader.h"
#include "Brivane/calendar/ICalendarStore.h"
#include "Brivane/calendar/ReminderService.h"
#include "Brivane/cli/SourcesMode.h"
#include "CalendarTestSupport.h"

#include <QTemporaryDir>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <mutex>
#include <nlohmann/json.hpp>
#include <qcoro/qcorotask.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace brivane;
using namespace brivane::testing;
namespace fs = std::filesystem;

namespace {

template <typename T>
T await(QCoro::Task<T> task) {
    return QCoro::waitFor(std::move(task));
}

class ICalendarStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        root = fs::path(dir.path().toStdString());
        home = root / "home";
        data = home / ".local/share";
        fs::create_directories(data);
        setenv("HOME", home.c_str(), 1);
        setenv("XDG_DATA_HOME", data.c_str(), 1);
        setenv("TZ", "Europe/Rome", 1);
        setenv("LANGUAGE", "en", 1);
    }

    ICalendarStore::Options options() const {
        auto o = ICalendarStore::Options::defaults((data / "Brivane").string());
        o.debounce = std::chrono::milliseconds(100);
        return o;
    }

    // A small realistic layout: a collection directly under the XDG root, an account folder
    // of vdirsyncer under ~/.calendars, Evolution's local calendar and task list.
    void writeLayout() {
        const fs::path personal = data / "calendars/personal";
        writeFile(personal / "displayname", "Personale\n");
        writeFile(personal / "a.ics",
                  eventText("a", "Dentist", "20261208T100000Z", "20261208T110000Z"));
        writeFile(personal / "b.ics", eventText("b", "Cancelled call", "20261209T100000Z",
                                                "20261209T110000Z", "STATUS:CANCELLED\r\n"));
        writeFile(personal / "old.ics",
                  eventText("old", "Last year", "20251208T100000Z", "20251208T110000Z"));
        const fs::path work = home / ".calendars/nextcloud/work";
        writeFile(work / "w.ics", eventText("w", "Planning", "20261207T080000Z", "20261207T090000Z",
                                            "RRULE:FREQ=DAILY;COUNT=3\r\n"));
        writeFile(home / ".calendars/nextcloud/tasks/t.ics",
                  taskText("t1", "Buy milk", "DUE;VALUE=DATE:20261208\r\nPRIORITY:5\r\n"));
        writeFile(home / ".calendars/nextcloud/tasks/done.ics",
                  taskText("t2", "Done", "STATUS:COMPLETED\r\n"));
        fs::create_directories(home / ".calendars/nextcloud/empty");
        writeFile(data / "evolution/calendar/system/calendar.ics",
                  calendarText("X-WR-CALNAME:ignored\r\nBEGIN:VEVENT\r\nUID:evo\r\nSUMMARY:Evo\r\n"
                               "DTSTART;VALUE=DATE:20261210\r\nEND:VEVENT\r\n"));
        writeFile(data / "evolution/tasks/system/tasks.ics",
                  calendarText("BEGIN:VTODO\r\nUID:evo-task\r\nEND:VTODO\r\n"));
    }

    std::string id(const fs::path& path) const { return ICalendarStore::calendarID(path.string()); }

    // Runs `check` as an ordinary user would see the files. Root reads every file, so as root it
    // runs in a child that keeps its user but gives up the capabilities that bypass file
    // permissions: the locked paths become unreadable to it, and everything else stays reachable
    // wherever the test's folders lie (a chroot or a home folder that no other user may enter).
    bool asOrdinaryUser(const std::function<bool()>& check, const std::vector<fs::path>& locked) {
        for (const auto& path : locked) {
            fs::permissions(path, fs::perms::none);
        }
        if (geteuid() != 0) {
            return check();
        }
        const pid_t child = fork();
        if (child == 0) {
            const bool ok = dropFilePermissionOverrides() && check();
            _exit(ok ? 0 : 1);
        }
        int status = 0;
        return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
               WEXITSTATUS(status) == 0;
    }

    static bool dropFilePermissionOverrides() {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct caps[_LINUX_CAPABILITY_U32S_3] = {};
        if (syscall(SYS_capget, &header, caps) != 0) {
            return false;
        }
        for (const int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER}) {
            const auto bit = 1u << (cap % 32);
            caps[cap / 32].effective &= ~bit;
            caps[cap / 32].permitted &= ~bit;
            caps[cap / 32].inheritable &= ~bit;
        }
        return syscall(SYS_capset, &header, caps) == 0;
    }

    QTemporaryDir dir;
    fs::path root, home, data;
};

} // namespace

TEST_F(ICalendarStoreTest, FindsCollectionsAndFilesWithStableIdentifiers) {
    writeLayout();
    ICalendarStore store(options());
    const auto calendars = await(store.calendars(CalendarEntity::event));
    const auto lists = await(store.calendars(CalendarEntity::reminder));

    const std::vector<StoreCalendar> expectedCalendars{
        {id(data / "calendars/personal"), "Personale", "~/.local/share/calendars"},
        {id(home / ".calendars/nextcloud/empty"), "empty", "nextcloud"},
        {id(home / ".calendars/nextcloud/work"), "work", "nextcloud"},
        {id(data / "evolution/calendar/system/calendar.ics"), "Personal", "Evolution"},
    };
    EXPECT_EQ(calendars, expectedCalendars);
    const std::vector<StoreCalendar> expectedLists{
        {id(home / ".calendars/nextcloud/empty"), "empty", "nextcloud"},
        {id(home / ".calendars/nextcloud/tasks"), "tasks", "nextcloud"},
        {id(data / "evolution/tasks/system/tasks.ics"), "Personal", "Evolution"},
    };
    EXPECT_EQ(lists, expectedLists);

    // Identifiers are name-based UUIDs of the path: the same in a new store.
    EXPECT_EQ(id(home / ".calendars/nextcloud/work").size(), 36u);
    ICalendarStore again(options());
    EXPECT_EQ(await(again.calendars(CalendarEntity::event)), calendars);
}

TEST_F(ICalendarStoreTest, ConsentIsRecordedPerKindInTheStoresOwnFile) {
    writeLayout();
    {
        ICalendarStore store(options());
        EXPECT_EQ(store.authorizationStatus(CalendarEntity::event),
                  AuthorizationStatus::notDetermined);
        const AccessAnswer answer = await(store.requestFullAccess(CalendarEntity::event));
        EXPECT_TRUE(answer.granted);
        EXPECT_FALSE(answer.error);
        EXPECT_EQ(store.authorizationStatus(CalendarEntity::event),
                  AuthorizationStatus::fullAccess);
        EXPECT_EQ(store.authorizationStatus(CalendarEntity::reminder),
                  AuthorizationStatus::notDetermined);
    }
    const fs::path file = data / "Brivane/calendar-sources.json";
    const auto json = nlohmann::json::parse(std::ifstream(file));
    EXPECT_EQ(json["eventsAccess"], true);
    EXPECT_EQ(json["remindersAccess"], false);

    ICalendarStore store(options());
    EXPECT_EQ(store.authorizationStatus(CalendarEntity::event), AuthorizationStatus::fullAccess);

    // A damaged file counts as no consent, and a grant rewrites it whole.
    writeFile(file, "{ not json");
    store.reset();
    EXPECT_EQ(store.authorizationStatus(CalendarEntity::event), AuthorizationStatus::notDetermined);
    EXPECT_TRUE(await(store.requestFullAccess(CalendarEntity::reminder)).granted);
    EXPECT_EQ(nlohmann::json::parse(std::ifstream(file))["remindersAccess"], true);
}

TEST_F(ICalendarStoreTest, ConsentThatCannotBeSavedIsReportedAndNotKept) {
    // The data directory is a file: the JSON cannot be written.
    writeFile(data / "Brivane", "not a folder");
    ICalendarStore store(options());
    const AccessAnswer answer = await(store.requestFullAccess(CalendarEntity::event));
    EXPECT_FALSE(answer.granted);
    ASSERT_TRUE(answer.error);
    EXPECT_NE(answer.error->find("Could not save the consent"), std::string::npos);
    EXPECT_EQ(store.authorizationStatus(CalendarEntity::event), AuthorizationStatus::notDetermined);
}

TEST_F(ICalendarStoreTest, UnreadableSourceMakesAccessDenied) {
    writeLayout();
    const fs::path locked = home / ".calendars";
    fs::permissions(locked, fs::perms::none);
    EXPECT_TRUE(asOrdinaryUser(
        [&] {
            ICalendarStore store(options());
            const AccessAnswer answer = await(store.requestFullAccess(CalendarEntity::event));
            const auto problem = store.accessProblem(CalendarEntity::event);
            return !answer.granted && answer.error == problem &&
                   store.authorizationStatus(CalendarEntity::event) ==
                       AuthorizationStatus::denied &&
                   problem &&
                   problem->find("Pellora cannot read ~/.calendars.") != std::string::npos &&
                   store.authorizationStatus(CalendarEntity::reminder) ==
                       AuthorizationStatus::notDetermined;
        },
        {locked}));
    fs::permissions(locked, fs::perms::owner_all);
}

// A root-owned 0600 item (left by a tool run with sudo) is one skipped file, not a store
// without access: the other items and every task still show.
TEST_F(ICalendarStoreTest, OneUnreadableItemIsSkippedAndNamed) {
    writeLayout();
    const fs::path locked = data / "calendars/personal/locked.ics";
    writeFile(locked, eventText("l", "Secret", "20261208T100000Z", "20261208T110000Z"));
    fs::permissions(locked, fs::perms::none);
    writeFile(data / "Brivane/calendar-sources.json",
              R"({"eventsAccess": true, "remindersAccess": true, "sources": []})");
    EXPECT_TRUE(asOrdinaryUser(
        [&] {
            ICalendarStore store(options());
            const auto report = store.report();
            const bool named =
                std::any_of(report.problems.begin(), report.problems.end(),
                            [&](const ICalendarStore::FileProblem& p) {
                                return p.path == locked.string() && p.reason == "permission denied";
                            });
            const auto events = await(store.events(utc(2026, 12, 6, 23), utc(2026, 12, 13, 23),
                                                   {id(data / "calendars/personal")}));
            std::atomic<bool> done = false;
            std::optional<std::vector<ReminderItem>> tasks;
            store.fetchIncompleteReminders([&](auto items) {
                tasks = std::move(items);
                done = true;
            });
            waitUntil([&] { return done.load(); });
            return named && events.size() == 2 && tasks && tasks->size() == 2 &&
                   store.authorizationStatus(CalendarEntity::event) ==
                       AuthorizationStatus::fullAccess &&
                   store.authorizationStatus(CalendarEntity::reminder) ==
                       AuthorizationStatus::fullAccess &&
                   !store.accessProblem(CalendarEntity::event);
        },
        {locked}));
}

// A fresh account has no ~/.local/share; the consent is private whatever the umask.
TEST_F(ICalendarStoreTest, ConsentFileIsPrivateAndItsFolderIsCreated) {
    fs::remove_all(home / ".local");
    const mode_t previous = umask(0);
    ICalendarStore store(options());
    const AccessAnswer answer = await(store.requestFullAccess(CalendarEntity::reminder));
    umask(previous);
    EXPECT_TRUE(answer.granted) << answer.error.value_or("");
    const fs::path file = data / "Brivane/calendar-sources.json";
    ASSERT_TRUE(fs::exists(file));
    EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(nlohmann::json::parse(std::ifstream(file))["remindersAccess"], true);
}

TEST_F(ICalendarStoreTest, EventsOfSelectedCalendarsInAWindow) {
    writeLayout();
    ICalendarStore store(options());
    const auto personal = id(data / "calendars/personal");
    const auto work = id(home / ".calendars/nextcloud/work");
    const auto events =
        await(store.events(utc(2026, 12, 6, 23), utc(2026, 12, 13, 23), {personal, work}));
    ASSERT_EQ(events.size(), 5u);
    EXPECT_EQ(events[0], (StoreEvent{personal, "a", "a", "Dentist", utc(2026, 12, 8, 10),
                                     utc(2026, 12, 8, 11), false, false}));
    EXPECT_TRUE(events[1].cancelled);
    EXPECT_EQ(events[2].calendarID, work);
    EXPECT_EQ(events[4].start, utc(2026, 12, 9, 8));
    // Only the calendars asked for.
    EXPECT_TRUE(await(store.events(utc(2026, 12, 6, 23), utc(2026, 12, 13, 23), {})).empty());
}

TEST_F(ICalendarStoreTest, BadFilesAreSkippedAndNamed) {
    const fs::path personal = data / "calendars/personal";
    writeFile(personal / "good.ics",
              eventText("g", "Good", "20261208T100000Z", "20261208T110000Z"));
    writeFile(personal / "binary.ics", std::string("\x89PNG\r\n\x1a\n\0\0\0", 11));
    writeFile(personal / "latin1.ics",
              eventText("l", "Caf\xE9", "20261208T100000Z", "20261208T110000Z"));
    writeFile(personal / "cut.ics",
              eventText("c", "Cut", "20261208T100000Z", "20261208T110000Z").substr(0, 60));
    writeFile(personal / "notes.txt", "ignored");
    { std::ofstream big(personal / "big.ics"); }
    fs::resize_file(personal / "big.ics", 21 * 1024 * 1024); // sparse: no 21 MB written

    ICalendarStore store(options());
    const auto report = store.report();
    std::map<std::string, std::string> problems;
    for (const auto& p : report.problems) {
        problems[fs::path(p.path).filename().string()] = p.reason;
    }
    EXPECT_EQ(problems["binary.ics"], "binary file, not iCalendar");
    EXPECT_EQ(problems["latin1.ics"], "the text is not UTF-8");
    EXPECT_EQ(problems["cut.ics"], "truncated file (END:VCALENDAR missing)");
    EXPECT_EQ(problems["big.ics"], "file too large (over 20 MB)");
    EXPECT_EQ(problems.size(), 4u);
    ASSERT_EQ(report.collections.size(), 1u);
    EXPECT_EQ(report.collections[0].events, 1u);
    EXPECT_EQ(await(store.events(utc(2026, 12, 7), utc(2026, 12, 14), {id(personal)})).size(), 1u);
}

// Files the store reads but not whole: text after the calendar, an event whose repetitions take
// too long to work out in the agenda's week.
TEST_F(ICalendarStoreTest, PartlyReadFilesAreNamed) {
    const fs::path personal = data / "calendars/personal";
    writeFile(personal / "feed.ics",
              eventText("f", "Feed", "20261208T100000Z", "20261208T110000Z") +
                  "X-COMMENT:Cached from https://example.org/feed.ics\r\n");
    writeFile(personal / "busy.ics",
              eventText("b", "Every second", "20200101T000000Z", "20200101T000001Z",
                        "RRULE:FREQ=SECONDLY;BYDAY=MO,TU,WE,TH,FR,SA,SU;BYHOUR=23\r\n"));
    ICalendarStore store(options());
    const auto report = store.report();
    std::map<std::string, std::string> problems;
    for (const auto& p : report.problems) {
        problems[fs::path(p.path).filename().string()] = p.reason;
    }
    EXPECT_EQ(problems["feed.ics"], "text after END:VCALENDAR ignored");
    EXPECT_EQ(problems["busy.ics"],
              "\"Every second\": repetitions skipped, the rule takes too much work");
    ASSERT_EQ(report.collections.size(), 1u);
    EXPECT_EQ(report.collections[0].events, 2u);
}

// The store parses files on several threads from the start. libical fills its zone table on
// first use, so the first reads of a process raced over it: events came out at other times or
// the process crashed. Each child process reads 240 files once, at its start.
TEST_F(ICalendarStoreTest, ParallelFirstReadsAgree) {
    constexpr int files = 240;
    if (std::getenv("PELLORA_FIRST_READ_CHILD") != nullptr) {
        const fs::path personal = data / "calendars/personal";
        for (int i = 0; i < files; ++i) {
            writeFile(personal / ("e" + std::to_string(i) + ".ics"),
                      calendarText("BEGIN:VEVENT\r\nUID:e" + std::to_string(i) +
                                   "\r\nDTSTAMP:20261201T101010Z\r\nSUMMARY:Standup\r\n"
                                   "DTSTART;TZID=Asia/Kolkata:20261208T090000\r\n"
                                   "DTEND;TZID=Asia/Kolkata:20261208T093000\r\nEND:VEVENT\r\n"));
        }
        ICalendarStore store(options());
        const auto events =
            await(store.events(utc(2026, 12, 7), utc(2026, 12, 14), {id(personal)}));
        ASSERT_EQ(events.size(), static_cast<std::size_t>(files));
        for (const auto& e : events) {
            ASSERT_EQ(e.start, utc(2026, 12, 8, 3, 30)) << e.eventIdentifier;
        }
        return;
    }
    const std::string self = fs::read_symlink("/proc/self/exe").string();
    for (int run = 0; run < 25; ++run) {
        const pid_t child = fork();
        if (child == 0) {
            const int quiet = open("/dev/null", O_WRONLY);
            dup2(quiet, STDOUT_FILENO);
            setenv("PELLORA_FIRST_READ_CHILD", "1", 1);
            execl(self.c_str(), self.c_str(),
                  "--gtest_filter=ICalendarStoreTest.ParallelFirstReadsAgree", nullptr);
            _exit(127);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << "run " << run << ": " << (WIFSIGNALED(status) ? "signal " : "exit ")
            << (WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status));
    }
}

TEST_F(ICalendarStoreTest, ChangesAreNoticedOnceDebouncedAndRead) {
    writeLayout();
    fs::remove_all(data / "evolution/tasks");
    ICalendarStore store(options());
    const auto personal = id(data / "calendars/personal");
    const auto window = [&] {
        return await(store.events(utc(2026, 12, 6, 23), utc(2026, 12, 13, 23), {personal}));
    };
    ASSERT_EQ(window().size(), 2u);
    int changes = 0;
    QObject::connect(&store, &CalendarStore::changed, [&] { ++changes; });

    // A new item and an edit in place, in quick succession: one notification.
    writeFile(data / "calendars/personal/new.ics",
              eventText("n", "New", "20261211T100000Z", "20261211T110000Z"));
    writeFile(data / "calendars/personal/a.ics",
              eventText("a", "Dentist (moved)", "20261208T150000Z", "20261208T160000Z"));
    ASSERT_TRUE(waitUntil([&] { return changes > 0; }));
    EXPECT_EQ(changes, 1); // a second notice would put the counts below out of step
    auto events = window();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].title, "Dentist (moved)");

    // An edit in place of a file the store has already read again.
    writeFile(data / "calendars/personal/new.ics",
              eventText("n", "Newer", "20261211T100000Z", "20261211T110000Z"));
    ASSERT_TRUE(waitUntil([&] { return changes == 2; }));
    events = window();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[2].title, "Newer");

    // A deleted item and a new collection.
    fs::remove(data / "calendars/personal/b.ics");
    writeFile(data / "calendars/holidays/h.ics",
              eventText("h", "Holiday", "20261208T000000Z", "20261209T000000Z"));
    ASSERT_TRUE(waitUntil([&] { return changes == 3; }));
    EXPECT_EQ(window().size(), 2u);
    EXPECT_EQ(await(store.calendars(CalendarEntity::event)).front().title, "holidays");

    // Evolution's task list appears where there was none: seen at the next read.
    writeFile(data / "evolution/tasks/system/tasks.ics.tmp", taskText("e", "Evolution task"));
    fs::rename(data / "evolution/tasks/system/tasks.ics.tmp",
               data / "evolution/tasks/system/tasks.ics");
    EXPECT_EQ(await(store.calendars(CalendarEntity::reminder)).back().source, "Evolution");
}

TEST_F(ICalendarStoreTest, TaskFetchRunsOnAWorkerAndCanBeCancelled) {
    writeLayout();
    ICalendarStore store(options());
    std::atomic<bool> done = false;
    std::optional<std::vector<ReminderItem>> items;
    std::thread::id thread;
    store.fetchIncompleteReminders([&](std::optional<std::vector<ReminderItem>> result) {
        items = std::move(result);
        thread = std::this_thread::get_id();
        done = true;
    });
    ASSERT_TRUE(waitUntil([&] { return done.load(); }));
    EXPECT_NE(thread, std::this_thread::get_id());
    ASSERT_TRUE(items);
    ASSERT_EQ(items->size(), 2u);
    const auto tasks = id(home / ".calendars/nextcloud/tasks");
    EXPECT_EQ((*items)[0], ReminderItem(tasks + "/t1", "Buy milk", "tasks", utc(2026, 12, 7, 23),
                                        false, 5, tasks));
    const auto evolution = id(data / "evolution/tasks/system/tasks.ics");
    EXPECT_EQ((*items)[1], ReminderItem(evolution + "/evo-task", "Untitled", "Personal",
                                        std::nullopt, false, 0, evolution));

    // A cancelled fetch never answers.
    std::atomic<int> answers = 0;
    const auto token = store.fetchIncompleteReminders([&](auto) { ++answers; });
    store.cancelFetch(token);
    const auto second = store.fetchIncompleteReminders([&](auto) { answers += 10; });
    // Fetches run in order: once the second has answered, the first would have.
    ASSERT_TRUE(waitUntil([&] { return answers.load() >= 10; }));
    EXPECT_EQ(answers.load(), 10);
    store.cancelFetch(second); // after the answer: nothing happens
}

TEST_F(ICalendarStoreTest, AddedSourcesAreSavedAndRead) {
    const fs::path elsewhere = root / "elsewhere";
    writeFile(elsewhere / "team/x.ics",
              eventText("x", "Team", "20261208T100000Z", "20261208T110000Z"));
    writeFile(root / "single/holidays.ics",
              calendarText("X-WR-CALNAME:Festività\r\nBEGIN:VEVENT\r\nUID:h\r\n"
                           "DTSTART;VALUE=DATE:20261208\r\nEND:VEVENT\r\n"));
    ICalendarStore store(options());
    EXPECT_TRUE(await(store.calendars(CalendarEntity::event)).empty());
    EXPECT_FALSE(await(store.addSource(elsewhere.string())));
    EXPECT_FALSE(await(store.addSource((root / "single/../single/holidays.ics").string())));
    const auto calendars = await(store.calendars(CalendarEntity::event));
    ASSERT_EQ(calendars.size(), 2u);
    EXPECT_EQ(calendars[0].title, "team");
    EXPECT_EQ(calendars[1].title, "Festività");
    EXPECT_EQ(calendars[1].id, id(root / "single/holidays.ics"));

    ICalendarStore reopened(options());
    EXPECT_EQ(reopened.addedSources().size(), 2u);
    EXPECT_FALSE(await(reopened.removeSource(elsewhere.string())));
    EXPECT_EQ(await(reopened.calendars(CalendarEntity::event)).size(), 1u);
}

TEST_F(ICalendarStoreTest, SourcesReportNamesCalendarsAndUnreadFiles) {
    writeLayout();
    writeFile(data / "calendars/personal/broken.ics", "BEGIN:VCALENDAR\r\nBEGIN:VEVENT\r\n");
    const std::string text = SourcesMode::report((data / "Brivane").string());
    EXPECT_NE(text.find("Calendar access: not granted yet"), std::string::npos);
    EXPECT_NE(text.find("  Personale · ~/.local/share/calendars  [calendar]\n    id: " +
                        id(data / "calendars/personal") +
                        "\n    path: ~/.local/share/calendars/personal\n"
                        "    events: 3 · open tasks: 0\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("  tasks · nextcloud  [task list]"), std::string::npos) << text;
    EXPECT_NE(
        text.find(
            "Files not read or read in part (1)\n  ~/.local/share/calendars/personal/broken.ics: "
            "truncated file (END:VCALENDAR missing)\n"),
        std::string::npos)
        << text;
}

// Sources can sit on a slow or hung mount, and pipes can stand where files are expected. A
// large file keeps the store's thread busy for a second or more: meanwhile every call on the
// main thread returns at once, and the task read gives up at its time limit, not when the
// store is done.
TEST_F(ICalendarStoreTest, MainThreadNeverWaitsOnSources) {
    writeLayout();
    const fs::path pipes = root / "pipes";
    fs::create_directories(pipes);
    ASSERT_EQ(mkfifo((pipes / "consent.json").c_str(), 0600), 0);
    ASSERT_EQ(mkfifo((pipes / "added.ics").c_str(), 0600), 0);
    ASSERT_EQ(mkfifo((data / "calendars/personal/pipe.ics").c_str(), 0600), 0);
    // Should anything open a pipe and wait, a writer comes by after a while to release it.
    std::mutex finishing;
    std::condition_variable finishedChanged;
    bool finished = false;
    std::thread release([&] {
        {
            std::unique_lock lock(finishing);
            finishedChanged.wait_for(lock, std::chrono::seconds(3), [&] { return finished; });
        }
        for (const char* name : {"consent.json", "added.ics"}) {
            const int fd = open((pipes / name).c_str(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0) {
                close(fd);
            }
        }
    });
    QElapsedTimer clock;
    const auto timed = [&](auto&& call) {
        clock.restart();
        call();
        return clock.elapsed();
    };

    auto pipeOptions = options();
    pipeOptions.configFile = (pipes / "consent.json").string();
    EXPECT_LT(timed([&] {
                  ICalendarStore store(pipeOptions);
                  EXPECT_EQ(store.authorizationStatus(CalendarEntity::event),
                            AuthorizationStatus::notDetermined);
              }),
              50);

    writeFile(data / "calendars/big/big.ics", manyEvents(28000)); // 5.6 MB
    writeFile(data / "Brivane/calendar-sources.json",
              nlohmann::json{{"eventsAccess", true},
                             {"remindersAccess", true},
                             {"sources", {(pipes / "added.ics").string()}}}
                  .dump());
    ICalendarStore store(options()); // starts reading the sources at once
    ReminderService service(&store, nullptr, std::chrono::milliseconds(150));
    std::optional<QCoro::Task<std::vector<StoreCalendar>>> calendars;
    std::optional<QCoro::Task<std::vector<StoreEvent>>> events;
    std::optional<QCoro::Task<ReminderSnapshot>> read;
    EXPECT_LT(timed([&] {
                  EXPECT_EQ(store.authorizationStatus(CalendarEntity::event),
                            AuthorizationStatus::fullAccess);
                  EXPECT_FALSE(store.accessProblem(CalendarEntity::reminder));
                  calendars = store.calendars(CalendarEntity::event);
                  events = store.events(utc(2026, 12, 6, 23), utc(2026, 12, 13, 23),
                                        {id(data / "calendars/big")});
                  read = service.read();
              }),
              50);
    const auto waited = timed([&] {
        const ReminderSnapshot snapshot = QCoro::waitFor(std::move(*read));
        EXPECT_EQ(snapshot.state, ReminderAvailability::failed);
    });
    EXPECT_GE(waited, 140);
    EXPECT_LT(waited, 1000); // the time limit, not the second or more the store takes

    // The store finishes in its own time; the pipes are named or passed over, never read.
    const auto found = QCoro::waitFor(std::move(*calendars));
    EXPECT_TRUE(std::any_of(found.begin(), found.end(),
                            [](const StoreCalendar& c) { return c.title == "big"; }));
    EXPECT_EQ(QCoro::waitFor(std::move(*events)).size(), 28000u / 4 + 1);
    const auto report = store.report();
    EXPECT_TRUE(std::any_of(report.problems.begin(), report.problems.end(), [&](const auto& p) {
        return p.path == (pipes / "added.ics").string() && p.reason == "not a regular file";
    }));
    {
        std::lock_guard lock(finishing);
        finished = true;
    }
    finishedChanged.notify_all();
    release.join();
}

// With no inotify instance left (the per-user limit; here the process's descriptors run out
// while the store starts) the store says so once and checks the files again at every read,
// instead of missing changes.
TEST_F(ICalendarStoreTest, WithoutChangeNoticesEveryReadChecksTheFiles) {
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizer runtime needs descriptors of its own for its checks, and this test takes
    // them all away; the Release tree runs it.
    GTEST_SKIP() << "needs every file descriptor, which the sanitizer runtime uses too";
#endif
    writeLayout();
    std::unique_ptr<ICalendarStore> store;
    {
        rlimit previous{};
        ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &previous), 0);
        rlimit low = previous;
        low.rlim_cur = std::min<rlim_t>(previous.rlim_cur, 1024);
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
        std::vector<int> held;
        for (int fd = open("/dev/null", O_RDONLY | O_CLOEXEC); fd >= 0;
             fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) {
            held.push_back(fd);
        }
        store = std::make_unique<ICalendarStore>(options());
        for (const int fd : held) {
            close(fd);
        }
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &previous), 0);
    }
    const auto personal = id(data / "calendars/personal");
    const auto window = [&] {
        return await(store->events(utc(2026, 12, 6, 23), utc(2026, 12, 13, 23), {personal}));
    };
    ASSERT_EQ(window().size(), 2u);
    writeFile(data / "calendars/personal/new.ics",
              eventText("n", "New", "20261211T100000Z", "20261211T110000Z"));
    EXPECT_EQ(window().size(), 3u); // no notice came, and none was waited for
    fs::remove(data / "calendars/personal/new.ics");
    EXPECT_EQ(window().size(), 2u);

    const std::string text = SourcesMode::report(*store);
    const std::string line = "Changes are not noticed as they happen: the inotify limit was "
                             "reached (fs.inotify.max_user_instances). Files are checked again "
                             "at every refresh.";
    const auto at = text.find(line);
    EXPECT_NE(at, std::string::npos) << text;
    EXPECT_EQ(text.find(line, at + 1), std::string::npos);
}

// Parsed files stay within the store's memory budget, in the order the sources are read; a
// file left out is named, and read once there is room again.
TEST_F(ICalendarStoreTest, ParsedFilesStayWithinTheMemoryBudget) {
    const fs::path a = data / "calendars/a";
    writeFile(a / "1.ics", manyEvents(2000));
    writeFile(a / "2.ics", manyEvents(2000));
    writeFile(a / "3.ics", manyEvents(2000));
    auto o = options();
    const std::size_t one = ical::CalendarFile::parse(manyEvents(2000), "1.ics")->keptBytes();
    o.memoryBudget = one * 5 / 2; // two of the three files
    ICalendarStore store(o);
    auto report = store.report();
    ASSERT_EQ(report.collections.size(), 1u);
    EXPECT_EQ(report.collections[0].events, 4000u);
    ASSERT_EQ(report.problems.size(), 1u);
    EXPECT_EQ(report.problems[0].path, (a / "3.ics").string());
    EXPECT_EQ(report.problems[0].reason, "not read: the calendars together take more than " +
                                             std::to_string(o.memoryBudget / 1024) +
                                             " KB of memory");

    fs::remove(a / "1.ics");
    report = store.report();
    EXPECT_EQ(report.collections[0].events, 2000u);
    report = store.report(); // the file left out fits now
    EXPECT_EQ(report.collections[0].events, 4000u);
    EXPECT_TRUE(report.problems.empty());
}

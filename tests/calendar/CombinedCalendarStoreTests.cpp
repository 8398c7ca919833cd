#include "Brivane/calendar/CombinedCalendarStore.h"
#include "CalendarTestSupport.h"
#include "EdsTestSession.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <atomic>
#include <gtest/gtest.h>
#include <qcoro/qcorotask.h>

using namespace brivane;
using namespace brivane::testing;
using brivane::testing::EdsTestSession;
namespace fs = std::filesystem;

namespace {

constexpr const char* registryName = "org.gnome.evolution.dataserver.Sources5";

std::optional<std::vector<ReminderItem>> fetchAll(CalendarStore& store) {
    std::atomic<bool> done{false};
    std::optional<std::vector<ReminderItem>> answer;
    store.fetchIncompleteReminders([&](std::optional<std::vector<ReminderItem>> items) {
        answer = std::move(items);
        done.store(true);
    });
    EXPECT_TRUE(waitUntil([&] { return done.load(); }));
    return answer;
}

class CombinedCalendarStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        home = fs::path(dir.path().toStdString()) / "home";
        data = home / ".local/share";
        fs::create_directories(data);
        setenv("HOME", home.c_str(), 1);
        setenv("XDG_DATA_HOME", data.c_str(), 1);
        setenv("TZ", "Europe/Rome", 1);
        setenv("LANGUAGE", "en", 1);
        writeFile(data / "calendars/personal/a.ics",
                  eventText("a", "Dentist", "20261208T100000Z", "20261208T110000Z"));
        writeFile(data / "evolution/calendar/system/calendar.ics",
                  calendarText("BEGIN:VEVENT\r\nUID:evo\r\nSUMMARY:Evo\r\n"
                               "DTSTART;VALUE=DATE:20261210\r\nEND:VEVENT\r\n"));
        writeFile(data / "evolution/tasks/system/tasks.ics",
                  calendarText("BEGIN:VTODO\r\nUID:evo-task\r\nSUMMARY:Evo task\r\nEND:VTODO\r\n"));
    }

    ICalendarStore::Options options() const {
        auto o = ICalendarStore::Options::defaults((data / "Brivane").string());
        writeFile(o.configFile, R"({"eventsAccess": true, "remindersAccess": true})");
        return o;
    }

    QTemporaryDir dir;
    fs::path home, data;
};

// The session bus of the tests can start EDS on demand (its service files are installed) but it
// is not running: the store must find that out without starting it, and read Evolution's own
// files directly.
TEST_F(CombinedCalendarStoreTest, WithoutEdsOnTheBusTheFilesAreReadAsBefore) {
    if (EdsTestSession::nameHasOwner(registryName) && skipAllowed("eds")) {
        GTEST_SKIP() << "Evolution Data Server runs in this session";
    }
    ASSERT_FALSE(EdsTestSession::nameHasOwner(registryName))
        << "Evolution Data Server runs in this session (PELLORA_ALLOW_SKIP=eds skips this test)";
    QElapsedTimer clock;
    clock.start();
    {
        EdsCalendarStore alone;
        EXPECT_FALSE(alone.running());
    }
    std::printf("[ figures  ] EDS found absent in %.1f ms\n",
                static_cast<double>(clock.nsecsElapsed()) / 1e6);
    CombinedCalendarStore store(options());
    EXPECT_FALSE(store.eds().running());

    const auto calendars = QCoro::waitFor(store.calendars(CalendarEntity::event));
    const std::string evolution =
        ICalendarStore::calendarID((data / "evolution/calendar/system/calendar.ics").string());
    const std::string personal = ICalendarStore::calendarID((data / "calendars/personal").string());
    ASSERT_EQ(calendars.size(), 2u);
    const auto events =
        QCoro::waitFor(store.events(utc(2026, 12, 7), utc(2026, 12, 14), {evolution, personal}));
    EXPECT_EQ(events.size(), 2u);
    const auto tasks = fetchAll(store);
    ASSERT_TRUE(tasks.has_value());
    ASSERT_EQ(tasks->size(), 1u);
    EXPECT_EQ((*tasks)[0].title, "Evo task");

    EXPECT_FALSE(EdsTestSession::nameHasOwner(registryName))
        << "EDS was started to look for calendars";
}

// Without any session bus (a console login, a cron job) EDS is simply absent, at once.
TEST_F(CombinedCalendarStoreTest, WithoutASessionBusEdsIsAbsent) {
    const char* saved = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    const std::string address = saved != nullptr ? saved : "";
    const char* savedRuntime = std::getenv("XDG_RUNTIME_DIR");
    const std::string runtime = savedRuntime != nullptr ? savedRuntime : "";
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    setenv("XDG_RUNTIME_DIR", dir.path().toStdString().c_str(), 1);
    {
        EdsCalendarStore::Options wait;
        wait.presenceWait = std::chrono::seconds(5);
        EdsCalendarStore eds(wait);
        EXPECT_FALSE(eds.running());
        EXPECT_TRUE(QCoro::waitFor(eds.calendars(CalendarEntity::event)).empty());
        std::atomic<bool> done{false};
        std::optional<std::vector<ReminderItem>> answer;
        eds.fetchIncompleteReminders([&](std::optional<std::vector<ReminderItem>> items) {
            answer = std::move(items);
            done.store(true);
        });
        EXPECT_TRUE(waitUntil([&] { return done.load(); }, 2000));
        ASSERT_TRUE(answer.has_value());
        EXPECT_TRUE(answer->empty());
    }
    if (!address.empty()) {
        setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
    }
    if (!runtime.empty()) {
        setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    }
}

} // namespace

#include "Brivane/calendar/CombinedCalendarStore.h"
#include "Brivane/calendar/EdsCalendarStore.h"
#include "Brivane/cli/SourcesMode.h"
#include "CalendarTestSupport.h"
#include "EdsTestSession.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTimer>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <qcoro/qcorotask.h>

namespace brivane {
namespace {

using testing::EdsTestSession;
using testing::skipAllowed;
using testing::utc;
using testing::waitUntil;

// Counts a signal's emissions.
struct Spy {
    int count = 0;
    template <typename Sender, typename Signal>
    Spy(Sender* sender, Signal signal) {
        QObject::connect(sender, signal, sender, [this] { ++count; });
    }
    // Waits for one more emission.
    bool wait(int milliseconds) {
        const int before = count;
        return waitUntil([&] { return count > before; }, milliseconds);
    }
};

class EdsCalendarStoreTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // Floating times and all-day dates are read in the system zone; this week holds Rome's
        // change from summer time.
        setenv("TZ", "Europe/Rome", 1);
        setenv("LANGUAGE", "en", 1);
        running = EdsTestSession::startEds();
    }

    void SetUp() override {
        if (!running && skipAllowed("eds")) {
            GTEST_SKIP() << "Evolution Data Server could not be started";
        }
        ASSERT_TRUE(running) << "Evolution Data Server could not be started "
                                "(PELLORA_ALLOW_SKIP=eds skips these tests)";
    }

    static bool listed(EdsCalendarStore& store, const std::string& uid, CalendarEntity entity) {
        const auto all = store.listed(entity);
        return std::any_of(all.begin(), all.end(),
                           [&](const StoreCalendar& c) { return c.id == uid; });
    }

    // The events of the window, as a refresh awaits them.
    static std::vector<StoreEvent> read(EdsCalendarStore& store, const std::string& uid, Date start,
                                        Date end) {
        return QCoro::waitFor(store.events(start, end, {uid}));
    }

    static std::optional<std::vector<ReminderItem>> fetch(EdsCalendarStore& store) {
        std::optional<std::optional<std::vector<ReminderItem>>> answer;
        std::mutex mutex;
        store.fetchIncompleteReminders([&](std::optional<std::vector<ReminderItem>> items) {
            std::lock_guard lock(mutex);
            answer = std::move(items);
        });
        waitUntil([&] {
            std::lock_guard lock(mutex);
            return answer.has_value();
        });
        std::lock_guard lock(mutex);
        return answer ? *answer : std::nullopt;
    }

    // Monday 19 to Monday 26 October 2026 in Rome; summer time ends on Sunday 25.
    const Date weekStart = utc(2026, 10, 18, 22);
    const Date weekEnd = utc(2026, 10, 25, 23);

    // The file store's defaults in the private HOME, with reading calendars and tasks allowed.
    static ICalendarStore::Options consentedFiles() {
        const auto data = std::filesystem::path(EdsTestSession::root()) / "data";
        ICalendarStore::Options files =
            ICalendarStore::Options::defaults((data / "Brivane").string());
        testing::writeFile(files.configFile,
                           R"({"eventsAccess": true, "remindersAccess": true, "sources": []})");
        return files;
    }

    static inline bool running = false;
};

std::string vevent(const std::string& body) {
    return "BEGIN:VEVENT\r\n" + body + "END:VEVENT\r\n";
}

TEST_F(EdsCalendarStoreTest, EventsOfTheWeekAsEdsExpandsThem) {
    const std::string uid = EdsTestSession::createLocalSource("Lavoro", false);
    // Daily at 09:00 Rome time: the 21st removed, the 22nd moved to the afternoon and renamed.
    EdsTestSession::add(uid, false,
                        vevent("UID:daily\r\nSUMMARY:Standup\r\n"
                               "DTSTART;TZID=Europe/Rome:20261019T090000\r\n"
                               "DTEND;TZID=Europe/Rome:20261019T093000\r\n"
                               "RRULE:FREQ=DAILY;COUNT=10\r\n"
                               "EXDATE;TZID=Europe/Rome:20261021T090000\r\n"));
    EdsTestSession::modifyOccurrence(uid,
                                     vevent("UID:daily\r\nSUMMARY:Standup (moved)\r\n"
                                            "RECURRENCE-ID;TZID=Europe/Rome:20261022T090000\r\n"
                                            "DTSTART;TZID=Europe/Rome:20261022T140000\r\n"
                                            "DTEND;TZID=Europe/Rome:20261022T143000\r\n"));
    EdsTestSession::add(uid, false,
                        vevent("UID:allday\r\nSUMMARY:Change of hour\r\n"
                               "DTSTART;VALUE=DATE:20261025\r\nDTEND;VALUE=DATE:20261026\r\n"));
    EdsTestSession::add(uid, false,
                        vevent("UID:trip\r\nSUMMARY:Trip\r\n"
                               "DTSTART;TZID=Europe/Rome:20261023T180000\r\n"
                               "DTEND;TZID=Europe/Rome:20261026T100000\r\n"));
    EdsTestSession::add(uid, false,
                        vevent("UID:off\r\nSUMMARY:Called off\r\nSTATUS:CANCELLED\r\n"
                               "DTSTART:20261024T100000Z\r\nDTEND:20261024T110000Z\r\n"));
    EdsTestSession::add(
        uid, false, vevent("UID:bare\r\nDTSTART:20261020T150000Z\r\nDTEND:20261020T160000Z\r\n"));
    EdsTestSession::add(uid, false,
                        vevent("UID:later\r\nSUMMARY:Next week\r\n"
                               "DTSTART:20261027T100000Z\r\nDTEND:20261027T110000Z\r\n"));

    EdsCalendarStore store;
    ASSERT_TRUE(waitUntil([&] { return listed(store, uid, CalendarEntity::event); }));
    const auto calendars = QCoro::waitFor(store.calendars(CalendarEntity::event));
    const auto calendar = *std::find_if(calendars.begin(), calendars.end(),
                                        [&](const StoreCalendar& c) { return c.id == uid; });
    EXPECT_EQ(calendar.title, "Lavoro");
    EXPECT_EQ(calendar.source, "On this computer");
    EXPECT_FALSE(listed(store, uid, CalendarEntity::reminder));

    auto events = read(store, uid, weekStart, weekEnd);
    std::sort(events.begin(), events.end(), [](const StoreEvent& a, const StoreEvent& b) {
        return std::tie(a.start, a.eventIdentifier) < std::tie(b.start, b.eventIdentifier);
    });
    std::vector<StoreEvent> daily;
    std::copy_if(events.begin(), events.end(), std::back_inserter(daily),
                 [](const StoreEvent& e) { return e.eventIdentifier == "daily"; });
    ASSERT_EQ(daily.size(), 6u);
    EXPECT_EQ(daily[0].start, utc(2026, 10, 19, 7)); // 09:00 summer time
    EXPECT_EQ(daily[1].start, utc(2026, 10, 20, 7));
    EXPECT_EQ(daily[2].start, utc(2026, 10, 22, 12)); // moved
    EXPECT_EQ(daily[2].title, "Standup (moved)");
    EXPECT_EQ(daily[2].end, utc(2026, 10, 22, 12, 30));
    EXPECT_EQ(daily[5].start, utc(2026, 10, 25, 8)); // 09:00 winter time
    EXPECT_EQ(daily[5].end, utc(2026, 10, 25, 8, 30));
    for (const auto& e : daily) {
        EXPECT_EQ(e.calendarID, uid);
        EXPECT_FALSE(e.allDay);
        EXPECT_FALSE(e.cancelled);
    }

    const auto find = [&](const std::string& id) {
        return *std::find_if(events.begin(), events.end(),
                             [&](const StoreEvent& e) { return e.eventIdentifier == id; });
    };
    const StoreEvent allDay = find("allday");
    EXPECT_TRUE(allDay.allDay);
    EXPECT_EQ(allDay.start, utc(2026, 10, 24, 22)); // local midnight
    EXPECT_EQ(allDay.end, utc(2026, 10, 25, 23));   // a day of 25 hours
    const StoreEvent trip = find("trip");
    EXPECT_EQ(trip.start, utc(2026, 10, 23, 16));
    EXPECT_EQ(trip.end, utc(2026, 10, 26, 9)); // ends after the window, still listed
    EXPECT_TRUE(find("off").cancelled);
    EXPECT_EQ(find("bare").title, "");
    EXPECT_EQ(std::count_if(events.begin(), events.end(),
                            [](const StoreEvent& e) { return e.eventIdentifier == "later"; }),
              0);
    EXPECT_EQ(events.size(), 10u);
}

TEST_F(EdsCalendarStoreTest, IncompleteTasksFollowTheFileRules) {
    const std::string uid = EdsTestSession::createLocalSource("Casa", true);
    const auto todo = [](const std::string& body) {
        return "BEGIN:VTODO\r\n" + body + "END:VTODO\r\n";
    };
    EdsTestSession::add(uid, true, todo("UID:day\r\nSUMMARY:Bins\r\nDUE;VALUE=DATE:20261020\r\n"));
    EdsTestSession::add(uid, true,
                        todo("UID:timed\r\nSUMMARY:Call\r\nPRIORITY:1\r\n"
                             "DUE;TZID=Europe/Rome:20261021T170000\r\n"));
    EdsTestSession::add(uid, true, todo("UID:open\r\nSUMMARY:Someday\r\n"));
    EdsTestSession::add(uid, true,
                        todo("UID:span\r\nSUMMARY:Span\r\n"
                             "DTSTART:20261022T080000Z\r\nDURATION:PT2H\r\n"));
    EdsTestSession::add(uid, true, todo("UID:untitled\r\n"));
    EdsTestSession::add(uid, true,
                        todo("UID:done\r\nSUMMARY:Done\r\nSTATUS:COMPLETED\r\n"
                             "COMPLETED:20261001T100000Z\r\n"));
    EdsTestSession::add(uid, true, todo("UID:full\r\nSUMMARY:Full\r\nPERCENT-COMPLETE:100\r\n"));
    EdsTestSession::add(uid, true, todo("UID:dropped\r\nSUMMARY:Dropped\r\nSTATUS:CANCELLED\r\n"));

    EdsCalendarStore store;
    ASSERT_TRUE(waitUntil([&] { return listed(store, uid, CalendarEntity::reminder); }));
    EXPECT_FALSE(listed(store, uid, CalendarEntity::event));
    const auto answer = fetch(store);
    ASSERT_TRUE(answer.has_value());
    std::map<std::string, ReminderItem> items;
    for (const auto& item : *answer) {
        if (item.listID == uid) {
            items.emplace(item.id.substr(uid.size() + 1), item);
        }
    }
    ASSERT_EQ(items.size(), 5u);
    EXPECT_EQ(items.at("day").due, utc(2026, 10, 19, 22));
    EXPECT_FALSE(items.at("day").hasTime);
    EXPECT_EQ(items.at("day").list, "Casa");
    EXPECT_EQ(items.at("timed").due, utc(2026, 10, 21, 15));
    EXPECT_TRUE(items.at("timed").hasTime);
    EXPECT_EQ(items.at("timed").priority, 1);
    EXPECT_FALSE(items.at("open").due.has_value());
    EXPECT_EQ(items.at("span").due, utc(2026, 10, 22, 10));
    EXPECT_EQ(items.count("untitled"), 1u);
}

TEST_F(EdsCalendarStoreTest, ChangesReachTheStoreNotification) {
    const std::string uid = EdsTestSession::createLocalSource("Notifiche", false);
    CombinedCalendarStore store(consentedFiles());
    ASSERT_TRUE(waitUntil([&] { return store.eds().running(); }));
    ASSERT_TRUE(waitUntil([&] { return listed(store.eds(), uid, CalendarEntity::event); }));
    // The first read's own notices: EDS's, and the debounced one of the store after it.
    int edsNotices = 0;
    QObject::connect(&store.eds(), &EdsCalendarStore::changed, [&] { ++edsNotices; });
    EXPECT_TRUE(QCoro::waitFor(store.events(weekStart, weekEnd, {uid})).empty());
    const auto debouncing = [&] {
        const auto timers = store.findChildren<QTimer*>(Qt::FindDirectChildrenOnly);
        return std::any_of(timers.begin(), timers.end(), [](QTimer* t) { return t->isActive(); });
    };
    ASSERT_TRUE(waitUntil([&] { return edsNotices > 0 && !debouncing(); }));
    Spy read(&store.eds(), &EdsCalendarStore::changed);
    Spy spy(&store, &CalendarStore::changed);

    EdsTestSession::add(uid, false,
                        vevent("UID:new\r\nSUMMARY:New\r\n"
                               "DTSTART:20261021T100000Z\r\nDTEND:20261021T110000Z\r\n"));
    QElapsedTimer clock;
    clock.start();
    // EDS reports the change, the store reads it, and the debounced notice follows.
    ASSERT_TRUE(read.wait(2000)) << "the change was not read within 2 s";
    const auto readAfter = clock.elapsed();
    ASSERT_TRUE(waitUntil([&] { return spy.count > 0; }, 2000 - static_cast<int>(readAfter)))
        << "no change notification within 2 s";
    std::printf("[ figures  ] change read after %lld ms, notified after %lld ms\n",
                static_cast<long long>(readAfter), static_cast<long long>(clock.elapsed()));
    const auto events = QCoro::waitFor(store.events(weekStart, weekEnd, {uid}));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].title, "New");

    EdsTestSession::remove(uid, false, "new");
    ASSERT_TRUE(read.wait(2000));
    EXPECT_TRUE(QCoro::waitFor(store.events(weekStart, weekEnd, {uid})).empty());
}

TEST_F(EdsCalendarStoreTest, NothingIsReadBeforeTheUserAllowsIt) {
    const std::string uid = EdsTestSession::createLocalSource("Privato", false);
    EdsTestSession::add(uid, false,
                        vevent("UID:secret\r\nSUMMARY:Secret\r\n"
                               "DTSTART:20261021T100000Z\r\nDTEND:20261021T110000Z\r\n"));
    auto files = consentedFiles();
    std::filesystem::remove(files.configFile);
    CombinedCalendarStore store(files);
    ASSERT_TRUE(waitUntil([&] { return listed(store.eds(), uid, CalendarEntity::event); }));
    EXPECT_TRUE(QCoro::waitFor(store.events(weekStart, weekEnd, {uid})).empty());

    const AccessAnswer answer = QCoro::waitFor(store.requestFullAccess(CalendarEntity::event));
    ASSERT_TRUE(answer.granted) << answer.error.value_or("");
    const auto events = QCoro::waitFor(store.events(weekStart, weekEnd, {uid}));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].title, "Secret");
}

TEST_F(EdsCalendarStoreTest, DisabledOrRemovedSourcesLeaveTheList) {
    const std::string kept = EdsTestSession::createLocalSource("Resta", false);
    const std::string toggled = EdsTestSession::createLocalSource("Va e viene", false);
    const std::string removed = EdsTestSession::createLocalSource("Sparisce", true);
    EdsCalendarStore store;
    ASSERT_TRUE(waitUntil([&] {
        return listed(store, toggled, CalendarEntity::event) &&
               listed(store, removed, CalendarEntity::reminder);
    }));

    Spy spy(&store, &EdsCalendarStore::changed);
    EdsTestSession::setEnabled(toggled, false);
    EXPECT_TRUE(waitUntil([&] { return !listed(store, toggled, CalendarEntity::event); }));
    EXPECT_TRUE(listed(store, kept, CalendarEntity::event));
    EXPECT_FALSE(store.holds(toggled));
    EXPECT_GE(spy.count, 1);

    EdsTestSession::setEnabled(toggled, true);
    EXPECT_TRUE(waitUntil([&] { return listed(store, toggled, CalendarEntity::event); }));

    // The registry announces a removal on its own time; under a sanitizer on a busy machine
    // that can take several seconds.
    EdsTestSession::removeSource(removed);
    EXPECT_TRUE(
        waitUntil([&] { return !listed(store, removed, CalendarEntity::reminder); }, 20000));
}

TEST_F(EdsCalendarStoreTest, AFailingSourceIsReportedAndKeepsItsEvents) {
    const std::string good = EdsTestSession::createLocalSource("Funziona", false);
    const std::string broken = EdsTestSession::createBrokenSource("Rotto");
    EdsTestSession::add(good, false,
                        vevent("UID:kept\r\nSUMMARY:Kept\r\n"
                               "DTSTART:20261021T100000Z\r\nDTEND:20261021T110000Z\r\n"));
    EdsCalendarStore store;
    ASSERT_TRUE(waitUntil([&] { return listed(store, broken, CalendarEntity::event); }));
    ASSERT_EQ(read(store, good, weekStart, weekEnd).size(), 1u);

    auto report = store.report(std::chrono::seconds(10));
    EXPECT_TRUE(report.running);
    const auto entry = [&](const std::string& uid) {
        return *std::find_if(report.sources.begin(), report.sources.end(),
                             [&](const auto& s) { return s.calendar.id == uid; });
    };
    ASSERT_TRUE(entry(broken).problem.has_value());
    EXPECT_NE(entry(broken).problem->find("Rotto"), std::string::npos) << *entry(broken).problem;
    EXPECT_FALSE(entry(good).problem.has_value());

    // The calendar service goes away: the good calendar keeps what it showed, and says why.
    const auto problemOf = [&](const std::string& uid) {
        report = store.report(std::chrono::seconds(5));
        return entry(uid).problem;
    };
    EdsTestSession::stopFactory();
    EXPECT_TRUE(waitUntil([&] { return problemOf(good).has_value(); }, 10000));
    EXPECT_EQ(read(store, good, weekStart, weekEnd).size(), 1u);

    // Back, and asked again: the source answers and the problem is gone.
    ASSERT_TRUE(EdsTestSession::startFactory());
    store.reset();
    EXPECT_TRUE(waitUntil([&] { return !problemOf(good).has_value(); }, 15000));
    EXPECT_EQ(read(store, good, weekStart, weekEnd).size(), 1u);
    EXPECT_TRUE(problemOf(broken).has_value());
}

TEST_F(EdsCalendarStoreTest, SourcesListingNamesEachEdsSourceAndWhyItFails) {
    const std::string good = EdsTestSession::createLocalSource("Palestra", true);
    const std::string broken = EdsTestSession::createBrokenSource("Server spento");
    EdsTestSession::add(good, true, "BEGIN:VTODO\r\nUID:t\r\nSUMMARY:Borsa\r\nEND:VTODO\r\n");
    const auto files = consentedFiles();
    const std::string text =
        SourcesMode::report(std::filesystem::path(files.configFile).parent_path().string());
    EXPECT_NE(text.find("Evolution Data Server"), std::string::npos) << text;
    EXPECT_NE(text.find("  Palestra · On this computer  [task list]\n    id: " + good +
                        "\n    open tasks: 1\n"),
              std::string::npos)
        << text;
    const auto at = text.find("id: " + broken);
    ASSERT_NE(at, std::string::npos) << text;
    EXPECT_NE(text.find("cannot be read now: ", at), std::string::npos) << text;
}

TEST_F(EdsCalendarStoreTest, EvolutionFilesAreLeftToEdsWhileItRuns) {
    const auto data = std::filesystem::path(EdsTestSession::root()) / "data";
    const auto calendarFile = data / "evolution/calendar/system/calendar.ics";
    // Evolution's own file, as a user who ran Evolution has it; EDS writes it only lazily.
    std::filesystem::create_directories(calendarFile.parent_path());
    if (!std::filesystem::exists(calendarFile))
        std::ofstream(calendarFile) << "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//test//EN\r\n"
                                       "END:VCALENDAR\r\n";
    CombinedCalendarStore store(consentedFiles());
    ASSERT_TRUE(waitUntil([&] { return store.eds().running(); }));
    // EDS serves Evolution's own calendar as its "system-calendar" source.
    ASSERT_TRUE(
        waitUntil([&] { return listed(store.eds(), "system-calendar", CalendarEntity::event); }));
    QCoro::waitFor(store.events(weekStart, weekEnd, {"system-calendar"}));
    ASSERT_TRUE(std::filesystem::exists(calendarFile));
    const auto all = QCoro::waitFor(store.calendars(CalendarEntity::event));
    EXPECT_EQ(std::count_if(all.begin(), all.end(),
                            [&](const StoreCalendar& c) {
                                return c.id == ICalendarStore::calendarID(calendarFile.string());
                            }),
              0);
}

// The program finds its module beside itself and in the installed library folder, also under a
// folder name a shell would expand; without the module it says why EDS cannot be read.
TEST_F(EdsCalendarStoreTest, TheProgramFindsItsModuleWhereverItIsInstalled) {
    namespace fs = std::filesystem;
    EdsTestSession::createLocalSource("Corsa", false);
    consentedFiles();
    const fs::path base = fs::path(EdsTestSession::root()) / "it's \"a\" $HOME folder";
    const fs::path built = base / "build";
    const fs::path bin = base / "usr/bin";
    const fs::path library = (bin / PELLORA_EDS_MODULE_FROM_BINDIR).lexically_normal();
    for (const auto& folder : {built, bin, library})
        fs::create_directories(folder);
    const fs::path module = fs::path(PELLORA_EXECUTABLE).parent_path() / edsModuleFileName;
    for (const auto& [program, beside] : {std::pair{built, built}, std::pair{bin, library}}) {
        fs::copy_file(PELLORA_EXECUTABLE, program / "pellora");
        fs::copy_file(module, beside / edsModuleFileName);
    }
    const auto sources = [](const fs::path& program, QString* log = nullptr) {
        QProcess run;
        run.start(QString::fromStdString((program / "pellora").string()), {"--sources"});
        EXPECT_TRUE(run.waitForFinished(30000)) << program << run.errorString().toStdString();
        if (log != nullptr)
            *log = QString::fromUtf8(run.readAllStandardError());
        return run.readAllStandardOutput().toStdString();
    };
    for (const auto& program : {built, bin}) {
        const std::string text = sources(program);
        EXPECT_NE(text.find("Evolution Data Server ("), std::string::npos) << program << text;
        EXPECT_NE(text.find("  Corsa · On this computer"), std::string::npos) << program << text;
    }
    fs::remove(built / edsModuleFileName);
    QString log;
    const std::string text = sources(built, &log);
    EXPECT_NE(text.find("Evolution Data Server\n  running, but its calendars cannot be read: " +
                        std::string(edsModuleFileName) + " is missing"),
              std::string::npos)
        << text;
    EXPECT_EQ(log.count(QStringLiteral("Evolution Data Server calendars cannot be read")), 1)
        << log.toStdString();
}

// A store that did not wait for the bus's first answer still starts reading EDS once it comes,
// as at a busy login.
TEST_F(EdsCalendarStoreTest, ALateAnswerFromTheBusStillFindsEds) {
    EdsCalendarStore::Options noWait;
    noWait.presenceWait = std::chrono::milliseconds(0);
    EdsCalendarStore late(noWait);
    EXPECT_FALSE(late.running());
    EXPECT_TRUE(waitUntil([&] { return late.running(); }));
}

} // namespace
} // namespace brivane

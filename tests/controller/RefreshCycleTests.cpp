#include "ControllerTestSupport.h"

#include <gtest/gtest.h>

namespace brivane {
namespace {

using namespace std::chrono_literals;
using test::ManualTimerSource;
using test::ModelSetup;
using test::utc;

// A controller with the wallpaper switched on, started at `start` and idle again.
struct Running {
    explicit Running(Date start, bool activated = true) : setup(start) {
        const std::string id = setup.addCalendar("work", "Work", {});
        Preferences stored;
        stored.activated = activated;
        stored.assignments[id] = AgendaGroup::ostrid;
        test::writeFile((setup.data + "/preferences.json").toStdString(), stored.toJson().dump());
        model = setup.build();
        model->start();
        EXPECT_TRUE(test::waitForIdle(*model));
    }
    ManualTimerSource& clock() { return *setup.timers; }
    // Lives through `span` a minute at a time, each refresh finishing before time moves on.
    void live(std::chrono::minutes span) {
        for (auto m = 0min; m < span; ++m) {
            clock().advance(1min);
            EXPECT_TRUE(test::waitForIdle(*model));
        }
    }

    ModelSetup setup;
    std::unique_ptr<AgendaModel> model;
};

std::string local(Date date) {
    return AgendaDates::string(date, "yyyy-MM-dd HH:mm:ss xxx", AgendaDates::calendar());
}

TEST(RefreshCycle, ABurstOfNotificationsGivesOneRefreshHalfASecondAfterTheLast) {
    Running run(utc(2026, 12, 7, 9, 1));
    const int before = run.model->refreshCount();
    for (int i = 0; i < 10; ++i) {
        // Ten notifications of every kind within 0.4 seconds.
        switch (i % 4) {
        case 0:
            run.model->storeChanged();
            break;
        case 1:
            run.model->screensChanged();
            break;
        case 2:
            run.model->workspaceChanged();
            break;
        default:
            run.model->applicationActivated();
        }
        run.clock().advance(40ms);
    }
    run.clock().advance(459ms); // 0.499 s after the last
    EXPECT_EQ(run.model->refreshCount(), before);
    EXPECT_FALSE(run.model->refreshing());
    run.clock().advance(1ms);
    ASSERT_TRUE(test::waitForIdle(*run.model));
    EXPECT_EQ(run.model->refreshCount(), before + 1);
    run.clock().advance(2s);
    EXPECT_EQ(run.model->refreshCount(), before + 1);
}

TEST(RefreshCycle, RequestsDuringARefreshCollapseIntoExactlyOneMore) {
    Running run(utc(2026, 12, 7, 9, 1));
    const int before = run.model->refreshCount();
    int started = 0;
    QObject::connect(run.model.get(), &AgendaModel::refreshingChanged, [&] {
        if (run.model->refreshing())
            ++started;
    });
    run.model->refresh();
    ASSERT_TRUE(run.model->refreshing());
    run.model->refresh();
    run.model->refresh();
    EXPECT_EQ(started, 1);
    EXPECT_FALSE(run.model->canApply()) << "no apply while refreshing";
    ASSERT_TRUE(test::waitUntil([&] { return run.model->refreshCount() == before + 2; }));
    ASSERT_TRUE(test::waitForIdle(*run.model));
    ManualTimerSource::settle();
    EXPECT_EQ(run.model->refreshCount(), before + 2);
    EXPECT_EQ(started, 2);
}

TEST(RefreshCycle, TheTwentyFiveTimerRefreshesAndSchedulesTheFiftyFive) {
    Running run(utc(2026, 12, 7, 9, 20)); // 10:20 in Rome
    EXPECT_EQ(local(*run.model->refreshTimerDate()), "2026-12-07 10:25:00 +01:00");
    EXPECT_EQ(local(*run.model->timelineTimerDate()), "2026-12-07 10:25:00 +01:00");
    EXPECT_EQ(local(*run.model->paletteTimerDate()), "2026-12-07 11:00:00 +01:00");
    EXPECT_EQ(local(*run.model->midnightTimerDate()), "2026-12-08 00:00:00 +01:00");
    const int refreshes = run.model->refreshCount();
    const int renders = run.model->renderCount();
    run.clock().advance(5min);
    ASSERT_TRUE(test::waitForIdle(*run.model));
    EXPECT_EQ(run.model->refreshCount(), refreshes + 1);
    EXPECT_EQ(run.model->renderCount(), renders + 1)
        << "the tick at :25 leaves the drawing to the refresh due at the same minute";
    EXPECT_EQ(local(*run.model->refreshTimerDate()), "2026-12-07 10:55:00 +01:00");
    EXPECT_EQ(local(*run.model->timelineTimerDate()), "2026-12-07 10:30:00 +01:00");
}

TEST(RefreshCycle, TheTimelineTickMovesNowAndDoesNotDrawDuringARefresh) {
    Running run(utc(2026, 12, 7, 9, 1)); // 10:01
    int renders = run.model->renderCount();
    run.clock().advance(4min); // 10:05 tick
    EXPECT_EQ(run.model->renderCount(), renders + 1);
    EXPECT_EQ(run.model->snapshot().date, utc(2026, 12, 7, 9, 5));
    EXPECT_EQ(run.model->previewSnapshot().date, utc(2026, 12, 7, 9, 5));

    renders = run.model->renderCount();
    run.model->refresh();
    ASSERT_TRUE(run.model->refreshing());
    run.clock().advance(5min); // 10:10 tick while refreshing
    if (run.model->refreshing()) {
        EXPECT_EQ(run.model->renderCount(), renders);
    }
    ASSERT_TRUE(test::waitForIdle(*run.model));
    EXPECT_EQ(run.model->renderCount(), renders + 1) << "only the refresh drew";
}

TEST(RefreshCycle, WithTheWallpaperOffRefreshesReadButNeverDraw) {
    Running run(utc(2026, 12, 7, 9, 1), /*activated=*/false);
    run.live(2h);
    EXPECT_GE(run.model->refreshCount(), 5);
    EXPECT_EQ(run.model->renderCount(), 0);
    EXPECT_EQ(run.setup.pictures->sets, 0);
}

TEST(RefreshCycle, AfterQuitBeginsNothingRefreshesOrDraws) {
    Running run(utc(2026, 12, 7, 9, 1));
    EXPECT_GT(run.setup.pictures->sets, 0);
    run.model->scheduleRefresh();
    const auto failures = run.model->restoreAndQuit();
    EXPECT_TRUE(failures.empty());
    EXPECT_EQ(run.setup.terminations, 1);
    EXPECT_TRUE(run.setup.pictures->urls.at("A").toString().endsWith("user picture.png"))
        << "the screens went back to what they showed before";
    EXPECT_FALSE(AgendaModel::readPreferences(run.setup.data)->activated);
    EXPECT_FALSE(run.model->refreshTimerDate());
    EXPECT_FALSE(run.model->timelineTimerDate());

    const int refreshes = run.model->refreshCount();
    const int renders = run.model->renderCount();
    const int sets = run.setup.pictures->sets;
    run.model->storeChanged();
    run.model->woke();
    run.model->clockChanged();
    run.model->refresh();
    run.model->setSessionLocked(true);
    run.model->setSessionLocked(false);
    run.clock().advance(3h);
    ManualTimerSource::settle();
    EXPECT_EQ(run.model->refreshCount(), refreshes);
    EXPECT_EQ(run.model->renderCount(), renders);
    EXPECT_EQ(run.setup.pictures->sets, sets);
    EXPECT_TRUE(run.model->restoreAndQuit().empty()) << "a second quit does nothing";
    EXPECT_EQ(run.setup.terminations, 1);
}

// logind's PrepareForShutdown(true) puts the wallpaper back; PrepareForShutdown(false) calls
// the shutdown off, and the wallpaper comes back with every timer.
TEST(RefreshCycle, ACancelledShutdownCarriesOn) {
    Running run(utc(2026, 12, 7, 9, 1));
    run.model->shutdownStarting();
    EXPECT_TRUE(run.setup.pictures->urls.at("A").toString().endsWith("user picture.png"));
    EXPECT_TRUE(run.model->isQuitting());
    EXPECT_FALSE(run.model->refreshTimerDate());
    const int renders = run.model->renderCount();

    run.model->shutdownCancelled();
    EXPECT_FALSE(run.model->isQuitting());
    EXPECT_TRUE(run.model->refreshTimerDate());
    EXPECT_TRUE(run.model->timelineTimerDate());
    EXPECT_TRUE(run.model->paletteTimerDate());
    ASSERT_TRUE(test::waitForIdle(*run.model));
    EXPECT_GT(run.model->renderCount(), renders);
    EXPECT_TRUE(run.setup.pictures->urls.at("A").fileName().startsWith("agenda-"));
    const int refreshes = run.model->refreshCount();
    run.live(40min);
    EXPECT_GT(run.model->refreshCount(), refreshes) << "the :25 timer refreshes again";
    EXPECT_EQ(run.setup.terminations, 0);

    // The user's own quit is final: a late cancel changes nothing.
    run.model->shutdownStarting();
    EXPECT_TRUE(run.model->restoreAndQuit().empty()) << "quitting during a shutdown still quits";
    EXPECT_EQ(run.setup.terminations, 1);
    run.model->shutdownCancelled();
    EXPECT_TRUE(run.model->isQuitting());
    EXPECT_FALSE(run.model->refreshTimerDate());
}

TEST(RefreshCycle, ADaylightSavingDayKeepsTheMinutesRight) {
    // Sunday 25 October 2026 in Rome: 03:00 CEST becomes 02:00 CET. Start at 01:40 CEST.
    Running run(utc(2026, 10, 24, 23, 40), /*activated=*/false);
    std::vector<std::string> refreshes;
    std::vector<Date> ticks;
    for (int i = 0; i < 8; ++i) {
        refreshes.push_back(local(*run.model->refreshTimerDate()));
        run.clock().advance(*run.model->refreshTimerDate() - run.clock().now());
        ASSERT_TRUE(test::waitForIdle(*run.model));
    }
    EXPECT_EQ(refreshes, (std::vector<std::string>{
                             "2026-10-25 01:55:00 +02:00", "2026-10-25 02:25:00 +02:00",
                             "2026-10-25 02:55:00 +02:00", "2026-10-25 02:25:00 +01:00",
                             "2026-10-25 02:55:00 +01:00", "2026-10-25 03:25:00 +01:00",
                             "2026-10-25 03:55:00 +01:00", "2026-10-25 04:25:00 +01:00"}));
    // The five-minute ticks run on through the repeated hour, five minutes apart.
    for (int i = 0; i < 30; ++i) {
        ticks.push_back(*run.model->timelineTimerDate());
        run.clock().advance(ticks.back() - run.clock().now());
    }
    for (std::size_t i = 1; i < ticks.size(); ++i)
        EXPECT_EQ(ticks[i] - ticks[i - 1], std::chrono::milliseconds(5min)) << local(ticks[i]);
    EXPECT_EQ(local(*run.model->midnightTimerDate()), "2026-10-26 00:00:00 +01:00");
}

TEST(RefreshCycle, AClockJumpOrAWakeReArmsEveryTimer) {
    Running run(utc(2026, 12, 7, 9, 20)); // 10:20
    ASSERT_EQ(local(*run.model->refreshTimerDate()), "2026-12-07 10:25:00 +01:00");
    const int refreshes = run.model->refreshCount();
    // A lid closed at 10:20 and opened at 14:41: the wall clock jumps, nothing fired meanwhile.
    run.clock().jump(utc(2026, 12, 7, 13, 41));
    EXPECT_EQ(local(*run.model->refreshTimerDate()), "2026-12-07 14:55:00 +01:00");
    EXPECT_EQ(local(*run.model->timelineTimerDate()), "2026-12-07 14:45:00 +01:00");
    EXPECT_EQ(local(*run.model->paletteTimerDate()), "2026-12-07 15:00:00 +01:00");
    run.clock().advance(500ms);
    ASSERT_TRUE(test::waitForIdle(*run.model));
    EXPECT_EQ(run.model->refreshCount(), refreshes + 1) << "the jump also asks for a refresh";
    EXPECT_EQ(run.model->snapshot().date, utc(2026, 12, 7, 13, 41, 0) + 500ms);

    // Backwards across midnight (a wrong clock corrected): the day timer follows.
    run.clock().jump(utc(2026, 12, 6, 22, 58));
    EXPECT_EQ(local(*run.model->midnightTimerDate()), "2026-12-07 00:00:00 +01:00");
    EXPECT_EQ(local(*run.model->refreshTimerDate()), "2026-12-07 00:25:00 +01:00");

    run.clock().advance(10min);
    run.model->woke();
    EXPECT_EQ(local(*run.model->timelineTimerDate()), "2026-12-07 00:10:00 +01:00");
}

TEST(RefreshCycle, ALockedSessionIsNotDrawnUntilItUnlocks) {
    Running run(utc(2026, 12, 7, 9, 1));
    const int renders = run.model->renderCount();
    run.model->setSessionLocked(true);
    run.live(3h); // ticks, :25/:55 refreshes and a palette change
    EXPECT_EQ(run.model->renderCount(), renders);
    EXPECT_GE(run.model->refreshCount(), 6) << "calendars are still read";
    run.model->setSessionLocked(false);
    EXPECT_EQ(run.model->renderCount(), renders + 1) << "the unlock draws at once";
    EXPECT_EQ(run.model->snapshot().date, run.clock().now());
    run.model->setSessionLocked(true);
    run.model->setSessionLocked(false);
    EXPECT_EQ(run.model->renderCount(), renders + 1) << "nothing missed, nothing drawn";
}

TEST(RefreshCycle, AnIdleHourDrawsOncePerTickAndReadsAtTheFixedMinutes) {
    Running run(utc(2026, 12, 7, 9, 0)); // 10:00
    const int refreshes = run.model->refreshCount();
    const int renders = run.model->renderCount();
    std::vector<std::string> drawn;
    int last = renders;
    for (int minute = 0; minute < 60; ++minute) {
        run.clock().advance(1min);
        ASSERT_TRUE(test::waitForIdle(*run.model));
        if (run.model->renderCount() != last)
            drawn.push_back(local(run.clock().now()) + " x" +
                            std::to_string(run.model->renderCount() - last));
        last = run.model->renderCount();
    }
    EXPECT_EQ(run.model->refreshCount() - refreshes, 3) << ":25, :55 and the palette at 11:00";
    EXPECT_EQ(run.model->renderCount() - renders, 12) << ::testing::PrintToString(drawn);
}

} // namespace
} // namespace brivane

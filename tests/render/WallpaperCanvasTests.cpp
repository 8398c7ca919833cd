#include "RecordingPainter.h"
#include "RenderTestSupport.h"

#include <algorithm>
#include <gtest/gtest.h>

namespace brivane {
namespace {

using testing::RecordingPainter;

ReminderItem reminder(const std::string& id, const std::string& title, std::optional<Date> due,
                      bool hasTime = false) {
    return ReminderItem(id, title, "Work", due, hasTime, 0, "");
}

// Where the "TO-DO / …" headings went.
std::vector<Rect> headings(const RecordingPainter& painter) {
    std::vector<Rect> result;
    for (const auto& op : painter.texts("TO-DO / "))
        result.push_back(op.rect);
    return result;
}

TEST(WallpaperCanvas, WideLayoutStartsAtContentWidthOfExactly1000) {
    auto renderer = testing::testRenderer();
    RecordingPainter wide;
    renderer.draw(wide, Size{1000, 900});
    auto stacked = headings(wide);
    ASSERT_EQ(stacked.size(), 3u);
    EXPECT_DOUBLE_EQ(stacked[0].x, 1000 * 0.65 + 36);
    EXPECT_DOUBLE_EQ(stacked[0].width, 1000 * 0.35 - 36);
    EXPECT_DOUBLE_EQ(stacked[1].x, stacked[0].x);
    EXPECT_LT(stacked[0].y, stacked[1].y);

    RecordingPainter narrow;
    renderer.draw(narrow, Size{999, 900});
    auto side = headings(narrow);
    ASSERT_EQ(side.size(), 3u);
    const double RW = (999 - 40) / 3.0;
    EXPECT_DOUBLE_EQ(side[0].x, 0);
    EXPECT_DOUBLE_EQ(side[1].x, RW + 20);
    EXPECT_DOUBLE_EQ(side[2].x, 2 * (RW + 20));
    EXPECT_DOUBLE_EQ(side[0].y, side[2].y);
}

TEST(WallpaperCanvas, OnLowScreensTheRemindersGiveWayOnlyAsFarAsTheTimelineNeeds) {
    auto renderer = testing::testRenderer();
    const Date today = renderer.calendar.startOfDay(renderer.snapshot.date);
    for (int i = 0; i < 8; ++i)
        renderer.snapshot.reminders.items.push_back(
            reminder(std::to_string(i), "Task " + std::to_string(i), today));
    renderer.preferences = ScreenPreferences{}; // the default margins
    RecordingPainter painter;
    renderer.draw(painter, Size{1024, 768});
    auto heading = painter.text("TO-DO / TODAY");
    ASSERT_TRUE(heading);
    const double Y0 = 768 * 0.05 + 120;
    const double timelineHeight = heading->rect.y - 4 - 18 - Y0;
    // The reminders' share would leave the timeline 88 points, less than its headers and
    // smallest grid: they give way, keep room for three tasks and give back the rest.
    const double lowCH = 768 - 768 * 0.05 - 768 * 0.08;
    const double lowAvail = lowCH - 120 - lowCH * 0.27 - 30;
    EXPECT_NEAR(timelineHeight, lowAvail - 20 - (3 * 47 + 50), 1e-9);
    EXPECT_GT(timelineHeight, renderer.timelineLeastHeight());
    EXPECT_EQ(painter.texts("Task ").size(), 6u); // three today and the same three scheduled
    EXPECT_EQ(painter.text("tasks · in menu")->text, "+5 tasks · in menu");

    // Where the timeline has room, the shares stay as they are.
    RecordingPainter tall;
    renderer.draw(tall, Size{1024, 1400});
    const double tallY0 = 1400 * 0.05 + 146;
    const double CH = 1400 - 1400 * 0.05 - 1400 * 0.08;
    const double WH = 2 * 116 + 38; // two rows of four days, at their maximum
    const double avail = CH - 146 - WH - 30;
    const double need = 34 + 8 * 47.0;
    const double RH = std::min(std::max(need, avail * 0.40), avail * 0.68);
    EXPECT_NEAR(tall.text("TO-DO / TODAY")->rect.y - 4 - 18 - tallY0, avail - RH - 20, 1e-9);
}

TEST(WallpaperCanvas, HeaderHeightSwitchesAt740) {
    auto renderer = testing::testRenderer();
    RecordingPainter tall;
    renderer.draw(tall, Size{1200, 740});
    auto day = tall.text("28");
    ASSERT_TRUE(day);
    EXPECT_DOUBLE_EQ(day->style.size, 128);
    EXPECT_TRUE(day->style.monospacedDigits);
    EXPECT_DOUBLE_EQ(tall.text("MONDAY")->rect.x, 183);

    RecordingPainter low;
    renderer.draw(low, Size{1200, 739});
    EXPECT_DOUBLE_EQ(low.text("28")->style.size, 102);
    EXPECT_DOUBLE_EQ(low.text("MONDAY")->rect.x, 155);
}

TEST(WallpaperCanvas, WeekGridColumnsFollowTimelineWidth) {
    // Monday: six days remain. Tue 29 … Sun 4.
    auto renderer = testing::testRenderer();
    renderer.style = WallpaperStyle::paper; // the layout, without backgrounds
    auto cells = [&](Size size) {
        RecordingPainter painter;
        renderer.draw(painter, size);
        std::vector<Rect> result;
        for (const char* day : {"TUE 29", "WED 30", "THU 1", "FRI 2", "SAT 3", "SUN 4"}) {
            auto heading = painter.text(day);
            EXPECT_TRUE(heading) << day;
            if (heading)
                result.push_back(heading->rect);
        }
        return result;
    };
    auto six = cells(Size{2000, 1200}); // timeline 1300 wide: one row of six
    ASSERT_EQ(six.size(), 6u);
    EXPECT_DOUBLE_EQ(six[5].y, six[0].y);
    EXPECT_GT(six[5].x, six[4].x);

    auto three = cells(Size{700, 1200}); // two rows of three
    ASSERT_EQ(three.size(), 6u);
    EXPECT_DOUBLE_EQ(three[2].y, three[0].y);
    EXPECT_GT(three[3].y, three[0].y);
    EXPECT_DOUBLE_EQ(three[3].x, three[0].x);
    EXPECT_DOUBLE_EQ(three[0].width, (700 - 48) / 3.0);

    auto two = cells(Size{300, 1200}); // 300 / 185 = 1, held to 2: three rows of two
    ASSERT_EQ(two.size(), 6u);
    EXPECT_DOUBLE_EQ(two[1].y, two[0].y);
    EXPECT_GT(two[2].y, two[1].y);
    EXPECT_GT(two[4].y, two[2].y);
}

TEST(WallpaperCanvas, WeekEndsTodayAndFooterTexts) {
    auto renderer = testing::testRenderer();
    renderer.snapshot.date = testing::at(renderer.calendar, 27, 11, 30); // a Sunday
    RecordingPainter painter;
    renderer.draw(painter, Size{1440, 900});
    EXPECT_TRUE(painter.text("The week ends today"));
    auto footer = painter.text("Last calendar update: ");
    ASSERT_TRUE(footer);
    EXPECT_EQ(footer->text,
              "Last calendar update: — | Last reminders update: — | "
              "Next color palette: " +
                  AgendaDates::string(GlassHarmony::nextChange(renderer.snapshot.date), "HH:mm",
                                      renderer.calendar));
    EXPECT_DOUBLE_EQ(footer->style.size, 11);

    renderer.style = WallpaperStyle::paper;
    renderer.snapshot.fetchedAt = renderer.snapshot.date;
    RecordingPainter paper;
    renderer.draw(paper, Size{1049, 900});
    footer = paper.text("Last calendar update: ");
    ASSERT_TRUE(footer);
    EXPECT_EQ(footer->text, "Last calendar update: 11:30 | Last reminders update: — | "
                            "Next color palette: —");
    EXPECT_DOUBLE_EQ(footer->style.size, 9);
}

TEST(Reminders, NeededHeightAndBudgetEdges) {
    auto renderer = testing::testRenderer();
    const Date today = renderer.calendar.startOfDay(renderer.snapshot.date);
    renderer.snapshot.reminders.items = {reminder("1", "One", today), reminder("2", "Two", today)};
    // Each row: 20 + 18 + 9 = 47; the section wants 34 + 94.
    EXPECT_DOUBLE_EQ(renderer.reminderNeededHeight(ReminderSection::today, 300), 128);

    RecordingPainter exact;
    renderer.reminders(exact, ReminderSection::today, Rect{0, 0, 300, 94 + 32});
    EXPECT_TRUE(exact.text("Two"));
    EXPECT_FALSE(exact.text("in menu"));

    RecordingPainter short_;
    renderer.reminders(short_, ReminderSection::today, Rect{0, 0, 300, 94 + 31});
    EXPECT_TRUE(short_.text("One"));
    EXPECT_FALSE(short_.text("Two"));
    auto more = short_.text("in menu");
    ASSERT_TRUE(more);
    EXPECT_EQ(more->text, "+1 task · in menu");
    EXPECT_DOUBLE_EQ(more->rect.y, 30 + 47);
}

TEST(Reminders, LongTitleIsThreeLinesAndATallFirstItemHidesTheRest) {
    auto renderer = testing::testRenderer();
    const Date today = renderer.calendar.startOfDay(renderer.snapshot.date);
    const std::string longTitle = "A" + std::string(400, 'x');
    renderer.snapshot.reminders.items = {reminder("1", longTitle, today),
                                         reminder("2", "B short", today),
                                         reminder("3", "C short", today)};
    EXPECT_EQ(renderer.reminderTitleLines(renderer.snapshot.reminders.items[0], 200), 3);
    EXPECT_EQ(renderer.reminderTitleLines(renderer.snapshot.reminders.items[1], 200), 1);

    RecordingPainter painter;
    renderer.reminders(painter, ReminderSection::today, Rect{0, 0, 200, 100});
    EXPECT_FALSE(painter.text("short"));
    EXPECT_EQ(painter.text("in menu")->text, "+3 tasks · in menu");
}

TEST(Reminders, StatesHeadingsAndOverdueMarks) {
    auto renderer = testing::testRenderer();
    const Date now = renderer.snapshot.date;
    renderer.snapshot.reminders.items = {
        reminder("1", "Call back", now - std::chrono::hours(1), true),
        reminder("2", "No time today", renderer.calendar.startOfDay(now), false)};
    RecordingPainter painter;
    renderer.reminders(painter, ReminderSection::today, Rect{0, 0, 300, 400});
    const Color accent = renderer.resolved(Palette::accent);
    EXPECT_TRUE(painter.text("Call back")->style.bold);
    EXPECT_FALSE(painter.text("No time today")->style.bold);
    auto markOf = [&](const std::string& title) {
        const double y = painter.text(title)->rect.y;
        for (const auto& mark : painter.texts("○"))
            if (mark.rect.y == y)
                return mark.color;
        return Color{};
    };
    EXPECT_EQ(markOf("Call back"), accent);
    EXPECT_EQ(markOf("No time today"), renderer.resolved(Palette::secondary));

    renderer.reminderMode = ReminderGrouping::selectedLists;
    RecordingPainter blocks;
    renderer.reminders(blocks, ReminderSection::tomorrow, Rect{0, 0, 300, 400});
    EXPECT_TRUE(blocks.text("TO-DO / BLOCK 2"));
    EXPECT_TRUE(blocks.text("Choose a list in Settings"));

    renderer.snapshot.reminders.state = ReminderAvailability::notAuthorized;
    for (ReminderSection section : allReminderSections)
        EXPECT_DOUBLE_EQ(renderer.reminderNeededHeight(section, 300), 68);
    RecordingPainter denied;
    renderer.reminders(denied, ReminderSection::today, Rect{0, 0, 300, 400});
    EXPECT_TRUE(denied.text("Grant task list access"));
}

TEST(RestOfWeek, CompactAndNormalCells) {
    auto renderer = testing::testRenderer();
    const Calendar& c = renderer.calendar;
    const Date tuesday = testing::at(c, 29, 0);
    for (int i = 0; i < 5; ++i)
        renderer.snapshot.events.push_back(AgendaEvent(
            "e" + std::to_string(i), "Event " + std::to_string(i), testing::at(c, 29, 9 + i),
            testing::at(c, 29, 10 + i), false, AgendaGroup::ostrid));
    renderer.snapshot.events.push_back(AgendaEvent("trip", "Trip", testing::at(c, 28, 20),
                                                   testing::at(c, 29, 12), false,
                                                   AgendaGroup::personal));
    renderer.snapshot.availability.erase(AgendaGroup::personal);

    RecordingPainter compact;
    renderer.future(compact, tuesday, Rect{0, 0, 300, 60});
    EXPECT_TRUE(compact.text("· 5 events"));
    EXPECT_TRUE(compact.text("· Unavailable"));

    renderer.snapshot.availability.insert_or_assign(AgendaGroup::personal,
                                                    GroupAvailability::available());
    RecordingPainter normal;
    renderer.future(normal, tuesday, Rect{0, 0, 300, 150});
    EXPECT_TRUE(normal.text(" · +3 events"));
    EXPECT_TRUE(normal.text("09:00  Event 0"));
    EXPECT_TRUE(normal.text("10:00  Event 1"));
    EXPECT_FALSE(normal.text("Event 2"));
    EXPECT_TRUE(normal.text("Continues  Trip"));

    // One event is "1 event", not "1 events".
    RecordingPainter single;
    renderer.future(single, tuesday, Rect{0, 0, 300, 60});
    EXPECT_TRUE(single.text("CALENDAR 2 · 1 event"));
    EXPECT_FALSE(single.text("1 events"));
    setenv("LANGUAGE", "it", 1);
    RecordingPainter italian;
    renderer.future(italian, tuesday, Rect{0, 0, 300, 60});
    EXPECT_TRUE(italian.text("CALENDARIO 2 · 1 evento"));
    EXPECT_TRUE(italian.text("CALENDARIO 1 · 5 eventi"));
    setenv("LANGUAGE", "en", 1);
}

} // namespace
} // namespace brivane

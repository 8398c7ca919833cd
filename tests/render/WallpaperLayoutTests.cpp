#include "Brivane/render/WallpaperRendererText.h"
#include "RecordingPainter.h"
#include "RenderTestSupport.h"

#include <algorithm>
#include <gtest/gtest.h>

namespace brivane {
namespace {

using testing::RecordingPainter;
using Kind = RecordingPainter::Kind;

TEST(WallpaperColours, GlassRuleAccentsAndGroupNames) {
    auto renderer = testing::testRenderer();
    EXPECT_EQ(renderer.resolved(Palette::secondary), Color::rgb(0.25, 0.28, 0.28));
    EXPECT_EQ(renderer.resolved(Palette::accent), Color::rgb(0.15, 0.31, 0.56));
    EXPECT_EQ(renderer.resolved(Palette::ink), Palette::ink);
    const Color personalGlass = renderer.eventAccent(AgendaGroup::personal);
    const Color ostridGlass = renderer.eventAccent(AgendaGroup::ostrid);

    renderer.groupNames = {{"ostrid", "  \n "}, {"personal", " Famiglia "}};
    EXPECT_EQ(renderer.groupName(AgendaGroup::ostrid), title(AgendaGroup::ostrid));
    EXPECT_EQ(renderer.groupName(AgendaGroup::personal), "Famiglia");

    renderer.style = WallpaperStyle::paper;
    EXPECT_EQ(renderer.resolved(Palette::secondary), Palette::secondary);
    EXPECT_EQ(renderer.eventAccent(AgendaGroup::personal), personalGlass);
    EXPECT_NE(renderer.eventAccent(AgendaGroup::ostrid), ostridGlass);
    EXPECT_EQ(renderer.eventAccent(AgendaGroup::ostrid), Palette::accent);
}

// Event blocks of the timeline, left to right, top to bottom.
std::vector<Rect> blocks(const RecordingPainter& painter) {
    std::vector<Rect> result;
    for (const auto& op : painter.of(Kind::roundedRect))
        result.push_back(op.rect);
    return result;
}

TEST(TodayTimeline, OverlappingEventsShareLanesAndTouchingOnesReuseThem) {
    auto renderer = testing::testRenderer(7, 0);
    const Calendar& c = renderer.calendar;
    renderer.snapshot.events = {
        testing::timed(c, "A", 9, 0, 10, 0), testing::timed(c, "B", 9, 30, 10, 30),
        testing::timed(c, "C", 10, 0, 11, 0), testing::timed(c, "D", 14, 0, 15, 0)};
    RecordingPainter painter;
    renderer.todayTimeline(painter, Rect{0, 0, 800, 600});
    const auto drawn = blocks(painter);
    ASSERT_EQ(drawn.size(), 4u);
    const double colW = (800 - 51 - 24) * 0.5;
    const double laneW = (colW - 3) / 2;
    // A and C in lane 0, B in lane 1, each half the column; D alone takes the whole column.
    EXPECT_DOUBLE_EQ(drawn[0].x, 51);
    EXPECT_DOUBLE_EQ(drawn[0].width, laneW);
    EXPECT_DOUBLE_EQ(drawn[1].x, 51 + laneW + 3);
    EXPECT_DOUBLE_EQ(drawn[2].x, 51);
    EXPECT_DOUBLE_EQ(drawn[2].width, laneW);
    EXPECT_DOUBLE_EQ(drawn[3].width, colW);
    // C starts where A ends: the same lane, one block below the other.
    EXPECT_GT(drawn[2].y, drawn[0].y + drawn[0].height);
}

TEST(TodayTimeline, BackToBackEventsKeepTheirLaneAndShortBlocksStopAtTheNext) {
    auto renderer = testing::testRenderer(7, 0);
    const Calendar& c = renderer.calendar;
    renderer.snapshot.events = {testing::timed(c, "First", 9, 0, 9, 30),
                                testing::timed(c, "Second", 9, 30, 10, 0),
                                testing::timed(c, "Third", 10, 0, 10, 30)};
    // 12 hours on a 152-point grid: half an hour is 6.3 points, less than the 13-point block.
    RecordingPainter low;
    renderer.todayTimeline(low, Rect{0, 0, 800, 200});
    auto drawn = blocks(low);
    ASSERT_EQ(drawn.size(), 3u);
    const double colW = (800 - 51 - 24) * 0.5;
    for (const Rect& block : drawn) {
        EXPECT_DOUBLE_EQ(block.x, 51);
        EXPECT_DOUBLE_EQ(block.width, colW);
    }
    for (std::size_t i = 0; i + 1 < drawn.size(); ++i) {
        EXPECT_LT(drawn[i].y + drawn[i].height, drawn[i + 1].y);
        EXPECT_GE(drawn[i].height, 2);
    }
    EXPECT_DOUBLE_EQ(drawn[2].height, 13); // the last one keeps the smallest block
    // Too thin for letters: only the last block has a line.
    EXPECT_FALSE(low.text("First"));
    EXPECT_TRUE(low.text("Third"));

    // 18 points per hour: the clipped blocks' lines are centred on them and cut to them, not run
    // under the next block.
    RecordingPainter medium;
    renderer.todayTimeline(medium, Rect{0, 0, 800, 48 + 18 * 12});
    drawn = blocks(medium);
    ASSERT_EQ(drawn.size(), 3u);
    auto first = medium.text("First");
    ASSERT_TRUE(first);
    EXPECT_LT(drawn[0].height, first->rect.height);
    EXPECT_NEAR(first->rect.y + first->rect.height / 2, drawn[0].y + drawn[0].height / 2, 1e-9);

    RecordingPainter tall;
    renderer.todayTimeline(tall, Rect{0, 0, 800, 600});
    drawn = blocks(tall);
    ASSERT_EQ(drawn.size(), 3u);
    EXPECT_DOUBLE_EQ(drawn[1].x, drawn[0].x);
    EXPECT_GE(drawn[1].y, drawn[0].y + drawn[0].height);
}

TEST(TodayTimeline, AnInstantIsNotHiddenByAnEventStartingThen) {
    auto renderer = testing::testRenderer(7, 0);
    const Calendar& c = renderer.calendar;
    renderer.snapshot.events = {testing::timed(c, "Reminder", 9, 0, 9, 0),
                                testing::timed(c, "Meeting", 9, 0, 10, 0),
                                testing::timed(c, "Later", 10, 0, 10, 0)};
    RecordingPainter painter;
    renderer.todayTimeline(painter, Rect{0, 0, 800, 600});
    const auto drawn = blocks(painter);
    ASSERT_EQ(drawn.size(), 3u);
    // The instant and the meeting share the column; the later instant follows the meeting.
    EXPECT_GT(drawn[1].x, drawn[0].x + drawn[0].width);
    EXPECT_DOUBLE_EQ(drawn[0].height, 13);
    EXPECT_DOUBLE_EQ(drawn[2].x, drawn[0].x);
}

TEST(TodayTimeline, BlockCutByTheGridBottomDropsItsText) {
    auto renderer = testing::testRenderer(7, 0);
    const Calendar& c = renderer.calendar;
    // 102-point grid: 19:50 starts 1.4 points above its bottom.
    renderer.snapshot.events = {testing::timed(c, "Late", 19, 50, 20, 0),
                                testing::timed(c, "Earlier", 15, 0, 15, 10)};
    RecordingPainter painter;
    renderer.todayTimeline(painter, Rect{0, 0, 800, 150});
    EXPECT_EQ(blocks(painter).size(), 2u);
    EXPECT_FALSE(painter.text("Late"));
    EXPECT_TRUE(painter.text("Earlier"));
}

TEST(TodayTimeline, EventBeforeTheGridStartsAtTheTopAndKeepsItsTimes) {
    auto renderer = testing::testRenderer(7, 0);
    renderer.snapshot.events = {testing::timed(renderer.calendar, "Early", 7, 0, 9, 0)};
    RecordingPainter painter;
    renderer.todayTimeline(painter, Rect{0, 0, 800, 600});
    const auto drawn = blocks(painter);
    ASSERT_EQ(drawn.size(), 1u);
    EXPECT_DOUBLE_EQ(drawn[0].y, 43 + 2);
    EXPECT_TRUE(painter.text("07:00–09:00"));
}

TEST(TodayTimeline, StripSizingAndOverflowOnLowTimeline) {
    auto renderer = testing::testRenderer();
    const Calendar& c = renderer.calendar;
    renderer.snapshot.events = {testing::allDay(c, "Holiday"),
                                testing::timed(c, "Late", 21, 0, 22, 0),
                                testing::timed(c, "Later", 22, 0, 23, 0)};
    RecordingPainter low;
    renderer.todayTimeline(low, Rect{0, 0, 800, 299});
    // One row, then the overflow line: stripH = 19 + 27 + 17.
    const double gridBottom = 43 + (299 - 48 - 63);
    auto row = low.text("Holiday");
    ASSERT_TRUE(row);
    EXPECT_EQ(row->text, "All day  Holiday");
    EXPECT_DOUBLE_EQ(row->rect.y, gridBottom + 27);
    auto more = low.text("events in menu");
    ASSERT_TRUE(more);
    EXPECT_EQ(more->text, "+2 events in menu");
    EXPECT_DOUBLE_EQ(more->rect.y, gridBottom + 27 + 19);
    EXPECT_FALSE(low.text("Late"));

    RecordingPainter tall;
    renderer.todayTimeline(tall, Rect{0, 0, 800, 300});
    EXPECT_TRUE(tall.text("21:00  Late"));
    EXPECT_TRUE(tall.text("22:00  Later"));
    EXPECT_FALSE(tall.text("in menu"));
    EXPECT_DOUBLE_EQ(tall.text("Holiday")->rect.y, 43 + (300 - 48 - (19 * 3 + 27)) + 27);
}

TEST(TodayTimeline, TooLowForGridAndStripKeepsTheOverflowLine) {
    auto renderer = testing::testRenderer();
    renderer.snapshot.events = {
        testing::allDay(renderer.calendar, "Holiday"),
        testing::timed(renderer.calendar, "Late", 21, 0, 22, 0, AgendaGroup::personal)};
    RecordingPainter fits;
    renderer.todayTimeline(fits, Rect{0, 0, 800, 48 + 50 + 46});
    EXPECT_TRUE(fits.text("All day  Holiday"));
    EXPECT_FALSE(fits.text("in menu"));
    EXPECT_DOUBLE_EQ(renderer.timelineLeastHeight(), 48 + 50 + 28);

    for (double h : {48 + 50 + 45.0, renderer.timelineLeastHeight()}) {
        RecordingPainter low;
        renderer.todayTimeline(low, Rect{0, 0, 800, h});
        EXPECT_FALSE(low.text("Holiday"));
        EXPECT_FALSE(low.text("OTHER EVENTS"));
        const auto hints = low.texts("in menu");
        ASSERT_EQ(hints.size(), 2u);
        EXPECT_EQ(hints[0].text, "+1 event in menu");
        EXPECT_EQ(hints[1].text, "+1 event in menu");
        for (const auto& hint : hints)
            EXPECT_LE(hint.rect.y + hint.rect.height, h - 5 + 1e-9);
    }

    renderer.snapshot.events.clear();
    EXPECT_DOUBLE_EQ(renderer.timelineLeastHeight(), 48 + 50);
}

TEST(TodayTimeline, HourLabelsNearNowAreHiddenAndWindowIsClamped) {
    auto renderer = testing::testRenderer(11, 50);
    RecordingPainter painter;
    renderer.todayTimeline(painter, Rect{0, 0, 800, 600});
    // 12 hours over 600 − 48 points: 46 per hour, so 12:00 is 7.7 points from 11:50.
    EXPECT_FALSE(painter.text("12:00"));
    EXPECT_TRUE(painter.text("11:50"));
    EXPECT_TRUE(painter.text("11:00"));
    EXPECT_TRUE(painter.text("20:00"));

    renderer.timelineStartHour = 25;
    renderer.timelineEndHour = 3;
    RecordingPainter clamped;
    renderer.todayTimeline(clamped, Rect{0, 0, 800, 600});
    EXPECT_TRUE(clamped.text("23:00"));
    EXPECT_TRUE(clamped.text("24:00"));
    EXPECT_FALSE(clamped.text("22:00"));
}

TEST(TodayTimeline, HourLabelsOnAShortGridDoNotOverlap) {
    auto renderer = testing::testRenderer(7, 0);
    RecordingPainter painter;
    renderer.todayTimeline(painter, Rect{0, 0, 800, 150}); // 102-point grid, 8.5 per hour
    std::vector<double> tops;
    for (const auto& op : painter.texts(":00"))
        tops.push_back(op.rect.y);
    ASSERT_GE(tops.size(), 5u);
    // Their text lines (11 points × 1.18) never touch.
    for (std::size_t i = 1; i < tops.size(); ++i)
        EXPECT_GE(tops[i] - tops[i - 1], 11 * 1.18);
    EXPECT_EQ(tops.front(), 43 - 8);               // 08:00 is always labelled
    EXPECT_EQ(painter.of(Kind::rect).size(), 13u); // every hour keeps its line

    // 14 points per hour: the lines fit, so every hour keeps its label.
    RecordingPainter roomier;
    renderer.todayTimeline(roomier, Rect{0, 0, 800, 48 + 14 * 12});
    EXPECT_EQ(roomier.texts(":00").size(), 13u);
}

TEST(TodayTimeline, MissingAvailabilityShowsDashAndLabel) {
    auto renderer = testing::testRenderer();
    renderer.snapshot.availability.erase(AgendaGroup::personal);
    renderer.snapshot.events = {
        testing::timed(renderer.calendar, "Gym", 9, 0, 10, 0, AgendaGroup::personal)};
    RecordingPainter painter;
    renderer.todayTimeline(painter, Rect{0, 0, 800, 600});
    auto header = painter.text(upperCased(title(AgendaGroup::personal), renderer.calendar));
    ASSERT_TRUE(header);
    EXPECT_NE(header->text.find("(—)"), std::string::npos);
    EXPECT_TRUE(painter.text(GroupAvailability::unavailable().label()));
    EXPECT_FALSE(painter.text("Gym"));
}

} // namespace
} // namespace brivane

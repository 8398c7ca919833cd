#include "BrivaneCore/AgendaSelection.h"
#include "BrivaneCore/AgendaSnapshot.h"
#include "BrivaneCore/ReminderModel.h"
#include "TestSupport.h"

#include <algorithm>
#include <gtest/gtest.h>

using namespace brivane;
using namespace brivane::testing;
using namespace std::chrono;

namespace {

class AgendaSnapshotTest : public ::testing::Test {
protected:
    ScopedEnvironment env;
    Calendar c{"en_GB", "UTC"};
    void SetUp() override {
        env.locale("en_GB", "Europe/Rome");
        c = AgendaDates::calendar();
    }
    AgendaEvent timed(std::string id, std::string title, Date start, Date end) {
        return AgendaEvent(std::move(id), std::move(title), start, end, false, AgendaGroup::ostrid);
    }
};

} // namespace

TEST_F(AgendaSnapshotTest, EmptyTitlesBecomeUntitledInTheLanguageOfTheMoment) {
    const Date t = at(c, 2026, 9, 28, 9);
    EXPECT_EQ(timed("a", "", t, t).title, "Untitled");
    EXPECT_EQ(timed("a", " ", t, t).title, " ");
    env.set("LANGUAGE", "it_IT");
    EXPECT_EQ(timed("a", "", t, t).title, "Senza titolo");
}

TEST_F(AgendaSnapshotTest, OccursOnDayBoundaries) {
    const Date day = at(c, 2026, 9, 28, 15);
    const Date midnight = at(c, 2026, 9, 28);
    const Date nextMidnight = at(c, 2026, 9, 29);
    EXPECT_TRUE(timed("a", "x", midnight, midnight).occurs(day, c));
    EXPECT_FALSE(timed("a", "x", nextMidnight, nextMidnight).occurs(day, c));
    const AgendaEvent toMidnight = timed("a", "x", at(c, 2026, 9, 28, 10), nextMidnight);
    EXPECT_TRUE(toMidnight.occurs(day, c));
    EXPECT_FALSE(toMidnight.occurs(nextMidnight + hours(1), c));
    EXPECT_EQ(toMidnight.timeLabel(day, c), "10:00\u201300:00 (29 Sep)");
    // Ended exactly as the day began: not on that day.
    EXPECT_FALSE(timed("a", "x", at(c, 2026, 9, 27, 22), midnight).occurs(day, c));
}

TEST_F(AgendaSnapshotTest, CurrentIsHalfOpenAndNeverAllDay) {
    const Date s = at(c, 2026, 9, 28, 10), e = at(c, 2026, 9, 28, 11);
    const AgendaEvent event = timed("a", "x", s, e);
    EXPECT_TRUE(event.isCurrent(s));
    EXPECT_TRUE(event.isCurrent(e - milliseconds(1)));
    EXPECT_FALSE(event.isCurrent(e));
    const AgendaEvent allDay("b", "x", at(c, 2026, 9, 27), at(c, 2026, 9, 29), true,
                             AgendaGroup::personal);
    EXPECT_FALSE(allDay.isCurrent(s));
}

TEST_F(AgendaSnapshotTest, TimeLabels) {
    const Date day = at(c, 2026, 9, 28, 12);
    const AgendaEvent overnight =
        timed("a", "x", at(c, 2026, 9, 27, 22), at(c, 2026, 9, 29, 1, 30));
    EXPECT_EQ(overnight.timeLabel(day, c), "Continues · 22:00\u201301:30 (29 Sep)");
    const AgendaEvent allDay("b", "x", at(c, 2026, 9, 27), at(c, 2026, 9, 29), true,
                             AgendaGroup::personal);
    EXPECT_EQ(allDay.timeLabel(day, c), "All day · Continues");
    EXPECT_EQ(allDay.timeLabel(at(c, 2026, 9, 27, 8), c), "All day");
    EXPECT_EQ(timed("c", "x", at(c, 2026, 9, 28, 9), at(c, 2026, 9, 28, 9, 45)).timeLabel(day, c),
              "09:00\u201309:45");
    env.set("LANGUAGE", "it");
    const Calendar it = AgendaDates::calendar();
    EXPECT_EQ(overnight.timeLabel(day, it), "Continua · 22:00\u201301:30 (29 set)");
    EXPECT_EQ(allDay.timeLabel(day, it), "Tutto il giorno · Continua");
}

TEST_F(AgendaSnapshotTest, ChronologicalOrder) {
    const Date nine = at(c, 2026, 9, 28, 9);
    const AgendaEvent allDayLate("z", "late", at(c, 2026, 9, 28, 12), at(c, 2026, 9, 29), true,
                                 AgendaGroup::ostrid);
    const AgendaEvent early = timed("y", "early", nine, nine + hours(1));
    EXPECT_TRUE(AgendaSelection::chronological(allDayLate, early));
    EXPECT_FALSE(AgendaSelection::chronological(early, allDayLate));
    // Upper case sorts first in code-point order.
    EXPECT_TRUE(
        AgendaSelection::chronological(timed("1", "B", nine, nine), timed("2", "b", nine, nine)));
    EXPECT_TRUE(
        AgendaSelection::chronological(timed("1", "x", nine, nine), timed("2", "x", nine, nine)));
    EXPECT_FALSE(
        AgendaSelection::chronological(timed("1", "x", nine, nine), timed("1", "x", nine, nine)));
}

TEST_F(AgendaSnapshotTest, SnapshotEventsOfOneDayAndGroup) {
    const Date nine = at(c, 2026, 9, 28, 9);
    AgendaSnapshot snapshot{nine, std::nullopt, {}, {}, false, {}};
    snapshot.events = {
        timed("b", "Same", nine, nine + hours(1)),
        timed("a", "Same", nine, nine + hours(1)),
        AgendaEvent("p", "Other group", nine, nine + hours(1), false, AgendaGroup::personal),
        timed("t", "Tomorrow", nine + hours(24), nine + hours(25)),
        AgendaEvent("d", "All day", at(c, 2026, 9, 28), at(c, 2026, 9, 29), true,
                    AgendaGroup::ostrid),
    };
    const auto events = snapshot.eventsOn(nine, AgendaGroup::ostrid, c);
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].id, "d");
    EXPECT_EQ(events[1].id, "a");
    EXPECT_EQ(events[2].id, "b");
}

TEST_F(AgendaSnapshotTest, AvailabilityLabels) {
    EXPECT_EQ(GroupAvailability::partial(2).label(), "Partial data · 2 calendars unavailable");
    EXPECT_EQ(GroupAvailability::partial(1).label(), "Partial data · 1 calendar unavailable");
    env.set("LANGUAGE", "it");
    EXPECT_EQ(GroupAvailability::partial(2).label(), "Dati parziali · 2 calendari non disponibili");
    EXPECT_EQ(GroupAvailability::partial(1).label(),
              "Dati parziali · 1 calendario non disponibile");
    EXPECT_TRUE(GroupAvailability::partial(2).hasData());
    EXPECT_TRUE(GroupAvailability::available().hasData());
    EXPECT_FALSE(GroupAvailability::notSelected().hasData());
    EXPECT_FALSE(GroupAvailability::unavailable().hasData());
    EXPECT_NE(GroupAvailability::partial(1), GroupAvailability::partial(2));
}

TEST_F(AgendaSnapshotTest, VisibleKeepsWhatMattersNow) {
    const Date now = at(c, 2026, 9, 28, 11, 30);
    const std::vector<AgendaEvent> events = {
        timed("over", "Over", at(c, 2026, 9, 28, 9), at(c, 2026, 9, 28, 9, 30)),
        timed("current", "Current", at(c, 2026, 9, 28, 11), at(c, 2026, 9, 28, 12)),
        timed("next", "Next", at(c, 2026, 9, 28, 15), at(c, 2026, 9, 28, 16)),
        AgendaEvent("allday", "All day", at(c, 2026, 9, 28), at(c, 2026, 9, 29), true,
                    AgendaGroup::ostrid),
    };
    auto ids = [](const std::vector<AgendaEvent>& list) {
        std::vector<std::string> out;
        for (const auto& e : list)
            out.push_back(e.id);
        return out;
    };
    EXPECT_EQ(ids(AgendaSelection::visible(events, 2, now, true)),
              (std::vector<std::string>{"current", "next"}));
    EXPECT_EQ(ids(AgendaSelection::visible(events, 2, now, false)),
              (std::vector<std::string>{"allday", "over"}));
    EXPECT_EQ(ids(AgendaSelection::visible(events, 3, now, true)),
              (std::vector<std::string>{"allday", "current", "next"}));
    EXPECT_TRUE(AgendaSelection::visible(events, 0, now, true).empty());
    EXPECT_TRUE(AgendaSelection::visible(events, -1, now, false).empty());
    EXPECT_EQ(AgendaSelection::visible(events, 10, now, true).size(), 4u);
}

TEST(AgendaSelectionTest, Availability) {
    const std::set<std::string> three{"a", "b", "c"};
    EXPECT_EQ(AgendaSelection::availability(three, {"a", "b"}, true),
              GroupAvailability::partial(1));
    EXPECT_EQ(AgendaSelection::availability(three, {"x"}, true), GroupAvailability::unavailable());
    EXPECT_EQ(AgendaSelection::availability(three, three, true), GroupAvailability::available());
    EXPECT_EQ(AgendaSelection::availability({}, three, true), GroupAvailability::notSelected());
    EXPECT_EQ(AgendaSelection::availability({}, {}, false), GroupAvailability::unavailable());
}

namespace {

// A day whose midnight the zone skips: it starts at 01:00, the next day at 00:00 again.
struct SkippedMidnight {
    const char* zone;
    int year, month, day;
};

class SkippedMidnightDay : public ::testing::TestWithParam<SkippedMidnight> {
protected:
    ScopedEnvironment env;
    Calendar c{"en_GB", "UTC"};
    Date skipped{}, next{}, dayAfter{};
    void SetUp() override {
        const auto& p = GetParam();
        env.locale("en_GB", p.zone);
        c = AgendaDates::calendar();
        skipped = at(c, p.year, p.month, p.day, 12);
        next = nextDayStart(skipped, c);
        dayAfter = nextDayStart(next, c);
    }
};

} // namespace

TEST_P(SkippedMidnightDay, TheNextDayBeginsAtItsOwnMidnight) {
    ASSERT_EQ(c.component(CalendarComponent::hour, c.startOfDay(skipped)), 1);
    EXPECT_EQ(c.component(CalendarComponent::hour, next), 0);
    EXPECT_EQ(next, c.startOfDay(skipped + hours(24)));
    EXPECT_EQ(dayAfter - next, hours(24));

    // An event in the first hour of the next day belongs to that day only.
    const AgendaEvent early("early", "Early", next + minutes(30), next + minutes(90), false,
                            AgendaGroup::ostrid);
    EXPECT_FALSE(early.occurs(skipped, c));
    EXPECT_TRUE(early.occurs(next, c));
    AgendaSnapshot snapshot{skipped, std::nullopt, {early}, {}, false, {}};
    EXPECT_TRUE(snapshot.eventsOn(skipped, AgendaGroup::ostrid, c).empty());
    EXPECT_EQ(snapshot.eventsOn(next, AgendaGroup::ostrid, c).size(), 1u);

    // An evening event that runs past midnight says so.
    const AgendaEvent late("late", "Late", next - hours(2), next + minutes(30), false,
                           AgendaGroup::ostrid);
    EXPECT_EQ(late.timeLabel(skipped, c),
              "22:00\u201300:30 (" + AgendaDates::string(next, "d MMM", c) + ")");

    // The week ends at the start of a Monday, and its days start at their midnights.
    const Date end = AgendaDates::endOfWeek(skipped, c);
    EXPECT_EQ(c.component(CalendarComponent::weekday, end), 2);
    EXPECT_EQ(c.component(CalendarComponent::hour, end), 0);
    for (const Date d : AgendaDates::remainingDays(skipped, c))
        EXPECT_EQ(d, c.startOfDay(d));

    // A task due in the first minutes of tomorrow is tomorrow's; one due in the first minutes of
    // the day after is not.
    ReminderSnapshot reminders;
    reminders.items = {ReminderItem("t", "Tomorrow", "Inbox", next + minutes(30), true, 0, "in"),
                       ReminderItem("a", "After", "Inbox", dayAfter + minutes(30), true, 0, "in")};
    auto section = [&](ReminderSection s) {
        std::vector<std::string> ids;
        for (const auto& item : reminders.itemsIn(s, ReminderGrouping::dueDate, skipped, c, {}))
            ids.push_back(item.id);
        return ids;
    };
    EXPECT_TRUE(section(ReminderSection::today).empty());
    EXPECT_EQ(section(ReminderSection::tomorrow), std::vector<std::string>{"t"});
}

INSTANTIATE_TEST_SUITE_P(Zones, SkippedMidnightDay,
                         ::testing::Values(SkippedMidnight{"America/Santiago", 2026, 9, 6},
                                           SkippedMidnight{"America/Havana", 2026, 3, 8},
                                           SkippedMidnight{"Asia/Beirut", 2026, 3, 29},
                                           SkippedMidnight{"Africa/Cairo", 2026, 4, 24}),
                         [](const auto& zone) {
                             std::string name = zone.param.zone;
                             std::replace(name.begin(), name.end(), '/', '_');
                             return name;
                         });

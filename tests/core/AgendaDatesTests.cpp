#include "BrivaneCore/AgendaDates.h"
#include "BrivaneCore/AgendaLanguage.h"
#include "BrivaneCore/TimeZoneData.h"
#include "TestSupport.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <limits>
#include <tuple>

using namespace brivane;
using namespace brivane::testing;
using namespace std::chrono;

namespace {

class AgendaDatesTest : public ::testing::Test {
protected:
    ScopedEnvironment env;
    void SetUp() override { env.locale("en_GB", "Europe/Rome"); }
};

// The next instant with the given local minute and second 0, found minute by minute.
Date bruteForceNext(const Calendar& c, Date after, int minute) {
    Date t = floor<std::chrono::minutes>(after) + std::chrono::minutes(1);
    if (t <= after)
        t += std::chrono::minutes(1);
    for (int i = 0; i < 3 * 24 * 60; ++i, t += std::chrono::minutes(1)) {
        if (c.component(CalendarComponent::minute, t) == minute &&
            c.component(CalendarComponent::second, t) == 0)
            return t;
    }
    ADD_FAILURE() << "no match";
    return t;
}

} // namespace

TEST_F(AgendaDatesTest, RemainingDaysRunToSunday) {
    const Calendar c = AgendaDates::calendar();
    const Date monday = at(c, 2026, 9, 28, 11, 30);
    const auto days = AgendaDates::remainingDays(monday, c);
    ASSERT_EQ(days.size(), 6u);
    EXPECT_EQ(days.front(), at(c, 2026, 9, 29));
    EXPECT_EQ(days.back(), at(c, 2026, 10, 4));
    EXPECT_EQ(AgendaDates::endOfWeek(monday, c), at(c, 2026, 10, 5));

    const Date saturday = at(c, 2026, 10, 3, 23, 59);
    EXPECT_EQ(AgendaDates::remainingDays(saturday, c), std::vector<Date>{at(c, 2026, 10, 4)});

    const Date sunday = at(c, 2026, 10, 4, 9);
    EXPECT_TRUE(AgendaDates::remainingDays(sunday, c).empty());
    EXPECT_EQ(AgendaDates::endOfWeek(sunday, c), at(c, 2026, 10, 5));
}

TEST_F(AgendaDatesTest, RemainingDaysAcrossDaylightSavingEndAreDayStarts) {
    // Europe/Rome leaves summer time on Sunday 25 October 2026.
    const Calendar c = AgendaDates::calendar();
    const auto days = AgendaDates::remainingDays(at(c, 2026, 10, 19, 12), c);
    ASSERT_EQ(days.size(), 6u);
    for (const Date d : days)
        EXPECT_EQ(c.component(CalendarComponent::hour, d), 0);
    EXPECT_EQ(AgendaDates::endOfWeek(at(c, 2026, 10, 19), c) - days.back(), hours(25));
}

TEST_F(AgendaDatesTest, ScheduledRefreshAtMinutes25And55) {
    const Calendar c = AgendaDates::calendar();
    EXPECT_EQ(AgendaDates::nextScheduledRefresh(at(c, 2026, 5, 4, 10, 25), c),
              at(c, 2026, 5, 4, 10, 55));
    EXPECT_EQ(AgendaDates::nextScheduledRefresh(at(c, 2026, 5, 4, 10, 56), c),
              at(c, 2026, 5, 4, 11, 25));
    EXPECT_EQ(AgendaDates::nextScheduledRefresh(at(c, 2026, 5, 4, 23, 57), c),
              at(c, 2026, 5, 5, 0, 25));
    // A fraction of a second past the mark is still past it.
    EXPECT_EQ(AgendaDates::nextScheduledRefresh(at(c, 2026, 5, 4, 10, 25) + milliseconds(1), c),
              at(c, 2026, 5, 4, 10, 55));
}

TEST_F(AgendaDatesTest, TimelineUpdateAtFiveMinuteBoundaries) {
    const Calendar c = AgendaDates::calendar();
    EXPECT_EQ(AgendaDates::nextTimelineUpdate(at(c, 2026, 5, 4, 10, 4, 30), c),
              at(c, 2026, 5, 4, 10, 5));
    EXPECT_EQ(AgendaDates::nextTimelineUpdate(at(c, 2026, 5, 4, 10, 5), c),
              at(c, 2026, 5, 4, 10, 10));
    EXPECT_EQ(AgendaDates::nextTimelineUpdate(at(c, 2026, 5, 4, 10, 58), c),
              at(c, 2026, 5, 4, 11, 0));
    EXPECT_EQ(AgendaDates::nextTimelineUpdate(at(c, 2026, 5, 4, 23, 55), c),
              at(c, 2026, 5, 5, 0, 0));
}

// Zones with one-hour, half-hour and midnight changes, and one with a 45-minute offset.
class ScheduleAcrossTransitions : public ::testing::TestWithParam<const char*> {};

TEST_P(ScheduleAcrossTransitions, MatchesMinuteByMinuteSearch) {
    ScopedEnvironment env;
    env.locale("en", GetParam());
    const Calendar c = AgendaDates::calendar();
    ASSERT_EQ(c.timeZoneId(), GetParam());
    // Every transition of 2026-2027 (written out in the zone file) and of 2045-2046 (from its
    // yearly rule), probed at offsets before and after it.
    std::vector<Date> probes;
    for (const Date from : {dateFromSeconds(1767225600), dateFromSeconds(2366841600)}) {
        for (Date day = from; day < from + hours(24 * 730); day += hours(24)) {
            if (c.utcOffsetSeconds(day) == c.utcOffsetSeconds(day + hours(24)))
                continue;
            for (int m = -130; m <= 130; m += 7)
                probes.push_back(day + minutes(m) + seconds(m % 3 == 0 ? 0 : 17));
            for (int h = 0; h <= 24; ++h)
                for (int m : {-1, 0, 1, 29, 30, 31})
                    probes.push_back(day + hours(h) + minutes(m));
        }
    }
    ASSERT_FALSE(probes.empty()) << "the zone should change its offset in 2026-2027";
    for (const Date p : probes) {
        const Date refresh = AgendaDates::nextScheduledRefresh(p, c);
        const Date expected = std::min(bruteForceNext(c, p, 25), bruteForceNext(c, p, 55));
        ASSERT_EQ(refresh, expected) << GetParam() << " after " << p.time_since_epoch().count();

        const int target = ((c.component(CalendarComponent::minute, p) / 5) + 1) * 5 % 60;
        ASSERT_EQ(AgendaDates::nextTimelineUpdate(p, c), bruteForceNext(c, p, target))
            << GetParam() << " after " << p.time_since_epoch().count();
    }
}

INSTANTIATE_TEST_SUITE_P(Zones, ScheduleAcrossTransitions,
                         ::testing::Values("Europe/Rome", "Australia/Lord_Howe", "America/Santiago",
                                           "America/Havana", "America/New_York"));

TEST(AgendaDatesZones, SkippedMidnightStartsTheDayAtOne) {
    ScopedEnvironment env;
    env.locale("en", "America/Santiago");
    const Calendar c = AgendaDates::calendar();
    // Chile moves from 00:00 to 01:00 on Sunday 6 September 2026.
    const Date noon = at(c, 2026, 9, 6, 12);
    const Date start = c.startOfDay(noon);
    EXPECT_EQ(c.component(CalendarComponent::hour, start), 1);
    EXPECT_EQ(c.component(CalendarComponent::day, start), 6);
    EXPECT_EQ(c.adding(CalendarUnit::day, 1, c.startOfDay(at(c, 2026, 9, 5, 12))), start);
    EXPECT_EQ(AgendaDates::remainingDays(at(c, 2026, 9, 5, 9), c), std::vector<Date>{start});
}

TEST(AgendaDatesZones, RepeatedMidnightStartsAtTheFirstOne) {
    ScopedEnvironment env;
    env.locale("en", "America/Havana");
    const Calendar c = AgendaDates::calendar();
    // Cuba returns from 01:00 to 00:00 on Sunday 1 November 2026.
    const Date start = c.startOfDay(at(c, 2026, 11, 1, 12));
    EXPECT_EQ(c.utcOffsetSeconds(start), -4 * 3600);
    EXPECT_EQ(at(c, 2026, 11, 2) - start, hours(25));
}

TEST(AgendaDatesZones, RulesComeFromTheSystemTzdata) {
    ScopedEnvironment env;
    // Mexico abolished summer time in 2022; ICU's built-in data still has it.
    env.locale("en", "America/Mexico_City");
    const Calendar mexico = AgendaDates::calendar();
    EXPECT_EQ(mexico.utcOffsetSeconds(at(mexico, 2026, 7, 1, 12)), -6 * 3600);
    EXPECT_EQ(AgendaDates::string(dateFromSeconds(1782928800), "HH:mm", mexico),
              "12:00"); // 18:00 UTC
    // Far past the last explicit transition, the file's footer rule still applies.
    env.set("TZ", "Europe/Rome");
    const Calendar rome = AgendaDates::calendar();
    EXPECT_EQ(rome.utcOffsetSeconds(at(rome, 2060, 7, 1, 12)), 2 * 3600);
    EXPECT_EQ(rome.utcOffsetSeconds(at(rome, 2060, 1, 1, 12)), 3600);
    EXPECT_EQ(rome.utcOffsetSeconds(at(rome, 2230, 7, 1, 12)), 2 * 3600);
    // Summer time ends on the last Sunday of October at 03:00: 31 October in 2202.
    EXPECT_EQ(rome.utcOffsetSeconds(at(rome, 2202, 10, 31, 1)), 2 * 3600);
    EXPECT_EQ(rome.utcOffsetSeconds(at(rome, 2202, 10, 31, 4)), 3600);
}

// South of the equator a year's first change leaves summer time. Where the files' explicit
// transitions end (2037) the footer's rule takes over, and its first change was lost: the week of
// 4 April 2038 ended at the summer offset.
TEST(AgendaDatesZones, SouthernZonesKeepTheirFirstChangeAfterTheFilesTransitions) {
    ScopedEnvironment env;
    for (const auto& [zone, summer, winter] :
         {std::tuple{"America/Santiago", -3 * 3600, -4 * 3600},
          std::tuple{"Australia/Lord_Howe", 11 * 3600, 10 * 3600 + 1800},
          std::tuple{"Pacific/Chatham", 13 * 3600 + 2700, 12 * 3600 + 2700}}) {
        env.locale("en", zone);
        const Calendar calendar = AgendaDates::calendar();
        EXPECT_EQ(calendar.utcOffsetSeconds(at(calendar, 2038, 2, 1, 12)), summer) << zone;
        const Date weekEnd = AgendaDates::endOfWeek(at(calendar, 2038, 4, 1, 12), calendar);
        EXPECT_EQ(calendar.utcOffsetSeconds(weekEnd), winter) << zone;
        EXPECT_EQ(AgendaDates::string(weekEnd, "yyyy-MM-dd HH:mm", calendar), "2038-04-05 00:00")
            << zone;
    }
    // The rule alone, read from the middle of a summer.
    const auto rules = tz::parsePosixTZ("<-04>4<-03>,M9.1.6/24,M4.1.6/24", 2038, 2147483647);
    ASSERT_TRUE(rules);
    EXPECT_TRUE(rules->initial.isDst);
    ASSERT_FALSE(rules->transitions.empty());
    EXPECT_EQ(rules->transitions[0].start, 2153962800); // 2038-04-04 03:00 UTC
    EXPECT_EQ(rules->transitions[0].utcOffset, -4 * 3600);
}

TEST(AgendaDatesZones, ZoneFromTZIsReadAtEveryCall) {
    ScopedEnvironment env;
    env.locale("en", "Europe/Rome");
    const Date instant = dateFromSeconds(1782907200); // 2026-07-01 12:00 UTC
    EXPECT_EQ(AgendaDates::string(instant, "HH:mm", AgendaDates::calendar()), "14:00");
    env.set("TZ", "Asia/Tokyo");
    EXPECT_EQ(AgendaDates::string(instant, "HH:mm", AgendaDates::calendar()), "21:00");
    env.set("TZ", ":Asia/Kathmandu");
    EXPECT_EQ(AgendaDates::string(instant, "HH:mm", AgendaDates::calendar()), "17:45");
    env.set("TZ", "/usr/share/zoneinfo/America/New_York");
    EXPECT_EQ(AgendaDates::calendar().timeZoneId(), "America/New_York");
    EXPECT_EQ(AgendaDates::string(instant, "HH:mm", AgendaDates::calendar()), "08:00");
}

TEST(AgendaDatesZones, PosixStringsAndUnknownNames) {
    ScopedEnvironment env;
    env.locale("en", "<+0530>-5:30");
    EXPECT_EQ(AgendaDates::calendar().utcOffsetSeconds(dateFromSeconds(0)), 19800);
    env.set("TZ", "XYZ5ABC,M3.2.0,M11.1.0");
    const Calendar us = AgendaDates::calendar();
    EXPECT_EQ(us.utcOffsetSeconds(at(us, 2026, 7, 1)), -4 * 3600);
    EXPECT_EQ(us.utcOffsetSeconds(at(us, 2026, 12, 1)), -5 * 3600);
    // Nothing sensible to load: UTC rather than a crash.
    env.set("TZ", "../../etc/passwd");
    EXPECT_EQ(AgendaDates::calendar().utcOffsetSeconds(dateFromSeconds(0)), 0);
    env.set("TZ", "");
    EXPECT_EQ(AgendaDates::calendar().utcOffsetSeconds(dateFromSeconds(0)), 0);
}

TEST(TimeZoneData, RejectsTruncatedAndForeignFiles) {
    EXPECT_FALSE(tz::parseTZif(""));
    EXPECT_FALSE(tz::parseTZif("TZif2"));
    EXPECT_FALSE(tz::parseTZif(std::string(44, '\0')));
    EXPECT_FALSE(tz::parsePosixTZ("", 2026, 0));
    EXPECT_FALSE(tz::parsePosixTZ("AB1", 2026, 0)); // a name needs three letters
    EXPECT_FALSE(tz::parsePosixTZ("CET-1CEST,M13.5.0,M10.5.0/3", 2026, 0));
}

TEST(TimeZoneData, ARuleAfterATransitionAtAnyInstantStaysSmall) {
    // A zone file's footer starts after its last transition, which a hostile file puts anywhere.
    for (const int year :
         {std::numeric_limits<int>::min(), -100000000, 2026, std::numeric_limits<int>::max()}) {
        for (const char* rule : {"EST5EDT,0,365/5", "CET-1CEST,M3.5.0,M10.5.0/3"}) {
            const auto rules =
                tz::parsePosixTZ(rule, year, std::numeric_limits<std::int64_t>::min());
            ASSERT_TRUE(rules) << rule;
            EXPECT_LT(rules->transitions.size(), 1000u) << rule << " from " << year;
        }
    }
}

TEST(AgendaLanguageTest, FirstPreferredLanguageDecides) {
    ScopedEnvironment env;
    env.locale("it_CH", "UTC");
    EXPECT_TRUE(AgendaLanguage::isItalian());
    EXPECT_EQ(AgendaLanguage::text("Oggi", "Today"), "Oggi");
    env.set("LANGUAGE", "fr_FR:it_IT");
    EXPECT_FALSE(AgendaLanguage::isItalian());
    env.set("LANGUAGE", "");
    env.set("LC_ALL", "it_IT.UTF-8");
    EXPECT_TRUE(AgendaLanguage::isItalian());
    EXPECT_EQ(AgendaLanguage::preferredLanguages(), std::vector<std::string>{"it-IT"});
    env.set("LC_ALL", std::nullopt);
    env.set("LANG", "C.UTF-8");
    EXPECT_TRUE(AgendaLanguage::preferredLanguages().empty());
    EXPECT_FALSE(AgendaLanguage::isItalian());
    env.set("LANGUAGE", "C:it");
    EXPECT_TRUE(AgendaLanguage::isItalian());
}

TEST(AgendaLanguageTest, CalendarLocaleAndMonthNamesFollowTheLanguage) {
    ScopedEnvironment env;
    env.locale("en_GB", "Europe/Rome");
    Calendar c = AgendaDates::calendar();
    EXPECT_EQ(c.localeId(), "en_GB");
    const Date d = at(c, 2026, 9, 29, 9, 5);
    EXPECT_EQ(AgendaDates::string(d, "d MMM", c), "29 Sep");
    EXPECT_EQ(AgendaDates::string(d, "EEE d", c), "Tue 29");
    EXPECT_EQ(AgendaDates::string(d, "MMMM yyyy", c), "September 2026");
    env.set("LANGUAGE", "it");
    c = AgendaDates::calendar();
    EXPECT_EQ(c.localeId(), "it_IT");
    EXPECT_EQ(AgendaDates::string(d, "d MMM", c), "29 set");
    EXPECT_EQ(AgendaDates::string(d, "HH:mm", c), "09:05");
}

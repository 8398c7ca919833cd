// Times read the way iCalendar defines them: UNTIL, skipped and repeated local times, all-day
// days that start late, zones named the Windows way, POSIX TZ values, rules that take long.

#include "Brivane/calendar/ICalendarReader.h"
#include "CalendarTestSupport.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace brivane;
using namespace brivane::testing;

namespace {

std::string event(const std::string& lines, const std::string& uid = "e") {
    return calendarText("BEGIN:VEVENT\r\nUID:" + uid + "\r\nSUMMARY:Event\r\n" + lines +
                        "END:VEVENT\r\n");
}

std::vector<ical::EventOccurrence> read(const std::string& text, Date from, Date to,
                                        const std::string& zone = "Europe/Rome") {
    auto file = ical::CalendarFile::parse(text, "item.ics");
    EXPECT_FALSE(file->error()) << file->error()->english;
    std::vector<ical::EventOccurrence> out;
    file->events(from, to, ical::LocalZone(zone), out);
    return out;
}

std::vector<Date> starts(const std::vector<ical::EventOccurrence>& events) {
    std::vector<Date> out;
    for (const auto& e : events) {
        out.push_back(e.start);
    }
    return out;
}

} // namespace

// UNTIL is an instant when given in UTC, and the last occurrence at it is kept.
TEST(ICalendarTimes, UntilIsAnInclusiveInstant) {
    // East of UTC: 09:00 in Rome on the 10th is 08:00Z, exactly UNTIL.
    EXPECT_EQ(starts(read(event("DTSTART;TZID=Europe/Rome:20261208T090000\r\n"
                                "RRULE:FREQ=DAILY;UNTIL=20261210T080000Z\r\n"),
                          utc(2026, 12, 7), utc(2026, 12, 14))),
              (std::vector<Date>{utc(2026, 12, 8, 8), utc(2026, 12, 9, 8), utc(2026, 12, 10, 8)}));
    // West of UTC: 09:00 in New York on the 10th is 14:00Z, past UNTIL.
    EXPECT_EQ(starts(read(event("DTSTART;TZID=America/New_York:20261208T090000\r\n"
                                "RRULE:FREQ=DAILY;UNTIL=20261210T130000Z\r\n"),
                          utc(2026, 12, 7), utc(2026, 12, 14))),
              (std::vector<Date>{utc(2026, 12, 8, 14), utc(2026, 12, 9, 14)}));
    // A date UNTIL keeps its whole day; a floating one is a wall time.
    EXPECT_EQ(read(event("DTSTART;VALUE=DATE:20261208\r\nRRULE:FREQ=DAILY;UNTIL=20261210\r\n"),
                   utc(2026, 12, 7), utc(2026, 12, 14))
                  .size(),
              3u);
    EXPECT_EQ(read(event("DTSTART:20261208T090000\r\nRRULE:FREQ=DAILY;UNTIL=20261210T090000\r\n"),
                   utc(2026, 12, 7), utc(2026, 12, 14), "America/New_York")
                  .size(),
              3u);
}

// A time the clock skips moves forward by the gap; a time it repeats is the first one.
TEST(ICalendarTimes, SkippedAndRepeatedLocalTimes) {
    // New York, 8 March 2026: 02:00 EST becomes 03:00 EDT.
    auto events = read(event("DTSTART;TZID=America/New_York:20260308T023000\r\n"
                             "DTEND;TZID=America/New_York:20260308T030000\r\n"),
                       utc(2026, 3, 7), utc(2026, 3, 10));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].start, utc(2026, 3, 8, 7, 30)); // 03:30 EDT
    EXPECT_EQ(events[0].end, utc(2026, 3, 8, 8));       // 04:00 EDT
    // 1 November 2026: 01:30 happens twice; the first is EDT.
    EXPECT_EQ(starts(read(event("DTSTART;TZID=America/New_York:20261101T013000\r\n"),
                          utc(2026, 10, 31), utc(2026, 11, 3))),
              (std::vector<Date>{utc(2026, 11, 1, 5, 30)}));
    // A daily series through the gap keeps its length and its other days.
    events = read(event("DTSTART;TZID=America/New_York:20260306T023000\r\n"
                        "DTEND;TZID=America/New_York:20260306T033000\r\nRRULE:FREQ=DAILY\r\n"),
                  utc(2026, 3, 7), utc(2026, 3, 10));
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].start, utc(2026, 3, 7, 7, 30)); // 02:30 EST
    EXPECT_EQ(events[1].start, utc(2026, 3, 8, 7, 30)); // 03:30 EDT
    EXPECT_EQ(events[1].end, utc(2026, 3, 8, 8, 30));
    EXPECT_EQ(events[2].start, utc(2026, 3, 9, 6, 30)); // 02:30 EDT
    // Lord Howe moves by half an hour: 02:00 → 02:30 on 4 October, 02:00 → 01:30 on 5 April.
    EXPECT_EQ(starts(read(event("DTSTART;TZID=Australia/Lord_Howe:20261004T021500\r\n"),
                          utc(2026, 10, 2), utc(2026, 10, 5))),
              (std::vector<Date>{utc(2026, 10, 3, 15, 45)})); // 02:45 +11
    EXPECT_EQ(starts(read(event("DTSTART;TZID=Australia/Lord_Howe:20260405T014500\r\n"),
                          utc(2026, 4, 3), utc(2026, 4, 6))),
              (std::vector<Date>{utc(2026, 4, 4, 14, 45)})); // the first 01:45, +11
    // Chatham: 02:45 → 03:45 on 27 September, 03:45 → 02:45 on 5 April.
    EXPECT_EQ(starts(read(event("DTSTART;TZID=Pacific/Chatham:20260927T030000\r\n"),
                          utc(2026, 9, 25), utc(2026, 9, 28))),
              (std::vector<Date>{utc(2026, 9, 26, 14, 15)})); // 04:00 +13:45
    EXPECT_EQ(starts(read(event("DTSTART;TZID=Pacific/Chatham:20260405T030000\r\n"),
                          utc(2026, 4, 3), utc(2026, 4, 6))),
              (std::vector<Date>{utc(2026, 4, 4, 13, 15)})); // the first 03:00, +13:45
}

// Santiago skips midnight on 6 September 2026: that day starts at 01:00.
TEST(ICalendarTimes, AllDayEventStartsWhenItsDayStarts) {
    const auto events = read(event("DTSTART;VALUE=DATE:20260906\r\n"), utc(2026, 9, 4),
                             utc(2026, 9, 9), "America/Santiago");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].start, utc(2026, 9, 6, 4)); // 01:00 -03
    EXPECT_EQ(events[0].end, utc(2026, 9, 7, 3));   // midnight -03
    EXPECT_TRUE(events[0].allDay);
}

// Outlook writes Windows zone names, at times without the VTIMEZONE that defines them.
TEST(ICalendarTimes, WindowsZoneNamesAndLooseTzids) {
    const Date from = utc(2026, 12, 7);
    const Date to = utc(2026, 12, 14);
    EXPECT_EQ(
        starts(read(event("DTSTART;TZID=Eastern Standard Time:20261208T090000\r\n"), from, to)),
        (std::vector<Date>{utc(2026, 12, 8, 14)}));
    EXPECT_EQ(starts(read(event("DTSTART;TZID=\"Pacific Standard Time:\":20261208T090000\r\n"),
                          from, to)),
              (std::vector<Date>{utc(2026, 12, 8, 17)}));
    // Hand-written files get the letter case wrong.
    EXPECT_EQ(starts(read(event("DTSTART;TZID=america/new_york:20261208T090000\r\n"), from, to)),
              (std::vector<Date>{utc(2026, 12, 8, 14)}));
    // The file's own definition of a Windows name comes first (here a made-up +05:00).
    const std::string own = "BEGIN:VTIMEZONE\r\nTZID:Eastern Standard Time\r\nBEGIN:STANDARD\r\n"
                            "DTSTART:19700101T000000\r\nTZOFFSETFROM:+0500\r\nTZOFFSETTO:+0500\r\n"
                            "END:STANDARD\r\nEND:VTIMEZONE\r\n";
    const auto text = calendarText(own + "BEGIN:VEVENT\r\nUID:o\r\n"
                                         "DTSTART;TZID=Eastern Standard Time:20261208T090000\r\n"
                                         "END:VEVENT\r\n");
    EXPECT_EQ(starts(read(text, from, to)), (std::vector<Date>{utc(2026, 12, 8, 4)}));
}

// TZ=CET-1CEST,M3.5.0,M10.5.0/3: floating times and all-day days follow the C library's rules.
TEST(ICalendarTimes, PosixTzValueIsTheLocalZone) {
    const std::string posix = "CET-1CEST,M3.5.0,M10.5.0/3";
    EXPECT_EQ(starts(read(event("DTSTART:20261208T090000\r\n"), utc(2026, 12, 7), utc(2026, 12, 14),
                          posix)),
              (std::vector<Date>{utc(2026, 12, 8, 8)}));
    EXPECT_EQ(starts(read(event("DTSTART;VALUE=DATE:20260701\r\n"), utc(2026, 6, 29),
                          utc(2026, 7, 3), posix)),
              (std::vector<Date>{utc(2026, 6, 30, 22)}));
}

// Rules that repeat every second, minute or hour on some days only: libical walks every unit
// in between, for minutes or for ever. DTSTART counts as the first occurrence.
TEST(ICalendarTimes, SubDailyRulesOnSomeDaysFinish) {
    // 30 February never comes: only DTSTART.
    EXPECT_EQ(starts(read(event("DTSTART:20261201T090000Z\r\n"
                                "RRULE:FREQ=MINUTELY;BYMONTH=2;BYMONTHDAY=30\r\n"),
                          utc(2026, 11, 30), utc(2027, 3, 31))),
              (std::vector<Date>{utc(2026, 12, 1, 9)}));
    EXPECT_EQ(starts(read(event("DTSTART:20261202T090000Z\r\n"
                                "RRULE:FREQ=MINUTELY;COUNT=4;BYYEARDAY=-365,-266,-166,-1\r\n"),
                          utc(2026, 12, 1), utc(2027, 1, 10))),
              (std::vector<Date>{utc(2026, 12, 2, 9), utc(2026, 12, 31), utc(2026, 12, 31, 0, 1),
                                 utc(2026, 12, 31, 0, 2)}));
    auto events =
        read(event("DTSTART:20261215T100000Z\r\nRRULE:FREQ=SECONDLY;COUNT=3;BYMONTH=1\r\n"),
             utc(2026, 12, 1), utc(2027, 2, 1));
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[2].start, utc(2027, 1, 1) + std::chrono::seconds(1));
    // Every 90 minutes on Mondays from 08:15 (Rome), with BYHOUR limiting and a week between.
    EXPECT_EQ(starts(read(event("DTSTART;TZID=Europe/Rome:20261207T081500\r\n"
                                "RRULE:FREQ=MINUTELY;INTERVAL=90;BYDAY=MO;BYHOUR=8,9,11,14\r\n"),
                          utc(2026, 12, 13), utc(2026, 12, 15))),
              (std::vector<Date>{utc(2026, 12, 14, 7, 15), utc(2026, 12, 14, 8, 45),
                                 utc(2026, 12, 14, 10, 15), utc(2026, 12, 14, 13, 15)}));
}

// Work past one event's share is skipped, and the event is named.
TEST(ICalendarTimes, RecurrenceCutShortIsNamed) {
    const auto text = calendarText(
        "BEGIN:VEVENT\r\nUID:busy\r\nSUMMARY:Every second\r\nDTSTART:20261207T000000Z\r\n"
        "RRULE:FREQ=SECONDLY;BYDAY=MO;BYHOUR=23\r\nEND:VEVENT\r\n"
        "BEGIN:VEVENT\r\nUID:calm\r\nSUMMARY:Weekly\r\nDTSTART:20261207T090000Z\r\n"
        "RRULE:FREQ=WEEKLY\r\nEND:VEVENT\r\n");
    auto file = ical::CalendarFile::parse(text, "item.ics");
    std::vector<ical::EventOccurrence> out;
    file->events(utc(2026, 12, 7), utc(2026, 12, 14), ical::LocalZone("UTC"), out);
    EXPECT_EQ(file->cutShortEvents(), (std::vector<std::string>{"Every second"}));
    EXPECT_EQ(
        std::count_if(out.begin(), out.end(), [](const auto& e) { return e.title == "Weekly"; }),
        1);
}

// A feed that appends a line after END:VCALENDAR.
TEST(ICalendarTimes, TextAfterTheCalendarIsIgnored) {
    const std::string text = event("DTSTART:20261208T090000Z\r\n") +
                             "X-COMMENT:Cached from https://example.org/feed.ics\r\n";
    auto file = ical::CalendarFile::parse(text, "feed.ics");
    ASSERT_FALSE(file->error());
    EXPECT_TRUE(file->hasTrailer());
    EXPECT_EQ(file->eventCount(), 1u);
    EXPECT_FALSE(
        ical::CalendarFile::parse(event("DTSTART:20261208T090000Z\r\n"), "f")->hasTrailer());
    // Without any END:VCALENDAR the file is still cut.
    EXPECT_TRUE(ical::CalendarFile::parse("BEGIN:VCALENDAR\r\nBEGIN:VEVENT\r\n", "f")->error());
}

// An RDATE given as a PERIOD has its own length; an event repeated in a file counts once, in its
// later revision.
TEST(ICalendarTimes, PeriodsAndRepeatedEvents) {
    auto events = read(event("DTSTART:20261207T090000Z\r\nDTEND:20261207T100000Z\r\n"
                             "RDATE;VALUE=PERIOD:20261209T150000Z/20261209T180000Z,"
                             "20261210T080000Z/PT15M\r\n"),
                       utc(2026, 12, 7), utc(2026, 12, 14));
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].end, utc(2026, 12, 7, 10));
    EXPECT_EQ(events[1].end, utc(2026, 12, 9, 18));
    EXPECT_EQ(events[2].end, utc(2026, 12, 10, 8, 15));
    const auto twice = calendarText(
        "BEGIN:VEVENT\r\nUID:same\r\nSEQUENCE:2\r\nSUMMARY:Moved\r\nDTSTART:20261209T090000Z\r\n"
        "END:VEVENT\r\nBEGIN:VEVENT\r\nUID:same\r\nSEQUENCE:1\r\nSUMMARY:Old\r\n"
        "DTSTART:20261208T090000Z\r\nEND:VEVENT\r\n"
        "BEGIN:VEVENT\r\nUID:copy\r\nSUMMARY:Copy\r\nDTSTART:20261210T090000Z\r\nEND:VEVENT\r\n"
        "BEGIN:VEVENT\r\nUID:copy\r\nSUMMARY:Copy\r\nDTSTART:20261210T090000Z\r\nEND:VEVENT\r\n");
    events = read(twice, utc(2026, 12, 7), utc(2026, 12, 14));
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].title, "Moved");
    EXPECT_EQ(events[1].title, "Copy");
}

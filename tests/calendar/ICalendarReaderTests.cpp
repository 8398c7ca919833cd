#include "Brivane/calendar/ICalendarReader.h"
#include "CalendarTestSupport.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <gtest/gtest.h>
#include <malloc.h>
#include <map>

using namespace brivane;
using namespace std::chrono;

namespace {

// An instant given in UTC.
Date utc(int y, unsigned mo, unsigned d, int h = 0, int mi = 0) {
    return Date{sys_days{year{y} / month{mo} / day{d}} + hours{h} + minutes{mi}};
}

std::string calendar(const std::string& body) {
    return "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//test//EN\r\n" + body + "END:VCALENDAR\r\n";
}

std::vector<ical::EventOccurrence> eventsIn(const std::string& text, Date from, Date to,
                                            const char* zone = "Europe/Rome") {
    auto file = ical::CalendarFile::parse(text, "item.ics");
    EXPECT_FALSE(file->error()) << file->error()->english;
    std::vector<ical::EventOccurrence> out;
    file->events(from, to, ical::LocalZone(zone), out);
    return out;
}

std::vector<ical::TaskRecord> tasksIn(const std::string& text, const char* zone = "Europe/Rome") {
    auto file = ical::CalendarFile::parse(text, "tasks.ics");
    EXPECT_FALSE(file->error()) << file->error()->english;
    std::vector<ical::TaskRecord> out;
    file->incompleteTasks(ical::LocalZone(zone), out);
    return out;
}

} // namespace

// Europe/Rome moves to summer time on 29 March 2026: 09:00 local is 08:00Z before, 07:00Z after.
TEST(ICalendarReader, DailyEventKeepsItsWallTimeAcrossDaylightSaving) {
    const auto text = calendar("BEGIN:VEVENT\r\nUID:daily-1\r\nSUMMARY:Standup\r\n"
                               "DTSTART;TZID=Europe/Rome:20260301T090000\r\n"
                               "DTEND;TZID=Europe/Rome:20260301T093000\r\n"
                               "RRULE:FREQ=DAILY\r\nEND:VEVENT\r\n");
    const auto events = eventsIn(text, utc(2026, 3, 27, 23), utc(2026, 3, 30, 22));
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].start, utc(2026, 3, 28, 8));
    EXPECT_EQ(events[1].start, utc(2026, 3, 29, 7));
    EXPECT_EQ(events[1].end, utc(2026, 3, 29, 7, 30));
    EXPECT_EQ(events[2].start, utc(2026, 3, 30, 7));
    EXPECT_EQ(events[0].eventIdentifier, "daily-1");
    EXPECT_EQ(events[0].title, "Standup");
    EXPECT_FALSE(events[0].allDay);
}

TEST(ICalendarReader, ExceptionsOverridesAndCancelledInstances) {
    const auto text = calendar(
        "BEGIN:VEVENT\r\nUID:weekly\r\nSUMMARY:Review\r\n"
        "DTSTART;TZID=Europe/Rome:20261102T100000\r\nDTEND;TZID=Europe/Rome:20261102T110000\r\n"
        "RRULE:FREQ=DAILY;COUNT=30\r\nEXDATE;TZID=Europe/Rome:20261208T100000\r\n"
        "RDATE;TZID=Europe/Rome:20261212T180000\r\nEND:VEVENT\r\n"
        // Moved from Wednesday 10:00 to 15:00 with a new title.
        "BEGIN:VEVENT\r\nUID:weekly\r\nRECURRENCE-ID;TZID=Europe/Rome:20261209T100000\r\n"
        "SUMMARY:Review (moved)\r\nDTSTART;TZID=Europe/Rome:20261209T150000\r\n"
        "DTEND;TZID=Europe/Rome:20261209T160000\r\nEND:VEVENT\r\n"
        // Thursday's instance is cancelled (given in UTC).
        "BEGIN:VEVENT\r\nUID:weekly\r\nRECURRENCE-ID:20261210T090000Z\r\nSTATUS:CANCELLED\r\n"
        "SUMMARY:Review\r\nDTSTART;TZID=Europe/Rome:20261210T100000\r\n"
        "DTEND;TZID=Europe/Rome:20261210T110000\r\nEND:VEVENT\r\n");
    // Monday 7 to Sunday 13 December (local).
    const auto events = eventsIn(text, utc(2026, 12, 6, 23), utc(2026, 12, 13, 23));
    std::vector<std::pair<Date, std::string>> seen;
    for (const auto& e : events) {
        seen.emplace_back(e.start, e.title + (e.cancelled ? " [cancelled]" : ""));
    }
    std::sort(seen.begin(), seen.end());
    // COUNT=30 from 2 November ends on 1 December: only the RDATE and the overrides remain.
    const std::vector<std::pair<Date, std::string>> expected{
        {utc(2026, 12, 9, 14), "Review (moved)"},
        {utc(2026, 12, 10, 9), "Review [cancelled]"},
        {utc(2026, 12, 12, 17), "Review"},
    };
    EXPECT_EQ(seen, expected);

    // Without COUNT the series runs on: Tuesday is excluded, Wednesday and Thursday replaced.
    std::string open = text;
    open.replace(open.find("FREQ=DAILY;COUNT=30"), 19, "FREQ=DAILY");
    seen.clear();
    for (const auto& e : eventsIn(open, utc(2026, 12, 6, 23), utc(2026, 12, 13, 23))) {
        seen.emplace_back(e.start, e.title + (e.cancelled ? " [cancelled]" : ""));
    }
    std::sort(seen.begin(), seen.end());
    const std::vector<std::pair<Date, std::string>> expectedOpen{
        {utc(2026, 12, 7, 9), "Review"},
        {utc(2026, 12, 9, 14), "Review (moved)"},
        {utc(2026, 12, 10, 9), "Review [cancelled]"},
        {utc(2026, 12, 11, 9), "Review"},
        {utc(2026, 12, 12, 9), "Review"},
        {utc(2026, 12, 12, 17), "Review"},
        {utc(2026, 12, 13, 9), "Review"},
    };
    EXPECT_EQ(seen, expectedOpen);
}

TEST(ICalendarReader, AllDayAndMultiDayEvents) {
    const auto text = calendar(
        // One day: only DTSTART.
        "BEGIN:VEVENT\r\nUID:a\r\nSUMMARY:Holiday\r\nDTSTART;VALUE=DATE:20261208\r\nEND:VEVENT\r\n"
        // Three days, DTEND exclusive, started before the window.
        "BEGIN:VEVENT\r\nUID:b\r\nSUMMARY:Trip\r\nDTSTART;VALUE=DATE:20261205\r\n"
        "DTEND;VALUE=DATE:20261208\r\nEND:VEVENT\r\n"
        // Two days by DURATION.
        "BEGIN:VEVENT\r\nUID:c\r\nSUMMARY:Fair\r\nDTSTART;VALUE=DATE:20261210\r\n"
        "DURATION:P2D\r\nEND:VEVENT\r\n"
        // Ended the day before the window: not returned.
        "BEGIN:VEVENT\r\nUID:d\r\nSUMMARY:Past\r\nDTSTART;VALUE=DATE:20261205\r\n"
        "DTEND;VALUE=DATE:20261207\r\nEND:VEVENT\r\n"
        // A yearly birthday.
        "BEGIN:VEVENT\r\nUID:e\r\nSUMMARY:Birthday\r\nDTSTART;VALUE=DATE:19800209\r\n"
        "RRULE:FREQ=YEARLY;BYMONTH=12;BYMONTHDAY=11\r\nEND:VEVENT\r\n");
    const auto events = eventsIn(text, utc(2026, 12, 6, 23), utc(2026, 12, 13, 23));
    std::map<std::string, ical::EventOccurrence> byUid;
    for (const auto& e : events) {
        EXPECT_TRUE(e.allDay);
        byUid.emplace(e.eventIdentifier, e);
    }
    ASSERT_EQ(byUid.size(), 4u);
    EXPECT_EQ(byUid["a"].start, utc(2026, 12, 7, 23));
    EXPECT_EQ(byUid["a"].end, utc(2026, 12, 8, 23));
    EXPECT_EQ(byUid["b"].start, utc(2026, 12, 4, 23));
    EXPECT_EQ(byUid["b"].end, utc(2026, 12, 7, 23));
    EXPECT_EQ(byUid["c"].end, utc(2026, 12, 11, 23));
    EXPECT_EQ(byUid["e"].start, utc(2026, 12, 10, 23));
    EXPECT_EQ(byUid.count("d"), 0u);

    // All-day events follow the local zone: the same file read in New York.
    const auto ny = eventsIn(text, utc(2026, 12, 7, 5), utc(2026, 12, 9, 5), "America/New_York");
    const auto holiday =
        std::find_if(ny.begin(), ny.end(), [](const auto& e) { return e.eventIdentifier == "a"; });
    ASSERT_NE(holiday, ny.end());
    EXPECT_EQ(holiday->start, utc(2026, 12, 8, 5));
}

TEST(ICalendarReader, TimeZonesFloatingUtcAndFileZones) {
    const auto text = calendar(
        "BEGIN:VTIMEZONE\r\nTZID:W. Europe Standard Time\r\n"
        "BEGIN:STANDARD\r\nDTSTART:16010101T030000\r\nTZOFFSETFROM:+0200\r\nTZOFFSETTO:+0100\r\n"
        "RRULE:FREQ=YEARLY;BYDAY=-1SU;BYMONTH=10\r\nEND:STANDARD\r\n"
        "BEGIN:DAYLIGHT\r\nDTSTART:16010101T020000\r\nTZOFFSETFROM:+0100\r\nTZOFFSETTO:+0200\r\n"
        "RRULE:FREQ=YEARLY;BYDAY=-1SU;BYMONTH=3\r\nEND:DAYLIGHT\r\nEND:VTIMEZONE\r\n"
        // A stale VTIMEZONE under an IANA name: the system rules win (no DST in it here).
        "BEGIN:VTIMEZONE\r\nTZID:America/New_York\r\nBEGIN:STANDARD\r\nDTSTART:19700101T000000\r\n"
        "TZOFFSETFROM:-0300\r\nTZOFFSETTO:-0300\r\nEND:STANDARD\r\nEND:VTIMEZONE\r\n"
        "BEGIN:VEVENT\r\nUID:outlook\r\nDTSTART;TZID=W. Europe Standard Time:20260330T100000\r\n"
        "DTEND;TZID=W. Europe Standard Time:20260330T110000\r\nEND:VEVENT\r\n"
        "BEGIN:VEVENT\r\nUID:ny\r\nDTSTART;TZID=America/New_York:20260330T100000\r\n"
        "DURATION:PT45M\r\nEND:VEVENT\r\n"
        "BEGIN:VEVENT\r\nUID:prefixed\r\n"
        "DTSTART;TZID=/freeassociation.sourceforge.net/Tzfile/Asia/Tokyo:20260330T100000\r\n"
        "END:VEVENT\r\n"
        "BEGIN:VEVENT\r\nUID:utc\r\nDTSTART:20260330T100000Z\r\nDTEND:20260330T120000Z\r\nEND:"
        "VEVENT\r\n"
        "BEGIN:VEVENT\r\nUID:floating\r\nDTSTART:20260330T100000\r\nDTEND:20260330T103000\r\n"
        "END:VEVENT\r\n"
        "BEGIN:VEVENT\r\nUID:unknown\r\nDTSTART;TZID=Mars/"
        "Olympus:20260330T100000\r\nEND:VEVENT\r\n");
    std::map<std::string, ical::EventOccurrence> byUid;
    for (const auto& e : eventsIn(text, utc(2026, 3, 29), utc(2026, 4, 1))) {
        byUid.emplace(e.eventIdentifier, e);
    }
    ASSERT_EQ(byUid.size(), 6u);
    EXPECT_EQ(byUid["outlook"].start, utc(2026, 3, 30, 8));
    EXPECT_EQ(byUid["ny"].start, utc(2026, 3, 30, 14));
    EXPECT_EQ(byUid["ny"].end, utc(2026, 3, 30, 14, 45));
    EXPECT_EQ(byUid["prefixed"].start, utc(2026, 3, 30, 1));
    EXPECT_EQ(byUid["prefixed"].end, byUid["prefixed"].start);
    EXPECT_EQ(byUid["utc"].start, utc(2026, 3, 30, 10));
    EXPECT_EQ(byUid["floating"].start, utc(2026, 3, 30, 8));
    EXPECT_EQ(byUid["unknown"].start, utc(2026, 3, 30, 8)); // unknown zone: floating
}

// libical walks an observance's rule from its start to the year asked for: an hourly rule from
// 1601 took it minutes per file. Zones change yearly; a zone that does not is not used.
TEST(ICalendarReader, AZoneThatChangesEveryHourIsNotUsed) {
    const auto text = calendar(
        "BEGIN:VTIMEZONE\r\nTZID:Custom\r\n"
        "BEGIN:STANDARD\r\nDTSTART:16010101T030000\r\nTZOFFSETFROM:+0200\r\nTZOFFSETTO:+0500\r\n"
        "RRULE:FREQ=HOURLY;BYDAY=-1SU;BYMONTH=10\r\nEND:STANDARD\r\nEND:VTIMEZONE\r\n"
        "BEGIN:VEVENT\r\nUID:b\r\nDTSTART;TZID=Custom:20261025T100000\r\n"
        "DTEND;TZID=Custom:20261025T110000\r\nEND:VEVENT\r\n");
    const auto events = eventsIn(text, utc(2026, 10, 24), utc(2026, 10, 27));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].start, utc(2026, 10, 25, 9)); // floating, read in Rome (+01:00)
}

TEST(ICalendarReader, OverlappingTimedEventsAndNominalDays) {
    const auto text = calendar(
        // From 22:00 the evening before the window to 02:00 inside it.
        "BEGIN:VEVENT\r\nUID:night\r\nDTSTART;TZID=Europe/Rome:20261206T220000\r\n"
        "DTEND;TZID=Europe/Rome:20261207T020000\r\nEND:VEVENT\r\n"
        // A weekly evening event that crosses midnight into the window.
        "BEGIN:VEVENT\r\nUID:weekly-night\r\nDTSTART;TZID=Europe/Rome:20261129T230000\r\n"
        "DURATION:PT3H\r\nRRULE:FREQ=WEEKLY\r\nEND:VEVENT\r\n"
        // P1D across the DST change is a calendar day: 09:00 to 09:00 local.
        "BEGIN:VEVENT\r\nUID:day\r\nDTSTART;TZID=Europe/Rome:20261024T090000\r\n"
        "DURATION:P1D\r\nEND:VEVENT\r\n");
    const auto events = eventsIn(text, utc(2026, 12, 6, 23), utc(2026, 12, 13, 23));
    std::map<std::string, ical::EventOccurrence> byUid;
    for (const auto& e : events) {
        byUid.emplace(e.eventIdentifier, e);
    }
    ASSERT_EQ(events.size(), 3u); // the weekly one also on Sunday the 13th
    EXPECT_EQ(byUid["night"].start, utc(2026, 12, 6, 21));
    EXPECT_EQ(byUid["weekly-night"].start, utc(2026, 12, 6, 22));
    EXPECT_EQ(byUid["weekly-night"].end, utc(2026, 12, 7, 1));

    const auto autumn = eventsIn(text, utc(2026, 10, 24), utc(2026, 10, 26));
    ASSERT_EQ(autumn.size(), 1u);
    EXPECT_EQ(autumn[0].start, utc(2026, 10, 24, 7));
    EXPECT_EQ(autumn[0].end, utc(2026, 10, 25, 8));
}

TEST(ICalendarReader, RecurrenceExpansionIsBounded) {
    const auto text = calendar(
        "BEGIN:VEVENT\r\nUID:secondly\r\nDTSTART:19700101T000000Z\r\nRRULE:FREQ=SECONDLY\r\n"
        "END:VEVENT\r\n"
        "BEGIN:VEVENT\r\nUID:counted\r\nDTSTART:19700101T000000Z\r\n"
        "RRULE:FREQ=MINUTELY;COUNT=100000000\r\nEND:VEVENT\r\n"
        "BEGIN:VEVENT\r\nUID:never\r\nDTSTART;VALUE=DATE:20260101\r\n"
        "RRULE:FREQ=YEARLY;BYMONTH=2;BYMONTHDAY=30\r\nEND:VEVENT\r\n");
    const auto started = steady_clock::now();
    const auto events = eventsIn(text, utc(2026, 12, 7), utc(2026, 12, 14));
    const auto secondly = std::count_if(events.begin(), events.end(), [](const auto& e) {
        return e.eventIdentifier == "secondly";
    });
    EXPECT_EQ(secondly, ical::maxOccurrencesPerWindow);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events[0].start, utc(2026, 12, 7));
    // COUNT makes the rule start from 1970: the step cap stops it long before 2026.
    EXPECT_EQ(std::count_if(events.begin(), events.end(),
                            [](const auto& e) { return e.eventIdentifier == "counted"; }),
              0);
    EXPECT_LT(steady_clock::now() - started,
              seconds(5)); // a guard against hanging, not a benchmark
}

TEST(ICalendarReader, FarFutureDatesKeepTheZonesRules) {
    // Past libical's own coverage the conversion goes through an equivalent earlier year.
    const auto text =
        calendar("BEGIN:VEVENT\r\nUID:far\r\nDTSTART;TZID=Europe/Rome:28260701T120000\r\n"
                 "DTEND;TZID=Europe/Rome:28260101T120000\r\nEND:VEVENT\r\n"
                 "BEGIN:VEVENT\r\nUID:long\r\nDTSTART;TZID=Europe/Rome:20261207T090000\r\n"
                 "DTEND;TZID=Europe/Rome:26000101T000000\r\nRRULE:FREQ=DAILY\r\n"
                 "END:VEVENT\r\n");
    auto far = eventsIn(text, utc(2826, 6, 30), utc(2826, 7, 2));
    std::erase_if(far, [](const auto& e) { return e.eventIdentifier != "far"; });
    ASSERT_EQ(far.size(), 1u);
    EXPECT_EQ(far[0].start, utc(2826, 7, 1, 10));
    EXPECT_EQ(far[0].end, far[0].start); // an end before the start counts as none
    // Occurrences lasting centuries: every one since the first reaches into the window.
    const auto started = steady_clock::now();
    const auto week = eventsIn(text, utc(2026, 12, 14), utc(2026, 12, 21));
    EXPECT_EQ(week.size(), 14u);
    EXPECT_LT(steady_clock::now() - started, seconds(2));
}

TEST(ICalendarReader, IncompleteTasksOfEveryKind) {
    const auto text = calendar(
        "BEGIN:VTODO\r\nUID:t-date\r\nSUMMARY:Pay rent\r\nDUE;VALUE=DATE:20261208\r\n"
        "PRIORITY:1\r\nEND:VTODO\r\n"
        "BEGIN:VTODO\r\nUID:t-time\r\nSUMMARY:Call\r\nDUE;TZID=America/New_York:20261208T090000\r\n"
        "END:VTODO\r\n"
        "BEGIN:VTODO\r\nUID:t-none\r\nSUMMARY:Someday\r\nSTATUS:IN-PROCESS\r\n"
        "PERCENT-COMPLETE:40\r\nEND:VTODO\r\n"
        "BEGIN:VTODO\r\nUID:t-untitled\r\nDTSTART;TZID=Europe/Rome:20261208T100000\r\n"
        "DURATION:PT2H\r\nEND:VTODO\r\n"
        "BEGIN:VTODO\r\nUID:done-1\r\nSUMMARY:x\r\nCOMPLETED:20261201T100000Z\r\nEND:VTODO\r\n"
        "BEGIN:VTODO\r\nUID:done-2\r\nSUMMARY:x\r\nSTATUS:COMPLETED\r\nEND:VTODO\r\n"
        "BEGIN:VTODO\r\nUID:done-3\r\nSUMMARY:x\r\nSTATUS:CANCELLED\r\nEND:VTODO\r\n"
        "BEGIN:VTODO\r\nUID:done-4\r\nSUMMARY:x\r\nPERCENT-COMPLETE:100\r\nEND:VTODO\r\n"
        "BEGIN:VTODO\r\nUID:rec\r\nSUMMARY:Water plants\r\nDUE;VALUE=DATE:20261207\r\n"
        "RRULE:FREQ=WEEKLY\r\nEND:VTODO\r\n"
        "BEGIN:VTODO\r\nUID:rec\r\nRECURRENCE-ID;VALUE=DATE:20261214\r\nSUMMARY:Water plants\r\n"
        "DUE;VALUE=DATE:20261215\r\nEND:VTODO\r\n"
        "BEGIN:VTODO\r\nSUMMARY:No uid\r\nEND:VTODO\r\n"
        "BEGIN:VEVENT\r\nUID:ev\r\nDTSTART:20261208T100000Z\r\nEND:VEVENT\r\n");
    const auto tasks = tasksIn(text);
    std::map<std::string, ical::TaskRecord> byId;
    for (const auto& t : tasks) {
        byId.emplace(t.identifier, t);
    }
    ASSERT_EQ(tasks.size(), 6u);
    EXPECT_EQ(byId["t-date"].due, utc(2026, 12, 7, 23));
    EXPECT_FALSE(byId["t-date"].hasTime);
    EXPECT_EQ(byId["t-date"].priority, 1);
    EXPECT_EQ(byId["t-time"].due, utc(2026, 12, 8, 14));
    EXPECT_TRUE(byId["t-time"].hasTime);
    EXPECT_FALSE(byId["t-none"].due);
    EXPECT_EQ(byId["t-untitled"].title, "");
    EXPECT_EQ(byId["t-untitled"].due, utc(2026, 12, 8, 11));
    EXPECT_EQ(byId["rec"].due, utc(2026, 12, 6, 23));
    EXPECT_EQ(byId["tasks.ics#11"].title, "No uid");
    // Order is file order.
    EXPECT_EQ(tasks.front().identifier, "t-date");
}

TEST(ICalendarReader, BadFilesAreRejectedWithAReason) {
    const auto problem = [](std::string_view bytes) {
        auto file = ical::CalendarFile::parse(bytes, "bad.ics");
        EXPECT_EQ(file->eventCount() + file->taskCount(), 0u);
        return file->error() ? file->error()->english : std::string("none");
    };
    const std::string good = calendar("BEGIN:VEVENT\r\nUID:x\r\nDTSTART:20261208T100000Z\r\n"
                                      "END:VEVENT\r\n");
    EXPECT_EQ(problem(std::string("BEGIN:VCALENDAR\r\n\0\x01\x02", 20)),
              "binary file, not iCalendar");
    EXPECT_EQ(problem("BEGIN:VCALENDAR\r\nSUMMARY:caf\xE9\r\nEND:VCALENDAR\r\n"),
              "the text is not UTF-8");
    EXPECT_EQ(problem("BEGIN:VCARD\r\nFN:Someone\r\nEND:VCARD\r\n"), "not an iCalendar file");
    EXPECT_EQ(problem(good.substr(0, good.size() / 2)), "truncated file (END:VCALENDAR missing)");
    EXPECT_EQ(problem(std::string(ical::maxFileBytes + 1, 'x')), "file too large (over 20 MB)");
    EXPECT_EQ(problem(""), "not an iCalendar file");

    // A BOM and an event without a start: the file loads, the item is skipped and counted.
    auto file = ical::CalendarFile::parse(
        "\xEF\xBB\xBF" + calendar("BEGIN:VEVENT\r\nUID:nostart\r\nSUMMARY:?\r\nEND:VEVENT\r\n"
                                  "BEGIN:VEVENT\r\nUID:ok\r\nSUMMARY:Caff\xC3\xA8\r\n"
                                  "DTSTART:20261208T100000Z\r\nEND:VEVENT\r\n"),
        "mixed.ics");
    EXPECT_FALSE(file->error());
    EXPECT_EQ(file->skippedItems(), 1);
    std::vector<ical::EventOccurrence> out;
    file->events(utc(2026, 12, 7), utc(2026, 12, 14), ical::LocalZone("UTC"), out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].title, "Caff\xC3\xA8");
}

TEST(ICalendarReader, SeveralCalendarsInOneFileAndItemsWithoutUid) {
    const std::string text =
        calendar("BEGIN:VEVENT\r\nSUMMARY:first\r\nDTSTART:20261208T100000Z\r\nEND:VEVENT\r\n") +
        calendar("BEGIN:VEVENT\r\nSUMMARY:second\r\nDTSTART:20261209T100000Z\r\nEND:VEVENT\r\n");
    const auto events = eventsIn(text, utc(2026, 12, 7), utc(2026, 12, 14));
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].eventIdentifier, "");
    EXPECT_EQ(events[0].itemIdentifier, "item.ics#1");
    EXPECT_EQ(events[1].itemIdentifier, "item.ics#2");
}

TEST(ICalendarReader, Utf8Validation) {
    EXPECT_TRUE(ical::isValidUtf8("plain \xC3\xA8 \xE2\x82\xAC \xF0\x9F\x98\x80"));
    EXPECT_FALSE(ical::isValidUtf8("\xC0\xAF"));         // overlong
    EXPECT_FALSE(ical::isValidUtf8("\xED\xA0\x80"));     // surrogate
    EXPECT_FALSE(ical::isValidUtf8("\xF4\x90\x80\x80")); // past U+10FFFF
    EXPECT_FALSE(ical::isValidUtf8("\xE2\x82"));         // cut short
}

// libical's tree of a file takes some 30 times the file's size; one recurring event used to
// keep all of it. The parsed file keeps a compact copy instead.
TEST(ICalendarReader, LargeFileKeepsACompactCopy) {
    constexpr int count = 20000; // 4 MB; a fifth of the largest file the store reads
    std::string text = brivane::testing::manyEvents(count);
#ifndef __SANITIZE_ADDRESS__
    const std::size_t before = mallinfo2().uordblks;
#endif
    auto file = ical::CalendarFile::parse(text, "large.ics");
    ASSERT_FALSE(file->error());
    EXPECT_EQ(file->eventCount(), static_cast<std::size_t>(count));
    // Under 30 MB for 100,000 events, so under 6 MB for a fifth of them; measured ~1 MB.
    EXPECT_LT(file->keptBytes(), 6u * 1024 * 1024);
#ifndef __SANITIZE_ADDRESS__
    // The heap agrees (the sanitizers keep their own).
    EXPECT_LT(mallinfo2().uordblks - before, 6u * 1024 * 1024);
#endif
    text.clear();

    // The copy still expands the recurring event and finds the week's single events.
    std::vector<ical::EventOccurrence> week;
    file->events(utc(2026, 12, 7), utc(2026, 12, 14), ical::LocalZone("Europe/Rome"), week);
    const auto weekly = std::count_if(week.begin(), week.end(), [](const auto& e) {
        return e.eventIdentifier == "00010000-5a7d-4c61-9a58@example.org";
    });
    EXPECT_EQ(weekly, 1); // Monday the 7th; the series starts on Saturday the 5th
    EXPECT_EQ(week.size(), 1u + std::size_t(count) * 7 / 28);
}

TEST(ICalendarReader, ItemsPastTheLimitAreLeftOutAndCounted) {
    std::string body;
    body.reserve((ical::maxItemsPerFile + 5) * 24);
    for (std::uint32_t i = 0; i < ical::maxItemsPerFile + 5; ++i) {
        body += "BEGIN:VTODO\r\nEND:VTODO\r\n";
    }
    auto file = ical::CalendarFile::parse(calendar(body), "flood.ics");
    ASSERT_FALSE(file->error());
    EXPECT_EQ(file->taskCount(), ical::maxItemsPerFile);
    EXPECT_EQ(file->itemsBeyondLimit(), 5u);
}

// Components are found by their BEGIN and END lines: folded lines, nested alarms, lower case,
// a zone defined after the event that names it, and a name on the calendar.
TEST(ICalendarReader, ComponentsAreFoundLineByLine) {
    const std::string text =
        "BEGIN:VCALENDAR\nX-WR-CALNAME:Team \n calendar\nbegin:vevent\nUID:a\nSUMMARY:Long\n "
        "title\nDTSTART;TZID=Custom/Zone:20261208T100000\nBEGIN:VALARM\nTRIGGER:-PT5M\n"
        "END:VALARM\nEND:VEVENT\n"
        "BEGIN:VTIMEZONE\nTZID:Custom/Zone\nBEGIN:STANDARD\nDTSTART:19700101T000000\n"
        "TZOFFSETFROM:+0300\nTZOFFSETTO:+0300\nEND:STANDARD\nEND:VTIMEZONE\nEND:VCALENDAR\n";
    auto file = ical::CalendarFile::parse(text, "x.ics");
    ASSERT_FALSE(file->error());
    EXPECT_EQ(file->calendarName(), "Team calendar");
    std::vector<ical::EventOccurrence> out;
    file->events(utc(2026, 12, 7), utc(2026, 12, 14), ical::LocalZone("UTC"), out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].title, "Longtitle");
    EXPECT_EQ(out[0].start, utc(2026, 12, 8, 7));
}

TEST(ICalendarReader, AnItemWithThousandsOfPropertiesIsSkipped) {
    std::string flood = "BEGIN:VEVENT\r\nUID:flood\r\nDTSTART:20261208T100000Z\r\n";
    for (int i = 0; i < 20000; ++i) {
        flood += "X-FILLER:" + std::to_string(i) + "\r\n";
    }
    flood += "END:VEVENT\r\n";
    // An attachment's folded lines are one property.
    std::string attachment = "ATTACH;ENCODING=BASE64;VALUE=BINARY:";
    for (int i = 0; i < 20000; ++i) {
        attachment += "QUJDREVGR0hJSktMTU5PUFFSU1RVVldYWVo=\r\n ";
    }
    attachment += "QQ==\r\n";
    auto file = ical::CalendarFile::parse(
        calendar(flood + "BEGIN:VEVENT\r\nUID:ok\r\nDTSTART:20261208T110000Z\r\n" + attachment +
                 "END:VEVENT\r\n"),
        "flood.ics");
    ASSERT_FALSE(file->error());
    EXPECT_EQ(file->skippedItems(), 1);
    std::vector<ical::EventOccurrence> out;
    file->events(utc(2026, 12, 7), utc(2026, 12, 14), ical::LocalZone("UTC"), out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].eventIdentifier, "ok");
}

// Reading the providers' pages and dates, without a network.

#include "Brivane/cloud/CloudCalendarPages.h"
#include "Brivane/cloud/CloudEventDate.h"

#include <gtest/gtest.h>

namespace brivane {
namespace {

using nlohmann::json;

Date utc(int y, unsigned mo, unsigned d, int h = 0, int mi = 0, int s = 0) {
    using namespace std::chrono;
    return Date{sys_days{year{y} / month{mo} / day{d}} + hours{h} + minutes{mi} + seconds{s}};
}

const Calendar rome("en_GB", "Europe/Rome");

std::optional<Date> at(const std::string& dateTime, const std::string& zone = "",
                       const Calendar& local = rome) {
    json object{{"dateTime", dateTime}};
    if (!zone.empty())
        object["timeZone"] = zone;
    return eventDate(object, local);
}

TEST(EventDate, GraphWallTimesInTheirZone) {
    using std::chrono::milliseconds;
    // Seven fractional digits and no offset, in the zone Graph names.
    EXPECT_EQ(at("2026-12-07T09:30:00.0000000", "UTC"), utc(2026, 12, 7, 9, 30));
    EXPECT_EQ(at("2026-12-07T09:30:00.1234567", "UTC"),
              utc(2026, 12, 7, 9, 30) + milliseconds(123));
    EXPECT_EQ(at("2026-12-07T09:30:00", "UTC"), utc(2026, 12, 7, 9, 30));
    // Windows names as Graph may send them.
    EXPECT_EQ(at("2026-07-01T09:00:00.0000000", "Pacific Standard Time"), utc(2026, 7, 1, 16));
    EXPECT_EQ(at("2026-12-07T09:00:00.0000000", "W. Europe Standard Time"), utc(2026, 12, 7, 8));
    EXPECT_EQ(at("2026-12-07T09:00:00.0000000", "India Standard Time"), utc(2026, 12, 7, 3, 30));
    // An IANA name, across both of its changes: a skipped time becomes the first valid one
    // (03:00), a repeated one is the first.
    EXPECT_EQ(at("2026-03-29T02:30:00.0000000", "Europe/Rome"), utc(2026, 3, 29, 1));
    EXPECT_EQ(at("2026-10-25T02:30:00.0000000", "Europe/Rome"), utc(2026, 10, 25, 0, 30));
}

TEST(EventDate, OffsetsDatesAndTheLocalZone) {
    const Calendar santiago("en_GB", "America/Santiago");
    // Google: an offset of its own wins over any zone name.
    EXPECT_EQ(at("2026-12-07T10:00:00+01:00", "America/New_York"), utc(2026, 12, 7, 9));
    EXPECT_EQ(at("2026-12-07T10:00:00Z"), utc(2026, 12, 7, 10));
    EXPECT_EQ(at("2026-12-07T10:00:00-0330"), utc(2026, 12, 7, 13, 30));
    // Without offset or known zone: the current zone, whole seconds only.
    EXPECT_EQ(at("2026-12-07T10:00:00"), utc(2026, 12, 7, 9));
    EXPECT_EQ(at("2026-12-07T10:00:00", "Mars/Olympus_Mons"), utc(2026, 12, 7, 9));
    EXPECT_EQ(at("2026-12-07T10:00:00.0000000", "Mars/Olympus_Mons"), std::nullopt);
    // Date-only values are local midnight; where midnight is skipped, the first instant of the day.
    EXPECT_EQ(eventDate(json{{"date", "2026-12-08"}}, rome), utc(2026, 12, 7, 23));
    EXPECT_EQ(eventDate(json{{"date", "2026-09-06"}}, santiago), utc(2026, 9, 6, 4));
    // "dateTime" decides even when "date" is there too.
    EXPECT_EQ(eventDate(json{{"dateTime", "2026-12-07T10:00:00Z"}, {"date", "2026-01-01"}}, rome),
              utc(2026, 12, 7, 10));
}

TEST(EventDate, MalformedAndHostileValuesGiveNoDate) {
    for (const char* text :
         {"", "2026-02-30T10:00:00Z", "2026-12-07T24:00:00Z", "2026-12-07T10:60:00Z",
          "2026-12-07 10:00:00Z", "2026-12-07T10:00:00+2:00", "2026-12-07T10:00:00+01:00junk",
          "0000-01-01T00:00:00Z", "２０２６-12-07T10:00:00Z", "2026-12-07T10:00:00.Z",
          "2026-12-07T10:00:00.1234567890Z", "+12026-12-07T10:00:00Z"})
        EXPECT_EQ(at(text), std::nullopt) << text;
    EXPECT_EQ(eventDate(json{{"date", "2026-13-01"}}, rome), std::nullopt);
    EXPECT_EQ(eventDate(json{{"date", "2026-12-07T00:00:00Z"}}, rome), std::nullopt);
    EXPECT_EQ(eventDate(json{{"dateTime", 1765000000}}, rome), std::nullopt);
    EXPECT_EQ(eventDate(json::array(), rome), std::nullopt);
    // Zone names never reach the file system, and POSIX rules are not zone names.
    for (const std::string& zone :
         {std::string("/etc/passwd"), std::string("../../../etc/passwd"),
          std::string("Europe/../../etc/passwd"), std::string("CET-1CEST,M3.5.0,M10.5.0/3"),
          std::string(200, 'A')})
        EXPECT_EQ(knownTimeZoneId(zone), std::nullopt) << zone;
    EXPECT_EQ(knownTimeZoneId("Romance Standard Time"), "Europe/Paris");
    EXPECT_EQ(knownTimeZoneId("Asia/Kolkata"), "Asia/Kolkata");
}

TEST(EventDate, WindowBoundsAreWholeUtcSeconds) {
    using std::chrono::milliseconds;
    EXPECT_EQ(isoInstantText(utc(2026, 12, 6, 23) + milliseconds(999)), "2026-12-06T23:00:00Z");
    EXPECT_EQ(isoInstantText(utc(1999, 1, 2, 3, 4, 5)), "1999-01-02T03:04:05Z");
}

TEST(ProviderPages, CalendarListsOfBothProviders) {
    const auto google = calendarPage(json::parse(R"({"items":[
        {"id":"primary","summary":"Ada"},
        {"id":"team#x","summary":7},
        {"summary":"no id"}, {"id":42}, "not an object"],
        "nextPageToken":"t2"})"),
                                     googlePageFormat);
    EXPECT_EQ(google.items,
              (std::vector<ListedCalendar>{{"primary", "Ada"}, {"team#x", "team#x"}}));
    EXPECT_EQ(google.next, "t2");

    const auto graph = calendarPage(json::parse(R"({"value":[{"id":"AAM=","name":"Calendar"}],
        "@odata.nextLink":"https://graph.microsoft.com/v1.0/me/calendars?$skip=1",
        "nextPageToken":"ignored"})"),
                                    graphPageFormat);
    EXPECT_EQ(graph.items, (std::vector<ListedCalendar>{{"AAM=", "Calendar"}}));
    EXPECT_EQ(graph.next, "https://graph.microsoft.com/v1.0/me/calendars?$skip=1");

    // A list of the wrong kind is an empty page, not an error.
    EXPECT_TRUE(
        calendarPage(json::parse(R"({"items":{"id":"x"}})"), googlePageFormat).items.empty());
    EXPECT_TRUE(
        calendarPage(json::parse(R"({"value":[{"id":"x"}]})"), googlePageFormat).items.empty());
    EXPECT_FALSE(calendarPage(json::parse(R"({"nextPageToken":5})"), googlePageFormat).next);
}

TEST(ProviderPages, EventsKeepWhatCanBeShown) {
    const auto google = eventPage(json::parse(R"({"items":[
        {"id":"a","summary":"Standup","start":{"dateTime":"2026-12-07T10:00:00+01:00"},
         "end":{"dateTime":"2026-12-07T10:15:00+01:00"}},
        {"id":"b","status":"cancelled","start":{"date":"2026-12-08"},"end":{"date":"2026-12-09"}},
        {"id":"c","status":"tentative","start":{"date":"2026-12-08"},"end":{"date":"2026-12-09"}},
        {"id":"d","start":{"dateTime":"2026-12-07T10:00:00+01:00"}},
        {"id":"e","start":"2026-12-07","end":{"date":"2026-12-08"}},
        {"id":"f","start":{"dateTime":"yesterday"},"end":{"date":"2026-12-08"}},
        {"start":{"date":"2026-12-08"},"end":{"date":"2026-12-09"}},
        {"id":"g","isAllDay":"yes","isCancelled":"true","start":{"date":"2026-12-08"},
         "end":{"date":"2026-12-09"}}]})"),
                                  googlePageFormat, rome);
    ASSERT_EQ(google.items.size(), 3u);
    EXPECT_EQ(google.items[0],
              (ListedEvent{"a", "Standup", utc(2026, 12, 7, 9), utc(2026, 12, 7, 9, 15), false}));
    // All-day: local midnights as given, the end being the next day's.
    EXPECT_EQ(google.items[1],
              (ListedEvent{"c", "", utc(2026, 12, 7, 23), utc(2026, 12, 8, 23), true}));
    // Flags of the wrong type are ignored.
    EXPECT_EQ(google.items[2].id, "g");
    EXPECT_TRUE(google.items[2].allDay);

    const auto graph = eventPage(json::parse(R"({"value":[
        {"id":"m1","subject":"Review","isAllDay":false,"isCancelled":false,
         "start":{"dateTime":"2026-12-07T09:00:00.0000000","timeZone":"UTC"},
         "end":{"dateTime":"2026-12-07T10:00:00.0000000","timeZone":"UTC"}},
        {"id":"m2","subject":"Gone","isCancelled":true,
         "start":{"dateTime":"2026-12-07T09:00:00.0000000","timeZone":"UTC"},
         "end":{"dateTime":"2026-12-07T10:00:00.0000000","timeZone":"UTC"}},
        {"id":"m3","status":"cancelled","isAllDay":true,
         "start":{"dateTime":"2026-12-08T00:00:00.0000000","timeZone":"UTC"},
         "end":{"dateTime":"2026-12-09T00:00:00.0000000","timeZone":"UTC"}}]})"),
                                 graphPageFormat, rome);
    ASSERT_EQ(graph.items.size(), 2u);
    EXPECT_EQ(graph.items[0].title, "Review");
    // Graph has no "status": only "isCancelled" cancels; "isAllDay" decides the all-day flag.
    EXPECT_EQ(graph.items[1].id, "m3");
    EXPECT_TRUE(graph.items[1].allDay);
}

// Graph writes an all-day event as midnight to midnight in whatever zone it names (UTC without a
// "Prefer" header): its days are the dates written, at local midnight wherever the user is.
TEST(ProviderPages, AllDayEventsAreTheirDatesAtLocalMidnight) {
    const json page = json::parse(R"({"value":[
        {"id":"one","isAllDay":true,
         "start":{"dateTime":"2026-12-10T00:00:00.0000000","timeZone":"UTC"},
         "end":{"dateTime":"2026-12-11T00:00:00.0000000","timeZone":"UTC"}},
        {"id":"trip","isAllDay":true,
         "start":{"dateTime":"2026-12-10T00:00:00.0000000","timeZone":"Pacific Standard Time"},
         "end":{"dateTime":"2026-12-13T00:00:00.0000000","timeZone":"Pacific Standard Time"}},
        {"id":"broken","isAllDay":true,
         "start":{"dateTime":"2026-12-10T00:00:00.0000000","timeZone":"UTC"},
         "end":{"dateTime":"2026-12-41T00:00:00.0000000","timeZone":"UTC"}}]})");
    const Calendar newYork("en_US", "America/New_York");
    const auto inRome = eventPage(page, graphPageFormat, rome);
    ASSERT_EQ(inRome.items.size(), 2u);
    EXPECT_EQ(inRome.items[0],
              (ListedEvent{"one", "", utc(2026, 12, 9, 23), utc(2026, 12, 10, 23), true}));
    EXPECT_EQ(inRome.items[1].start, utc(2026, 12, 9, 23));
    EXPECT_EQ(inRome.items[1].end, utc(2026, 12, 12, 23));
    const auto inNewYork = eventPage(page, graphPageFormat, newYork);
    ASSERT_EQ(inNewYork.items.size(), 2u);
    EXPECT_EQ(inNewYork.items[0].start, utc(2026, 12, 10, 5));
    EXPECT_EQ(inNewYork.items[0].end, utc(2026, 12, 11, 5));
    EXPECT_EQ(inNewYork.items[1].end, utc(2026, 12, 13, 5));

    // Google's all-day dates, one day and several, are local midnights too.
    const auto google = eventPage(json::parse(R"({"items":[
        {"id":"g","start":{"date":"2026-12-10"},"end":{"date":"2026-12-13"}}]})"),
                                  googlePageFormat, newYork);
    ASSERT_EQ(google.items.size(), 1u);
    EXPECT_EQ(google.items[0],
              (ListedEvent{"g", "", utc(2026, 12, 10, 5), utc(2026, 12, 13, 5), true}));
}

TEST(ProviderPages, PagingStopsOnRepeatsAndAtTheLimit) {
    PageTrail trail;
    EXPECT_EQ(trail.admit("a"), PageTrail::Step::follow);
    EXPECT_EQ(trail.admit("b"), PageTrail::Step::follow);
    EXPECT_EQ(trail.admit("a"), PageTrail::Step::repeated);

    PageTrail endless;
    int followed = 0;
    while (endless.admit(std::to_string(followed)) == PageTrail::Step::follow)
        ++followed;
    // The first page plus the followed ones make the limit.
    EXPECT_EQ(followed + 1, PageTrail::pageLimit);
    EXPECT_EQ(endless.admit("fresh"), PageTrail::Step::tooMany);
}

} // namespace
} // namespace brivane

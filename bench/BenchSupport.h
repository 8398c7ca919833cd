#pragma once

// Helpers shared by the benchmarks that write calendars.

#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace brivane::bench {

// A floating iCalendar date-time ("20261207T093000") for an instant taken as wall time.
inline std::string stamp(std::chrono::sys_seconds t) {
    const auto day = std::chrono::floor<std::chrono::days>(t);
    const std::chrono::year_month_day ymd{day};
    const std::chrono::hh_mm_ss hms{t - day};
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%04d%02u%02uT%02d%02d00", int(ymd.year()),
                  unsigned(ymd.month()), unsigned(ymd.day()), int(hms.hours().count()),
                  int(hms.minutes().count()));
    return buffer;
}

// One calendar's and one task list's worth of items, as VEVENT and VTODO components.
struct Collection {
    std::vector<std::string> events;
    std::vector<std::string> tasks;
};

constexpr int collectionCount = 10;
constexpr int eventsPerCollection = 500;
constexpr int recurringPerCollection = 20;
constexpr int tasksPerCollection = 100;

// The realistic tree both calendar benchmarks read, the same on every run: 5,000 events within
// two months of today (200 of them recurring since long ago) and 1,000 tasks, some completed.
inline std::vector<Collection> collections() {
    std::vector<Collection> made(collectionCount);
    std::mt19937 random(7);
    const auto now = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
    const auto today = std::chrono::floor<std::chrono::days>(now);
    std::uniform_int_distribution<int> dayOffset(-60, 60);
    std::uniform_int_distribution<int> hour(7, 20);
    const char* rules[] = {"FREQ=DAILY", "FREQ=WEEKLY;BYDAY=MO,WE,FR", "FREQ=WEEKLY",
                           "FREQ=MONTHLY;BYMONTHDAY=15", "FREQ=WEEKLY;COUNT=52"};
    for (int c = 0; c < collectionCount; ++c) {
        const std::string prefix = "c" + std::to_string(c);
        for (int e = 0; e < eventsPerCollection; ++e) {
            const bool recurring = e < recurringPerCollection;
            const auto start = today + std::chrono::days(recurring ? -200 : dayOffset(random)) +
                               std::chrono::hours(hour(random));
            made[c].events.push_back(
                "BEGIN:VEVENT\r\nUID:" + prefix + "-e" + std::to_string(e) +
                "@bench\r\nSUMMARY:Event " + std::to_string(e) + " of calendar " +
                std::to_string(c) +
                "\r\nDTSTAMP:20260101T000000Z\r\nDTSTART;TZID=Europe/Rome:" + stamp(start) +
                "\r\nDTEND;TZID=Europe/Rome:" + stamp(start + std::chrono::minutes(45)) + "\r\n" +
                (recurring ? std::string("RRULE:") + rules[e % 5] + "\r\n" : "") +
                "LOCATION:Room " + std::to_string(e % 7) +
                "\r\nDESCRIPTION:Notes for the meeting.\r\nEND:VEVENT\r\n");
        }
        for (int t = 0; t < tasksPerCollection; ++t) {
            const auto due = today + std::chrono::days(dayOffset(random));
            made[c].tasks.push_back(
                "BEGIN:VTODO\r\nUID:" + prefix + "-t" + std::to_string(t) +
                "@bench\r\nSUMMARY:Task " + std::to_string(t) + "\r\nDTSTAMP:20260101T000000Z\r\n" +
                (t % 3 == 0 ? "DUE;VALUE=DATE:" + stamp(due).substr(0, 8)
                            : "DUE:" + stamp(due) + "Z") +
                "\r\nPRIORITY:" + std::to_string(t % 10) + "\r\n" +
                (t % 4 == 0 ? "STATUS:COMPLETED\r\nCOMPLETED:20260101T000000Z\r\n" : "") +
                "END:VTODO\r\n");
        }
    }
    return made;
}

// A component as a whole iCalendar file.
inline std::string calendarFile(const std::string& component) {
    return "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//bench//EN\r\n" + component +
           "END:VCALENDAR\r\n";
}

} // namespace brivane::bench

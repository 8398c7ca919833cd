// Feeds arbitrary bytes to the iCalendar reader: parse, expand the events of a week in two
// zones (one with a daylight-saving change inside the week) and list the incomplete tasks.

#include "Brivane/calendar/ICalendarReader.h"

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace brivane;
    static const ical::LocalZone rome("Europe/Rome");
    static const ical::LocalZone utc("UTC");
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    auto file = ical::CalendarFile::parse(bytes, "fuzz.ics");
    std::vector<ical::EventOccurrence> events;
    std::vector<ical::TaskRecord> tasks;
    // 23–30 March 2026 (the spring change in Europe) and a week of 1970.
    const Date spring{std::chrono::milliseconds{1774224000000LL}};
    const Date epoch{std::chrono::milliseconds{0}};
    const auto week = std::chrono::hours{24 * 7};
    file->events(spring, spring + week, rome, events);
    file->events(epoch, epoch + week, utc, events);
    file->incompleteTasks(rome, tasks);
    for (const auto& e : events) {
        if (e.end < e.start && !e.allDay) {
            __builtin_trap();
        }
    }
    return 0;
}

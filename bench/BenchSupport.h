#pragma once

// Helpers shared by the benchmarks that write calendars.

#include <chrono>
#include <cstdio>
#include <string>

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

} // namespace brivane::bench

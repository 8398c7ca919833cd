#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unicode/uversion.h>
#include <vector>

U_NAMESPACE_BEGIN
class BasicTimeZone;
U_NAMESPACE_END

namespace brivane {

// An absolute instant. Millisecond precision is all the program needs.
using Date = std::chrono::sys_time<std::chrono::milliseconds>;

// Seconds since 1970 as a Date; handy for fixed instants.
constexpr Date dateFromSeconds(std::int64_t seconds) {
    return Date{std::chrono::seconds{seconds}};
}

enum class CalendarUnit { year, month, day, hour, minute, second };
enum class CalendarComponent { year, month, day, hour, minute, second, weekday };

// The program's calendar: Gregorian, a locale ("it_IT" or "en_GB"), a time zone taken from
// the system's tzdata, Monday as first weekday. A cheap value; every operation is pure.
class Calendar {
public:
    Calendar(std::string localeId, std::string timeZoneId);

    const std::string& localeId() const { return localeId_; }
    const std::string& timeZoneId() const { return timeZoneId_; }

    // The first instant of the day holding `date` (01:00 where midnight is skipped).
    Date startOfDay(Date date) const;
    // Wall-clock arithmetic for day and larger units, absolute for hours and smaller; a skipped
    // wall time moves forward. Absent when the result is out of the calendar's range.
    std::optional<Date> adding(CalendarUnit unit, int value, Date date) const;
    // Weekday numbering is Gregorian: 1 = Sunday … 7 = Saturday.
    int component(CalendarComponent component, Date date) const;
    // The instant of a local wall time; a skipped time moves forward, a repeated one is the first.
    std::optional<Date> date(int year, int month, int day, int hour = 0, int minute = 0,
                             int second = 0) const;
    bool isSameDay(Date a, Date b) const;
    // The next instant strictly after `after` whose local minute is `minute` and second `second`.
    // Walks absolute time between the zone's transitions, so it is exact across any shift.
    std::optional<Date> nextDate(Date after, int minute, int second) const;
    // Offset from UTC at `date`, in seconds.
    int utcOffsetSeconds(Date date) const;

    const icu::BasicTimeZone& timeZone() const { return *zone_; }

private:
    friend struct CalendarAccess;
    std::string localeId_;
    std::string timeZoneId_;
    std::shared_ptr<const icu::BasicTimeZone> zone_;
};

// The start of the day after the one holding `date`: the start of the day of (its start + one
// day). Where midnight is skipped a day starts at 01:00, and 01:00 + one day would still be an
// hour into the next day.
Date nextDayStart(Date date, const Calendar& calendar);

struct AgendaDates {
    // Evaluated at every call: preferred language and system time zone may have changed.
    static Calendar calendar();
    static std::vector<Date> remainingDays(Date date, const Calendar& calendar);
    static Date endOfWeek(Date date, const Calendar& calendar);
    static Date nextScheduledRefresh(Date date, const Calendar& calendar);
    static Date nextTimelineUpdate(Date date, const Calendar& calendar);
    // Formats with a fixed ICU pattern ("HH:mm", "d MMM", "EEE d", "MMMM yyyy").
    static std::string string(Date date, std::string_view pattern, const Calendar& calendar);
};

// The system time zone's identifier, re-read at every call (TZ, else /etc/localtime).
std::string currentTimeZoneId();

// An IANA identifier for a time-zone name a provider or a file sends: an IANA name ICU knows (in
// any letter case), or a Windows name such as "Pacific Standard Time" (Microsoft Graph and
// Outlook use those). Absent when unknown.
std::optional<std::string> knownTimeZoneId(std::string_view name);

} // namespace brivane

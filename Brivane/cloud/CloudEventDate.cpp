#include "Brivane/cloud/CloudEventDate.h"

#include <chrono>
#include <cstdio>

namespace brivane {

namespace {

// Fields of a wall time as written, checked for range; no zone yet.
struct WallTime {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    int millisecond = 0;
};

// Reads exactly `count` ASCII digits.
bool digits(std::string_view& text, int count, int& value) {
    if (text.size() < static_cast<std::size_t>(count))
        return false;
    value = 0;
    for (int i = 0; i < count; ++i) {
        const char c = text[static_cast<std::size_t>(i)];
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    text.remove_prefix(static_cast<std::size_t>(count));
    return true;
}

bool literal(std::string_view& text, char c) {
    if (text.empty() || text.front() != c)
        return false;
    text.remove_prefix(1);
    return true;
}

bool validDay(int year, int month, int day) {
    using namespace std::chrono;
    return year >= 1 && month >= 1 && month <= 12 && day >= 1 &&
           year_month_day(std::chrono::year(year), std::chrono::month(static_cast<unsigned>(month)),
                          std::chrono::day(static_cast<unsigned>(day)))
               .ok();
}

// "yyyy-MM-dd"
bool readDay(std::string_view& text, WallTime& t) {
    return digits(text, 4, t.year) && literal(text, '-') && digits(text, 2, t.month) &&
           literal(text, '-') && digits(text, 2, t.day) && validDay(t.year, t.month, t.day);
}

// "yyyy-MM-dd'T'HH:mm:ss"
bool readDateTime(std::string_view& text, WallTime& t) {
    return readDay(text, t) && literal(text, 'T') && digits(text, 2, t.hour) &&
           literal(text, ':') && digits(text, 2, t.minute) && literal(text, ':') &&
           digits(text, 2, t.second) && t.hour <= 23 && t.minute <= 59 && t.second <= 59;
}

// "." and 1 to 9 digits, kept to the millisecond. Graph writes seven ("10:00:00.0000000").
bool readFraction(std::string_view& text, WallTime& t) {
    if (!literal(text, '.'))
        return false;
    int count = 0;
    int millis = 0;
    while (!text.empty() && text.front() >= '0' && text.front() <= '9') {
        if (count < 3)
            millis = millis * 10 + (text.front() - '0');
        ++count;
        text.remove_prefix(1);
    }
    if (count == 0 || count > 9)
        return false;
    for (int i = count; i < 3; ++i)
        millis *= 10;
    t.millisecond = millis;
    return true;
}

Date fromUtcFields(const WallTime& t, int offsetSeconds) {
    using namespace std::chrono;
    const sys_days day{std::chrono::year(t.year) /
                       std::chrono::month(static_cast<unsigned>(t.month)) /
                       std::chrono::day(static_cast<unsigned>(t.day))};
    return Date{duration_cast<milliseconds>(day.time_since_epoch())} + hours(t.hour) +
           minutes(t.minute) + seconds(t.second) - seconds(offsetSeconds) +
           milliseconds(t.millisecond);
}

// Internet date-time with its own offset: "2026-12-07T10:00:00+01:00" or "...Z". A fraction of a
// second is accepted too, since dropping an otherwise valid event would be worse.
std::optional<Date> isoInstant(std::string_view text) {
    WallTime t;
    if (!readDateTime(text, t))
        return std::nullopt;
    if (!text.empty() && text.front() == '.' && !readFraction(text, t))
        return std::nullopt;
    int offset = 0;
    if (literal(text, 'Z')) {
        offset = 0;
    } else if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        const int sign = text.front() == '-' ? -1 : 1;
        text.remove_prefix(1);
        int h = 0, m = 0;
        if (!digits(text, 2, h))
            return std::nullopt;
        literal(text, ':');
        if (!digits(text, 2, m) || h > 23 || m > 59)
            return std::nullopt;
        offset = sign * (h * 3600 + m * 60);
    } else {
        return std::nullopt;
    }
    if (!text.empty())
        return std::nullopt;
    return fromUtcFields(t, offset);
}

std::optional<Date> inZone(const WallTime& t, const Calendar& zone) {
    const auto instant = zone.date(t.year, t.month, t.day, t.hour, t.minute, t.second);
    if (!instant)
        return std::nullopt;
    return *instant + std::chrono::milliseconds(t.millisecond);
}

// A wall time without offset, with or without a fraction of a second.
std::optional<Date> localInstant(std::string_view text, const Calendar& zone, bool fraction) {
    WallTime t;
    if (!readDateTime(text, t))
        return std::nullopt;
    if (fraction && !readFraction(text, t))
        return std::nullopt;
    if (!text.empty())
        return std::nullopt;
    return inZone(t, zone);
}

// "yyyy-MM-dd" at local midnight (the first instant of the day where midnight is skipped).
std::optional<Date> localMidnight(std::string_view text, const Calendar& local) {
    WallTime t;
    if (!readDay(text, t) || !text.empty())
        return std::nullopt;
    return inZone(t, local);
}

} // namespace

const std::string* textMember(const nlohmann::json& object, const char* key) {
    const auto it = object.find(key);
    return it != object.end() && it->is_string() ? it->get_ptr<const std::string*>() : nullptr;
}

std::string isoInstantText(Date date) {
    using namespace std::chrono;
    const auto secondsSinceEpoch = floor<seconds>(date);
    const auto day = floor<days>(secondsSinceEpoch);
    const year_month_day ymd(day);
    const hh_mm_ss time(secondsSinceEpoch - day);
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(ymd.year()),
                  static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                  static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()));
    return text;
}

std::optional<Date> eventDate(const nlohmann::json& object, const Calendar& local) {
    if (!object.is_object())
        return std::nullopt;
    if (const std::string* dateTime = textMember(object, "dateTime")) {
        if (auto instant = isoInstant(*dateTime))
            return instant;
        if (const std::string* zoneName = textMember(object, "timeZone")) {
            if (auto zoneId = knownTimeZoneId(*zoneName)) {
                const Calendar zone("en_US_POSIX", *zoneId);
                if (auto instant = localInstant(*dateTime, zone, true))
                    return instant;
                return localInstant(*dateTime, zone, false);
            }
        }
        return localInstant(*dateTime, local, false);
    }
    if (const std::string* date = textMember(object, "date"))
        return localMidnight(*date, local);
    return std::nullopt;
}

std::optional<Date> eventDay(const nlohmann::json& object, const Calendar& local) {
    if (!object.is_object())
        return std::nullopt;
    if (const std::string* dateTime = textMember(object, "dateTime")) {
        // The whole value must be readable; only its date is used.
        if (!eventDate(object, local))
            return std::nullopt;
        return localMidnight(std::string_view(*dateTime).substr(0, 10), local);
    }
    if (const std::string* date = textMember(object, "date"))
        return localMidnight(*date, local);
    return std::nullopt;
}

} // namespace brivane

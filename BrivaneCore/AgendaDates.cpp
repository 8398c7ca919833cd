#include "BrivaneCore/AgendaDates.h"

#include "BrivaneCore/AgendaLanguage.h"
#include "BrivaneCore/TimeZoneData.h"

#include <cctype>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <unicode/basictz.h>
#include <unicode/dtfmtsym.h>
#include <unicode/gregocal.h>
#include <unicode/smpdtfmt.h>
#include <unicode/strenum.h>
#include <unicode/timezone.h>
#include <unicode/tztrans.h>
#include <unicode/unistr.h>
#include <unistd.h>
#include <unordered_map>

namespace brivane {

namespace {

constexpr std::int64_t msPerHour = 3'600'000;

UDate toUDate(Date d) {
    return static_cast<UDate>(d.time_since_epoch().count());
}

Date fromUDate(UDate u) {
    return Date{std::chrono::milliseconds{static_cast<std::int64_t>(u)}};
}

std::shared_ptr<const icu::BasicTimeZone> resolveZone(const std::string& id) {
    if (auto zone = tz::systemZone(id))
        return zone;
    // Not in the system's tzdata: ICU's own data, else UTC. Remembered so a bad TZ stays cheap.
    static std::mutex mutex;
    static std::unordered_map<std::string, std::shared_ptr<const icu::BasicTimeZone>> fallbacks;
    std::lock_guard lock(mutex);
    if (auto it = fallbacks.find(id); it != fallbacks.end())
        return it->second;
    std::unique_ptr<icu::TimeZone> zone(
        icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(id)));
    if (!zone || *zone == icu::TimeZone::getUnknown())
        zone.reset(icu::TimeZone::getGMT()->clone());
    std::shared_ptr<const icu::BasicTimeZone> basic(dynamic_cast<icu::BasicTimeZone*>(zone.get()));
    if (basic)
        zone.release();
    else
        basic = tz::systemZone("UTC0");
    if (fallbacks.size() > 64)
        fallbacks.clear();
    fallbacks.emplace(id, basic);
    return basic;
}

UCalendarDateFields icuField(CalendarComponent c) {
    switch (c) {
    case CalendarComponent::year:
        return UCAL_YEAR;
    case CalendarComponent::month:
        return UCAL_MONTH;
    case CalendarComponent::day:
        return UCAL_DATE;
    case CalendarComponent::hour:
        return UCAL_HOUR_OF_DAY;
    case CalendarComponent::minute:
        return UCAL_MINUTE;
    case CalendarComponent::second:
        return UCAL_SECOND;
    case CalendarComponent::weekday:
        return UCAL_DAY_OF_WEEK;
    }
    return UCAL_YEAR;
}

static_assert(static_cast<int>(CalendarUnit::second) ==
                  static_cast<int>(CalendarComponent::second) &&
              static_cast<int>(CalendarUnit::year) == static_cast<int>(CalendarComponent::year));

UCalendarDateFields icuField(CalendarUnit u) {
    // The units are the components of the same name.
    return icuField(static_cast<CalendarComponent>(static_cast<int>(u)));
}

std::unique_ptr<icu::Calendar> makeICUCalendar(const icu::BasicTimeZone& zone,
                                               const std::string& locale) {
    UErrorCode status = U_ZERO_ERROR;
    auto cal =
        std::make_unique<icu::GregorianCalendar>(zone.clone(), icu::Locale(locale.c_str()), status);
    if (U_FAILURE(status))
        std::abort(); // only fails when ICU's data is missing
    cal->setFirstDayOfWeek(UCAL_MONDAY);
    cal->setRepeatedWallTimeOption(UCAL_WALLTIME_FIRST);
    cal->setSkippedWallTimeOption(UCAL_WALLTIME_NEXT_VALID);
    return cal;
}

// English month abbreviations as people write them: "Sep", not en_GB's "Sept".
void useCommonEnglishAbbreviations(icu::SimpleDateFormat& format) {
    UErrorCode status = U_ZERO_ERROR;
    icu::DateFormatSymbols us(icu::Locale("en_US"), status);
    if (U_FAILURE(status))
        return;
    icu::DateFormatSymbols symbols(*format.getDateFormatSymbols());
    for (auto context : {icu::DateFormatSymbols::FORMAT, icu::DateFormatSymbols::STANDALONE}) {
        int32_t count = 0;
        const icu::UnicodeString* months =
            us.getMonths(count, context, icu::DateFormatSymbols::ABBREVIATED);
        symbols.setMonths(months, count, context, icu::DateFormatSymbols::ABBREVIATED);
    }
    format.setDateFormatSymbols(symbols);
}

} // namespace

// Per-thread ICU calendars and formatters: ICU objects are not shareable across threads, and
// building them is what makes calendar work slow.
struct CalendarAccess {
    static icu::Calendar& scratch(const Calendar& c) {
        struct Entry {
            std::shared_ptr<const icu::BasicTimeZone> zone;
            std::string locale;
            std::unique_ptr<icu::Calendar> calendar;
        };
        thread_local std::vector<Entry> entries;
        for (auto& e : entries) {
            if (e.zone == c.zone_ && e.locale == c.localeId_)
                return *e.calendar;
        }
        if (entries.size() >= 8)
            entries.erase(entries.begin());
        entries.push_back({c.zone_, c.localeId_, makeICUCalendar(*c.zone_, c.localeId_)});
        return *entries.back().calendar;
    }

    // A formatter with a calendar of its own to format with: DateFormat::format(UDate) clones
    // the formatter's calendar, time zone rules and all, on every call.
    struct Formatter {
        std::unique_ptr<icu::SimpleDateFormat> format;
        std::unique_ptr<icu::Calendar> calendar;
    };
    static Formatter& formatter(const Calendar& c, std::string_view pattern) {
        struct Entry {
            std::shared_ptr<const icu::BasicTimeZone> zone;
            std::string locale;
            std::string pattern;
            Formatter formatter;
        };
        thread_local std::vector<Entry> entries;
        for (auto& e : entries) {
            if (e.zone == c.zone_ && e.pattern == pattern && e.locale == c.localeId_)
                return e.formatter;
        }
        if (entries.size() >= 32)
            entries.erase(entries.begin());
        UErrorCode status = U_ZERO_ERROR;
        const icu::Locale locale(c.localeId_.c_str());
        auto format = std::make_unique<icu::SimpleDateFormat>(
            icu::UnicodeString::fromUTF8(
                icu::StringPiece(pattern.data(), static_cast<int32_t>(pattern.size()))),
            locale, status);
        if (U_FAILURE(status))
            std::abort(); // only fails when ICU's data is missing
        format->adoptCalendar(makeICUCalendar(*c.zone_, c.localeId_).release());
        if (std::string_view(locale.getLanguage()) == "en")
            useCommonEnglishAbbreviations(*format);
        entries.push_back({c.zone_,
                           c.localeId_,
                           std::string(pattern),
                           {std::move(format), makeICUCalendar(*c.zone_, c.localeId_)}});
        return entries.back().formatter;
    }
};

Calendar::Calendar(std::string localeId, std::string timeZoneId)
    : localeId_(std::move(localeId)), timeZoneId_(std::move(timeZoneId)),
      zone_(resolveZone(timeZoneId_)) {}

Date Calendar::startOfDay(Date date) const {
    icu::Calendar& cal = CalendarAccess::scratch(*this);
    UErrorCode status = U_ZERO_ERROR;
    cal.setTime(toUDate(date), status);
    const int32_t y = cal.get(UCAL_EXTENDED_YEAR, status);
    const int32_t m = cal.get(UCAL_MONTH, status);
    const int32_t d = cal.get(UCAL_DATE, status);
    cal.clear();
    cal.set(UCAL_EXTENDED_YEAR, y);
    cal.set(UCAL_MONTH, m);
    cal.set(UCAL_DATE, d);
    const UDate result = cal.getTime(status);
    return U_SUCCESS(status) ? fromUDate(result) : date;
}

std::optional<Date> Calendar::adding(CalendarUnit unit, int value, Date date) const {
    icu::Calendar& cal = CalendarAccess::scratch(*this);
    UErrorCode status = U_ZERO_ERROR;
    cal.setTime(toUDate(date), status);
    cal.add(icuField(unit), value, status);
    const UDate result = cal.getTime(status);
    if (U_FAILURE(status))
        return std::nullopt;
    return fromUDate(result);
}

int Calendar::component(CalendarComponent component, Date date) const {
    icu::Calendar& cal = CalendarAccess::scratch(*this);
    UErrorCode status = U_ZERO_ERROR;
    cal.setTime(toUDate(date), status);
    const int32_t value = cal.get(icuField(component), status);
    return component == CalendarComponent::month ? value + 1 : value;
}

std::optional<Date> Calendar::date(int year, int month, int day, int hour, int minute,
                                   int second) const {
    icu::Calendar& cal = CalendarAccess::scratch(*this);
    UErrorCode status = U_ZERO_ERROR;
    cal.clear();
    cal.set(UCAL_EXTENDED_YEAR, year);
    cal.set(UCAL_MONTH, month - 1);
    cal.set(UCAL_DATE, day);
    cal.set(UCAL_HOUR_OF_DAY, hour);
    cal.set(UCAL_MINUTE, minute);
    cal.set(UCAL_SECOND, second);
    const UDate result = cal.getTime(status);
    if (U_FAILURE(status))
        return std::nullopt;
    return fromUDate(result);
}

bool Calendar::isSameDay(Date a, Date b) const {
    icu::Calendar& cal = CalendarAccess::scratch(*this);
    UErrorCode status = U_ZERO_ERROR;
    cal.setTime(toUDate(a), status);
    const int32_t ya = cal.get(UCAL_EXTENDED_YEAR, status), da = cal.get(UCAL_DAY_OF_YEAR, status);
    cal.setTime(toUDate(b), status);
    return ya == cal.get(UCAL_EXTENDED_YEAR, status) && da == cal.get(UCAL_DAY_OF_YEAR, status);
}

int Calendar::utcOffsetSeconds(Date date) const {
    UErrorCode status = U_ZERO_ERROR;
    int32_t raw = 0, dst = 0;
    zone_->getOffset(toUDate(date), false, raw, dst, status);
    return (raw + dst) / 1000;
}

std::optional<Date> Calendar::nextDate(Date after, int minute, int second) const {
    if (minute < 0 || minute > 59 || second < 0 || second > 59)
        return std::nullopt;
    const std::int64_t target = (minute * 60 + second) * 1000LL;
    std::int64_t t = after.time_since_epoch().count();
    bool inclusive = false;
    // Between two transitions local time is UTC plus a constant, so the match is arithmetic.
    for (int segments = 0; segments < 10'000; ++segments) {
        UErrorCode status = U_ZERO_ERROR;
        int32_t raw = 0, dst = 0;
        zone_->getOffset(static_cast<UDate>(t), false, raw, dst, status);
        const std::int64_t offset = std::int64_t{raw} + dst;
        icu::TimeZoneTransition transition;
        const bool hasNext = zone_->getNextTransition(static_cast<UDate>(t), false, transition);
        const std::int64_t segmentEnd =
            hasNext ? static_cast<std::int64_t>(transition.getTime()) : INT64_MAX;

        const std::int64_t local = t + offset;
        std::int64_t r = (local - target) % msPerHour;
        if (r < 0)
            r += msPerHour;
        std::int64_t candidate = local - r;
        if (r != 0 || !inclusive)
            candidate += msPerHour;
        const std::int64_t instant = candidate - offset;
        if (instant < segmentEnd)
            return Date{std::chrono::milliseconds{instant}};
        if (!hasNext)
            return std::nullopt;
        t = segmentEnd;
        inclusive = true;
    }
    return std::nullopt;
}

Date nextDayStart(Date date, const Calendar& calendar) {
    const Date start = calendar.startOfDay(date);
    // Adding a day to a day's start cannot fail with the Gregorian calendar.
    const Date later =
        calendar.adding(CalendarUnit::day, 1, start).value_or(start + std::chrono::hours(24));
    return calendar.startOfDay(later);
}

Calendar AgendaDates::calendar() {
    return Calendar(AgendaLanguage::isItalian() ? "it_IT" : "en_GB", currentTimeZoneId());
}

std::vector<Date> AgendaDates::remainingDays(Date date, const Calendar& calendar) {
    const int w = calendar.component(CalendarComponent::weekday, date);
    const int n = (8 - w) % 7;
    const Date start = calendar.startOfDay(date);
    std::vector<Date> days;
    days.reserve(static_cast<std::size_t>(n));
    for (int g = 1; g <= n; ++g) {
        if (auto day = calendar.adding(CalendarUnit::day, g, start))
            days.push_back(calendar.startOfDay(*day));
    }
    return days;
}

Date AgendaDates::endOfWeek(Date date, const Calendar& calendar) {
    const auto days = remainingDays(date, calendar);
    return nextDayStart(days.empty() ? date : days.back(), calendar);
}

Date AgendaDates::nextScheduledRefresh(Date date, const Calendar& calendar) {
    std::optional<Date> best;
    for (int minute : {25, 55}) {
        if (auto next = calendar.nextDate(date, minute, 0); next && (!best || *next < *best))
            best = next;
    }
    return best.value_or(date + std::chrono::seconds(1800));
}

Date AgendaDates::nextTimelineUpdate(Date date, const Calendar& calendar) {
    const int m = calendar.component(CalendarComponent::minute, date);
    const int target = ((m / 5) + 1) * 5 % 60;
    return calendar.nextDate(date, target, 0).value_or(date + std::chrono::seconds(300));
}

std::string AgendaDates::string(Date date, std::string_view pattern, const Calendar& calendar) {
    auto& [format, scratch] = CalendarAccess::formatter(calendar, pattern);
    UErrorCode status = U_ZERO_ERROR;
    scratch->setTime(toUDate(date), status);
    icu::UnicodeString out;
    icu::FieldPosition position;
    format->format(*scratch, out, position);
    std::string result;
    out.toUTF8String(result);
    return result;
}

std::string currentTimeZoneId() {
    auto underZoneinfo = [](const std::string& path) -> std::optional<std::string> {
        const auto at = path.rfind("zoneinfo/");
        if (at == std::string::npos)
            return std::nullopt;
        std::string id = path.substr(at + 9);
        for (const char* prefix : {"posix/", "right/"}) {
            if (id.rfind(prefix, 0) == 0)
                id.erase(0, std::char_traits<char>::length(prefix));
        }
        return id;
    };
    if (const char* tz = std::getenv("TZ")) {
        std::string id = tz;
        if (!id.empty() && id.front() == ':')
            id.erase(0, 1);
        if (id.empty())
            return "UTC";
        if (id.front() == '/') {
            if (auto name = underZoneinfo(id))
                return *name;
        }
        return id;
    }
    char target[PATH_MAX];
    const ssize_t n = readlink("/etc/localtime", target, sizeof target - 1);
    if (n > 0) {
        target[n] = '\0';
        if (auto name = underZoneinfo(target))
            return *name;
    }
    std::ifstream timezone("/etc/timezone");
    std::string line;
    if (timezone && std::getline(timezone, line) && !line.empty())
        return line;
    if (access("/etc/localtime", R_OK) == 0)
        return "/etc/localtime";
    return "UTC";
}

std::optional<std::string> knownTimeZoneId(std::string_view name) {
    // Identifiers are short ASCII; anything else is not a zone and must never reach a file path.
    if (name.empty() || name.size() > 64)
        return std::nullopt;
    const auto id = icu::UnicodeString::fromUTF8(
        icu::StringPiece(name.data(), static_cast<int32_t>(name.size())));
    UErrorCode status = U_ZERO_ERROR;
    icu::UnicodeString canonical;
    UBool isSystemId = false;
    icu::TimeZone::getCanonicalID(id, canonical, isSystemId, status);
    if (U_SUCCESS(status) && isSystemId)
        return std::string(name);
    status = U_ZERO_ERROR;
    icu::UnicodeString mapped;
    icu::TimeZone::getIDForWindowsID(id, nullptr, mapped, status);
    if (U_SUCCESS(status) && !mapped.isEmpty()) {
        std::string result;
        mapped.toUTF8String(result);
        return result;
    }
    // "europe/rome": hand-written files get the case wrong.
    static const auto byFoldedName = [] {
        std::unordered_map<std::string, std::string> names;
        UErrorCode error = U_ZERO_ERROR;
        std::unique_ptr<icu::StringEnumeration> all(icu::TimeZone::createEnumeration(error));
        for (const char* zone = all ? all->next(nullptr, error) : nullptr;
             zone != nullptr && U_SUCCESS(error); zone = all->next(nullptr, error)) {
            std::string folded(zone);
            for (char& c : folded)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            names.emplace(std::move(folded), zone);
        }
        return names;
    }();
    std::string folded(name);
    for (char& c : folded)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (const auto found = byFoldedName.find(folded); found != byFoldedName.end())
        return found->second;
    return std::nullopt;
}

} // namespace brivane

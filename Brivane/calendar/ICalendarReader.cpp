#include "Brivane/calendar/ICalendarReader.h"

#include "BrivaneCore/TimeZoneData.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <libical/ical.h>
#include <map>
#include <mutex>
#include <set>
#include <strings.h>
#include <unicode/basictz.h>
#include <unordered_map>
#include <unordered_set>
#include <variant>

namespace brivane::ical {

namespace {

void initialiseLibical() {
    static std::once_flag once;
    std::call_once(once, [] {
        // A malformed file must never abort the process.
        icalerror_set_errors_are_fatal(0);
        // The parser reaches libical's zone table for every "…Z" value and fills it on first
        // use, unguarded: filled here, before files are parsed on several threads at once.
        icaltimezone_get_builtin_timezones();
        icaltimezone_get_utc_timezone();
    });
}

} // namespace

// A time zone: the system's rules (tzdata, as the rest of the program reads them) or a file's own
// VTIMEZONE, read by libical.
struct Zone {
    std::shared_ptr<const icu::BasicTimeZone> system;
    icaltimezone* own = nullptr;

    bool utc() const { return !system && own == nullptr; }
    // Offset from UTC in seconds at an instant.
    int offsetAt(std::int64_t instant) const;
};

namespace {

// A date or date-time value with the zone it is read in; zone null means floating (local).
struct TimeValue {
    icaltimetype t = icaltime_null_time();
    const Zone* zone = nullptr;
};

// Instants outside roughly ±100,000 years cannot be held as milliseconds safely.
constexpr std::int64_t instantLimit = 3'000'000'000'000LL;

const Zone& utcZone() {
    static const Zone utc;
    return utc;
}

const Zone& localZone(const LocalZone& local) {
    return *static_cast<const Zone*>(local.zone());
}

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
std::int64_t dayNumber(const icaltimetype& t) {
    const std::int64_t y = t.year - (t.month <= 2 ? 1 : 0);
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t m = t.month;
    const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + t.day - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

// The civil date and time of seconds since 1970 read as a wall clock.
icaltimetype civil(std::int64_t wall, bool isDate) {
    const std::int64_t days = (wall >= 0 ? wall : wall - 86399) / 86400;
    const std::int64_t secondOfDay = wall - days * 86400;
    const std::int64_t z = days + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
    icaltimetype t = icaltime_null_time();
    t.year = static_cast<int>(yoe + era * 400 + (month <= 2 ? 1 : 0));
    t.month = static_cast<int>(month);
    t.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    if (isDate) {
        t.is_date = 1;
    } else {
        t.hour = static_cast<int>(secondOfDay / 3600);
        t.minute = static_cast<int>(secondOfDay / 60 % 60);
        t.second = static_cast<int>(secondOfDay % 60);
    }
    return t;
}

std::int64_t wallSeconds(const icaltimetype& t) {
    return dayNumber(t) * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
}

// The instant of a wall time in a zone. A time skipped by a change moves forward by the length
// of the gap; a time that happens twice is the first of the two.
std::int64_t instantOfWall(std::int64_t wall, const Zone& zone) {
    if (zone.utc()) {
        return wall;
    }
    const int before = zone.offsetAt(wall - 86400);
    const int after = zone.offsetAt(wall + 86400);
    for (const std::int64_t candidate :
         {wall - std::max(before, after), wall - std::min(before, after)}) {
        if (candidate + zone.offsetAt(candidate) == wall) {
            return candidate;
        }
    }
    return wall - before;
}

std::int64_t wallOfInstant(std::int64_t instant, const Zone& zone) {
    return zone.utc() ? instant : instant + zone.offsetAt(instant);
}

// Seconds since 1970 of a value; all-day dates are the start of that day in the local zone.
std::int64_t resolve(const TimeValue& value, const LocalZone& local) {
    if (value.t.is_date) {
        icaltimetype day = value.t;
        day.hour = day.minute = day.second = 0;
        return instantOfWall(wallSeconds(day), localZone(local));
    }
    return instantOfWall(wallSeconds(value.t),
                         value.zone != nullptr ? *value.zone : localZone(local));
}

Date toDate(std::int64_t seconds) {
    return Date{std::chrono::milliseconds{seconds * 1000}};
}

bool inRange(std::int64_t seconds) {
    return seconds > -instantLimit && seconds < instantLimit;
}

bool plausible(const icaltimetype& t) {
    return !icaltime_is_null_time(t) && icaltime_is_valid_time(t) && t.year >= 1 &&
           t.year <= 9999 && t.month >= 1 && t.month <= 12 && t.day >= 1 && t.day <= 31 &&
           t.hour >= 0 && t.hour <= 23 && t.minute >= 0 && t.minute <= 59 && t.second >= 0 &&
           t.second <= 60;
}

std::string text(const char* value) {
    return value != nullptr ? std::string(value) : std::string();
}

bool ianaCandidate(std::string_view name) {
    if (name.empty() || name.size() > 64 || name.front() == '/' || name.back() == '/') {
        return false;
    }
    if (name.find("..") != std::string_view::npos || name.find("//") != std::string_view::npos) {
        return false;
    }
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
               c == '/' || c == '_' || c == '+' || c == '-';
    });
}

// The zone of a tzdata name, a path to a TZif file or a POSIX TZ value; null when none of these.
// Zones live as long as the process: the names are tzdata's few hundred and the local zones the
// process has seen.
const Zone* namedZone(const std::string& id) {
    static std::mutex mutex;
    static std::unordered_map<std::string, std::unique_ptr<Zone>> known;
    std::lock_guard lock(mutex);
    if (const auto found = known.find(id); found != known.end()) {
        return found->second.get();
    }
    std::unique_ptr<Zone> zone;
    if (auto rules = tz::systemZone(id)) {
        zone = std::make_unique<Zone>();
        zone->system = std::move(rules);
    }
    return known.emplace(id, std::move(zone)).first->second.get();
}

// The zone a TZID as written stands for, remembered: libical hands the same text for every time
// of a file. A hostile file's endless variants are looked up each time once the memory is full.
const Zone* tzidZone(const std::string& key, const std::function<const Zone*()>& lookUp) {
    static std::mutex mutex;
    static std::unordered_map<std::string, const Zone*> known;
    {
        std::lock_guard lock(mutex);
        if (const auto found = known.find(key); found != known.end()) {
            return found->second;
        }
    }
    const Zone* zone = lookUp();
    std::lock_guard lock(mutex);
    if (known.size() < 4096) {
        known.emplace(key, zone);
    }
    return zone;
}

bool sameNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// A TZID as written, without the quotes, blanks and stray colons some programs leave around it.
std::string_view cleanTzid(std::string_view tzid) {
    const auto stray = [](char c) { return c == ' ' || c == '\t' || c == '"' || c == ':'; };
    while (!tzid.empty() && stray(tzid.front())) {
        tzid.remove_prefix(1);
    }
    while (!tzid.empty() && stray(tzid.back())) {
        tzid.remove_suffix(1);
    }
    return tzid;
}

// An IANA zone from the system tzdata for a TZID, in any letter case, also when it carries a
// vendor prefix such as "/freeassociation.sourceforge.net/Tzfile/Europe/Rome" or
// "/citadel.org/20190914_1/Europe/Rome". Null when the TZID names no IANA zone.
const Zone* systemZone(std::string_view written) {
    const std::string_view tzid = cleanTzid(written);
    if (tzid == "UTC" || tzid == "GMT" || tzid == "Z" || tzid == "Etc/UTC" || tzid == "Etc/GMT") {
        return &utcZone();
    }
    return tzidZone("tzid:" + std::string(tzid), [&]() -> const Zone* {
        std::size_t from = 0;
        while (from < tzid.size()) {
            const std::string_view candidate = tzid.substr(from);
            if (ianaCandidate(candidate)) {
                if (const auto id = knownTimeZoneId(candidate); id && sameNoCase(*id, candidate)) {
                    if (const Zone* zone = namedZone(*id)) {
                        return zone;
                    }
                }
            }
            const std::size_t slash = tzid.find('/', from);
            if (slash == std::string_view::npos) {
                break;
            }
            from = slash + 1;
        }
        return nullptr;
    });
}

// The zone of a Windows name such as "Eastern Standard Time", which Outlook writes, at times
// without the VTIMEZONE that would define it.
const Zone* windowsZone(std::string_view written) {
    const std::string_view tzid = cleanTzid(written);
    return tzidZone("windows:" + std::string(tzid), [&]() -> const Zone* {
        const auto id = knownTimeZoneId(tzid);
        return id && !sameNoCase(*id, tzid) ? namedZone(*id) : nullptr;
    });
}

} // namespace

int Zone::offsetAt(std::int64_t instant) const {
    if (system) {
        UErrorCode status = U_ZERO_ERROR;
        std::int32_t raw = 0;
        std::int32_t dst = 0;
        system->getOffset(static_cast<UDate>(instant) * 1000.0, false, raw, dst, status);
        return U_SUCCESS(status) ? (raw + dst) / 1000 : 0;
    }
    if (own == nullptr) {
        return 0;
    }
    // libical recomputes a zone's transitions at every call past its coverage (about 2582),
    // which takes milliseconds. The Gregorian calendar and the zones' recurring rules repeat
    // every 400 years (146,097 days), so far instants are read 400-year periods earlier.
    constexpr std::int64_t period = 146097LL * 86400;
    constexpr std::int64_t year2400 = 13569465600LL;
    if (instant >= year2400) {
        instant -= ((instant - year2400) / period + 1) * period;
    }
    icaltimetype t = civil(instant, false);
    t.zone = icaltimezone_get_utc_timezone();
    int daylight = 0;
    return icaltimezone_get_utc_offset_of_utc_time(own, &t, &daylight);
}

LocalZone::LocalZone(std::string_view ianaName) : name_(ianaName) {
    initialiseLibical();
    // Any identifier the rest of the program reads the clock in: a tzdata name, a path to a
    // TZif file or a POSIX TZ value such as "CET-1CEST,M3.5.0,M10.5.0/3".
    const Zone* zone = namedZone(name_);
    zone_ = zone != nullptr ? zone : &utcZone();
}

// A date or date-time as written, and the zone it is read in; 16 bytes where libical's own
// form takes 48, which counts with a hundred thousand events in memory.
struct Moment {
    std::int16_t year = 0;
    std::uint8_t month = 0;
    std::uint8_t day = 0;
    std::uint8_t hour = 0;
    std::uint8_t minute = 0;
    std::uint8_t second = 0;
    bool isDate = false;
    const Zone* zone = nullptr;

    // Only for values that passed plausible(): every field fits.
    static Moment of(const TimeValue& value) {
        const icaltimetype& t = value.t;
        return Moment{static_cast<std::int16_t>(t.year),
                      static_cast<std::uint8_t>(t.month),
                      static_cast<std::uint8_t>(t.day),
                      static_cast<std::uint8_t>(t.hour),
                      static_cast<std::uint8_t>(t.minute),
                      static_cast<std::uint8_t>(t.second),
                      t.is_date != 0,
                      value.zone};
    }
    TimeValue value() const {
        TimeValue v;
        v.t.year = year;
        v.t.month = month;
        v.t.day = day;
        v.t.hour = hour;
        v.t.minute = minute;
        v.t.second = second;
        v.t.is_date = isDate ? 1 : 0;
        v.zone = zone;
        return v;
    }
};

// A DURATION: whole days (weeks included), then hours, minutes and seconds.
struct Span {
    std::int32_t days = 0;
    std::int32_t hours = 0;
    std::int32_t minutes = 0;
    std::int32_t seconds = 0;
};

// A piece of the file's text pool.
struct Text {
    std::uint32_t at = 0;
    std::uint32_t size = 0;
};

// What only a recurring series needs.
struct Recurrence {
    std::vector<std::string> rules; // RRULE values, read again when expanded
    std::vector<Moment> rdates;
    std::vector<Moment> rdateEnds; // for each RDATE, the end of its PERIOD; year 0 when none
    std::vector<Moment> exdates;
    std::vector<Moment> overridden; // RECURRENCE-IDs of instances given as their own items

    // The occurrences in the last window asked for: every refresh of a day asks for the same
    // window, and expanding a rule is the costly part of a read.
    struct Expansion {
        const void* zone = nullptr;
        std::int64_t from = 0;
        std::int64_t to = 0;
        bool cut = false; // the rule took too long to walk: occurrences may be missing
        std::vector<std::pair<std::int64_t, std::int64_t>> occurrences;
    };
    mutable std::optional<Expansion> lastExpansion;
};

struct Series {
    Text uid;
    Text title;
    std::uint32_t index = 0; // position among the file's items, naming one without a UID
    bool cancelled = false;
    bool allDay = false;
    bool hasEnd = false;
    bool hasDuration = false;
    Moment start;
    Moment end;
    Span duration;
    std::unique_ptr<Recurrence> recurrence;
    // Start and end of a single event in the zone of the file's last resolution.
    mutable std::int64_t resolvedStart = 0;
    mutable std::int64_t resolvedEnd = 0;

    bool recurring() const {
        return recurrence && (!recurrence->rules.empty() || !recurrence->rdates.empty());
    }
};

struct Task {
    Text uid;
    Text title;
    std::uint32_t index = 0;
    int priority = 0;
    bool hasDue = false;
    bool hasStart = false;
    bool hasDuration = false;
    Moment due;
    Moment start;
    Span duration;
};

// What a parsed file keeps: plain copies of what the agenda and recurrence expansion need.
// libical's trees live only while one component is read.
struct CalendarFile::Data {
    std::string keyBase;
    std::string pool; // the text that titles and UIDs point into
    std::vector<std::unique_ptr<Zone>> fileZones;
    std::unordered_map<std::string, const Zone*> zoneByTzid;
    std::vector<Series> series;
    std::vector<Task> tasks; // incomplete ones only
    std::size_t completedTasks = 0;
    mutable const void* resolvedZone = nullptr;

    ~Data() {
        for (const auto& zone : fileZones) {
            icaltimezone_free(zone->own, 1);
        }
    }

    Text keep(std::string_view value) {
        const Text kept{static_cast<std::uint32_t>(pool.size()),
                        static_cast<std::uint32_t>(value.size())};
        pool.append(value);
        return kept;
    }
    std::string_view view(Text t) const { return std::string_view(pool).substr(t.at, t.size); }
    std::string itemId(Text uid, std::uint32_t index) const {
        return uid.size > 0 ? std::string(view(uid)) : keyBase + "#" + std::to_string(index);
    }

    // Zone rules change once or twice a year, and every calendar program writes them as yearly
    // rules. libical expands an observance's rule from its start to the year asked for, so an
    // hourly one from 1601 costs it minutes: such a zone is not used (its times read floating).
    static bool observancesRepeatYearly(icalcomponent* vtz) {
        for (icalcomponent* part = icalcomponent_get_first_component(vtz, ICAL_ANY_COMPONENT);
             part != nullptr; part = icalcomponent_get_next_component(vtz, ICAL_ANY_COMPONENT)) {
            for (icalproperty* rule = icalcomponent_get_first_property(part, ICAL_RRULE_PROPERTY);
                 rule != nullptr;
                 rule = icalcomponent_get_next_property(part, ICAL_RRULE_PROPERTY)) {
                if (icalproperty_get_rrule(rule).freq != ICAL_YEARLY_RECURRENCE) {
                    return false;
                }
            }
        }
        return true;
    }

    // Takes ownership of a VTIMEZONE component. Zones whose TZID names a system zone are never
    // used (the system's rules come first) and are not built; a hostile file's thousands of
    // distinct zones stop at a few hundred.
    void addZone(icalcomponent* vtz) {
        icalproperty* tzidProperty = icalcomponent_get_first_property(vtz, ICAL_TZID_PROPERTY);
        const char* tzid = tzidProperty != nullptr ? icalproperty_get_tzid(tzidProperty) : nullptr;
        if (tzid == nullptr || zoneByTzid.count(tzid) != 0 || systemZone(tzid) != nullptr ||
            zoneByTzid.size() >= 256) {
            icalcomponent_free(vtz);
            return;
        }
        if (!observancesRepeatYearly(vtz)) {
            icalcomponent_free(vtz);
            return;
        }
        std::string name = tzid;
        icaltimezone* zone = icaltimezone_new();
        if (icaltimezone_set_component(zone, vtz) == 0) {
            icalcomponent_free(vtz);
            icaltimezone_free(zone, 1);
            return;
        }
        fileZones.push_back(std::make_unique<Zone>());
        fileZones.back()->own = zone;
        zoneByTzid.emplace(std::move(name), fileZones.back().get());
    }

    // System zones first for IANA names (current rules), then the file's own VTIMEZONE, then a
    // Windows name's zone; an unknown TZID leaves the time floating.
    const Zone* zoneFor(icalproperty* property) {
        icalparameter* parameter = icalproperty_get_first_parameter(property, ICAL_TZID_PARAMETER);
        if (parameter == nullptr || icalparameter_get_tzid(parameter) == nullptr) {
            return nullptr;
        }
        const std::string tzid = icalparameter_get_tzid(parameter);
        if (const Zone* zone = systemZone(tzid)) {
            return zone;
        }
        if (const auto found = zoneByTzid.find(tzid); found != zoneByTzid.end()) {
            return found->second;
        }
        return windowsZone(tzid);
    }

    std::optional<TimeValue> timeValue(icalproperty* property, icaltimetype t) {
        if (!plausible(t)) {
            return std::nullopt;
        }
        TimeValue value;
        value.t = t;
        if (t.is_date) {
            value.t.hour = value.t.minute = value.t.second = 0;
        } else if (icaltime_is_utc(t)) {
            value.zone = &utcZone();
        } else {
            value.zone = zoneFor(property);
        }
        value.t.zone = nullptr;
        return value;
    }

    std::optional<TimeValue> timeProperty(icalcomponent* component, icalproperty_kind kind) {
        icalproperty* property = icalcomponent_get_first_property(component, kind);
        if (property == nullptr || icalproperty_get_value(property) == nullptr) {
            return std::nullopt;
        }
        const icalvalue_kind valueKind = icalvalue_isa(icalproperty_get_value(property));
        if (valueKind != ICAL_DATE_VALUE && valueKind != ICAL_DATETIME_VALUE) {
            return std::nullopt;
        }
        icaltimetype t = icalvalue_get_datetime(icalproperty_get_value(property));
        return timeValue(property, t);
    }

    static std::optional<Span> durationProperty(icalcomponent* component) {
        icalproperty* property =
            icalcomponent_get_first_property(component, ICAL_DURATION_PROPERTY);
        if (property == nullptr) {
            return std::nullopt;
        }
        icaldurationtype duration = icalproperty_get_duration(property);
        if (icaldurationtype_is_bad_duration(duration) || duration.is_neg) {
            return std::nullopt;
        }
        // Bounded, so that adding it can never overflow a date.
        if (duration.weeks > 5000 || duration.days > 40000 || duration.hours > 1000000 ||
            duration.minutes > 10000000 || duration.seconds > 100000000) {
            return std::nullopt;
        }
        return Span{static_cast<std::int32_t>(duration.weeks * 7 + duration.days),
                    static_cast<std::int32_t>(duration.hours),
                    static_cast<std::int32_t>(duration.minutes),
                    static_cast<std::int32_t>(duration.seconds)};
    }

    static std::string_view uidOf(icalcomponent* component) {
        icalproperty* property = icalcomponent_get_first_property(component, ICAL_UID_PROPERTY);
        const char* uid = property != nullptr ? icalproperty_get_uid(property) : nullptr;
        return uid != nullptr ? std::string_view(uid) : std::string_view();
    }

    static std::string_view summaryOf(icalcomponent* component) {
        icalproperty* property = icalcomponent_get_first_property(component, ICAL_SUMMARY_PROPERTY);
        const char* summary = property != nullptr ? icalproperty_get_summary(property) : nullptr;
        return summary != nullptr ? std::string_view(summary) : std::string_view();
    }

    static int sequenceOf(icalcomponent* component) {
        icalproperty* property =
            icalcomponent_get_first_property(component, ICAL_SEQUENCE_PROPERTY);
        return property != nullptr ? icalproperty_get_sequence(property) : 0;
    }

    static icalproperty_status statusOf(icalcomponent* component) {
        icalproperty* property = icalcomponent_get_first_property(component, ICAL_STATUS_PROPERTY);
        return property != nullptr ? icalproperty_get_status(property) : ICAL_STATUS_NONE;
    }

    // Reads one VEVENT; false when it has no usable start.
    bool readEvent(icalcomponent* component, Series& target) {
        const auto start = timeProperty(component, ICAL_DTSTART_PROPERTY);
        if (!start) {
            return false;
        }
        target.start = Moment::of(*start);
        target.allDay = start->t.is_date != 0;
        target.title = keep(summaryOf(component));
        target.cancelled = statusOf(component) == ICAL_STATUS_CANCELLED;
        if (const auto end = timeProperty(component, ICAL_DTEND_PROPERTY)) {
            target.hasEnd = true;
            target.end = Moment::of(*end);
        } else if (const auto duration = durationProperty(component)) {
            target.hasDuration = true;
            target.duration = *duration;
        }
        return true;
    }

    void readRecurrence(icalcomponent* component, Series& target) {
        Recurrence recurrence;
        for (icalproperty* p = icalcomponent_get_first_property(component, ICAL_RRULE_PROPERTY);
             p != nullptr; p = icalcomponent_get_next_property(component, ICAL_RRULE_PROPERTY)) {
            const icalrecurrencetype rule = icalproperty_get_rrule(p);
            if (rule.freq == ICAL_NO_RECURRENCE || rule.interval <= 0) {
                continue;
            }
            if (char* value = icalproperty_get_value_as_string_r(p)) {
                recurrence.rules.emplace_back(value);
                icalmemory_free_buffer(value);
            }
        }
        for (icalproperty* p = icalcomponent_get_first_property(component, ICAL_RDATE_PROPERTY);
             p != nullptr; p = icalcomponent_get_next_property(component, ICAL_RDATE_PROPERTY)) {
            const icaldatetimeperiodtype rdate = icalproperty_get_rdate(p);
            const bool period = icaltime_is_null_time(rdate.time);
            const icaltimetype t = period ? rdate.period.start : rdate.time;
            if (auto value = timeValue(p, t)) {
                recurrence.rdates.push_back(Moment::of(*value));
                // A PERIOD gives this occurrence a length of its own.
                Moment end;
                if (period) {
                    icaltimetype last = rdate.period.end;
                    if (icaltime_is_null_time(last) &&
                        !icaldurationtype_is_bad_duration(rdate.period.duration) &&
                        !rdate.period.duration.is_neg) {
                        last = icaltime_add(t, rdate.period.duration);
                    }
                    if (auto to = timeValue(p, last); to && !to->t.is_date) {
                        end = Moment::of(*to);
                    }
                }
                recurrence.rdateEnds.push_back(end);
            }
        }
        for (icalproperty* p = icalcomponent_get_first_property(component, ICAL_EXDATE_PROPERTY);
             p != nullptr; p = icalcomponent_get_next_property(component, ICAL_EXDATE_PROPERTY)) {
            if (auto value = timeValue(p, icalproperty_get_exdate(p))) {
                recurrence.exdates.push_back(Moment::of(*value));
            }
        }
        if (!recurrence.rules.empty() || !recurrence.rdates.empty()) {
            target.recurrence = std::make_unique<Recurrence>(std::move(recurrence));
        }
    }

    // Reads one VTODO; false when it is completed.
    bool readTask(icalcomponent* component, Task& task) {
        const icalproperty_status status = statusOf(component);
        const bool completedProperty =
            icalcomponent_get_first_property(component, ICAL_COMPLETED_PROPERTY) != nullptr;
        icalproperty* percent =
            icalcomponent_get_first_property(component, ICAL_PERCENTCOMPLETE_PROPERTY);
        const bool fullyDone =
            percent != nullptr && icalproperty_get_percentcomplete(percent) >= 100;
        if (completedProperty || fullyDone || status == ICAL_STATUS_COMPLETED ||
            status == ICAL_STATUS_CANCELLED) {
            return false;
        }
        task.title = keep(summaryOf(component));
        if (const auto due = timeProperty(component, ICAL_DUE_PROPERTY)) {
            task.hasDue = true;
            task.due = Moment::of(*due);
        } else if (const auto start = timeProperty(component, ICAL_DTSTART_PROPERTY)) {
            task.hasStart = true;
            task.start = Moment::of(*start);
            if (const auto duration = durationProperty(component)) {
                task.hasDuration = true;
                task.duration = *duration;
            }
        }
        if (icalproperty* p = icalcomponent_get_first_property(component, ICAL_PRIORITY_PROPERTY)) {
            task.priority = icalproperty_get_priority(p);
        }
        return true;
    }

    std::size_t keptBytes() const {
        std::size_t bytes = sizeof(Data) + pool.capacity() + series.capacity() * sizeof(Series) +
                            tasks.capacity() * sizeof(Task) +
                            fileZones.size() * 4096; // a zone and its component, roughly
        for (const Series& s : series) {
            if (const Recurrence* r = s.recurrence.get()) {
                bytes += sizeof(Recurrence) + r->rules.capacity() * sizeof(std::string) +
                         (r->rdates.capacity() + r->rdateEnds.capacity() + r->exdates.capacity() +
                          r->overridden.capacity()) *
                             sizeof(Moment);
                for (const auto& rule : r->rules) {
                    bytes += rule.capacity();
                }
                if (r->lastExpansion) {
                    bytes += r->lastExpansion->occurrences.capacity() *
                             sizeof(std::pair<std::int64_t, std::int64_t>);
                }
            }
        }
        return bytes;
    }
};

CalendarFile::CalendarFile() : data_(std::make_unique<Data>()) {}
CalendarFile::~CalendarFile() = default;

std::size_t CalendarFile::eventCount() const {
    return data_->series.size();
}
std::size_t CalendarFile::taskCount() const {
    return data_->tasks.size() + data_->completedTasks;
}
std::size_t CalendarFile::keptBytes() const {
    return data_->keptBytes();
}

bool isValidUtf8(std::string_view bytes) {
    const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    while (i < n) {
        const unsigned char c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t length = 0;
        std::uint32_t code = 0;
        std::uint32_t minimum = 0;
        if ((c & 0xE0) == 0xC0) {
            length = 2, code = c & 0x1Fu, minimum = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            length = 3, code = c & 0x0Fu, minimum = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            length = 4, code = c & 0x07u, minimum = 0x10000;
        } else {
            return false;
        }
        if (i + length > n) {
            return false;
        }
        for (std::size_t k = 1; k < length; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) {
                return false;
            }
            code = (code << 6) | (s[i + k] & 0x3Fu);
        }
        if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            return false;
        }
        i += length;
    }
    return true;
}

namespace {

std::string_view trimmed(std::string_view s) {
    const auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!s.empty() && isSpace(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && isSpace(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

bool startsWithNoCase(std::string_view s, std::string_view prefix) {
    if (s.size() < prefix.size()) {
        return false;
    }
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        char c = s[i];
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
        if (c != prefix[i]) {
            return false;
        }
    }
    return true;
}

bool endsWithNoCase(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() &&
           startsWithNoCase(s.substr(s.size() - suffix.size()), suffix);
}

} // namespace

namespace {

// One top-level component of a calendar, as a range of the file's text.
struct Piece {
    std::size_t at;
    std::size_t size;
    icalcomponent_kind kind;
    bool oversized = false; // more properties than an item has: never handed to libical
};

// Content lines of one item, its alarms included. Real items have a few dozen (an attachment's
// folded lines do not count); a hostile one with hundreds of thousands would build a tree of
// hundreds of megabytes.
constexpr int maxLinesPerItem = 5000;

icalcomponent_kind kindNamed(std::string_view name) {
    if (startsWithNoCase(name, "VEVENT") && name.size() == 6) {
        return ICAL_VEVENT_COMPONENT;
    }
    if (startsWithNoCase(name, "VTODO") && name.size() == 5) {
        return ICAL_VTODO_COMPONENT;
    }
    if (startsWithNoCase(name, "VTIMEZONE") && name.size() == 9) {
        return ICAL_VTIMEZONE_COMPONENT;
    }
    return ICAL_NO_COMPONENT;
}

// Finds the components of every VCALENDAR in the text by their BEGIN and END lines (folded
// continuation lines start with a space, so they never look like one), and the calendar's
// X-WR-CALNAME line. The text is never parsed whole: libical's tree of a 20 MB file takes
// hundreds of megabytes, while one component at a time takes a few kilobytes.
struct Outline {
    std::vector<Piece> pieces;
    std::string nameLines; // the X-WR-CALNAME content line of the first calendar that has one
};

Outline outline(std::string_view body) {
    Outline result;
    int depth = 0;
    std::size_t componentAt = std::string_view::npos;
    icalcomponent_kind kind = ICAL_NO_COMPONENT;
    bool inName = false;
    int lines = 0;
    for (std::size_t at = 0; at < body.size();) {
        const std::size_t newline = body.find('\n', at);
        const std::size_t lineEnd = newline == std::string_view::npos ? body.size() : newline;
        const std::size_t next = newline == std::string_view::npos ? body.size() : newline + 1;
        std::string_view raw = body.substr(at, lineEnd - at);
        if (!raw.empty() && raw.back() == '\r') {
            raw.remove_suffix(1);
        }
        std::string_view line = raw; // for BEGIN and END, trailing blanks do not count
        while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) {
            line.remove_suffix(1);
        }
        const bool continuation = !raw.empty() && (raw.front() == ' ' || raw.front() == '\t');
        if (!continuation && depth >= 2) {
            ++lines;
        }
        if (inName && continuation) {
            result.nameLines.append(raw).append("\r\n");
            at = next;
            continue;
        }
        inName = false;
        if (startsWithNoCase(line, "BEGIN:")) {
            if (depth == 0) {
                depth = startsWithNoCase(line.substr(6), "VCALENDAR") ? 1 : 0;
            } else {
                if (depth == 1) {
                    componentAt = at;
                    lines = 0;
                    kind = kindNamed(line.substr(6));
                }
                ++depth;
            }
        } else if (startsWithNoCase(line, "END:")) {
            if (depth == 2 && componentAt != std::string_view::npos) {
                if (kind != ICAL_NO_COMPONENT) {
                    result.pieces.push_back(
                        {componentAt, next - componentAt, kind, lines > maxLinesPerItem});
                }
                componentAt = std::string_view::npos;
            }
            depth = std::max(depth - 1, 0);
        } else if (depth == 1 && result.nameLines.empty() &&
                   startsWithNoCase(line, "X-WR-CALNAME") && line.size() > 12 &&
                   (line[12] == ':' || line[12] == ';')) {
            result.nameLines.append(raw).append("\r\n");
            inName = true;
        }
        at = next;
    }
    // A component left open runs to the end of the text, as libical reads it.
    if (componentAt != std::string_view::npos && kind != ICAL_NO_COMPONENT) {
        result.pieces.push_back(
            {componentAt, body.size() - componentAt, kind, lines > maxLinesPerItem});
    }
    return result;
}

// Parses one component's text; null when it is not a component of that kind.
icalcomponent* parsePiece(std::string_view body, const Piece& piece, std::string& buffer) {
    if (piece.oversized) {
        return nullptr;
    }
    buffer.assign(body.substr(piece.at, piece.size));
    icalcomponent* parsed = icalparser_parse_string(buffer.c_str());
    if (parsed == nullptr) {
        return nullptr;
    }
    if (icalcomponent_isa(parsed) == piece.kind) {
        return parsed;
    }
    // An open component swallowed the text after it: take the first one of its kind.
    icalcomponent* inner = icalcomponent_get_first_component(parsed, piece.kind);
    if (inner != nullptr) {
        icalcomponent_remove_component(parsed, inner);
    }
    icalcomponent_free(parsed);
    return inner;
}

// Where the last "END:VCALENDAR" line of the text ends, or npos.
std::size_t lastEndLine(std::string_view body) {
    std::size_t at = body.size();
    while (at > 0) {
        const std::size_t found = body.rfind('\n', at - 1);
        const std::size_t lineStart = found == std::string_view::npos ? 0 : found + 1;
        const std::string_view line = trimmed(body.substr(lineStart, at - lineStart));
        if (line.size() == 13 && startsWithNoCase(line, "END:VCALENDAR")) {
            return lineStart + 13;
        }
        if (found == std::string_view::npos) {
            break;
        }
        at = found;
    }
    return std::string_view::npos;
}

std::string calendarNameOf(const std::string& nameLines) {
    if (nameLines.empty()) {
        return {};
    }
    const std::string source = "BEGIN:VCALENDAR\r\n" + nameLines + "END:VCALENDAR\r\n";
    icalcomponent* calendar = icalparser_parse_string(source.c_str());
    if (calendar == nullptr) {
        return {};
    }
    std::string name;
    for (icalproperty* p = icalcomponent_get_first_property(calendar, ICAL_X_PROPERTY);
         p != nullptr; p = icalcomponent_get_next_property(calendar, ICAL_X_PROPERTY)) {
        const char* x = icalproperty_get_x_name(p);
        if (x != nullptr && strcasecmp(x, "X-WR-CALNAME") == 0) {
            name = text(icalproperty_get_x(p));
            break;
        }
    }
    icalcomponent_free(calendar);
    return name;
}

} // namespace

namespace {

// What a file's items leave to match once all are read: overridden instances are matched to
// their series by UID.
struct Overrides {
    std::vector<std::pair<Series, Moment>> events;
    std::unordered_set<std::string> masterTaskUids;
    std::unordered_map<std::string, std::pair<std::size_t, int>> masters; // UID → index, SEQUENCE
    std::vector<std::pair<std::string, std::optional<Task>>> tasks;
};

// Reads one VEVENT; false when it cannot be read.
bool readEventItem(CalendarFile::Data& data, icalcomponent* c, std::uint32_t index,
                   std::string_view uid, const std::optional<TimeValue>& recurrenceId,
                   Overrides& pending) {
    Series series;
    series.index = index;
    if (!data.readEvent(c, series)) {
        return false;
    }
    series.uid = data.keep(uid);
    if (recurrenceId && !uid.empty()) {
        pending.events.emplace_back(std::move(series), Moment::of(*recurrenceId));
        return true;
    }
    data.readRecurrence(c, series);
    // The same event twice (a feed that repeats it): the later revision counts.
    const int sequence = CalendarFile::Data::sequenceOf(c);
    const auto [known, added] =
        uid.empty() ? std::pair{pending.masters.end(), true}
                    : pending.masters.try_emplace(std::string(uid), data.series.size(), sequence);
    if (added) {
        data.series.push_back(std::move(series));
    } else if (sequence > known->second.second) {
        known->second.second = sequence;
        data.series[known->second.first] = std::move(series);
    }
    return true;
}

void readTaskItem(CalendarFile::Data& data, icalcomponent* c, std::uint32_t index,
                  std::string_view uid, const std::optional<TimeValue>& recurrenceId,
                  Overrides& pending) {
    Task task;
    task.index = index;
    const bool open = data.readTask(c, task);
    if (open) {
        task.uid = data.keep(uid);
    }
    if (recurrenceId && !uid.empty()) {
        pending.tasks.emplace_back(std::string(uid),
                                   open ? std::optional<Task>(task) : std::nullopt);
        return;
    }
    if (!uid.empty()) {
        pending.masterTaskUids.emplace(uid);
    }
    if (open) {
        data.tasks.push_back(task);
    } else {
        ++data.completedTasks;
    }
}

// An overridden instance replaces its occurrence in the series; one without a series (an
// invitation to a single occurrence) stands alone. A recurring task is one task: its overridden
// instances only count without a master.
void matchOverrides(CalendarFile::Data& data, Overrides& pending) {
    std::unordered_map<std::string_view, std::size_t> seriesByUid;
    for (std::size_t i = 0; i < data.series.size(); ++i) {
        if (data.series[i].uid.size > 0 && data.series[i].recurring()) {
            seriesByUid.emplace(data.view(data.series[i].uid), i);
        }
    }
    for (auto& [instance, recurrenceId] : pending.events) {
        const auto master = seriesByUid.find(data.view(instance.uid));
        if (master != seriesByUid.end()) {
            data.series[master->second].recurrence->overridden.push_back(recurrenceId);
        }
        data.series.push_back(std::move(instance));
    }
    for (auto& [uid, task] : pending.tasks) {
        if (pending.masterTaskUids.insert(uid).second) {
            if (task) {
                data.tasks.push_back(*task);
            } else {
                ++data.completedTasks;
            }
        }
    }
}

// The calendar's text without a byte-order mark and a trailing line of a feed's own, or why the
// bytes are no calendar (Italian, English).
std::variant<std::string_view, std::pair<const char*, const char*>>
calendarBody(std::string_view bytes, bool& trailer) {
    using Refusal = std::pair<const char*, const char*>;
    if (bytes.size() > maxFileBytes) {
        return Refusal{"file troppo grande (oltre 20 MB)", "file too large (over 20 MB)"};
    }
    if (bytes.find('\0') != std::string_view::npos) {
        return Refusal{"file binario, non iCalendar", "binary file, not iCalendar"};
    }
    if (bytes.substr(0, 3) == "\xEF\xBB\xBF") {
        bytes.remove_prefix(3);
    }
    if (!isValidUtf8(bytes)) {
        return Refusal{"il testo non è UTF-8", "the text is not UTF-8"};
    }
    std::string_view body = trimmed(bytes);
    if (!startsWithNoCase(body, "BEGIN:VCALENDAR")) {
        return Refusal{"non è un file iCalendar", "not an iCalendar file"};
    }
    if (!endsWithNoCase(body, "END:VCALENDAR")) {
        // Some feeds append a line of their own after the calendar.
        const std::size_t end = lastEndLine(body);
        if (end == std::string_view::npos) {
            return Refusal{"file troncato (manca END:VCALENDAR)",
                           "truncated file (END:VCALENDAR missing)"};
        }
        body = body.substr(0, end);
        trailer = true;
    }
    return body;
}

} // namespace

std::shared_ptr<CalendarFile> CalendarFile::parse(std::string_view bytes,
                                                  std::string_view keyBase) {
    initialiseLibical();
    std::shared_ptr<CalendarFile> file(new CalendarFile());
    const auto checked = calendarBody(bytes, file->trailer_);
    if (const auto* refusal = std::get_if<1>(&checked)) {
        file->error_ = Problem{refusal->first, refusal->second};
        return file;
    }
    const std::string_view body = std::get<0>(checked);

    Data& data = *file->data_;
    data.keyBase = keyBase;
    const Outline found = outline(body);
    file->calendarName_ = calendarNameOf(found.nameLines);
    std::string buffer;
    // Zones first: an event may name a VTIMEZONE that comes after it.
    for (const Piece& piece : found.pieces) {
        if (piece.kind == ICAL_VTIMEZONE_COMPONENT) {
            if (icalcomponent* vtz = parsePiece(body, piece, buffer)) {
                data.addZone(vtz);
            }
        }
    }

    std::uint32_t index = 0;
    Overrides pending;
    for (const Piece& piece : found.pieces) {
        if (piece.kind == ICAL_VTIMEZONE_COMPONENT) {
            continue;
        }
        if (index >= maxItemsPerFile) {
            ++file->beyondLimit_;
            continue;
        }
        ++index;
        icalcomponent* c = parsePiece(body, piece, buffer);
        if (c == nullptr) {
            ++file->skipped_;
            continue;
        }
        const std::string_view uid = Data::uidOf(c);
        const std::optional<TimeValue> recurrenceId =
            data.timeProperty(c, ICAL_RECURRENCEID_PROPERTY);
        if (piece.kind != ICAL_VEVENT_COMPONENT) {
            readTaskItem(data, c, index, uid, recurrenceId, pending);
        } else if (!readEventItem(data, c, index, uid, recurrenceId, pending)) {
            ++file->skipped_;
        }
        icalcomponent_free(c);
    }
    matchOverrides(data, pending);
    data.series.shrink_to_fit();
    data.tasks.shrink_to_fit();
    data.pool.shrink_to_fit();
    return file;
}

namespace {

struct Window {
    std::int64_t from;
    std::int64_t to;
    bool overlaps(std::int64_t start, std::int64_t end) const {
        return start < to && (end > from || (end == start && start >= from));
    }
};

// The end of an occurrence that starts at the wall time `startWall` (in the series' zone).
// `exact` is DTEND − DTSTART of a timed series, when the caller has it.
std::int64_t occurrenceEnd(const Series& series, const icaltimetype& startWall, std::int64_t start,
                           const LocalZone& local, std::optional<std::int64_t> exact = {}) {
    if (series.allDay) {
        std::int64_t days = 1;
        if (series.hasEnd) {
            const icaltimetype startDay = series.start.value().t;
            const icaltimetype endDay = series.end.value().t;
            days = dayNumber(endDay) - dayNumber(startDay);
            if (!series.end.isDate && (series.end.hour | series.end.minute | series.end.second)) {
                ++days;
            }
        } else if (series.hasDuration) {
            days = series.duration.days;
        }
        days = std::clamp<std::int64_t>(days, 1, 40000);
        icaltimetype endDay = startWall;
        icaltime_adjust(&endDay, static_cast<int>(days), 0, 0, 0);
        return resolve(TimeValue{endDay, nullptr}, local);
    }
    if (series.hasEnd) {
        if (!exact) {
            const TimeValue from = series.start.value();
            const TimeValue to = series.end.value();
            const std::int64_t first = resolve(from, local);
            exact = resolve(to, local) - first;
            // A start the clock skips keeps the length the writer meant, not one cut by the gap.
            const Zone& zone = from.zone != nullptr ? *from.zone : localZone(local);
            if (from.zone == to.zone && wallOfInstant(first, zone) != wallSeconds(from.t)) {
                exact = wallSeconds(to.t) - wallSeconds(from.t);
            }
        }
        return start + std::max<std::int64_t>(*exact, 0);
    }
    if (series.hasDuration) {
        const Span& d = series.duration;
        const std::int64_t seconds =
            static_cast<std::int64_t>(d.hours) * 3600 + d.minutes * 60 + d.seconds;
        if (d.days == 0) {
            return start + seconds;
        }
        // Whole days are calendar days: the same wall time, also across a DST change.
        icaltimetype endWall = startWall;
        icaltime_adjust(&endWall, d.days, 0, 0, 0);
        return resolve(TimeValue{endWall, series.start.zone}, local) + seconds;
    }
    return start;
}

bool matches(const Moment& excluded, const icaltimetype& wall, std::int64_t start,
             const LocalZone& local) {
    if (excluded.isDate) {
        return excluded.year == wall.year && excluded.month == wall.month &&
               excluded.day == wall.day;
    }
    return resolve(excluded.value(), local) == start;
}

void emit(const CalendarFile::Data& data, const Series& series, std::int64_t start,
          std::int64_t end, std::vector<EventOccurrence>& out) {
    if (!inRange(start) || !inRange(end)) {
        return;
    }
    out.push_back(EventOccurrence{std::string(data.view(series.uid)),
                                  data.itemId(series.uid, series.index),
                                  std::string(data.view(series.title)), toDate(start), toDate(end),
                                  series.allDay, series.cancelled});
}

// What ends a rule besides the window: UNTIL, which is inclusive and, when given in UTC, an
// instant (libical compares it with the floating wall time it walks in).
struct Until {
    enum class Kind { none, day, wall, instant } kind = Kind::none;
    icaltimetype day = icaltime_null_time(); // the last day, or the last wall time
    std::int64_t instant = 0;

    static Until of(const icaltimetype& until) {
        Until u;
        if (icaltime_is_null_time(until) || !plausible(until)) {
            return u;
        }
        u.day = until;
        u.day.zone = nullptr;
        if (until.is_date) {
            u.kind = Kind::day;
        } else if (icaltime_is_utc(until)) {
            u.kind = Kind::instant;
            u.instant = wallSeconds(until);
        } else {
            u.kind = Kind::wall;
        }
        return u;
    }
    bool passed(const icaltimetype& wall, std::int64_t start) const {
        switch (kind) {
        case Kind::day:
            return dayNumber(wall) > dayNumber(day);
        case Kind::wall:
            return wallSeconds(wall) > wallSeconds(day);
        case Kind::instant:
            return start > instant;
        case Kind::none:
            break;
        }
        return false;
    }
};

bool listed(const short* values) {
    return values[0] != ICAL_RECURRENCE_ARRAY_MAX;
}

template <std::size_t N>
bool contains(const short (&values)[N], int wanted) {
    for (std::size_t i = 0; i < N && values[i] != ICAL_RECURRENCE_ARRAY_MAX; ++i) {
        if (values[i] == wanted) {
            return true;
        }
    }
    return false;
}

// A value from the start or the end of a range: 3 is the third, -1 the last of `size`.
template <std::size_t N>
bool containsFromEither(const short (&values)[N], int at, int size) {
    return contains(values, at) || contains(values, at - size - 1);
}

int isoWeek(std::int64_t day, int* weeksInYear) {
    const std::int64_t weekday = ((day + 3) % 7 + 7) % 7; // 0 = Monday; 1970-01-01 was a Thursday
    const std::int64_t thursday = day - weekday + 3;
    const int year = civil(thursday * 86400, true).year;
    icaltimetype jan1 = icaltime_null_time();
    jan1.year = year;
    jan1.month = jan1.day = 1;
    icaltimetype dec28 = jan1;
    dec28.month = 12;
    dec28.day = 28;
    if (weeksInYear != nullptr) {
        *weeksInYear = isoWeek(dayNumber(dec28), nullptr);
    }
    return static_cast<int>((thursday - dayNumber(jan1)) / 7 + 1);
}

// Whether a day passes the day-level parts of a rule whose frequency is below a day, where those
// parts only limit.
bool dayPasses(const icalrecurrencetype& rule, std::int64_t day) {
    const icaltimetype t = civil(day * 86400, true);
    if (listed(rule.by_month) && !contains(rule.by_month, t.month)) {
        return false;
    }
    if (listed(rule.by_month_day) &&
        !containsFromEither(rule.by_month_day, t.day, icaltime_days_in_month(t.month, t.year))) {
        return false;
    }
    if (listed(rule.by_year_day)) {
        icaltimetype jan1 = t;
        jan1.month = jan1.day = 1;
        const int yearDay = static_cast<int>(day - dayNumber(jan1)) + 1;
        if (!containsFromEither(rule.by_year_day, yearDay, icaltime_days_in_year(t.year))) {
            return false;
        }
    }
    if (listed(rule.by_day)) {
        const int weekday = icaltime_day_of_week(t); // 1 = Sunday
        bool any = false;
        for (std::size_t i = 0; i < ICAL_BY_DAY_SIZE && rule.by_day[i] != ICAL_RECURRENCE_ARRAY_MAX;
             ++i) {
            any = any || icalrecurrencetype_day_day_of_week(rule.by_day[i]) == weekday;
        }
        if (!any) {
            return false;
        }
    }
    if (listed(rule.by_week_no)) {
        int weeks = 52;
        const int week = isoWeek(day, &weeks);
        if (!containsFromEither(rule.by_week_no, week, weeks)) {
            return false;
        }
    }
    return true;
}

// Rules that repeat more often than daily but only on some days (BYMONTH, BYMONTHDAY,
// BYYEARDAY, BYDAY, BYWEEKNO): libical walks them one second, minute or hour at a time, also
// through the days they exclude, for minutes or for ever ("FREQ=MINUTELY;BYMONTH=2;
// BYMONTHDAY=30"). They are walked here a day at a time.
// libical 3.0.16 also never matches a negative BYMONTHDAY ("the last day") of a DAILY rule.
bool walkedByDay(const icalrecurrencetype& rule) {
    if (listed(rule.by_set_pos)) {
        return false;
    }
    if (rule.freq == ICAL_DAILY_RECURRENCE) {
        for (std::size_t i = 0;
             i < ICAL_BY_MONTHDAY_SIZE && rule.by_month_day[i] != ICAL_RECURRENCE_ARRAY_MAX; ++i) {
            if (rule.by_month_day[i] < 0) {
                return true;
            }
        }
        return false;
    }
    const bool subDaily = rule.freq == ICAL_SECONDLY_RECURRENCE ||
                          rule.freq == ICAL_MINUTELY_RECURRENCE ||
                          rule.freq == ICAL_HOURLY_RECURRENCE;
    return subDaily && (listed(rule.by_month) || listed(rule.by_month_day) ||
                        listed(rule.by_year_day) || listed(rule.by_day) || listed(rule.by_week_no));
}

// The multiple of `unit` at or before `value`, also for times before 1970.
std::int64_t floorTo(std::int64_t value, std::int64_t unit) {
    return value - ((value % unit) + unit) % unit;
}

// The values of an expanding part, or the one DTSTART gives.
template <std::size_t N>
std::vector<int> valuesOr(const short (&values)[N], int fallback) {
    std::vector<int> out;
    for (std::size_t i = 0; i < N && values[i] != ICAL_RECURRENCE_ARRAY_MAX; ++i) {
        out.push_back(values[i]);
    }
    if (out.empty()) {
        out.push_back(fallback);
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

// How a rule's expansion ended.
enum class Walk { done, cut };

struct Expander {
    const Series& series;
    const Window& window;
    const LocalZone& local;
    int& budget;
    std::chrono::steady_clock::time_point deadline;
    int steps = 0;

    // One more unit of work; false when this event or this file has had its share.
    bool step() {
        if (steps >= maxRecurrenceSteps || budget <= 0) {
            return false;
        }
        ++steps;
        --budget;
        return (steps & 63) != 0 || std::chrono::steady_clock::now() < deadline;
    }
    std::int64_t instantOf(const icaltimetype& wall) const {
        return resolve(TimeValue{wall, series.start.zone}, local);
    }
};

// Walks a rule of walkedByDay() in wall-clock time, as libical does, calling `take` with each
// occurrence from `early` on until the window's end.
template <typename Take>
Walk walkByDay(const icalrecurrencetype& rule, const icaltimetype& dtstart, const Until& until,
               const icaltimetype& early, Expander& expander, Take take) {
    const std::int64_t unit = rule.freq == ICAL_DAILY_RECURRENCE      ? 86400
                              : rule.freq == ICAL_HOURLY_RECURRENCE   ? 3600
                              : rule.freq == ICAL_MINUTELY_RECURRENCE ? 60
                                                                      : 1;
    const std::int64_t stride = unit * std::max<std::int64_t>(rule.interval, 1);
    const std::int64_t first = wallSeconds(dtstart);
    const std::int64_t firstSlot = floorTo(first, unit);
    // The parts that expand a slot: hours of a day, minutes of an hour, seconds of a minute.
    const std::vector<int> hours = unit == 86400 && !dtstart.is_date
                                       ? valuesOr(rule.by_hour, dtstart.hour)
                                       : std::vector<int>{-1};
    const std::vector<int> minutes = unit >= 3600 && !dtstart.is_date
                                         ? valuesOr(rule.by_minute, dtstart.minute)
                                         : std::vector<int>{-1};
    const std::vector<int> seconds = unit > 1 && !dtstart.is_date
                                         ? valuesOr(rule.by_second, dtstart.second)
                                         : std::vector<int>{-1};
    int count = 0;
    bool dtstartCounted = false;
    std::int64_t day = dayNumber(dtstart);
    if (rule.count == 0) {
        day = std::max(day, dayNumber(early));
    }
    for (;; ++day) {
        if (!expander.step()) {
            return Walk::cut;
        }
        const std::int64_t dayStart = day * 86400;
        if (expander.instantOf(civil(dayStart, false)) >= expander.window.to) {
            return Walk::done;
        }
        if (!dayPasses(rule, day)) {
            continue;
        }
        std::int64_t k = dayStart > firstSlot ? (dayStart - firstSlot + stride - 1) / stride : 0;
        for (std::int64_t slot = firstSlot + k * stride; slot < dayStart + 86400; slot += stride) {
            if (!expander.step()) {
                return Walk::cut;
            }
            const icaltimetype at = civil(slot, false);
            if ((unit < 86400 && listed(rule.by_hour) && !contains(rule.by_hour, at.hour)) ||
                (unit < 3600 && listed(rule.by_minute) && !contains(rule.by_minute, at.minute)) ||
                (unit == 1 && listed(rule.by_second) && !contains(rule.by_second, at.second))) {
                continue;
            }
            for (const int hour : hours) {
                for (const int minute : minutes) {
                    for (const int second : seconds) {
                        std::int64_t wall = slot;
                        if (hour >= 0) {
                            wall = floorTo(wall, 86400) + hour * 3600;
                        }
                        if (minute >= 0) {
                            wall = floorTo(wall, 3600) + minute * 60;
                        }
                        if (second >= 0) {
                            wall = floorTo(wall, 60) + second;
                        }
                        if (wall < first) {
                            continue;
                        }
                        const icaltimetype occurrence = civil(wall, dtstart.is_date != 0);
                        const std::int64_t start = expander.instantOf(occurrence);
                        if (until.passed(occurrence, start) || start >= expander.window.to) {
                            return Walk::done;
                        }
                        // DTSTART counts as the first occurrence even where the rule misses it.
                        if (!dtstartCounted) {
                            dtstartCounted = true;
                            count += wall != first ? 1 : 0;
                        }
                        if (rule.count > 0 && ++count > rule.count) {
                            return Walk::done;
                        }
                        if (dayNumber(occurrence) >= dayNumber(early) && !take(occurrence, start)) {
                            return Walk::done;
                        }
                    }
                }
            }
        }
    }
}

// The occurrences of one series found in a window: start → end, ordered and without duplicates.
struct Found {
    const Series& series;
    const Window& window;
    const LocalZone& local;
    std::int64_t exact; // the first occurrence's length
    // How far before the window an occurrence may start and still reach into it.
    std::int64_t reach;
    std::map<std::int64_t, std::int64_t> occurrences;

    bool full() const { return static_cast<int>(occurrences.size()) >= maxOccurrencesPerWindow; }

    void consider(const icaltimetype& wall, std::int64_t start,
                  std::optional<std::int64_t> ownEnd = std::nullopt) {
        if (start + reach < window.from && (!ownEnd || *ownEnd < window.from)) {
            return;
        }
        const Recurrence& recurrence = *series.recurrence;
        for (const Moment& excluded : recurrence.exdates) {
            if (matches(excluded, wall, start, local)) {
                return;
            }
        }
        for (const Moment& replaced : recurrence.overridden) {
            if (matches(replaced, wall, start, local)) {
                return;
            }
        }
        const std::int64_t end =
            ownEnd ? std::max(*ownEnd, start) : occurrenceEnd(series, wall, start, local, exact);
        if (window.overlaps(start, end)) {
            occurrences.emplace(start, end);
        }
    }
};

void considerRdates(Found& found, const TimeValue& seriesStart, const Zone& zone) {
    const Recurrence& recurrence = *found.series.recurrence;
    for (std::size_t i = 0; i < recurrence.rdates.size(); ++i) {
        if (found.full()) {
            break;
        }
        const TimeValue rdate = recurrence.rdates[i].value();
        const Moment& periodEnd = recurrence.rdateEnds[i];
        // An RDATE in another zone is moved to the series' wall clock.
        icaltimetype wall = rdate.t;
        if (!rdate.t.is_date && rdate.zone != seriesStart.zone) {
            wall = civil(wallOfInstant(resolve(rdate, found.local), zone), false);
        }
        found.consider(wall, resolve(TimeValue{wall, seriesStart.zone}, found.local),
                       periodEnd.year != 0 ? std::optional(resolve(periodEnd.value(), found.local))
                                           : std::nullopt);
    }
}

// Walks one RRULE through the window; true when its work ran out before the window's end.
bool considerRule(Found& found, const std::string& text, const TimeValue& seriesStart,
                  const Zone& zone, std::int64_t firstStart, Expander& expander) {
    // The rule is read again from its text: a parsed rule takes kilobytes, and its RSCALE
    // points into the property that holds it.
    const std::string line = "RRULE:" + text;
    icalproperty* property = icalproperty_new_from_string(line.c_str());
    if (property == nullptr) {
        return false;
    }
    icalrecurrencetype rule = icalproperty_get_rrule(property);
    const Until until = Until::of(rule.until);
    rule.until = icaltime_null_time();
    icaltimetype dtstart = seriesStart.t;
    dtstart.zone = nullptr;
    const std::int64_t jumpTo = found.window.from - found.reach;
    // A day earlier on the wall clock than any occurrence that can reach the window.
    icaltimetype early =
        civil(wallOfInstant(std::max(jumpTo, firstStart), zone), found.series.allDay);
    icaltimetype dayBefore = early;
    icaltime_adjust(&dayBefore, -1, 0, 0, 0);
    const auto take = [&](const icaltimetype& next, std::int64_t start) {
        found.consider(next, start);
        return !found.full();
    };
    bool cut = false;
    if (walkedByDay(rule)) {
        cut = walkByDay(rule, dtstart, until, dayBefore, expander, take) == Walk::cut;
        icalproperty_free(property);
        return cut;
    }
    icalrecur_iterator* it = icalrecur_iterator_new(rule, dtstart);
    if (it == nullptr) {
        icalproperty_free(property);
        return false;
    }
    if (rule.count == 0 && jumpTo > firstStart) {
        icalrecur_iterator_set_start(it, early);
    }
    for (;;) {
        if (!expander.step()) {
            cut = true;
            break;
        }
        icaltimetype next = icalrecur_iterator_next(it);
        if (icaltime_is_null_time(next) || !plausible(next)) {
            break;
        }
        next.zone = nullptr;
        const std::int64_t start = expander.instantOf(next);
        if (until.passed(next, start) || start >= found.window.to) {
            break;
        }
        if (icaltime_compare(next, dayBefore) < 0) {
            continue; // long before the window (rules with COUNT start from the beginning)
        }
        if (!take(next, start)) {
            break;
        }
    }
    icalrecur_iterator_free(it);
    icalproperty_free(property);
    return cut;
}

void expand(const CalendarFile::Data& data, const Series& series, const Window& window,
            const LocalZone& local, int& budget, std::vector<EventOccurrence>& out) {
    const Recurrence& recurrence = *series.recurrence;
    if (const auto& last = recurrence.lastExpansion;
        last && last->zone == local.zone() && last->from == window.from && last->to == window.to) {
        for (const auto& [start, end] : last->occurrences) {
            emit(data, series, start, end, out);
        }
        return;
    }
    const TimeValue seriesStart = series.start.value();
    const Zone& zone = seriesStart.zone != nullptr ? *seriesStart.zone : localZone(local);
    const std::int64_t firstStart = resolve(seriesStart, local);
    const std::int64_t firstEnd = occurrenceEnd(series, seriesStart.t, firstStart, local);
    // The margin of the reach covers a daylight-saving shift between the occurrences' lengths.
    Found found{series,
                window,
                local,
                firstEnd - firstStart,
                std::max<std::int64_t>(firstEnd - firstStart, 0) + 3 * 3600,
                {}};

    found.consider(seriesStart.t, firstStart); // DTSTART is always the first occurrence
    considerRdates(found, seriesStart, zone);
    Expander expander{series, window, local, budget,
                      std::chrono::steady_clock::now() + maxRecurrenceTime};
    bool cut = false;
    for (const std::string& text : recurrence.rules) {
        cut = considerRule(found, text, seriesStart, zone, firstStart, expander) || cut;
    }

    Recurrence::Expansion expansion{local.zone(), window.from, window.to, cut, {}};
    for (const auto& [start, end] : found.occurrences) {
        if (static_cast<int>(expansion.occurrences.size()) >= maxOccurrencesPerWindow) {
            break;
        }
        expansion.occurrences.emplace_back(start, end);
        emit(data, series, start, end, out);
    }
    recurrence.lastExpansion = std::move(expansion);
}

std::int64_t seconds(Date d) {
    return std::chrono::duration_cast<std::chrono::seconds>(d.time_since_epoch()).count();
}

} // namespace

void CalendarFile::events(Date from, Date to, const LocalZone& local,
                          std::vector<EventOccurrence>& out) const {
    const Window window{seconds(from), seconds(to)};
    const Data& data = *data_;
    if (data.resolvedZone != local.zone()) {
        for (const Series& series : data.series) {
            if (!series.recurring()) {
                const TimeValue start = series.start.value();
                series.resolvedStart = resolve(start, local);
                series.resolvedEnd = occurrenceEnd(series, start.t, series.resolvedStart, local);
            }
        }
        data.resolvedZone = local.zone();
    }
    int budget = maxRecurrenceStepsPerFile;
    for (const Series& series : data.series) {
        if (series.recurring()) {
            expand(data, series, window, local, budget, out);
        } else if (window.overlaps(series.resolvedStart, series.resolvedEnd)) {
            emit(data, series, series.resolvedStart, series.resolvedEnd, out);
        }
    }
}

void CalendarFile::incompleteTasks(const LocalZone& local, std::vector<TaskRecord>& out) const {
    const Data& data = *data_;
    for (const Task& task : data.tasks) {
        TaskRecord record{data.itemId(task.uid, task.index), std::string(data.view(task.title)),
                          std::nullopt, false, task.priority};
        std::optional<TimeValue> due;
        if (task.hasDue) {
            due = task.due.value();
        } else if (task.hasStart && task.hasDuration) {
            // DTSTART plus DURATION stands for DUE.
            TimeValue shifted = task.start.value();
            icaldurationtype duration = icaldurationtype_null_duration();
            duration.days = static_cast<unsigned int>(task.duration.days);
            duration.hours = static_cast<unsigned int>(task.duration.hours);
            duration.minutes = static_cast<unsigned int>(task.duration.minutes);
            duration.seconds = static_cast<unsigned int>(task.duration.seconds);
            shifted.t = icaltime_add(shifted.t, duration);
            if (plausible(shifted.t)) {
                due = shifted;
            }
        }
        if (due) {
            const std::int64_t at = resolve(*due, local);
            if (inRange(at)) {
                record.due = toDate(at);
                record.hasTime = due->t.is_date == 0;
            }
        }
        out.push_back(std::move(record));
    }
}

std::vector<std::string> CalendarFile::cutShortEvents() const {
    std::vector<std::string> names;
    const Data& data = *data_;
    for (const Series& series : data.series) {
        if (series.recurrence && series.recurrence->lastExpansion &&
            series.recurrence->lastExpansion->cut) {
            const std::string_view title = data.view(series.title);
            names.emplace_back(!title.empty() ? std::string(title)
                                              : data.itemId(series.uid, series.index));
        }
    }
    return names;
}

std::optional<Date> instantOf(const icaltimetype& value, const LocalZone& local) {
    if (!plausible(value)) {
        return std::nullopt;
    }
    TimeValue resolved{value, nullptr};
    // The zone of a value from Evolution Data Server: the system's rules for an IANA name, else
    // the zone's own definition.
    Zone own;
    if (icaltime_is_utc(value)) {
        resolved.zone = &utcZone();
    } else if (value.zone != nullptr) {
        auto* zone = const_cast<icaltimezone*>(value.zone);
        const char* tzid = icaltimezone_get_tzid(zone);
        resolved.zone = tzid != nullptr ? systemZone(tzid) : nullptr;
        if (resolved.zone == nullptr) {
            own.own = zone;
            resolved.zone = &own;
        }
    }
    const std::int64_t at = resolve(resolved, local);
    return inRange(at) ? std::optional<Date>(toDate(at)) : std::nullopt;
}

} // namespace brivane::ical

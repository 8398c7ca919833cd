#include "Brivane/calendar/ICalendarReader.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <libical/ical.h>
#include <map>
#include <mutex>
#include <set>
#include <strings.h>
#include <unordered_map>
#include <unordered_set>

namespace brivane::ical {

namespace {

void initialiseLibical() {
    static std::once_flag once;
    std::call_once(once, [] {
        // A malformed file must never abort the process.
        icalerror_set_errors_are_fatal(0);
    });
}

// A date or date-time value with the zone it is read in; zone null means floating (local).
struct TimeValue {
    icaltimetype t = icaltime_null_time();
    icaltimezone* zone = nullptr;
};

// Instants outside roughly ±100,000 years cannot be held as milliseconds safely.
constexpr std::int64_t instantLimit = 3'000'000'000'000LL;

icaltimezone* localZone(const LocalZone& local) {
    return static_cast<icaltimezone*>(const_cast<void*>(local.zone()));
}

// Seconds since 1970 of a value; all-day dates are the start of that day in the local zone.
std::int64_t resolve(const TimeValue& value, const LocalZone& local) {
    icaltimetype t = value.t;
    icaltimezone* zone = value.zone;
    if (t.is_date) {
        t.is_date = 0;
        t.hour = t.minute = t.second = 0;
        zone = nullptr;
    }
    if (zone == nullptr) {
        zone = localZone(local);
    }
    t.zone = nullptr;
    // libical recomputes a zone's transitions at every call past its coverage (about 2582),
    // which takes milliseconds. The Gregorian calendar and the zones' recurring rules repeat
    // every 400 years (146,097 days), so far dates are converted 400-year periods earlier.
    std::int64_t shift = 0;
    if (t.year >= 2400 && zone != icaltimezone_get_utc_timezone()) {
        const int periods = (t.year - 2000) / 400;
        t.year -= periods * 400;
        shift = static_cast<std::int64_t>(periods) * 146097 * 86400;
    }
    return static_cast<std::int64_t>(icaltime_as_timet_with_zone(t, zone)) + shift;
}

Date toDate(std::int64_t seconds) {
    return Date{std::chrono::milliseconds{seconds * 1000}};
}

bool inRange(std::int64_t seconds) {
    return seconds > -instantLimit && seconds < instantLimit;
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

icaltimezone* lookUpSystemZone(std::string_view tzid);

// An IANA zone from the system tzdata for a TZID, also when it carries a vendor prefix such as
// "/freeassociation.sourceforge.net/Tzfile/Europe/Rome" or "/citadel.org/20190914_1/Europe/Rome".
// Remembered per process: libical's own lookup is a linear search, and its zones live forever.
icaltimezone* systemZone(std::string_view tzid) {
    static std::mutex mutex;
    static std::unordered_map<std::string, icaltimezone*> known;
    std::lock_guard lock(mutex);
    const std::string key(tzid);
    if (const auto found = known.find(key); found != known.end()) {
        return found->second;
    }
    icaltimezone* zone = lookUpSystemZone(tzid);
    if (known.size() < 4096) {
        known.emplace(key, zone);
    }
    return zone;
}

icaltimezone* lookUpSystemZone(std::string_view tzid) {
    if (tzid == "UTC" || tzid == "GMT" || tzid == "Z" || tzid == "Etc/UTC" || tzid == "Etc/GMT") {
        return icaltimezone_get_utc_timezone();
    }
    std::size_t from = 0;
    while (from < tzid.size()) {
        std::string_view candidate = tzid.substr(from);
        if (ianaCandidate(candidate)) {
            std::string name(candidate);
            if (icaltimezone* zone = icaltimezone_get_builtin_timezone(name.c_str())) {
                return zone;
            }
        }
        const std::size_t slash = tzid.find('/', from);
        if (slash == std::string_view::npos) {
            break;
        }
        from = slash + 1;
    }
    return nullptr;
}

} // namespace

LocalZone::LocalZone(std::string_view ianaName) : name_(ianaName) {
    initialiseLibical();
    icaltimezone* zone = systemZone(ianaName);
    zone_ = zone != nullptr ? zone : icaltimezone_get_utc_timezone();
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
    icaltimezone* zone = nullptr;

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
    std::vector<Moment> exdates;
    std::vector<Moment> overridden; // RECURRENCE-IDs of instances given as their own items

    // The occurrences in the last window asked for: every refresh of a day asks for the same
    // window, and expanding a rule is the costly part of a read.
    struct Expansion {
        const void* zone = nullptr;
        std::int64_t from = 0;
        std::int64_t to = 0;
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
    std::vector<icaltimezone*> fileZones;
    std::unordered_map<std::string, icaltimezone*> zoneByTzid;
    std::vector<Series> series;
    std::vector<Task> tasks; // incomplete ones only
    std::size_t completedTasks = 0;
    mutable const void* resolvedZone = nullptr;

    ~Data() {
        for (icaltimezone* zone : fileZones) {
            icaltimezone_free(zone, 1);
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
        std::string name = tzid;
        icaltimezone* zone = icaltimezone_new();
        if (icaltimezone_set_component(zone, vtz) == 0) {
            icalcomponent_free(vtz);
            icaltimezone_free(zone, 1);
            return;
        }
        fileZones.push_back(zone);
        zoneByTzid.emplace(std::move(name), zone);
    }

    // System zones first for IANA names (current rules), then the file's own VTIMEZONE; an
    // unknown TZID leaves the time floating.
    icaltimezone* zoneFor(icalproperty* property) {
        icalparameter* parameter = icalproperty_get_first_parameter(property, ICAL_TZID_PARAMETER);
        if (parameter == nullptr || icalparameter_get_tzid(parameter) == nullptr) {
            return nullptr;
        }
        const std::string tzid = icalparameter_get_tzid(parameter);
        if (icaltimezone* zone = systemZone(tzid)) {
            return zone;
        }
        const auto found = zoneByTzid.find(tzid);
        return found != zoneByTzid.end() ? found->second : nullptr;
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
            value.zone = icaltimezone_get_utc_timezone();
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
            const icaltimetype t =
                icaltime_is_null_time(rdate.time) ? rdate.period.start : rdate.time;
            if (auto value = timeValue(p, t)) {
                recurrence.rdates.push_back(Moment::of(*value));
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
                         (r->rdates.capacity() + r->exdates.capacity() + r->overridden.capacity()) *
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

std::shared_ptr<CalendarFile> CalendarFile::parse(std::string_view bytes,
                                                  std::string_view keyBase) {
    initialiseLibical();
    std::shared_ptr<CalendarFile> file(new CalendarFile());
    const auto fail = [&](std::string italian, std::string english) {
        file->error_ = Problem{std::move(italian), std::move(english)};
        return file;
    };
    if (bytes.size() > maxFileBytes) {
        return fail("file troppo grande (oltre 20 MB)", "file too large (over 20 MB)");
    }
    if (bytes.find('\0') != std::string_view::npos) {
        return fail("file binario, non iCalendar", "binary file, not iCalendar");
    }
    if (bytes.substr(0, 3) == "\xEF\xBB\xBF") {
        bytes.remove_prefix(3);
    }
    if (!isValidUtf8(bytes)) {
        return fail("il testo non è UTF-8", "the text is not UTF-8");
    }
    const std::string_view body = trimmed(bytes);
    if (!startsWithNoCase(body, "BEGIN:VCALENDAR")) {
        return fail("non è un file iCalendar", "not an iCalendar file");
    }
    if (!endsWithNoCase(body, "END:VCALENDAR")) {
        return fail("file troncato (manca END:VCALENDAR)",
                    "truncated file (END:VCALENDAR missing)");
    }

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
    // Overridden instances are collected first, then matched to their series by UID.
    std::vector<std::pair<Series, Moment>> overrides;
    std::unordered_set<std::string> masterTaskUids;
    std::vector<std::pair<std::string, std::optional<Task>>> taskOverrides;
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
        if (piece.kind == ICAL_VEVENT_COMPONENT) {
            Series series;
            series.index = index;
            if (!data.readEvent(c, series)) {
                ++file->skipped_;
            } else if (recurrenceId && !uid.empty()) {
                series.uid = data.keep(uid);
                overrides.emplace_back(std::move(series), Moment::of(*recurrenceId));
            } else {
                series.uid = data.keep(uid);
                data.readRecurrence(c, series);
                data.series.push_back(std::move(series));
            }
        } else {
            Task task;
            task.index = index;
            const bool open = data.readTask(c, task);
            if (open) {
                task.uid = data.keep(uid);
            }
            if (recurrenceId && !uid.empty()) {
                taskOverrides.emplace_back(std::string(uid),
                                           open ? std::optional<Task>(task) : std::nullopt);
            } else {
                if (!uid.empty()) {
                    masterTaskUids.emplace(uid);
                }
                if (open) {
                    data.tasks.push_back(task);
                } else {
                    ++data.completedTasks;
                }
            }
        }
        icalcomponent_free(c);
    }

    // An overridden instance replaces its occurrence in the series; one without a series (an
    // invitation to a single occurrence) stands alone.
    std::unordered_map<std::string_view, std::size_t> seriesByUid;
    for (std::size_t i = 0; i < data.series.size(); ++i) {
        if (data.series[i].uid.size > 0 && data.series[i].recurring()) {
            seriesByUid.emplace(data.view(data.series[i].uid), i);
        }
    }
    for (auto& [instance, recurrenceId] : overrides) {
        const auto master = seriesByUid.find(data.view(instance.uid));
        if (master != seriesByUid.end()) {
            data.series[master->second].recurrence->overridden.push_back(recurrenceId);
        }
        data.series.push_back(std::move(instance));
    }
    // A recurring task is one task: its overridden instances only count without a master.
    for (auto& [uid, task] : taskOverrides) {
        if (masterTaskUids.insert(uid).second) {
            if (task) {
                data.tasks.push_back(*task);
            } else {
                ++data.completedTasks;
            }
        }
    }
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
            exact = resolve(series.end.value(), local) - resolve(series.start.value(), local);
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
    icaltimezone* zone = seriesStart.zone != nullptr ? seriesStart.zone : localZone(local);
    const std::int64_t firstStart = resolve(seriesStart, local);
    const std::int64_t firstEnd = occurrenceEnd(series, seriesStart.t, firstStart, local);
    const std::int64_t exact = firstEnd - firstStart;
    // How far before the window an occurrence may start and still reach into it; the margin
    // covers a daylight-saving shift between the occurrences' lengths.
    const std::int64_t reach = std::max<std::int64_t>(firstEnd - firstStart, 0) + 3 * 3600;

    std::map<std::int64_t, std::int64_t> found; // start → end, ordered and without duplicates
    const auto consider = [&](const icaltimetype& wall, std::int64_t start) {
        if (start + reach < window.from) {
            return;
        }
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
        const std::int64_t end = occurrenceEnd(series, wall, start, local, exact);
        if (window.overlaps(start, end)) {
            found.emplace(start, end);
        }
    };

    consider(seriesStart.t, firstStart); // DTSTART is always the first occurrence
    for (const Moment& moment : recurrence.rdates) {
        if (static_cast<int>(found.size()) >= maxOccurrencesPerWindow) {
            break;
        }
        const TimeValue rdate = moment.value();
        // An RDATE in another zone is moved to the series' wall clock.
        icaltimetype wall = rdate.t;
        if (!rdate.t.is_date && rdate.zone != seriesStart.zone) {
            wall =
                icaltime_from_timet_with_zone(static_cast<time_t>(resolve(rdate, local)), 0, zone);
            wall.zone = nullptr;
        }
        consider(wall, resolve(TimeValue{wall, seriesStart.zone}, local));
    }
    for (const std::string& text : recurrence.rules) {
        // The rule is read again from its text: a parsed rule takes kilobytes, and its RSCALE
        // points into the property that holds it.
        const std::string line = "RRULE:" + text;
        icalproperty* property = icalproperty_new_from_string(line.c_str());
        if (property == nullptr) {
            continue;
        }
        const icalrecurrencetype rule = icalproperty_get_rrule(property);
        icaltimetype dtstart = seriesStart.t;
        dtstart.zone = nullptr;
        icalrecur_iterator* it = icalrecur_iterator_new(rule, dtstart);
        if (it == nullptr) {
            icalproperty_free(property);
            continue;
        }
        const std::int64_t jumpTo = window.from - reach;
        // A day earlier on the wall clock than any occurrence that can reach the window.
        icaltimetype early = icaltime_from_timet_with_zone(
            static_cast<time_t>(std::max(jumpTo, firstStart)), series.allDay ? 1 : 0, zone);
        early.zone = nullptr;
        if (rule.count == 0 && jumpTo > firstStart) {
            icalrecur_iterator_set_start(it, early);
        }
        icaltime_adjust(&early, -1, 0, 0, 0);
        for (int step = 0; step < maxRecurrenceSteps && budget > 0; ++step, --budget) {
            if (static_cast<int>(found.size()) >= maxOccurrencesPerWindow) {
                break;
            }
            icaltimetype next = icalrecur_iterator_next(it);
            if (icaltime_is_null_time(next) || !plausible(next)) {
                break;
            }
            next.zone = nullptr;
            if (icaltime_compare(next, early) < 0) {
                continue; // long before the window (rules with COUNT start from the beginning)
            }
            const std::int64_t start = resolve(TimeValue{next, seriesStart.zone}, local);
            if (start >= window.to) {
                break;
            }
            consider(next, start);
        }
        icalrecur_iterator_free(it);
        icalproperty_free(property);
    }

    Recurrence::Expansion expansion{local.zone(), window.from, window.to, {}};
    for (const auto& [start, end] : found) {
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

} // namespace brivane::ical

#include "Brivane/calendar/ICalendarReader.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <libical/ical.h>
#include <map>
#include <mutex>
#include <set>
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

bool sameDay(const icaltimetype& a, const icaltimetype& b) {
    return a.year == b.year && a.month == b.month && a.day == b.day;
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

struct Series {
    std::string uid;
    std::string itemId;
    std::string title;
    bool cancelled = false;
    bool allDay = false;
    TimeValue start;
    std::optional<TimeValue> end;
    std::optional<icaldurationtype> duration;
    std::vector<icalrecurrencetype> rules;
    std::vector<TimeValue> rdates;
    std::vector<TimeValue> exdates;
    std::vector<TimeValue> overridden; // RECURRENCE-IDs of instances given as their own items
    bool recurring() const { return !rules.empty() || !rdates.empty(); }

    // The resolved start and end of a single event, for the zone they were resolved in.
    mutable const void* resolvedFor = nullptr;
    mutable std::int64_t resolvedStart = 0;
    mutable std::int64_t resolvedEnd = 0;

    // The occurrences of a recurring event in the last window asked for: every refresh of a day
    // asks for the same window, and expanding a rule is the costly part of a read.
    struct Expansion {
        const void* zone = nullptr;
        std::int64_t from = 0;
        std::int64_t to = 0;
        std::vector<std::pair<std::int64_t, std::int64_t>> occurrences;
    };
    mutable std::optional<Expansion> lastExpansion;
};

struct Task {
    std::string itemId;
    std::string title;
    bool completed = false;
    std::optional<TimeValue> due;
    std::optional<TimeValue> start;
    std::optional<icaldurationtype> duration;
    int priority = 0;
};

struct CalendarFile::Data {
    // The parsed tree, kept only while recurrence rules point into it (RSCALE); everything else
    // is copied out, so that a large store does not hold thousands of trees.
    std::vector<icalcomponent*> roots;
    std::vector<icaltimezone*> fileZones;
    std::unordered_map<std::string, icaltimezone*> zoneByTzid;
    std::vector<Series> series;
    std::vector<Task> tasks;

    ~Data() {
        for (icaltimezone* zone : fileZones) {
            icaltimezone_free(zone, 1);
        }
        for (icalcomponent* root : roots) {
            icalcomponent_free(root);
        }
    }

    void collectZones(icalcomponent* calendar) {
        for (icalcomponent* vtz =
                 icalcomponent_get_first_component(calendar, ICAL_VTIMEZONE_COMPONENT);
             vtz != nullptr;
             vtz = icalcomponent_get_next_component(calendar, ICAL_VTIMEZONE_COMPONENT)) {
            icalproperty* tzidProperty = icalcomponent_get_first_property(vtz, ICAL_TZID_PROPERTY);
            if (tzidProperty == nullptr || icalproperty_get_tzid(tzidProperty) == nullptr) {
                continue;
            }
            std::string tzid = icalproperty_get_tzid(tzidProperty);
            if (zoneByTzid.count(tzid) != 0) {
                continue;
            }
            icaltimezone* zone = icaltimezone_new();
            if (icaltimezone_set_component(zone, icalcomponent_new_clone(vtz)) == 0) {
                icaltimezone_free(zone, 1);
                continue;
            }
            fileZones.push_back(zone);
            zoneByTzid.emplace(std::move(tzid), zone);
        }
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

    static std::optional<icaldurationtype> durationProperty(icalcomponent* component) {
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
        return duration;
    }

    static std::string uidOf(icalcomponent* component) {
        icalproperty* property = icalcomponent_get_first_property(component, ICAL_UID_PROPERTY);
        return property != nullptr ? text(icalproperty_get_uid(property)) : std::string();
    }

    static std::string summaryOf(icalcomponent* component) {
        icalproperty* property = icalcomponent_get_first_property(component, ICAL_SUMMARY_PROPERTY);
        return property != nullptr ? text(icalproperty_get_summary(property)) : std::string();
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
        target.start = *start;
        target.allDay = start->t.is_date != 0;
        target.title = summaryOf(component);
        target.cancelled = statusOf(component) == ICAL_STATUS_CANCELLED;
        target.end = timeProperty(component, ICAL_DTEND_PROPERTY);
        if (!target.end) {
            target.duration = durationProperty(component);
        }
        return true;
    }

    void readRecurrence(icalcomponent* component, Series& target) {
        for (icalproperty* p = icalcomponent_get_first_property(component, ICAL_RRULE_PROPERTY);
             p != nullptr; p = icalcomponent_get_next_property(component, ICAL_RRULE_PROPERTY)) {
            icalrecurrencetype rule = icalproperty_get_rrule(p);
            if (rule.freq != ICAL_NO_RECURRENCE && rule.interval > 0) {
                target.rules.push_back(rule);
            }
        }
        for (icalproperty* p = icalcomponent_get_first_property(component, ICAL_RDATE_PROPERTY);
             p != nullptr; p = icalcomponent_get_next_property(component, ICAL_RDATE_PROPERTY)) {
            const icaldatetimeperiodtype rdate = icalproperty_get_rdate(p);
            const icaltimetype t =
                icaltime_is_null_time(rdate.time) ? rdate.period.start : rdate.time;
            if (auto value = timeValue(p, t)) {
                target.rdates.push_back(*value);
            }
        }
        for (icalproperty* p = icalcomponent_get_first_property(component, ICAL_EXDATE_PROPERTY);
             p != nullptr; p = icalcomponent_get_next_property(component, ICAL_EXDATE_PROPERTY)) {
            if (auto value = timeValue(p, icalproperty_get_exdate(p))) {
                target.exdates.push_back(*value);
            }
        }
    }

    void readTask(icalcomponent* component, Task& task) {
        task.title = summaryOf(component);
        const icalproperty_status status = statusOf(component);
        const bool completedProperty =
            icalcomponent_get_first_property(component, ICAL_COMPLETED_PROPERTY) != nullptr;
        icalproperty* percent =
            icalcomponent_get_first_property(component, ICAL_PERCENTCOMPLETE_PROPERTY);
        const bool fullyDone =
            percent != nullptr && icalproperty_get_percentcomplete(percent) >= 100;
        task.completed = completedProperty || fullyDone || status == ICAL_STATUS_COMPLETED ||
                         status == ICAL_STATUS_CANCELLED;
        task.due = timeProperty(component, ICAL_DUE_PROPERTY);
        if (!task.due) {
            task.start = timeProperty(component, ICAL_DTSTART_PROPERTY);
            if (task.start) {
                task.duration = durationProperty(component);
            }
        }
        if (icalproperty* p = icalcomponent_get_first_property(component, ICAL_PRIORITY_PROPERTY)) {
            task.priority = icalproperty_get_priority(p);
        }
    }
};

CalendarFile::CalendarFile() : data_(std::make_unique<Data>()) {}
CalendarFile::~CalendarFile() = default;

std::size_t CalendarFile::eventCount() const {
    return data_->series.size();
}
std::size_t CalendarFile::taskCount() const {
    return data_->tasks.size();
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

    const std::string owned(body);
    icalcomponent* root = icalparser_parse_string(owned.c_str());
    if (root == nullptr) {
        return fail("non è un file iCalendar valido", "not a valid iCalendar file");
    }
    Data& data = *file->data_;
    data.roots.push_back(root);

    std::vector<icalcomponent*> calendars;
    if (icalcomponent_isa(root) == ICAL_VCALENDAR_COMPONENT) {
        calendars.push_back(root);
    } else if (icalcomponent_isa(root) == ICAL_XROOT_COMPONENT) {
        for (icalcomponent* c = icalcomponent_get_first_component(root, ICAL_VCALENDAR_COMPONENT);
             c != nullptr; c = icalcomponent_get_next_component(root, ICAL_VCALENDAR_COMPONENT)) {
            calendars.push_back(c);
        }
    }
    if (calendars.empty()) {
        return fail("non è un file iCalendar valido", "not a valid iCalendar file");
    }

    int index = 0;
    const auto fallbackKey = [&] { return std::string(keyBase) + "#" + std::to_string(index); };
    // Overridden instances are collected first, then matched to their series by UID.
    std::vector<std::pair<Series, TimeValue>> overrides;
    std::unordered_set<std::string> masterTaskUids;
    std::vector<std::pair<std::string, Task>> taskOverrides;

    for (icalcomponent* calendar : calendars) {
        if (file->calendarName_.empty()) {
            for (icalproperty* p = icalcomponent_get_first_property(calendar, ICAL_X_PROPERTY);
                 p != nullptr; p = icalcomponent_get_next_property(calendar, ICAL_X_PROPERTY)) {
                const char* name = icalproperty_get_x_name(p);
                if (name != nullptr && std::strcmp(name, "X-WR-CALNAME") == 0) {
                    file->calendarName_ = text(icalproperty_get_x(p));
                    break;
                }
            }
        }
        data.collectZones(calendar);
        for (icalcomponent* c = icalcomponent_get_first_component(calendar, ICAL_ANY_COMPONENT);
             c != nullptr; c = icalcomponent_get_next_component(calendar, ICAL_ANY_COMPONENT)) {
            const icalcomponent_kind kind = icalcomponent_isa(c);
            if (kind != ICAL_VEVENT_COMPONENT && kind != ICAL_VTODO_COMPONENT) {
                continue;
            }
            ++index;
            const std::string uid = Data::uidOf(c);
            const std::optional<TimeValue> recurrenceId =
                data.timeProperty(c, ICAL_RECURRENCEID_PROPERTY);
            if (kind == ICAL_VEVENT_COMPONENT) {
                Series series;
                series.uid = uid;
                series.itemId = uid.empty() ? fallbackKey() : uid;
                if (!data.readEvent(c, series)) {
                    ++file->skipped_;
                    continue;
                }
                if (recurrenceId && !uid.empty()) {
                    overrides.emplace_back(std::move(series), *recurrenceId);
                    continue;
                }
                data.readRecurrence(c, series);
                data.series.push_back(std::move(series));
            } else {
                Task task;
                task.itemId = uid.empty() ? fallbackKey() : uid;
                data.readTask(c, task);
                if (recurrenceId && !uid.empty()) {
                    taskOverrides.emplace_back(uid, std::move(task));
                    continue;
                }
                if (!uid.empty()) {
                    masterTaskUids.insert(uid);
                }
                data.tasks.push_back(std::move(task));
            }
        }
    }

    // An overridden instance replaces its occurrence in the series; one without a series (an
    // invitation to a single occurrence) stands alone.
    std::unordered_map<std::string, std::size_t> seriesByUid;
    for (std::size_t i = 0; i < data.series.size(); ++i) {
        if (!data.series[i].uid.empty() && data.series[i].recurring()) {
            seriesByUid.emplace(data.series[i].uid, i);
        }
    }
    for (auto& [instance, recurrenceId] : overrides) {
        const auto master = seriesByUid.find(instance.uid);
        if (master != seriesByUid.end()) {
            data.series[master->second].overridden.push_back(recurrenceId);
        }
        data.series.push_back(std::move(instance));
    }
    // A recurring task is one task: its overridden instances only count without a master.
    for (auto& [uid, task] : taskOverrides) {
        if (masterTaskUids.insert(uid).second) {
            data.tasks.push_back(std::move(task));
        }
    }
    if (std::none_of(data.series.begin(), data.series.end(),
                     [](const Series& series) { return !series.rules.empty(); })) {
        for (icalcomponent* tree : data.roots) {
            icalcomponent_free(tree);
        }
        data.roots.clear();
    }
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
        if (series.end && series.end->t.is_date) {
            days = dayNumber(series.end->t) - dayNumber(series.start.t);
        } else if (series.end) {
            days =
                dayNumber(series.end->t) - dayNumber(series.start.t) +
                ((series.end->t.hour | series.end->t.minute | series.end->t.second) != 0 ? 1 : 0);
        } else if (series.duration) {
            days = series.duration->weeks * 7 + series.duration->days;
        }
        days = std::clamp<std::int64_t>(days, 1, 40000);
        icaltimetype endDay = startWall;
        icaltime_adjust(&endDay, static_cast<int>(days), 0, 0, 0);
        return resolve(TimeValue{endDay, nullptr}, local);
    }
    if (series.end) {
        if (!exact) {
            exact = resolve(*series.end, local) - resolve(series.start, local);
        }
        return start + std::max<std::int64_t>(*exact, 0);
    }
    if (series.duration) {
        const icaldurationtype& d = *series.duration;
        const std::int64_t seconds =
            static_cast<std::int64_t>(d.hours) * 3600 + d.minutes * 60 + d.seconds;
        const int days = static_cast<int>(d.weeks * 7 + d.days);
        if (days == 0) {
            return start + seconds;
        }
        // Whole days are calendar days: the same wall time, also across a DST change.
        icaltimetype endWall = startWall;
        icaltime_adjust(&endWall, days, 0, 0, 0);
        return resolve(TimeValue{endWall, series.start.zone}, local) + seconds;
    }
    return start;
}

bool matches(const TimeValue& excluded, const icaltimetype& wall, std::int64_t start,
             const LocalZone& local) {
    if (excluded.t.is_date) {
        return sameDay(excluded.t, wall);
    }
    return resolve(excluded, local) == start;
}

void emit(const Series& series, std::int64_t start, std::int64_t end,
          std::vector<EventOccurrence>& out) {
    if (!inRange(start) || !inRange(end)) {
        return;
    }
    out.push_back(EventOccurrence{series.uid, series.itemId, series.title, toDate(start),
                                  toDate(end), series.allDay, series.cancelled});
}

void expand(const Series& series, const Window& window, const LocalZone& local, int& budget,
            std::vector<EventOccurrence>& out) {
    if (const auto& last = series.lastExpansion;
        last && last->zone == local.zone() && last->from == window.from && last->to == window.to) {
        for (const auto& [start, end] : last->occurrences) {
            emit(series, start, end, out);
        }
        return;
    }
    icaltimezone* zone = series.start.zone != nullptr ? series.start.zone : localZone(local);
    const std::int64_t firstStart = resolve(series.start, local);
    const std::int64_t firstEnd = occurrenceEnd(series, series.start.t, firstStart, local);
    const std::int64_t exact = firstEnd - firstStart;
    // How far before the window an occurrence may start and still reach into it; the margin
    // covers a daylight-saving shift between the occurrences' lengths.
    const std::int64_t reach = std::max<std::int64_t>(firstEnd - firstStart, 0) + 3 * 3600;

    std::map<std::int64_t, std::int64_t> found; // start → end, ordered and without duplicates
    const auto consider = [&](const icaltimetype& wall, std::int64_t start) {
        if (start + reach < window.from) {
            return;
        }
        for (const TimeValue& excluded : series.exdates) {
            if (matches(excluded, wall, start, local)) {
                return;
            }
        }
        for (const TimeValue& replaced : series.overridden) {
            if (matches(replaced, wall, start, local)) {
                return;
            }
        }
        const std::int64_t end = occurrenceEnd(series, wall, start, local, exact);
        if (window.overlaps(start, end)) {
            found.emplace(start, end);
        }
    };

    consider(series.start.t, firstStart); // DTSTART is always the first occurrence
    for (const TimeValue& rdate : series.rdates) {
        if (static_cast<int>(found.size()) >= maxOccurrencesPerWindow) {
            break;
        }
        // An RDATE in another zone is moved to the series' wall clock.
        icaltimetype wall = rdate.t;
        if (!rdate.t.is_date && rdate.zone != series.start.zone) {
            wall =
                icaltime_from_timet_with_zone(static_cast<time_t>(resolve(rdate, local)), 0, zone);
            wall.zone = nullptr;
        }
        consider(wall, resolve(TimeValue{wall, series.start.zone}, local));
    }
    for (const icalrecurrencetype& rule : series.rules) {
        icaltimetype dtstart = series.start.t;
        dtstart.zone = nullptr;
        icalrecur_iterator* it = icalrecur_iterator_new(rule, dtstart);
        if (it == nullptr) {
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
            const std::int64_t start = resolve(TimeValue{next, series.start.zone}, local);
            if (start >= window.to) {
                break;
            }
            consider(next, start);
        }
        icalrecur_iterator_free(it);
    }

    Series::Expansion expansion{local.zone(), window.from, window.to, {}};
    for (const auto& [start, end] : found) {
        if (static_cast<int>(expansion.occurrences.size()) >= maxOccurrencesPerWindow) {
            break;
        }
        expansion.occurrences.emplace_back(start, end);
        emit(series, start, end, out);
    }
    series.lastExpansion = std::move(expansion);
}

std::int64_t seconds(Date d) {
    return std::chrono::duration_cast<std::chrono::seconds>(d.time_since_epoch()).count();
}

} // namespace

void CalendarFile::events(Date from, Date to, const LocalZone& local,
                          std::vector<EventOccurrence>& out) const {
    const Window window{seconds(from), seconds(to)};
    int budget = maxRecurrenceStepsPerFile;
    for (const Series& series : data_->series) {
        if (series.recurring()) {
            expand(series, window, local, budget, out);
            continue;
        }
        if (series.resolvedFor != local.zone()) {
            series.resolvedStart = resolve(series.start, local);
            series.resolvedEnd = occurrenceEnd(series, series.start.t, series.resolvedStart, local);
            series.resolvedFor = local.zone();
        }
        if (window.overlaps(series.resolvedStart, series.resolvedEnd)) {
            emit(series, series.resolvedStart, series.resolvedEnd, out);
        }
    }
}

void CalendarFile::incompleteTasks(const LocalZone& local, std::vector<TaskRecord>& out) const {
    for (const Task& task : data_->tasks) {
        if (task.completed) {
            continue;
        }
        TaskRecord record{task.itemId, task.title, std::nullopt, false, task.priority};
        std::optional<TimeValue> due = task.due;
        if (!due && task.start && task.duration) {
            // DTSTART plus DURATION stands for DUE.
            TimeValue shifted = *task.start;
            shifted.t = icaltime_add(shifted.t, *task.duration);
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

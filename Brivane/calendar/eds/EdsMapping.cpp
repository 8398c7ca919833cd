#include "Brivane/calendar/eds/EdsMapping.h"

#include "Brivane/calendar/GLibHandles.h"
#include "BrivaneCore/AgendaDates.h"

#include <algorithm>
#include <map>
#include <set>

namespace brivane::eds {

std::string text(const char* value) {
    return value != nullptr ? std::string(value) : std::string();
}

std::string messageOf(const GError* error) {
    return error != nullptr && error->message != nullptr ? std::string(error->message)
                                                         : std::string();
}

std::int64_t secondsOf(Date date) {
    return std::chrono::duration_cast<std::chrono::seconds>(date.time_since_epoch()).count();
}

Window currentWeek() {
    const Calendar calendar = AgendaDates::calendar();
    const Date now =
        std::chrono::time_point_cast<std::chrono::milliseconds>(std::chrono::system_clock::now());
    return Window{secondsOf(calendar.startOfDay(now)),
                  secondsOf(AgendaDates::endOfWeek(now, calendar)), calendar.timeZoneId()};
}

bool overlaps(const StoreEvent& event, Date start, Date end) {
    return event.start < end &&
           (event.end > start || (event.end == event.start && event.start >= start));
}

namespace {

struct InstanceSink {
    const std::string* calendarID;
    Date start;
    Date end;
    const ical::LocalZone* local;
    ECalClient* client;
    std::vector<StoreEvent>* out;
    std::map<std::string, int> perEvent;
    // Occurrences of a series that are stored as their own items, by UID.
    std::map<std::string, std::set<Date>> replaced;
};

icalcomponent* native(ICalComponent* component) {
    return static_cast<icalcomponent*>(i_cal_object_get_native(I_CAL_OBJECT(component)));
}

// The instant of a date property, its zone resolved the way EDS resolves it for the source.
std::optional<Date> instantOf(icalproperty* property, const InstanceSink& sink) {
    if (property == nullptr) {
        return std::nullopt;
    }
    icaltimetype value = icalvalue_get_datetime(icalproperty_get_value(property));
    if (!icaltime_is_utc(value) && value.is_date == 0) {
        value.zone = nullptr;
        icalparameter* tzid = icalproperty_get_first_parameter(property, ICAL_TZID_PARAMETER);
        if (tzid != nullptr && icalparameter_get_tzid(tzid) != nullptr) {
            if (ICalTimezone* zone = e_cal_client_tzlookup_cb(icalparameter_get_tzid(tzid),
                                                              sink.client, nullptr, nullptr)) {
                value.zone =
                    static_cast<icaltimezone*>(i_cal_object_get_native(I_CAL_OBJECT(zone)));
            }
        }
    }
    return ical::instantOf(value, *sink.local);
}

// The end of an occurrence from the event's own length. EDS adds that length in absolute
// time to the wall-clock start, so an event that spans a change of offset would end an hour
// early or late.
std::optional<Date> endFromLength(icalcomponent* component, const icaltimetype& start, Date from,
                                  const InstanceSink& sink) {
    icalproperty* first = icalcomponent_get_first_property(component, ICAL_DTSTART_PROPERTY);
    icalproperty* last = icalcomponent_get_first_property(component, ICAL_DTEND_PROPERTY);
    if (first == nullptr || last == nullptr) {
        return std::nullopt;
    }
    const icaltimetype firstValue = icalproperty_get_dtstart(first);
    const icaltimetype lastValue = icalproperty_get_dtend(last);
    if (firstValue.is_date != 0 && lastValue.is_date != 0) {
        const auto days = (icaltime_as_timet(lastValue) - icaltime_as_timet(firstValue)) / 86400;
        icaltimetype end = start;
        icaltime_adjust(&end, static_cast<int>(days), 0, 0, 0);
        return ical::instantOf(end, *sink.local);
    }
    const auto a = instantOf(first, sink);
    const auto b = instantOf(last, sink);
    if (firstValue.is_date != 0 || lastValue.is_date != 0 || !a || !b || *b < *a) {
        return std::nullopt;
    }
    return from + (*b - *a);
}

void add(InstanceSink& sink, icalcomponent* component, Date from, Date to, bool allDay) {
    StoreEvent event;
    event.calendarID = *sink.calendarID;
    event.eventIdentifier = text(icalcomponent_get_uid(component));
    event.calendarItemIdentifier = event.eventIdentifier;
    event.title = text(icalcomponent_get_summary(component));
    event.start = from;
    event.end = std::max(to, from);
    event.allDay = allDay;
    event.cancelled = icalcomponent_get_status(component) == ICAL_STATUS_CANCELLED;
    if (!overlaps(event, sink.start, sink.end)) {
        return;
    }
    // A rule that fires every minute must not flood the week.
    if (++sink.perEvent[event.eventIdentifier] > ical::maxOccurrencesPerWindow) {
        return;
    }
    sink.out->push_back(std::move(event));
}

// One occurrence of a series (or the only one of a single event), as EDS expands it.
gboolean instance(ICalComponent* item, ICalTime* start, ICalTime* end, gpointer data, GCancellable*,
                  GError**) {
    auto* sink = static_cast<InstanceSink*>(data);
    icalcomponent* component = native(item);
    const auto* startValue =
        static_cast<const icaltimetype*>(i_cal_object_get_native(I_CAL_OBJECT(start)));
    const auto* endValue =
        static_cast<const icaltimetype*>(i_cal_object_get_native(I_CAL_OBJECT(end)));
    if (startValue == nullptr || endValue == nullptr) {
        return TRUE;
    }
    const auto from = ical::instantOf(*startValue, *sink->local);
    if (!from) {
        return TRUE;
    }
    const auto found = sink->replaced.find(text(icalcomponent_get_uid(component)));
    if (found != sink->replaced.end() && found->second.count(*from) != 0) {
        return TRUE; // stored as its own item
    }
    auto to = endFromLength(component, *startValue, *from, *sink);
    if (!to) {
        to = ical::instantOf(*endValue, *sink->local);
    }
    add(*sink, component, *from, to.value_or(*from), startValue->is_date != 0);
    return TRUE;
}

// An occurrence stored as its own item, with the start and end it was given.
void detachedOccurrence(icalcomponent* component, InstanceSink& sink) {
    icalproperty* startProperty =
        icalcomponent_get_first_property(component, ICAL_DTSTART_PROPERTY);
    const auto from = instantOf(startProperty, sink);
    if (!from) {
        return;
    }
    const bool allDay = icalproperty_get_dtstart(startProperty).is_date != 0;
    std::optional<Date> to =
        instantOf(icalcomponent_get_first_property(component, ICAL_DTEND_PROPERTY), sink);
    if (!to) {
        icalproperty* duration =
            icalcomponent_get_first_property(component, ICAL_DURATION_PROPERTY);
        if (duration != nullptr) {
            to = *from +
                 std::chrono::seconds(icaldurationtype_as_int(icalproperty_get_duration(duration)));
        } else {
            to = allDay ? *from + std::chrono::hours(24) : *from;
        }
    }
    add(sink, component, *from, *to, allDay);
}

// The zones named by a task's dates, so that the reader finds them beside the task.
void collectZones(ICalComponent* component, std::set<std::string>& tzids) {
    auto* native = static_cast<icalcomponent*>(i_cal_object_get_native(I_CAL_OBJECT(component)));
    for (icalproperty_kind kind : {ICAL_DUE_PROPERTY, ICAL_DTSTART_PROPERTY}) {
        icalproperty* property = icalcomponent_get_first_property(native, kind);
        if (property == nullptr) {
            continue;
        }
        icalparameter* tzid = icalproperty_get_first_parameter(property, ICAL_TZID_PARAMETER);
        if (tzid != nullptr && icalparameter_get_tzid(tzid) != nullptr) {
            tzids.insert(icalparameter_get_tzid(tzid));
        }
    }
}

} // namespace

std::vector<StoreEvent> expandEvents(const std::string& calendarID, ECalClient* client,
                                     GSList* objects, const Window& window,
                                     const ical::LocalZone& local, GCancellable* cancellable) {
    ICalTimezone* zone = i_cal_timezone_get_builtin_timezone(local.name().c_str());
    if (zone == nullptr) {
        zone = i_cal_timezone_get_utc_timezone();
    }
    std::vector<StoreEvent> result;
    InstanceSink sink{&calendarID,
                      dateFromSeconds(window.start),
                      dateFromSeconds(window.end),
                      &local,
                      client,
                      &result,
                      {},
                      {}};
    std::vector<icalcomponent*> detached;
    for (GSList* at = objects; at != nullptr; at = at->next) {
        icalcomponent* component = native(static_cast<ICalComponent*>(at->data));
        icalproperty* rid = icalcomponent_get_first_property(component, ICAL_RECURRENCEID_PROPERTY);
        if (rid == nullptr) {
            continue;
        }
        detached.push_back(component);
        if (const auto original = instantOf(rid, sink)) {
            sink.replaced[text(icalcomponent_get_uid(component))].insert(*original);
        }
    }
    const GObjectRef<ICalTime> windowStart(i_cal_time_new_from_timet_with_zone(
        static_cast<time_t>(window.start), FALSE, i_cal_timezone_get_utc_timezone()));
    const GObjectRef<ICalTime> windowEnd(i_cal_time_new_from_timet_with_zone(
        static_cast<time_t>(window.end), FALSE, i_cal_timezone_get_utc_timezone()));
    for (GSList* at = objects; at != nullptr; at = at->next) {
        auto* item = static_cast<ICalComponent*>(at->data);
        if (icalcomponent_get_first_property(native(item), ICAL_RECURRENCEID_PROPERTY) != nullptr) {
            continue;
        }
        e_cal_recur_generate_instances_sync(item, windowStart.get(), windowEnd.get(), instance,
                                            &sink, e_cal_client_tzlookup_cb, client, zone,
                                            cancellable, nullptr);
    }
    for (icalcomponent* component : detached) {
        detachedOccurrence(component, sink);
    }
    return result;
}

std::shared_ptr<ical::CalendarFile> parseTasks(const std::string& listID, ECalClient* client,
                                               GSList* objects, GCancellable* cancellable) {
    std::string calendar = "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Pellora//EN\r\n";
    std::set<std::string> tzids;
    for (GSList* at = objects; at != nullptr; at = at->next) {
        auto* component = static_cast<ICalComponent*>(at->data);
        if (i_cal_component_isa(component) != I_CAL_VTODO_COMPONENT) {
            continue;
        }
        collectZones(component, tzids);
        g_autofree gchar* item = i_cal_component_as_ical_string(component);
        calendar += text(item);
    }
    for (const auto& tzid : tzids) {
        // Known to the client after the first time; a zone EDS cannot name is left to the
        // reader, which knows the system's zones.
        ICalTimezone* zone = nullptr;
        if (e_cal_client_get_timezone_sync(client, tzid.c_str(), &zone, cancellable, nullptr) &&
            zone != nullptr) {
            if (const GObjectRef<ICalComponent> definition{i_cal_timezone_get_component(zone)}) {
                g_autofree gchar* item = i_cal_component_as_ical_string(definition.get());
                calendar += text(item);
            }
        }
    }
    calendar += "END:VCALENDAR\r\n";
    return ical::CalendarFile::parse(calendar, listID);
}

std::vector<ReminderItem> taskItems(const std::string& listID, const std::string& listTitle,
                                    const ical::CalendarFile& file, const ical::LocalZone& local) {
    std::vector<ical::TaskRecord> records;
    file.incompleteTasks(local, records);
    std::vector<ReminderItem> items;
    items.reserve(records.size());
    for (auto& r : records) {
        items.emplace_back(listID + "/" + r.identifier, std::move(r.title), listTitle, r.due,
                           r.hasTime, r.priority, listID);
    }
    return items;
}

} // namespace brivane::eds

#include "Brivane/calendar/CollectionItems.h"

#include "BrivaneCore/AgendaDates.h"
#include "BrivaneCore/AgendaLanguage.h"

namespace brivane::icsstore {

std::vector<StoreCalendar> calendarsOf(const Scan& scan, CalendarEntity entity) {
    std::vector<StoreCalendar> result;
    for (const auto& collection : scan.collections) {
        if (entity == CalendarEntity::event ? collection.hasEvents() : collection.hasTasks()) {
            result.push_back(collection.calendar);
        }
    }
    return result;
}

std::vector<StoreEvent> eventsOf(const Scan& scan, Date start, Date end,
                                 const std::set<std::string>& wanted) {
    std::vector<StoreEvent> result;
    const ical::LocalZone local(currentTimeZoneId());
    std::vector<ical::EventOccurrence> occurrences;
    for (const auto& collection : scan.collections) {
        if (wanted.count(collection.calendar.id) == 0) {
            continue;
        }
        for (const auto& file : collection.files) {
            occurrences.clear();
            file.parsed->events(start, end, local, occurrences);
            for (auto& o : occurrences) {
                result.push_back(StoreEvent{collection.calendar.id, std::move(o.eventIdentifier),
                                            std::move(o.itemIdentifier), std::move(o.title),
                                            o.start, o.end, o.allDay, o.cancelled});
            }
        }
    }
    return result;
}

std::optional<std::vector<ReminderItem>> tasksOf(const Scan& scan,
                                                 const std::atomic<bool>& cancelled) {
    const ical::LocalZone local(currentTimeZoneId());
    std::vector<ReminderItem> items;
    std::vector<ical::TaskRecord> records;
    for (const auto& collection : scan.collections) {
        if (cancelled.load()) {
            return std::nullopt;
        }
        const auto& list = collection.calendar;
        for (const auto& file : collection.files) {
            records.clear();
            file.parsed->incompleteTasks(local, records);
            for (auto& r : records) {
                items.emplace_back(list.id + "/" + r.identifier, std::move(r.title), list.title,
                                   r.due, r.hasTime, r.priority, list.id);
            }
        }
    }
    return items;
}

std::vector<ICalendarStore::CollectionReport> collectionsOf(const Scan& scan,
                                                            std::vector<FileProblem>& problems) {
    std::vector<ICalendarStore::CollectionReport> collections;
    const ical::LocalZone local(currentTimeZoneId());
    // The agenda's window: events whose repetitions took too long to work out in it.
    const Calendar calendar = AgendaDates::calendar();
    const Date today =
        std::chrono::floor<std::chrono::milliseconds>(std::chrono::system_clock::now());
    const Date from = calendar.startOfDay(today);
    const Date to = AgendaDates::endOfWeek(today, calendar);
    std::vector<ical::EventOccurrence> occurrences;
    std::vector<ical::TaskRecord> records;
    for (const auto& collection : scan.collections) {
        ICalendarStore::CollectionReport entry{collection.calendar, collection.path,
                                               collection.hasEvents(), collection.hasTasks()};
        for (const auto& file : collection.files) {
            entry.events += file.parsed->eventCount();
            occurrences.clear();
            file.parsed->events(from, to, local, occurrences);
            for (const std::string& name : file.parsed->cutShortEvents()) {
                problems.push_back(
                    {file.path,
                     AgendaLanguage::text("«" + name +
                                              "»: ripetizioni saltate, la regola richiede "
                                              "troppo lavoro",
                                          "\"" + name +
                                              "\": repetitions skipped, the rule takes too "
                                              "much work")});
            }
            records.clear();
            file.parsed->incompleteTasks(local, records);
            entry.openTasks += records.size();
        }
        collections.push_back(std::move(entry));
    }
    return collections;
}

} // namespace brivane::icsstore

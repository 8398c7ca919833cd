#include "BrivaneCore/AgendaSnapshot.h"

#include "BrivaneCore/AgendaLanguage.h"
#include "BrivaneCore/AgendaSelection.h"

#include <algorithm>

namespace brivane {

std::string_view rawValue(AgendaGroup group) {
    return agendaGroupNames.rawValue(group);
}

std::optional<AgendaGroup> agendaGroupFromRawValue(std::string_view raw) {
    return agendaGroupNames.fromRawValue(raw);
}

std::string title(AgendaGroup group) {
    return agendaGroupNames.title(group);
}

AgendaEvent::AgendaEvent(std::string id_, std::string title_, Date start_, Date end_, bool allDay_,
                         AgendaGroup group_)
    : id(std::move(id_)),
      title(title_.empty() ? AgendaLanguage::text("Senza titolo", "Untitled") : std::move(title_)),
      start(start_), end(end_), allDay(allDay_), group(group_) {}

bool AgendaEvent::occurs(Date day, const Calendar& calendar) const {
    const Date dayStart = calendar.startOfDay(day);
    const Date nextStart = nextDayStart(day, calendar);
    if (start >= nextStart)
        return false;
    return end > dayStart || (start == end && start >= dayStart);
}

bool AgendaEvent::isCurrent(Date instant) const {
    return !allDay && start <= instant && instant < end;
}

bool AgendaEvent::continues(Date day, const Calendar& calendar) const {
    return start < calendar.startOfDay(day);
}

std::string AgendaEvent::timeLabel(Date day, const Calendar& calendar) const {
    const bool continued = continues(day, calendar);
    if (allDay) {
        return continued ? AgendaLanguage::text("Tutto il giorno · Continua", "All day · Continues")
                         : AgendaLanguage::text("Tutto il giorno", "All day");
    }
    std::string label =
        continued ? AgendaLanguage::text("Continua · ", "Continues · ") : std::string();
    label += AgendaDates::string(start, "HH:mm", calendar);
    label += "\u2013";
    label += AgendaDates::string(end, "HH:mm", calendar);
    if (end >= nextDayStart(day, calendar))
        label += " (" + AgendaDates::string(end, "d MMM", calendar) + ")";
    return label;
}

std::string GroupAvailability::label() const {
    switch (kind_) {
    case Kind::partial: {
        const auto n = std::to_string(missing_);
        if (missing_ == 1)
            return AgendaLanguage::text("Dati parziali · 1 calendario non disponibile",
                                        "Partial data · 1 calendar unavailable");
        return AgendaLanguage::text("Dati parziali · " + n + " calendari non disponibili",
                                    "Partial data · " + n + " calendars unavailable");
    }
    case Kind::available:
        return AgendaLanguage::text("Disponibile", "Available");
    case Kind::notSelected:
        return AgendaLanguage::text("Nessun calendario selezionato", "No calendars selected");
    case Kind::unavailable:
        break;
    }
    return AgendaLanguage::text("Calendario non disponibile", "Calendar unavailable");
}

std::vector<AgendaEvent> AgendaSnapshot::eventsOn(Date day, AgendaGroup group,
                                                  const Calendar& calendar) const {
    const Date dayStart = calendar.startOfDay(day);
    const Date nextStart = nextDayStart(day, calendar);
    std::vector<AgendaEvent> result;
    for (const auto& event : events) {
        // The same rule as AgendaEvent::occurs, with the day's bounds computed once.
        if (event.group == group && event.start < nextStart &&
            (event.end > dayStart || (event.start == event.end && event.start >= dayStart)))
            result.push_back(event);
    }
    std::sort(result.begin(), result.end(), AgendaSelection::chronological);
    return result;
}

} // namespace brivane

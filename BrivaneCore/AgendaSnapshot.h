#pragma once

#include "BrivaneCore/AgendaDates.h"
#include "BrivaneCore/RawValue.h"
#include "BrivaneCore/ReminderModel.h"

#include <array>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brivane {

enum class AgendaGroup { ostrid, personal };

inline constexpr EnumNames<AgendaGroup, 2> agendaGroupNames{{
    {AgendaGroup::ostrid, "ostrid", "Calendario 1", "Calendar 1"},
    {AgendaGroup::personal, "personal", "Calendario 2", "Calendar 2"},
}};
constexpr std::array<AgendaGroup, 2> allAgendaGroups = agendaGroupNames.all();

std::string_view rawValue(AgendaGroup group);
std::optional<AgendaGroup> agendaGroupFromRawValue(std::string_view raw);
// Fallback display name; the user's own names live in Preferences.
std::string title(AgendaGroup group);

struct AgendaEvent {
    std::string id;
    std::string title;
    Date start;
    Date end;
    bool allDay = false;
    AgendaGroup group = AgendaGroup::ostrid;

    // An empty title becomes "Senza titolo" / "Untitled" in the language of the moment.
    AgendaEvent(std::string id, std::string title, Date start, Date end, bool allDay,
                AgendaGroup group);
    bool operator==(const AgendaEvent&) const = default;

    bool occurs(Date day, const Calendar& calendar) const;
    bool isCurrent(Date instant) const;
    bool continues(Date day, const Calendar& calendar) const;
    std::string timeLabel(Date day, const Calendar& calendar) const;
};

class GroupAvailability {
public:
    enum class Kind { partial, available, notSelected, unavailable };

    static GroupAvailability partial(int missing) { return {Kind::partial, missing}; }
    static GroupAvailability available() { return {Kind::available, 0}; }
    static GroupAvailability notSelected() { return {Kind::notSelected, 0}; }
    static GroupAvailability unavailable() { return {Kind::unavailable, 0}; }

    Kind kind() const { return kind_; }
    // Calendars that could not be read; meaningful for `partial` only.
    int missing() const { return missing_; }
    std::string label() const;
    bool hasData() const { return kind_ == Kind::partial || kind_ == Kind::available; }
    bool operator==(const GroupAvailability&) const = default;

private:
    GroupAvailability(Kind kind, int missing) : kind_(kind), missing_(missing) {}
    Kind kind_;
    int missing_;
};

struct AgendaSnapshot {
    Date date;
    std::optional<Date> fetchedAt;
    std::vector<AgendaEvent> events;
    std::map<AgendaGroup, GroupAvailability> availability;
    bool demonstration = false;
    ReminderSnapshot reminders;

    bool operator==(const AgendaSnapshot&) const = default;

    // The group's events that touch `day`, in chronological order.
    std::vector<AgendaEvent> eventsOn(Date day, AgendaGroup group, const Calendar& calendar) const;
};

} // namespace brivane

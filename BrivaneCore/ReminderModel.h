#pragma once

#include "BrivaneCore/AgendaDates.h"
#include "BrivaneCore/RawValue.h"

#include <array>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brivane {

enum class ReminderSection { today, tomorrow, scheduled };
enum class ReminderGrouping { selectedLists, dueDate, namedLists };
enum class ReminderAvailability { notAuthorized, available, loading, failed };

inline constexpr EnumNames<ReminderSection, 3> reminderSectionNames{{
    {ReminderSection::today, "today", "Oggi", "Today"},
    {ReminderSection::tomorrow, "tomorrow", "Domani", "Tomorrow"},
    {ReminderSection::scheduled, "scheduled", "Pianificazione", "Scheduled"},
}};
inline constexpr EnumNames<ReminderGrouping, 3> reminderGroupingNames{{
    {ReminderGrouping::selectedLists, "selectedLists", "Elenchi scelti", "Selected lists"},
    {ReminderGrouping::dueDate, "dueDate", "Per scadenza", "By due date"},
    {ReminderGrouping::namedLists, "namedLists", "Elenchi chiamati Oggi, Domani, Pianificazione",
     "Lists named Oggi, Domani, Pianificazione"},
}};
constexpr std::array<ReminderSection, 3> allReminderSections = reminderSectionNames.all();
constexpr std::array<ReminderGrouping, 3> allReminderGroupings = reminderGroupingNames.all();

std::string_view rawValue(ReminderSection section);
std::optional<ReminderSection> reminderSectionFromRawValue(std::string_view raw);
// The Reminders list that feeds the section when grouping by list names: always Italian.
std::string_view legacyListName(ReminderSection section);
std::string title(ReminderSection section);

std::string_view rawValue(ReminderGrouping grouping);
std::optional<ReminderGrouping> reminderGroupingFromRawValue(std::string_view raw);
std::string title(ReminderGrouping grouping);

std::string label(ReminderAvailability availability);

struct ReminderList {
    std::string id;
    std::string title;
    std::string source;

    ReminderList(std::string id, std::string title, std::string source);
    bool operator==(const ReminderList&) const = default;
};

struct ReminderItem {
    std::string id;
    std::string title;
    std::string list;
    std::string listID;
    std::optional<Date> due;
    bool hasTime = false;
    int priority = 0;

    // The list identifier comes last, as callers have always passed it. An empty title becomes
    // "Senza titolo" / "Untitled" in the language of the moment.
    ReminderItem(std::string id, std::string title, std::string list, std::optional<Date> due,
                 bool hasTime, int priority, std::string listID);
    bool operator==(const ReminderItem&) const = default;

    bool overdue(Date now, const Calendar& calendar) const;
    std::string dueLabel(Date now, const Calendar& calendar) const;
};

// Section raw value ("today", "tomorrow", "scheduled") → list id.
using ReminderListIDs = std::map<std::string, std::string>;

struct ReminderSnapshot {
    std::vector<ReminderItem> items;
    std::vector<std::string> listNames;
    std::vector<ReminderList> lists;
    ReminderAvailability state = ReminderAvailability::notAuthorized;
    std::optional<Date> fetchedAt;

    bool operator==(const ReminderSnapshot&) const = default;

    std::vector<ReminderItem> itemsIn(ReminderSection section, ReminderGrouping mode, Date now,
                                      const Calendar& calendar,
                                      const ReminderListIDs& selectedListIDs) const;
    bool hasList(ReminderSection section) const;
    std::optional<ReminderList> uniqueList(ReminderSection section) const;
    std::optional<std::string> selectedListTitle(ReminderSection section,
                                                 const ReminderListIDs& ids) const;
    bool hasSelectedList(ReminderSection section, const ReminderListIDs& ids) const;
};

// Two list names match when equal after trimming and folding case and accents (Italian rules).
bool reminderListNamesMatch(std::string_view a, std::string_view b);

} // namespace brivane

#include "BrivaneCore/ReminderModel.h"

#include "BrivaneCore/AgendaLanguage.h"
#include "BrivaneCore/TextRules.h"

#include <algorithm>

namespace brivane {

std::string_view rawValue(ReminderSection section) {
    return reminderSectionNames.rawValue(section);
}

std::optional<ReminderSection> reminderSectionFromRawValue(std::string_view raw) {
    return reminderSectionNames.fromRawValue(raw);
}

std::string_view legacyListName(ReminderSection section) {
    switch (section) {
    case ReminderSection::today:
        return "Oggi";
    case ReminderSection::tomorrow:
        return "Domani";
    case ReminderSection::scheduled:
        break;
    }
    return "Pianificazione";
}

std::string title(ReminderSection section) {
    return reminderSectionNames.title(section);
}

std::string_view rawValue(ReminderGrouping grouping) {
    return reminderGroupingNames.rawValue(grouping);
}

std::optional<ReminderGrouping> reminderGroupingFromRawValue(std::string_view raw) {
    return reminderGroupingNames.fromRawValue(raw);
}

std::string title(ReminderGrouping grouping) {
    return reminderGroupingNames.title(grouping);
}

std::string label(ReminderAvailability availability) {
    switch (availability) {
    case ReminderAvailability::notAuthorized:
        return AgendaLanguage::text("Consenti accesso alle attività", "Grant task list access");
    case ReminderAvailability::available:
        return AgendaLanguage::text("Disponibile", "Available");
    case ReminderAvailability::loading:
        return AgendaLanguage::text("Lettura delle attività…", "Reading tasks…");
    case ReminderAvailability::failed:
        break;
    }
    return AgendaLanguage::text("Attività non disponibili · riprova",
                                "Tasks unavailable · try again");
}

bool reminderListNamesMatch(std::string_view a, std::string_view b) {
    return text::foldedEqual(text::trimmed(a), text::trimmed(b));
}

ReminderList::ReminderList(std::string id_, std::string title_, std::string source_)
    : id(std::move(id_)), title(std::move(title_)), source(std::move(source_)) {}

ReminderItem::ReminderItem(std::string id_, std::string title_, std::string list_,
                           std::optional<Date> due_, bool hasTime_, int priority_,
                           std::string listID_)
    : id(std::move(id_)),
      title(title_.empty() ? AgendaLanguage::text("Senza titolo", "Untitled") : std::move(title_)),
      list(std::move(list_)), listID(std::move(listID_)), due(due_), hasTime(hasTime_),
      priority(priority_) {}

bool ReminderItem::overdue(Date now, const Calendar& calendar) const {
    if (!due)
        return false;
    return hasTime ? *due < now : *due < calendar.startOfDay(now);
}

std::string ReminderItem::dueLabel(Date now, const Calendar& calendar) const {
    if (!due)
        return AgendaLanguage::text("Senza scadenza", "No due date");
    std::string label =
        overdue(now, calendar) ? AgendaLanguage::text("Scaduto · ", "Overdue · ") : "";
    label += calendar.isSameDay(*due, now) ? AgendaLanguage::text("Oggi", "Today")
                                           : AgendaDates::string(*due, "d MMM", calendar);
    if (hasTime)
        label += " · " + AgendaDates::string(*due, "HH:mm", calendar);
    return label;
}

std::vector<ReminderItem> ReminderSnapshot::itemsIn(ReminderSection section, ReminderGrouping mode,
                                                    Date now, const Calendar& calendar,
                                                    const ReminderListIDs& selectedListIDs) const {
    const Date tomorrowStart = nextDayStart(now, calendar);
    const Date dayAfterStart = nextDayStart(tomorrowStart, calendar);

    const auto selected = selectedListIDs.find(std::string(rawValue(section)));
    auto belongs = [&](const ReminderItem& item) {
        switch (mode) {
        case ReminderGrouping::selectedLists:
            return selected != selectedListIDs.end() && selected->second == item.listID;
        case ReminderGrouping::dueDate:
            if (!item.due)
                return false;
            switch (section) {
            case ReminderSection::today:
                return *item.due < tomorrowStart;
            case ReminderSection::tomorrow:
                return tomorrowStart <= *item.due && *item.due < dayAfterStart;
            case ReminderSection::scheduled:
                return true;
            }
            return false;
        case ReminderGrouping::namedLists:
            return reminderListNamesMatch(item.list, legacyListName(section));
        }
        return false;
    };

    // Sort keys are computed once per item: normalising inside the comparison costs more
    // than the sort itself.
    struct Keyed {
        const ReminderItem* item;
        std::string title, id;
    };
    std::vector<Keyed> kept;
    for (const auto& item : items) {
        if (belongs(item))
            kept.push_back({&item, text::nfc(item.title), text::nfc(item.id)});
    }
    std::stable_sort(kept.begin(), kept.end(), [](const Keyed& ka, const Keyed& kb) {
        const ReminderItem& a = *ka.item;
        const ReminderItem& b = *kb.item;
        if (a.due.has_value() != b.due.has_value())
            return a.due.has_value();
        if (a.due && *a.due != *b.due)
            return *a.due < *b.due;
        const int pa = a.priority == 0 ? 10 : a.priority;
        const int pb = b.priority == 0 ? 10 : b.priority;
        if (pa != pb)
            return pa < pb;
        if (ka.title != kb.title)
            return ka.title < kb.title;
        return ka.id < kb.id;
    });
    std::vector<ReminderItem> sorted;
    sorted.reserve(kept.size());
    for (const auto& k : kept)
        sorted.push_back(*k.item);
    return sorted;
}

bool ReminderSnapshot::hasList(ReminderSection section) const {
    return std::any_of(listNames.begin(), listNames.end(), [&](const std::string& name) {
        return reminderListNamesMatch(name, legacyListName(section));
    });
}

std::optional<ReminderList> ReminderSnapshot::uniqueList(ReminderSection section) const {
    std::optional<ReminderList> found;
    for (const auto& list : lists) {
        if (!reminderListNamesMatch(list.title, legacyListName(section)))
            continue;
        if (found)
            return std::nullopt;
        found = list;
    }
    return found;
}

std::optional<std::string> ReminderSnapshot::selectedListTitle(ReminderSection section,
                                                               const ReminderListIDs& ids) const {
    const auto entry = ids.find(std::string(rawValue(section)));
    if (entry == ids.end())
        return std::nullopt;
    for (const auto& list : lists) {
        if (list.id == entry->second)
            return list.title;
    }
    return std::nullopt;
}

bool ReminderSnapshot::hasSelectedList(ReminderSection section, const ReminderListIDs& ids) const {
    return selectedListTitle(section, ids).has_value();
}

} // namespace brivane

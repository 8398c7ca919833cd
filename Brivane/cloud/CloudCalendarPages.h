#pragma once

#include "BrivaneCore/AgendaDates.h"

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace brivane {

// One calendar of a provider's calendar list.
struct ListedCalendar {
    std::string id;
    std::string name;
    bool operator==(const ListedCalendar&) const = default;
};

// One event of a provider's event page, already read.
struct ListedEvent {
    std::string id;
    std::string title;
    Date start;
    Date end;
    bool allDay = false;
    bool operator==(const ListedEvent&) const = default;
};

// A page of a list and where the next one is: Google's "nextPageToken" or Graph's
// "@odata.nextLink", absent on the last page.
template <typename Item>
struct ProviderPage {
    std::vector<Item> items;
    std::optional<std::string> next;
};

// How a provider writes its list pages.
struct PageFormat {
    const char* list;         // the array of elements
    const char* next;         // the continuation: a page token or the next page's URL
    const char* calendarName; // a calendar's name
    const char* eventTitle;   // an event's title
    bool cancelledStatus;     // a "status" of "cancelled" marks a cancelled event
};
inline constexpr PageFormat googlePageFormat{"items", "nextPageToken", "summary", "summary", true};
inline constexpr PageFormat graphPageFormat{"value", "@odata.nextLink", "name", "subject", false};

// A calendar-list page. Elements without a text id are skipped; a calendar without a name is
// named by its id. Anything but an object with an array counts as an empty page.
ProviderPage<ListedCalendar> calendarPage(const nlohmann::json& page, const PageFormat& format);

// An event page. Cancelled events and events without an id or a readable start and end are
// skipped; `local` is the current calendar (time zone for wall times and dates).
ProviderPage<ListedEvent> eventPage(const nlohmann::json& page, const PageFormat& format,
                                    const Calendar& local);

// Keeps paging finite: a provider that sends a page token or link it sent before, or that never
// stops, would otherwise be followed forever.
class PageTrail {
public:
    // Far above any real account: 500 pages are 125,000 calendars or over a million events.
    static constexpr int pageLimit = 500;
    enum class Step { follow, repeated, tooMany };

    // Called with each page's continuation before it is requested.
    Step admit(const std::string& next);

private:
    std::vector<std::string> seen_;
};

} // namespace brivane

#pragma once

// How the items EDS holds become the store's events and tasks: the occurrences of a window as
// EDS's own recurrence code expands them, each zone resolved as EDS resolves it for the source,
// and tasks read by the same reader as task files, so that both follow the same rules.

#include "Brivane/calendar/CalendarStore.h"
#include "Brivane/calendar/ICalendarReader.h"

#include <cstdint>
#include <libecal/libecal.h>
#include <memory>
#include <string>
#include <vector>

namespace brivane::eds {

std::string text(const char* value);
std::string messageOf(const GError* error);

// A window of events as read: its bounds in seconds and the zone dates are read in.
struct Window {
    std::int64_t start = 0;
    std::int64_t end = 0;
    std::string zone;
    bool empty() const { return start == 0 && end == 0; }
    bool operator==(const Window&) const = default;
};

std::int64_t secondsOf(Date date);
// Today and the rest of the week, as the wallpaper shows them.
Window currentWeek();
bool overlaps(const StoreEvent& event, Date start, Date end);

// The occurrences of one calendar in the window from the window's items (`objects`, a list of
// ICalComponent); one request per calendar is all it takes.
std::vector<StoreEvent> expandEvents(const std::string& calendarID, ECalClient* client,
                                     GSList* objects, const Window& window,
                                     const ical::LocalZone& local, GCancellable* cancellable);

// The tasks of one list as one calendar text, read by the task files' reader.
std::shared_ptr<ical::CalendarFile> parseTasks(const std::string& listID, ECalClient* client,
                                               GSList* objects, GCancellable* cancellable);

// The incomplete tasks of a parsed list.
std::vector<ReminderItem> taskItems(const std::string& listID, const std::string& listTitle,
                                    const ical::CalendarFile& file, const ical::LocalZone& local);

} // namespace brivane::eds

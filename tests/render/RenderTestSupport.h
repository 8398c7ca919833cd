#pragma once

#include "Brivane/render/WallpaperRenderer.h"
#include "BrivaneCore/AgendaSnapshot.h"

#include <cstdlib>

namespace brivane::testing {

// English texts and a fixed zone, whatever the machine says.
inline Calendar testCalendar() {
    setenv("LANGUAGE", "en", 1);
    return Calendar("en_GB", "Europe/Rome");
}

inline Date at(const Calendar& calendar, int day, int hour, int minute = 0) {
    return *calendar.date(2026, 9, day, hour, minute);
}

// Monday 28 September 2026 at `hour`:`minute`, both groups available, no events.
inline WallpaperRenderer testRenderer(int hour = 11, int minute = 30) {
    const Calendar calendar = testCalendar();
    AgendaSnapshot snapshot;
    snapshot.date = at(calendar, 28, hour, minute);
    snapshot.availability = {{AgendaGroup::ostrid, GroupAvailability::available()},
                             {AgendaGroup::personal, GroupAvailability::available()}};
    snapshot.reminders.state = ReminderAvailability::available;
    ScreenPreferences margins;
    margins.top = margins.bottom = margins.left = margins.right = 0;
    return WallpaperRenderer{
        snapshot, calendar, margins, WallpaperStyle::glass, ReminderGrouping::dueDate, {},
        {},       8,        20};
}

inline AgendaEvent timed(const Calendar& calendar, const std::string& title, int startHour,
                         int startMinute, int endHour, int endMinute,
                         AgendaGroup group = AgendaGroup::ostrid) {
    return AgendaEvent(title, title, at(calendar, 28, startHour, startMinute),
                       at(calendar, 28, endHour, endMinute), false, group);
}

inline AgendaEvent allDay(const Calendar& calendar, const std::string& title,
                          AgendaGroup group = AgendaGroup::ostrid) {
    return AgendaEvent(title, title, at(calendar, 28, 0), at(calendar, 29, 0), true, group);
}

} // namespace brivane::testing

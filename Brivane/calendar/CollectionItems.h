#pragma once

// The mapping of the file store's collections to what callers read: calendars, the occurrences
// of a window, incomplete tasks and, for `pellora --sources`, what each collection holds.

#include "Brivane/calendar/FolderScan.h"

#include <atomic>
#include <optional>
#include <set>
#include <vector>

namespace brivane::icsstore {

std::vector<StoreCalendar> calendarsOf(const Scan& scan, CalendarEntity entity);
std::vector<StoreEvent> eventsOf(const Scan& scan, Date start, Date end,
                                 const std::set<std::string>& wanted);
// Absent when the fetch was cancelled meanwhile.
std::optional<std::vector<ReminderItem>> tasksOf(const Scan& scan,
                                                 const std::atomic<bool>& cancelled);
// Each collection with its counts over this week; events whose repetitions were cut short are
// added to `problems`.
std::vector<ICalendarStore::CollectionReport> collectionsOf(const Scan& scan,
                                                            std::vector<FileProblem>& problems);

} // namespace brivane::icsstore

#pragma once

// Reading iCalendar data: one file's bytes → its events, expanded in a time window, and its
// incomplete tasks. Plain C++ over libical, no Qt, so the fuzz target links exactly this.

#include "BrivaneCore/AgendaDates.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct icaltimetype;

namespace brivane::ical {

// Files above this size are not read at all.
inline constexpr std::size_t maxFileBytes = 20 * 1024 * 1024;
// Events and tasks read from one file; the rest are left out and counted.
inline constexpr std::uint32_t maxItemsPerFile = 100000;
// Occurrences of one event returned for one window; more are dropped.
inline constexpr int maxOccurrencesPerWindow = 1000;
// Recurrence-rule steps taken for one event in one window, whether or not they land in it, and
// for all events of one file together.
inline constexpr int maxRecurrenceSteps = 20000;
inline constexpr int maxRecurrenceStepsPerFile = 200000;
// Time one event's recurrence may take in one window; what is left is skipped and named.
inline constexpr std::chrono::milliseconds maxRecurrenceTime{2000};

// One occurrence of an event that overlaps the requested window.
struct EventOccurrence {
    std::string eventIdentifier; // the UID, empty when the item has none
    std::string itemIdentifier;  // the UID, or a key made from the file when there is none
    std::string title;           // SUMMARY, possibly empty
    Date start;
    Date end;
    bool allDay = false;
    bool cancelled = false;
};

// One task that is not completed.
struct TaskRecord {
    std::string identifier; // the UID, or a key made from the file when there is none
    std::string title;      // SUMMARY, possibly empty
    std::optional<Date> due;
    bool hasTime = false;
    int priority = 0;
};

// The zone that floating times and all-day dates are read in: an IANA name, a path to a TZif file
// or a POSIX TZ value, read from the system tzdata as the rest of the program reads the clock; an
// unknown name falls back to UTC.
class LocalZone {
public:
    explicit LocalZone(std::string_view ianaName);
    const std::string& name() const { return name_; }
    const void* zone() const { return zone_; } // the libical zone, opaque here
    bool operator==(const LocalZone& other) const { return zone_ == other.zone_; }

private:
    std::string name_;
    const void* zone_ = nullptr;
};

// A parsed file: a compact copy of what the agenda and recurrence expansion need; libical's
// tree is never held whole. Not thread-safe: callers serialize access to one file.
class CalendarFile {
public:
    // Parses the bytes of one file. keyBase names items without a UID (e.g. the file name).
    // On failure the result holds no items and error() says why, in Italian and English.
    static std::shared_ptr<CalendarFile> parse(std::string_view bytes, std::string_view keyBase);

    ~CalendarFile();
    CalendarFile(const CalendarFile&) = delete;
    CalendarFile& operator=(const CalendarFile&) = delete;

    struct Problem {
        std::string italian;
        std::string english;
    };
    const std::optional<Problem>& error() const { return error_; }
    // Items skipped because they cannot be read (an event without a start, an item with
    // thousands of properties).
    int skippedItems() const { return skipped_; }
    // Items left out past maxItemsPerFile.
    std::size_t itemsBeyondLimit() const { return beyondLimit_; }
    // The heap this file holds, roughly: what a cache of parsed files counts.
    std::size_t keptBytes() const;

    std::size_t eventCount() const; // series, not occurrences
    std::size_t taskCount() const;  // all tasks, completed or not
    bool hasEvents() const { return eventCount() > 0; }
    bool hasTasks() const { return taskCount() > 0; }
    // Whether text follows the calendar's END:VCALENDAR (a feed's cache note, say); it is ignored.
    bool hasTrailer() const { return trailer_; }
    // X-WR-CALNAME of the file, empty when it has none.
    const std::string& calendarName() const { return calendarName_; }

    // Occurrences overlapping [from, to), also those that started before `from`; in file order,
    // each series' occurrences by start.
    void events(Date from, Date to, const LocalZone& local,
                std::vector<EventOccurrence>& out) const;
    void incompleteTasks(const LocalZone& local, std::vector<TaskRecord>& out) const;
    // Events whose recurrence took more work than one event may take, in the last window asked
    // for: some of their occurrences were skipped. Named by title, else by UID.
    std::vector<std::string> cutShortEvents() const;

    struct Data;

private:
    CalendarFile();
    std::unique_ptr<Data> data_;
    std::optional<Problem> error_;
    std::string calendarName_;
    int skipped_ = 0;
    std::size_t beyondLimit_ = 0;
    bool trailer_ = false;
};

// The instant of a libical time value: all-day dates start at midnight in `local`, floating times
// are read in `local`, others in their own zone. Absent when it is not a valid time or too far.
std::optional<Date> instantOf(const icaltimetype& value, const LocalZone& local);

// Checks that the bytes are valid UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool isValidUtf8(std::string_view bytes);

} // namespace brivane::ical

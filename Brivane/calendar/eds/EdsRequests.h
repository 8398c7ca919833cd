#pragma once

// What the EDS worker publishes for the main thread and the requests waiting on it: the calendars
// as last listed with what was last read of each, callers of events() and calendars() waiting for
// EDS to answer, and the task fetches. Everything here is guarded by `mutex`; the waiting callers
// are answered when a round of reads ends, when EDS is found or lost, or when their time is up.

#include "Brivane/calendar/CalendarStore.h"
#include "Brivane/calendar/eds/EdsMapping.h"

#include <QPromise>
#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace brivane::eds {

struct EdsRequests {
    // What the main thread reads of one calendar or task list.
    struct Published {
        StoreCalendar calendar;
        bool events = false;
        bool tasks = false;
        bool eventsRead = false;
        Window window;    // the window `occurrences` are for
        Window attempted; // the window last asked for, answered or failed
        std::vector<StoreEvent> occurrences;
        bool tasksRead = false;
        std::vector<ReminderItem> items;
        std::optional<std::string> problem;
    };
    struct Fetch {
        CalendarStore::FetchToken token;
        std::shared_ptr<std::atomic<bool>> cancelled;
        CalendarStore::ReminderCompletion completion;
    };
    enum class Phase { unknown, absent, connecting, ready };

    // A caller of events() or calendars() waiting for EDS to answer.
    struct Waiter {
        std::uint64_t id = 0;
        bool forEvents = false;
        Window window;
        Date start;
        Date end;
        std::vector<std::string> ids;
        CalendarEntity entity = CalendarEntity::event;
        std::shared_ptr<QPromise<std::vector<StoreEvent>>> events;
        std::shared_ptr<QPromise<std::vector<StoreCalendar>>> calendars;
    };

    mutable std::mutex mutex;
    std::condition_variable answered;
    Phase phase = Phase::unknown;
    std::vector<std::string> order; // source UIDs in listing order
    std::map<std::string, Published> published;
    Window wanted;
    bool allowed = true;
    std::uint64_t passes = 0; // completed rounds of reads, for report()
    std::vector<Fetch> fetches;
    std::atomic<CalendarStore::FetchToken> nextToken{1};
    std::vector<Waiter> waiters;
    std::uint64_t nextWaiter = 1;

    // Caller holds `mutex`.
    bool settledLocked() const { return phase == Phase::absent || phase == Phase::ready; }
    bool runningLocked() const { return phase == Phase::connecting || phase == Phase::ready; }
    // Whether every calendar asked for has answered for the window, or failed.
    bool answeredLocked(const Window& window, const std::vector<std::string>& ids) const;
    std::vector<StoreEvent> eventsLocked(Date start, Date end,
                                         const std::vector<std::string>& ids) const;
    std::vector<StoreCalendar> listedLocked(CalendarEntity entity) const;

    // Registers a waiter and returns its id.
    std::uint64_t addWaiter(Waiter waiter);
    // Answers the waiters that can be answered, or all of them, or the one whose time is up.
    void serveWaiters(bool all, std::uint64_t only = 0);
    // Answers every waiting fetch once EDS is known to be absent or a read has finished.
    void completeFetches();
    // Marks every waiting fetch as cancelled: its caller is going away.
    void cancelFetches();
};

} // namespace brivane::eds

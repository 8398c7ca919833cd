#pragma once

// The event store the controller and the reminder service read: authorization, calendars and
// task lists, events in a window, an asynchronous fetch of incomplete tasks, reset and a change
// notification. ICalendarStore is the implementation over iCalendar files.
//
// Sources may sit on a slow or hung network mount, so no call waits on them: the synchronous
// calls answer from what the store last saw, and everything that lists, reads or parses runs
// on the store's own thread and is awaited.

#include "Brivane/calendar/DesktopLauncher.h"
#include "BrivaneCore/AgendaDates.h"
#include "BrivaneCore/ReminderModel.h"

#include <QFuture>
#include <QObject>
#include <cstdint>
#include <functional>
#include <optional>
#include <qcoro/qcorofuture.h>
#include <qcoro/qcorotask.h>
#include <string>
#include <vector>

namespace brivane {

// Only fullAccess counts as authorized.
enum class AuthorizationStatus { notDetermined, restricted, denied, fullAccess, writeOnly };
enum class CalendarEntity { event, reminder };

// A calendar or a task list of the store.
struct StoreCalendar {
    std::string id;
    std::string title;
    std::string source; // the account or place that holds it
    bool operator==(const StoreCalendar&) const = default;
};

// One occurrence of an event.
struct StoreEvent {
    std::string calendarID;
    std::string eventIdentifier;        // shared by the occurrences of a series; may be empty
    std::string calendarItemIdentifier; // never empty
    std::string title;                  // as stored, possibly empty
    Date start;
    Date end;
    bool allDay = false;
    bool cancelled = false;
    bool operator==(const StoreEvent&) const = default;
};

struct AccessAnswer {
    bool granted = false;
    std::optional<std::string> error; // a description for the user when the request failed
};

class CalendarStore : public QObject {
    Q_OBJECT
public:
    using FetchToken = std::uint64_t;
    // Runs once on a worker thread with the incomplete tasks of every list, already mapped;
    // absent when they could not be read. Not called for a cancelled fetch.
    using ReminderCompletion = std::function<void(std::optional<std::vector<ReminderItem>>)>;

    using QObject::QObject;
    ~CalendarStore() override = default;

    // As of the store's last look at its sources; never touches them. A later look that finds
    // the status changed emits changed().
    virtual AuthorizationStatus authorizationStatus(CalendarEntity entity) const = 0;
    // Why the status is denied, naming the source; absent otherwise.
    virtual std::optional<std::string> accessProblem(CalendarEntity entity) const = 0;
    virtual QCoro::Task<AccessAnswer> requestFullAccess(CalendarEntity entity) = 0;
    // Event calendars or task lists, in the store's order.
    virtual QCoro::Task<std::vector<StoreCalendar>> calendars(CalendarEntity entity) = 0;
    // Occurrences overlapping [start, end) in the given calendars, including cancelled ones.
    virtual QCoro::Task<std::vector<StoreEvent>> events(Date start, Date end,
                                                        std::vector<std::string> calendarIDs) = 0;
    virtual FetchToken fetchIncompleteReminders(ReminderCompletion completion) = 0;
    virtual void cancelFetch(FetchToken token) = 0;
    // Forget what the store holds so that the next read sees the current state.
    virtual void reset() = 0;

    // The desktop's task and calendar applications: why they could not be opened, or nothing
    // once they started.
    virtual QCoro::Task<LaunchProblem> openApp() = 0;
    virtual QCoro::Task<LaunchProblem> openCalendar() = 0;
    // The place where the user manages the store's sources; false when there is nothing to open.
    virtual bool openPrivacy() = 0;

Q_SIGNALS:
    // Something in the store changed; debounced.
    void changed();
};

// A worker's result as a task. Functions that hand out a worker's result are not coroutines
// themselves: GCC 12 destroys lambda temporaries inside a coroutine twice.
template <typename T>
QCoro::Task<T> awaited(QFuture<T> future) {
    co_return co_await future;
}

} // namespace brivane

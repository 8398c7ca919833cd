#pragma once

// The desktop's own calendar store, Evolution Data Server: the enabled calendars and task lists
// of its source registry (GNOME Online Accounts, CalDAV, Exchange, local ones), the events of a
// window as EDS expands them, and the incomplete tasks. Everything that talks to EDS runs on one
// worker thread with its own GLib main context; the main thread posts requests and awaits their
// answers, so it never waits on D-Bus. Nothing polls: client views and the registry say when
// something changed, and only then is a source read again. The part that talks to EDS is a
// module (EdsBackend.h), loaded only once EDS is seen on the session bus: without EDS, its client
// libraries never take up memory.

#include "Brivane/calendar/CalendarStore.h"
#include "Brivane/calendar/EdsBackend.h"

#include <QObject>
#include <QPointer>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <qcoro/qcorotask.h>
#include <set>
#include <string>
#include <vector>

class QDBusServiceWatcher;

namespace brivane {

class EdsCalendarStore final : public QObject {
    Q_OBJECT
public:
    using Options = EdsOptions;
    using SourceReport = EdsSourceReport;
    using Report = EdsReport;

    explicit EdsCalendarStore(QObject* parent = nullptr);
    EdsCalendarStore(Options options, QObject* parent = nullptr);
    ~EdsCalendarStore() override;

    // The source registry is on the session bus. EDS is never started to find out.
    bool running() const;

    // Enabled calendars or task lists; the id is the source's UID. Waits for the registry's
    // first answer when EDS has just been found.
    QCoro::Task<std::vector<StoreCalendar>> calendars(CalendarEntity entity);
    // As last listed, without waiting.
    std::vector<StoreCalendar> listed(CalendarEntity entity) const;
    bool holds(const std::string& calendarID) const;

    // Occurrences overlapping [start, end) in the given calendars. A window not read yet is read
    // and awaited, at most Options::answerLimit; a source that fails or does not answer in time
    // keeps its last events.
    QCoro::Task<std::vector<StoreEvent>> events(Date start, Date end,
                                                std::vector<std::string> calendarIDs);
    // The incomplete tasks of every list, once every list has answered (or failed, keeping its
    // last tasks). The completion runs on the worker thread.
    CalendarStore::FetchToken
    fetchIncompleteReminders(CalendarStore::ReminderCompletion completion);
    void cancelFetch(CalendarStore::FetchToken token);
    // Reads every source again.
    void reset();
    // Whether events and tasks may be read at all (the user's consent); sources are listed
    // either way. On by default.
    void setReadingAllowed(bool allowed);

    // Reads this week's events and every task list, waiting at most `wait`; for the command line.
    Report report(std::chrono::milliseconds wait);
    // Why EDS, seen on the session bus, cannot be read: the module could not be loaded.
    const std::optional<std::string>& unreadable() const { return unreadable_; }

Q_SIGNALS:
    // Something EDS holds changed and has been read; not debounced.
    void changed();
    void runningChanged(bool running);

private:
    // Loads the module and starts reading; false when the module cannot be loaded.
    bool startBackend();
    void edsSeen();

    Options options_;
    bool allowed_;
    std::unique_ptr<EdsBackend> backend_;
    QPointer<QDBusServiceWatcher> watch_; // while EDS has not been seen
    std::optional<std::string> unreadable_;
    // Reminder fetches answered (empty) while EDS is absent; the tokens of a range of their own.
    std::mutex mutex_;
    std::set<CalendarStore::FetchToken> unanswered_;
    CalendarStore::FetchToken nextToken_ = CalendarStore::FetchToken{1} << 62;
};

} // namespace brivane

#pragma once

// The desktop's own calendar store, Evolution Data Server: the enabled calendars and task lists
// of its source registry (GNOME Online Accounts, CalDAV, Exchange, local ones), the events of a
// window as EDS expands them, and the incomplete tasks. Everything that talks to EDS runs on one
// worker thread with its own GLib main context; the main thread posts requests and awaits their
// answers, so it never waits on D-Bus. Nothing polls: client views and the registry say when
// something changed, and only then is a source read again.

#include "Brivane/calendar/CalendarStore.h"

#include <QObject>
#include <chrono>
#include <memory>
#include <optional>
#include <qcoro/qcorotask.h>
#include <string>
#include <vector>

namespace brivane {

class EdsCalendarStore final : public QObject {
    Q_OBJECT
public:
    struct Options {
        // How long construction waits to learn whether EDS is on the session bus. A later answer
        // still arrives, through runningChanged().
        std::chrono::milliseconds presenceWait{5};
        // Whether events and tasks may be read from the start; see setReadingAllowed().
        bool readingAllowed = true;
        // How long events() and calendars() wait for EDS before answering with what they have.
        std::chrono::milliseconds answerLimit{8000};
    };

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

    struct SourceReport {
        StoreCalendar calendar;
        bool eventCalendar = false;
        bool taskList = false;
        std::size_t events = 0;             // occurrences in the window last read
        std::size_t openTasks = 0;          // incomplete tasks
        std::optional<std::string> problem; // why the source cannot be read now
    };
    struct Report {
        bool running = false;
        bool complete = false; // every source answered within the wait
        std::vector<SourceReport> sources;
    };
    // Reads this week's events and every task list, waiting at most `wait`; for the command line.
    Report report(std::chrono::milliseconds wait);

    struct Worker;

Q_SIGNALS:
    // Something EDS holds changed and has been read; not debounced.
    void changed();
    void runningChanged(bool running);

private:
    std::shared_ptr<Worker> worker_;
};

} // namespace brivane

#pragma once

// The calendar store the application reads: the iCalendar folders and, where it runs, Evolution
// Data Server, side by side. Consent, the folders the user added and the commands that open the
// desktop's applications belong to the iCalendar store; EDS sources are part of what the user
// allows. Calendar ids cannot collide: EDS ids are source UIDs, file ids are name-based UUIDs of
// their paths, and a calendar is always asked of the backend that listed it.

#include "Brivane/calendar/EdsCalendarStore.h"
#include "Brivane/calendar/ForwardingCalendarStore.h"
#include "Brivane/calendar/ICalendarStore.h"

#include <map>
#include <memory>
#include <mutex>

class QTimer;

namespace brivane {

class CombinedCalendarStore final : public ForwardingCalendarStore {
    Q_OBJECT
public:
    explicit CombinedCalendarStore(ICalendarStore::Options files,
                                   EdsCalendarStore::Options eds = {}, QObject* parent = nullptr);
    ~CombinedCalendarStore() override;

    ICalendarStore& files() { return *files_; }
    EdsCalendarStore& eds() { return *eds_; }

    // The rest (consent, opening the desktop's applications) is the iCalendar store's.
    QCoro::Task<AccessAnswer> requestFullAccess(CalendarEntity entity) override;
    // The iCalendar calendars first, then those of EDS.
    QCoro::Task<std::vector<StoreCalendar>> calendars(CalendarEntity entity) override;
    QCoro::Task<std::vector<StoreEvent>> events(Date start, Date end,
                                                std::vector<std::string> calendarIDs) override;
    // Completes once both backends have answered; absent only when neither could be read.
    FetchToken fetchIncompleteReminders(ReminderCompletion completion) override;
    void cancelFetch(FetchToken token) override;
    void reset() override;

protected:
    CalendarStore& forwarded() const override { return *files_; }

private:
    void followConsent();

    struct Join;
    struct Pending {
        FetchToken files = 0;
        FetchToken eds = 0;
        std::shared_ptr<Join> join;
    };

    ICalendarStore* files_;
    EdsCalendarStore* eds_;
    QTimer* debounce_;
    std::mutex mutex_;
    FetchToken nextToken_ = 1;
    std::map<FetchToken, Pending> pending_;
};

} // namespace brivane

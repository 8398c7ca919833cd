#pragma once

// A store that hands every call to another one, for stores that add to another's answers (more
// calendars, more sources) and keep the rest of it as it is: they override only what they add.

#include "Brivane/calendar/CalendarStore.h"

namespace brivane {

class ForwardingCalendarStore : public CalendarStore {
    Q_OBJECT
public:
    using CalendarStore::CalendarStore;

    AuthorizationStatus authorizationStatus(CalendarEntity entity) const override {
        return forwarded().authorizationStatus(entity);
    }
    std::optional<std::string> accessProblem(CalendarEntity entity) const override {
        return forwarded().accessProblem(entity);
    }
    QCoro::Task<AccessAnswer> requestFullAccess(CalendarEntity entity) override {
        return forwarded().requestFullAccess(entity);
    }
    QCoro::Task<std::vector<StoreCalendar>> calendars(CalendarEntity entity) override {
        return forwarded().calendars(entity);
    }
    QCoro::Task<std::vector<StoreEvent>> events(Date start, Date end,
                                                std::vector<std::string> calendarIDs) override {
        return forwarded().events(start, end, std::move(calendarIDs));
    }
    FetchToken fetchIncompleteReminders(ReminderCompletion completion) override {
        return forwarded().fetchIncompleteReminders(std::move(completion));
    }
    void cancelFetch(FetchToken token) override { forwarded().cancelFetch(token); }
    void reset() override { forwarded().reset(); }
    QCoro::Task<LaunchProblem> openApp() override { return forwarded().openApp(); }
    QCoro::Task<LaunchProblem> openCalendar() override { return forwarded().openCalendar(); }
    bool openPrivacy() override { return forwarded().openPrivacy(); }

protected:
    // The store the calls go to; it lives as long as this one.
    virtual CalendarStore& forwarded() const = 0;
};

} // namespace brivane

#pragma once

// The application's calendar store with the subscriptions' calendars beside the others: listed
// under their own account, read through the same calls, so grouping, exclusion, the wallpaper and
// the terminal treat them as any calendar. Everything else (consent, tasks, opening apps) is the
// inner store's. Subscription ids are UUIDs made here, so they cannot collide with the inner
// store's.

#include "Brivane/calendar/CalendarStore.h"
#include "Brivane/subscriptions/SubscriptionService.h"

#include <memory>

namespace brivane {

class SubscribedCalendarStore final : public CalendarStore {
    Q_OBJECT
public:
    // `subscriptions` must outlive the store.
    SubscribedCalendarStore(std::unique_ptr<CalendarStore> inner,
                            SubscriptionService& subscriptions, QObject* parent = nullptr);

    CalendarStore& inner() { return *inner_; }
    const SubscriptionService& subscriptions() const { return subscriptions_; }

    AuthorizationStatus authorizationStatus(CalendarEntity entity) const override;
    std::optional<std::string> accessProblem(CalendarEntity entity) const override;
    QCoro::Task<AccessAnswer> requestFullAccess(CalendarEntity entity) override;
    // The inner store's calendars, then the subscriptions' (event calendars only).
    QCoro::Task<std::vector<StoreCalendar>> calendars(CalendarEntity entity) override;
    QCoro::Task<std::vector<StoreEvent>> events(Date start, Date end,
                                                std::vector<std::string> calendarIDs) override;
    FetchToken fetchIncompleteReminders(ReminderCompletion completion) override;
    void cancelFetch(FetchToken token) override;
    void reset() override;
    QCoro::Task<LaunchProblem> openApp() override;
    QCoro::Task<LaunchProblem> openCalendar() override;
    bool openPrivacy() override;

private:
    std::unique_ptr<CalendarStore> inner_;
    SubscriptionService& subscriptions_;
};

} // namespace brivane

#pragma once

// The application's calendar store with the subscriptions' calendars beside the others: listed
// under their own account, read through the same calls, so grouping, exclusion, the wallpaper and
// the terminal treat them as any calendar. Everything else (consent, tasks, opening apps) is the
// inner store's. Subscription ids are UUIDs made here, so they cannot collide with the inner
// store's.

#include "Brivane/calendar/ForwardingCalendarStore.h"
#include "Brivane/subscriptions/SubscriptionService.h"

#include <memory>

namespace brivane {

class SubscribedCalendarStore final : public ForwardingCalendarStore {
    Q_OBJECT
public:
    // `subscriptions` must outlive the store.
    SubscribedCalendarStore(std::unique_ptr<CalendarStore> inner,
                            SubscriptionService& subscriptions, QObject* parent = nullptr);

    CalendarStore& inner() { return *inner_; }
    const SubscriptionService& subscriptions() const { return subscriptions_; }

    // The inner store's calendars, then the subscriptions' (event calendars only).
    QCoro::Task<std::vector<StoreCalendar>> calendars(CalendarEntity entity) override;
    QCoro::Task<std::vector<StoreEvent>> events(Date start, Date end,
                                                std::vector<std::string> calendarIDs) override;

protected:
    CalendarStore& forwarded() const override { return *inner_; }

private:
    std::unique_ptr<CalendarStore> inner_;
    SubscriptionService& subscriptions_;
};

} // namespace brivane

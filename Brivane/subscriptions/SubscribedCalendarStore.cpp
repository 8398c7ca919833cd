#include "Brivane/subscriptions/SubscribedCalendarStore.h"

#include <QPointer>

namespace brivane {

SubscribedCalendarStore::SubscribedCalendarStore(std::unique_ptr<CalendarStore> inner,
                                                 SubscriptionService& subscriptions,
                                                 QObject* parent)
    : ForwardingCalendarStore(parent), inner_(std::move(inner)), subscriptions_(subscriptions) {
    connect(inner_.get(), &CalendarStore::changed, this, &CalendarStore::changed);
    connect(&subscriptions_, &SubscriptionService::changed, this, &CalendarStore::changed);
}

QCoro::Task<std::vector<StoreCalendar>> SubscribedCalendarStore::calendars(CalendarEntity entity) {
    // The store may be gone when the answer comes (a controller destroyed with a read out).
    const QPointer<SubscribedCalendarStore> alive(this);
    std::vector<StoreCalendar> result = co_await inner_->calendars(entity);
    if (alive && entity == CalendarEntity::event) {
        std::vector<StoreCalendar> subscribed = subscriptions_.calendars();
        result.insert(result.end(), subscribed.begin(), subscribed.end());
    }
    co_return result;
}

QCoro::Task<std::vector<StoreEvent>>
SubscribedCalendarStore::events(Date start, Date end, std::vector<std::string> calendarIDs) {
    std::vector<std::string> others;
    std::set<std::string> subscribed;
    for (auto& id : calendarIDs) {
        if (subscriptions_.find(id))
            subscribed.insert(std::move(id));
        else
            others.push_back(std::move(id));
    }
    const QPointer<SubscribedCalendarStore> alive(this);
    std::vector<StoreEvent> result;
    if (!others.empty())
        result = co_await inner_->events(start, end, std::move(others));
    if (alive && !subscribed.empty()) {
        std::vector<StoreEvent> more =
            co_await subscriptions_.events(start, end, std::move(subscribed));
        result.insert(result.end(), std::make_move_iterator(more.begin()),
                      std::make_move_iterator(more.end()));
    }
    co_return result;
}

} // namespace brivane

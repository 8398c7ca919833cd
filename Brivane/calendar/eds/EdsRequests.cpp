#include "Brivane/calendar/eds/EdsRequests.h"

#include <algorithm>

namespace brivane::eds {

bool EdsRequests::answeredLocked(const Window& window, const std::vector<std::string>& ids) const {
    if (!allowed || phase != Phase::ready) {
        return phase != Phase::connecting && phase != Phase::unknown;
    }
    return std::all_of(ids.begin(), ids.end(), [&](const std::string& id) {
        const auto found = published.find(id);
        return found == published.end() || !found->second.events ||
               found->second.attempted == window;
    });
}

std::vector<StoreEvent> EdsRequests::eventsLocked(Date start, Date end,
                                                  const std::vector<std::string>& ids) const {
    std::vector<StoreEvent> result;
    for (const auto& id : ids) {
        const auto found = published.find(id);
        if (found == published.end() || !found->second.events) {
            continue;
        }
        for (const auto& event : found->second.occurrences) {
            if (overlaps(event, start, end)) {
                result.push_back(event);
            }
        }
    }
    return result;
}

std::vector<StoreCalendar> EdsRequests::listedLocked(CalendarEntity entity) const {
    std::vector<StoreCalendar> result;
    for (const auto& uid : order) {
        const auto& p = published.at(uid);
        if (entity == CalendarEntity::event ? p.events : p.tasks) {
            result.push_back(p.calendar);
        }
    }
    return result;
}

void EdsRequests::serveWaiters(bool all, std::uint64_t only) {
    struct Answer {
        Waiter waiter;
        std::vector<StoreEvent> events;
        std::vector<StoreCalendar> calendars;
    };
    std::vector<Answer> answers;
    {
        std::lock_guard lock(mutex);
        for (auto it = waiters.begin(); it != waiters.end();) {
            const bool ready =
                all || it->id == only ||
                (it->forEvents ? answeredLocked(it->window, it->ids) : settledLocked());
            if (!ready) {
                ++it;
                continue;
            }
            Answer answer{std::move(*it), {}, {}};
            if (answer.waiter.forEvents) {
                answer.events =
                    eventsLocked(answer.waiter.start, answer.waiter.end, answer.waiter.ids);
            } else {
                answer.calendars = listedLocked(answer.waiter.entity);
            }
            answers.push_back(std::move(answer));
            it = waiters.erase(it);
        }
    }
    for (auto& answer : answers) {
        if (answer.waiter.events) {
            answer.waiter.events->addResult(std::move(answer.events));
            answer.waiter.events->finish();
        } else {
            answer.waiter.calendars->addResult(std::move(answer.calendars));
            answer.waiter.calendars->finish();
        }
    }
}

std::uint64_t EdsRequests::addWaiter(Waiter waiter) {
    std::lock_guard lock(mutex);
    const std::uint64_t id = waiter.id = nextWaiter++;
    waiters.push_back(std::move(waiter));
    return id;
}

void EdsRequests::completeFetches() {
    std::vector<Fetch> due;
    std::vector<ReminderItem> items;
    {
        std::lock_guard lock(mutex);
        if (phase == Phase::unknown || phase == Phase::connecting || fetches.empty()) {
            return;
        }
        due.swap(fetches);
        for (const auto& uid : order) {
            const Published& p = published.at(uid);
            if (p.tasks) {
                items.insert(items.end(), p.items.begin(), p.items.end());
            }
        }
    }
    for (auto& fetch : due) {
        if (!fetch.cancelled->load()) {
            fetch.completion(items);
        }
    }
}

void EdsRequests::cancelFetches() {
    std::lock_guard lock(mutex);
    for (auto& fetch : fetches) {
        fetch.cancelled->store(true);
    }
}

} // namespace brivane::eds

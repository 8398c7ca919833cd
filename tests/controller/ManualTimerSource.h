#pragma once

// A clock and timers moved by hand, for the controller's tests and benchmarks.

#include "Brivane/controller/TimerSource.h"

#include <QCoreApplication>
#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <vector>

namespace brivane::test {

// A clock and timers the test moves by hand. Elapsed and wall-clock timers share one axis;
// `jump` moves the wall clock without firing anything, as a clock change does.
class ManualTimerSource final : public TimerSource {
public:
    struct Entry {
        Date at;
        std::function<void()> fire;
        bool live = true;
    };
    class Handle final : public Timer {
    public:
        explicit Handle(std::shared_ptr<Entry> entry) : entry_(std::move(entry)) {}
        ~Handle() override { entry_->live = false; }

    private:
        std::shared_ptr<Entry> entry_;
    };

    explicit ManualTimerSource(Date start) : now_(start) {}

    Date now() const override { return now_; }
    std::unique_ptr<Timer> at(Date fireDate, std::chrono::milliseconds,
                              std::function<void()> fire) override {
        return add(fireDate, std::move(fire));
    }
    std::unique_ptr<Timer> after(std::chrono::milliseconds delay,
                                 std::function<void()> fire) override {
        return add(now_ + delay, std::move(fire));
    }

    // Moves time forward, firing every timer that comes due in order, with the event loop
    // turning after each so that the work they start can finish.
    void advance(std::chrono::milliseconds by) {
        const Date target = now_ + by;
        for (;;) {
            std::erase_if(entries_, [](const auto& e) { return !e->live; });
            auto next =
                std::min_element(entries_.begin(), entries_.end(),
                                 [](const auto& a, const auto& b) { return a->at < b->at; });
            if (next == entries_.end() || (*next)->at > target)
                break;
            auto entry = *next;
            now_ = std::max(now_, entry->at);
            entry->live = false;
            ++fired_;
            firedAt_.push_back(entry->at);
            auto fire = std::move(entry->fire);
            fire();
            settle();
        }
        now_ = target;
        settle();
    }
    void jump(Date to) {
        now_ = to;
        Q_EMIT clockChanged();
        settle();
    }
    // Lets queued work run (reads on worker threads, coroutines resuming).
    static void settle() {
        for (int i = 0; i < 5; ++i)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    int fired() const { return fired_; }
    // When each timer fired, in order.
    const std::vector<Date>& firedAt() const { return firedAt_; }
    int pending() const {
        return static_cast<int>(
            std::count_if(entries_.begin(), entries_.end(), [](const auto& e) { return e->live; }));
    }

private:
    std::unique_ptr<Timer> add(Date at, std::function<void()> fire) {
        auto entry = std::make_shared<Entry>(Entry{at, std::move(fire), true});
        entries_.push_back(entry);
        return std::make_unique<Handle>(entry);
    }

    Date now_;
    std::vector<std::shared_ptr<Entry>> entries_;
    int fired_ = 0;
    std::vector<Date> firedAt_;
};

} // namespace brivane::test

#include "Brivane/controller/RefreshScheduler.h"

#include "BrivaneCore/WallpaperStyle.h"

namespace brivane {

namespace {

using namespace std::chrono_literals;

constexpr auto debounceDelay = 500ms;
constexpr auto refreshTolerance = 5s;
constexpr auto timelineTolerance = 2s;

} // namespace

RefreshScheduler::RefreshScheduler(std::unique_ptr<TimerSource> timers, Handlers handlers)
    : timers_(std::move(timers)), handlers_(std::move(handlers)) {}

RefreshScheduler::~RefreshScheduler() {
    stop();
}

void RefreshScheduler::schedule(Slot& slot, NextDate next, std::chrono::milliseconds tolerance,
                                const std::function<void()>& handler) {
    const Date at = next(now());
    slot.at = at;
    slot.timer = timers_->at(at, tolerance, [this, &slot, next, tolerance, &handler] {
        if (handlers_.stopped())
            return;
        handler();
        schedule(slot, next, tolerance, handler);
    });
}

void RefreshScheduler::arm() {
    schedule(
        refresh_,
        [](Date now) { return AgendaDates::nextScheduledRefresh(now, AgendaDates::calendar()); },
        refreshTolerance, handlers_.refresh);
    schedule(
        timeline_,
        [](Date now) { return AgendaDates::nextTimelineUpdate(now, AgendaDates::calendar()); },
        timelineTolerance, handlers_.timelineTick);
    schedule(palette_, &GlassHarmony::nextChange, 0ms, handlers_.refresh);
    schedule(
        midnight_, [](Date now) { return nextDayStart(now, AgendaDates::calendar()); }, 0ms,
        handlers_.dayChanged);
}

void RefreshScheduler::stop() {
    debounce_.reset();
    for (Slot* slot : {&refresh_, &timeline_, &palette_, &midnight_}) {
        slot->timer.reset();
        slot->at.reset();
    }
}

void RefreshScheduler::debounce() {
    debounce_ = timers_->after(debounceDelay, [this] {
        if (!handlers_.stopped())
            handlers_.refresh();
    });
}

bool RefreshScheduler::minuteDrawnAnyway(Date moment) const {
    const auto dueSoon = [&](const std::optional<Date>& at, std::chrono::milliseconds slack) {
        return at && *at <= moment + slack;
    };
    return dueSoon(refresh_.at, refreshTolerance) || dueSoon(palette_.at, timelineTolerance) ||
           (lastDrawAt_ && moment - *lastDrawAt_ < timelineTolerance && moment >= *lastDrawAt_);
}

bool RefreshScheduler::setLocked(bool locked) {
    if (locked_ == locked)
        return false;
    locked_ = locked;
    return true;
}

bool RefreshScheduler::holdForUnlock() {
    if (locked_)
        pendingUnlock_ = true;
    return locked_;
}

void RefreshScheduler::drawn(Date at) {
    pendingUnlock_ = false;
    lastDrawAt_ = at;
}

} // namespace brivane

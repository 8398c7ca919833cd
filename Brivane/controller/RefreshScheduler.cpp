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

void RefreshScheduler::scheduleRefresh() {
    const Date at = AgendaDates::nextScheduledRefresh(now(), AgendaDates::calendar());
    refreshAt_ = at;
    refresh_ = timers_->at(at, refreshTolerance, [this] {
        if (handlers_.stopped())
            return;
        handlers_.refresh();
        scheduleRefresh();
    });
}

void RefreshScheduler::scheduleTimeline() {
    const Date at = AgendaDates::nextTimelineUpdate(now(), AgendaDates::calendar());
    timelineAt_ = at;
    timeline_ = timers_->at(at, timelineTolerance, [this] {
        if (handlers_.stopped())
            return;
        handlers_.timelineTick();
        scheduleTimeline();
    });
}

void RefreshScheduler::schedulePalette() {
    const Date at = GlassHarmony::nextChange(now());
    paletteAt_ = at;
    palette_ = timers_->at(at, 0ms, [this] {
        if (handlers_.stopped())
            return;
        handlers_.refresh();
        schedulePalette();
    });
}

void RefreshScheduler::scheduleMidnight() {
    const Date at = nextDayStart(now(), AgendaDates::calendar());
    midnightAt_ = at;
    midnight_ = timers_->at(at, 0ms, [this] {
        if (handlers_.stopped())
            return;
        handlers_.dayChanged();
        scheduleMidnight();
    });
}

void RefreshScheduler::arm() {
    scheduleRefresh();
    scheduleTimeline();
    schedulePalette();
    scheduleMidnight();
}

void RefreshScheduler::stop() {
    debounce_.reset();
    refresh_.reset();
    timeline_.reset();
    palette_.reset();
    midnight_.reset();
    refreshAt_.reset();
    timelineAt_.reset();
    paletteAt_.reset();
    midnightAt_.reset();
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
    return dueSoon(refreshAt_, refreshTolerance) || dueSoon(paletteAt_, timelineTolerance) ||
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

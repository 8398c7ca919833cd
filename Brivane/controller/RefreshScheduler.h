#pragma once

// When the wallpaper is read and drawn again: the four timers of the day (the scheduled refresh,
// the timeline's minute, the palette's change, midnight), the debounce that turns a burst of
// notifications into one refresh, and the session lock that holds drawing back until the
// unlock. It decides when; the controller does the work. Main thread only.

#include "Brivane/controller/TimerSource.h"

#include <functional>
#include <memory>
#include <optional>

namespace brivane {

class RefreshScheduler {
public:
    // What each timer does. A timer re-arms itself after its handler unless `stopped()` holds.
    struct Handlers {
        std::function<bool()> stopped;
        std::function<void()> refresh;
        std::function<void()> timelineTick;
        std::function<void()> dayChanged;
    };

    RefreshScheduler(std::unique_ptr<TimerSource> timers, Handlers handlers);
    ~RefreshScheduler();

    TimerSource& timers() { return *timers_; }
    Date now() const { return timers_->now(); }

    // Computes every timer of the day again from now, in the current zone.
    void arm();
    // Cancels every timer and the pending debounce.
    void stop();
    // One refresh half a second after the last of a burst of calls.
    void debounce();

    // When each timer fires next (absent when not armed).
    const std::optional<Date>& refreshAt() const { return refresh_.at; }
    const std::optional<Date>& timelineAt() const { return timeline_.at; }
    const std::optional<Date>& paletteAt() const { return palette_.at; }
    const std::optional<Date>& midnightAt() const { return midnight_.at; }

    // A timeline minute at `moment` needs no drawing of its own: a refresh due within its
    // tolerance draws the same minute anyway (:25, :55, even hours), and one that has just drawn
    // already shows it.
    bool minuteDrawnAnyway(Date moment) const;

    // The session is locked: nothing is drawn, and the first unlock draws at once.
    bool locked() const { return locked_; }
    // False when the state was already `locked`.
    bool setLocked(bool locked);
    // A draw is about to happen: true when it must wait for the unlock instead.
    bool holdForUnlock();
    // A draw was held back while locked.
    bool drawPendingUnlock() const { return pendingUnlock_; }
    void drawn(Date at);

private:
    // One timer of the day: when it fires next and its handle.
    struct Slot {
        std::unique_ptr<TimerSource::Timer> timer;
        std::optional<Date> at;
    };
    using NextDate = Date (*)(Date now);
    // Arms `slot` for `next(now())`; when it fires, runs `handler` and arms it again.
    void schedule(Slot& slot, NextDate next, std::chrono::milliseconds tolerance,
                  const std::function<void()>& handler);

    std::unique_ptr<TimerSource> timers_;
    Handlers handlers_;
    Slot refresh_, timeline_, palette_, midnight_;
    std::unique_ptr<TimerSource::Timer> debounce_;
    bool locked_ = false;
    bool pendingUnlock_ = false;
    std::optional<Date> lastDrawAt_;
};

} // namespace brivane

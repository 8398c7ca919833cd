#pragma once

// Where the controller gets "now" and its timers from. The system source arms wall-clock timers
// on timerfd (CLOCK_REALTIME, absolute) and reports wall-clock jumps, so timers computed from a
// local time of day are re-armed after a suspend or a clock change instead of firing hours late.
// Tests drive a manual source instead.

#include "BrivaneCore/AgendaDates.h"

#include <QObject>
#include <chrono>
#include <functional>
#include <memory>

namespace brivane {

class TimerSource : public QObject {
    Q_OBJECT
public:
    // A pending timer; destroying it cancels it. The callback runs on the main thread, at most
    // once, and never after the handle is gone.
    class Timer {
    public:
        virtual ~Timer() = default;
    };

    using QObject::QObject;
    ~TimerSource() override = default;

    virtual Date now() const = 0;
    // Fires once when the wall clock reaches `fireDate`, at most `tolerance` later.
    virtual std::unique_ptr<Timer> at(Date fireDate, std::chrono::milliseconds tolerance,
                                      std::function<void()> fire) = 0;
    // Fires once after `delay` of elapsed time, whatever the wall clock does.
    virtual std::unique_ptr<Timer> after(std::chrono::milliseconds delay,
                                         std::function<void()> fire) = 0;

Q_SIGNALS:
    // The wall clock was set discontinuously (by hand, NTP step, resume from suspend): timers
    // armed for a time of day must be computed again.
    void clockChanged();
};

// The real clock and timers.
std::unique_ptr<TimerSource> makeSystemTimerSource(QObject* parent = nullptr);

} // namespace brivane

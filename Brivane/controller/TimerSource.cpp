#include "Brivane/controller/TimerSource.h"

#include "Brivane/Logging.h"

#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <cstdint>
#include <sys/timerfd.h>
#include <unistd.h>

namespace brivane {

namespace {

using namespace std::chrono;

timespec toTimespec(Date date) {
    const auto sinceEpoch = date.time_since_epoch();
    const auto secs = floor<seconds>(sinceEpoch);
    timespec value{};
    value.tv_sec = static_cast<time_t>(secs.count());
    value.tv_nsec = static_cast<long>(duration_cast<nanoseconds>(sinceEpoch - secs).count());
    return value;
}

class ElapsedTimer final : public TimerSource::Timer {
public:
    ElapsedTimer(milliseconds delay, std::function<void()> fire)
        : timer_(new QTimer), fire_(std::move(fire)) {
        timer_->setSingleShot(true);
        timer_->setTimerType(Qt::PreciseTimer);
        QObject::connect(timer_, &QTimer::timeout, [this] {
            auto callback = std::move(fire_);
            callback();
        });
        timer_->start(static_cast<int>(std::max<milliseconds>(delay, milliseconds{0}).count()));
    }
    ~ElapsedTimer() override {
        // May run inside the timer's own timeout signal.
        timer_->stop();
        timer_->disconnect();
        timer_->deleteLater();
    }

private:
    QTimer* timer_;
    std::function<void()> fire_;
};

// One wall-clock timer on its own timerfd: CLOCK_REALTIME with an absolute expiry keeps counting
// through suspend, so a timer due during a lid close fires right after resume.
class WallClockTimer final : public TimerSource::Timer {
public:
    WallClockTimer(int fd, Date fireDate, std::function<void()> fire)
        : fd_(fd), fire_(std::move(fire)) {
        itimerspec expiry{};
        expiry.it_value = toTimespec(fireDate);
        if (expiry.it_value.tv_sec <= 0)
            expiry.it_value = timespec{0, 1}; // zero would disarm
        if (timerfd_settime(fd_, TFD_TIMER_ABSTIME, &expiry, nullptr) != 0)
            warnOnce(lcController(), QStringLiteral("Timer not armed: ") + qt_error_string(errno));
        notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read);
        QObject::connect(notifier_, &QSocketNotifier::activated, [this] {
            std::uint64_t expirations = 0;
            if (::read(fd_, &expirations, sizeof expirations) < 0 && errno == EAGAIN)
                return;
            notifier_->setEnabled(false);
            // The callback may destroy this timer (re-arming replaces it): move it out first.
            auto callback = std::move(fire_);
            callback();
        });
    }
    ~WallClockTimer() override {
        // May run inside the notifier's own signal.
        notifier_->setEnabled(false);
        notifier_->disconnect();
        notifier_->deleteLater();
        ::close(fd_);
    }

private:
    int fd_;
    QSocketNotifier* notifier_;
    std::function<void()> fire_;
};

class SystemTimerSource final : public TimerSource {
public:
    explicit SystemTimerSource(QObject* parent) : TimerSource(parent) {
        // A timer armed at the end of time with TFD_TIMER_CANCEL_ON_SET never expires: it only
        // wakes up when the wall clock is set, which is what we listen for.
        jumpFd_ = timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC);
        if (jumpFd_ < 0)
            return;
        armJumpWatch();
        auto* notifier = new QSocketNotifier(jumpFd_, QSocketNotifier::Read, this);
        connect(notifier, &QSocketNotifier::activated, this, [this] {
            std::uint64_t expirations = 0;
            const bool cancelled =
                ::read(jumpFd_, &expirations, sizeof expirations) < 0 && errno == ECANCELED;
            armJumpWatch();
            if (cancelled)
                Q_EMIT clockChanged();
        });
    }
    ~SystemTimerSource() override {
        if (jumpFd_ >= 0)
            ::close(jumpFd_);
    }

    Date now() const override { return time_point_cast<milliseconds>(system_clock::now()); }

    std::unique_ptr<Timer> at(Date fireDate, milliseconds, std::function<void()> fire) override {
        const int fd = timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC);
        if (fd < 0) { // no timerfd (a sandbox's filter): elapsed time is the next best thing
            warnOnce(lcController(),
                     QStringLiteral("No wall-clock timer: ") + qt_error_string(errno));
            return std::make_unique<ElapsedTimer>(duration_cast<milliseconds>(fireDate - now()),
                                                  std::move(fire));
        }
        return std::make_unique<WallClockTimer>(fd, fireDate, std::move(fire));
    }

    std::unique_ptr<Timer> after(milliseconds delay, std::function<void()> fire) override {
        return std::make_unique<ElapsedTimer>(delay, std::move(fire));
    }

private:
    void armJumpWatch() {
        itimerspec farAway{};
        farAway.it_value.tv_sec = 7258118400; // 2200-01-01
        timerfd_settime(jumpFd_, TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &farAway, nullptr);
    }

    int jumpFd_ = -1;
};

} // namespace

std::unique_ptr<TimerSource> makeSystemTimerSource(QObject* parent) {
    return std::make_unique<SystemTimerSource>(parent);
}

} // namespace brivane

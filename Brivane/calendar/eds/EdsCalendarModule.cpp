// The module's entry point: the store's operations (EdsBackend) on top of the worker, which runs
// on a thread of its own.

#include "Brivane/calendar/EdsBackend.h"
#include "Brivane/calendar/WorkerThread.h"
#include "Brivane/calendar/eds/EdsWorker.h"

#include <qcoro/qcorosignal.h>

namespace brivane {

namespace {

using eds::Window;
using eds::Worker;

class Backend final : public EdsBackend {
public:
    Backend(const EdsOptions& options, EdsNotify notify);
    ~Backend() override;
    bool running() const override;
    QCoro::Task<std::vector<StoreCalendar>> calendars(CalendarEntity entity) override;
    std::vector<StoreCalendar> listed(CalendarEntity entity) const override;
    bool holds(const std::string& calendarID) const override;
    QCoro::Task<std::vector<StoreEvent>> events(Date start, Date end,
                                                std::vector<std::string> calendarIDs) override;
    CalendarStore::FetchToken
    fetchIncompleteReminders(CalendarStore::ReminderCompletion completion) override;
    void cancelFetch(CalendarStore::FetchToken token) override;
    void reset() override;
    void setReadingAllowed(bool allowed) override;
    EdsReport report(std::chrono::milliseconds wait) override;

private:
    std::shared_ptr<Worker> worker_;
    std::unique_ptr<WorkerThread> thread_;
};

Backend::Backend(const EdsOptions& options, EdsNotify notify)
    : worker_(std::make_shared<Worker>(options, std::move(notify))) {
    Worker& w = *worker_;
    thread_ = std::make_unique<WorkerThread>([worker = worker_] { worker->run(); });
    // Long enough for a local bus to answer, short enough that start-up does not notice.
    std::unique_lock lock(w.mutex);
    w.answered.wait_for(lock, options.presenceWait,
                        [&w] { return w.phase != Worker::Phase::unknown; });
}

Backend::~Backend() {
    Worker& w = *worker_;
    // Nothing leads back to the store any more, should the worker outlive it.
    w.cutOwner();
    w.cancelFetches();
    // A call stuck on a hung backend gives up now rather than holding up quitting.
    g_cancellable_cancel(w.cancellable.get());
    w.loop.quit();
    thread_->stop();
}

bool Backend::running() const {
    std::lock_guard lock(worker_->mutex);
    return worker_->runningLocked();
}

std::vector<StoreCalendar> Backend::listed(CalendarEntity entity) const {
    std::lock_guard lock(worker_->mutex);
    return worker_->listedLocked(entity);
}

QCoro::Task<std::vector<StoreCalendar>> Backend::calendars(CalendarEntity entity) {
    auto promise = std::make_shared<QPromise<std::vector<StoreCalendar>>>();
    QFuture<std::vector<StoreCalendar>> future = promise->future();
    promise->start();
    bool now = false;
    {
        std::lock_guard lock(worker_->mutex);
        now = worker_->settledLocked();
        if (now) {
            promise->addResult(worker_->listedLocked(entity));
            promise->finish();
        }
    }
    if (!now) {
        Worker::Waiter waiter;
        waiter.entity = entity;
        waiter.calendars = promise;
        worker_->wait(std::move(waiter));
    }
    return awaited(std::move(future));
}

bool Backend::holds(const std::string& calendarID) const {
    std::lock_guard lock(worker_->mutex);
    return worker_->published.count(calendarID) != 0;
}

QCoro::Task<std::vector<StoreEvent>> Backend::events(Date start, Date end,
                                                     std::vector<std::string> calendarIDs) {
    const Window window{eds::secondsOf(start), eds::secondsOf(end), currentTimeZoneId()};
    auto promise = std::make_shared<QPromise<std::vector<StoreEvent>>>();
    QFuture<std::vector<StoreEvent>> future = promise->future();
    promise->start();
    bool now = false;
    {
        std::lock_guard lock(worker_->mutex);
        worker_->wanted = window;
        now = worker_->answeredLocked(window, calendarIDs);
        if (now) {
            promise->addResult(worker_->eventsLocked(start, end, calendarIDs));
            promise->finish();
        }
    }
    if (now) {
        return awaited(std::move(future));
    }
    // Read now, and answered when every calendar has answered or the time is up; a source
    // that does not answer in time keeps its last events.
    Worker::Waiter waiter;
    waiter.forEvents = true;
    waiter.window = window;
    waiter.start = start;
    waiter.end = end;
    waiter.ids = std::move(calendarIDs);
    waiter.events = promise;
    worker_->wait(std::move(waiter));
    return awaited(std::move(future));
}

CalendarStore::FetchToken
Backend::fetchIncompleteReminders(CalendarStore::ReminderCompletion completion) {
    const auto token = worker_->nextToken.fetch_add(1);
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    {
        std::lock_guard lock(worker_->mutex);
        worker_->fetches.push_back({token, cancelled, std::move(completion)});
    }
    worker_->post([](Worker& w) { w.scheduleLoad(); });
    return token;
}

void Backend::cancelFetch(CalendarStore::FetchToken token) {
    std::lock_guard lock(worker_->mutex);
    for (auto& fetch : worker_->fetches) {
        if (fetch.token == token) {
            fetch.cancelled->store(true);
        }
    }
}

void Backend::reset() {
    worker_->post([](Worker& w) { w.reloadAll(); });
}

void Backend::setReadingAllowed(bool allowed) {
    {
        std::lock_guard lock(worker_->mutex);
        if (worker_->allowed == allowed) {
            return;
        }
        worker_->allowed = allowed;
    }
    worker_->post([](Worker& w) { w.scheduleLoad(); });
}

EdsReport Backend::report(std::chrono::milliseconds wait) {
    Worker& w = *worker_;
    const auto deadline = std::chrono::steady_clock::now() + wait;
    std::uint64_t before = 0;
    {
        std::unique_lock lock(w.mutex);
        w.answered.wait_until(lock, deadline, [&w] {
            return w.phase == Worker::Phase::absent || w.phase == Worker::Phase::ready;
        });
        before = w.passes;
    }
    // Reads the window last asked for, or this week.
    w.post([](Worker& worker) { worker.scheduleLoad(); });
    EdsReport result;
    std::unique_lock lock(w.mutex);
    result.complete = w.answered.wait_until(lock, deadline, [&w, before] {
        return w.phase == Worker::Phase::absent || w.passes > before;
    });
    result.running = w.runningLocked();
    for (const auto& uid : w.order) {
        const auto& p = w.published.at(uid);
        result.sources.push_back(EdsSourceReport{p.calendar, p.events, p.tasks,
                                                 p.occurrences.size(), p.items.size(), p.problem});
    }
    return result;
}

} // namespace

} // namespace brivane

extern "C" __attribute__((visibility("default"))) brivane::EdsBackend*
pellora_eds_backend(const brivane::EdsOptions& options, brivane::EdsNotify notify) {
    try {
        return new brivane::Backend(options, std::move(notify));
    } catch (...) {
        return nullptr;
    }
}

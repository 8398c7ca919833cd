#pragma once

// The one rule for stopping a store's worker: quitting never waits on it for long, and a worker
// that does not stop in time never touches freed state. stop() waits up to a limit for the work
// to end; a worker still stuck then (a read on a dead network mount, a backend that does not
// answer) is left to finish on its own. So the work owns everything it touches (by shared_ptr),
// and whoever stops it first cuts every path back to itself (callbacks, owner pointers).

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace brivane {

// Long enough for a read in progress to end, short enough that quitting does not feel stuck.
inline constexpr std::chrono::milliseconds workerStopLimit{2000};

class WorkerThread {
public:
    explicit WorkerThread(std::function<void()> work);
    // Stops with workerStopLimit unless stopped already.
    ~WorkerThread();
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    // Waits at most `limit` for the work to end; true when it ended, false when it was left
    // running. The work is asked to end by other means (its own quit signal) before.
    bool stop(std::chrono::milliseconds limit = workerStopLimit);

private:
    struct Ending {
        std::mutex mutex;
        std::condition_variable ended;
        bool done = false;
    };
    std::shared_ptr<Ending> ending_;
    std::thread thread_;
};

// Jobs run one after another, in the order posted, on a worker thread of their own, started with
// the first job. Stopping runs what is queued, within the same limit. Used from the owner's
// thread only.
class WorkQueue {
public:
    WorkQueue() = default;
    ~WorkQueue();
    WorkQueue(const WorkQueue&) = delete;
    WorkQueue& operator=(const WorkQueue&) = delete;

    void post(std::function<void()> job);
    // As WorkerThread::stop; jobs posted afterwards are dropped.
    bool stop(std::chrono::milliseconds limit = workerStopLimit);

private:
    struct Jobs {
        std::mutex mutex;
        std::condition_variable posted;
        std::deque<std::function<void()>> queue;
        bool stopping = false;
    };
    std::shared_ptr<Jobs> jobs_ = std::make_shared<Jobs>();
    std::unique_ptr<WorkerThread> thread_;
};

} // namespace brivane

#include "Brivane/calendar/WorkerThread.h"

namespace brivane {

WorkerThread::WorkerThread(std::function<void()> work) : ending_(std::make_shared<Ending>()) {
    thread_ = std::thread([ending = ending_, work = std::move(work)]() mutable {
        work();
        work = nullptr; // what it held goes with it, before it counts as ended
        {
            std::lock_guard lock(ending->mutex);
            ending->done = true;
        }
        ending->ended.notify_all();
    });
}

WorkerThread::~WorkerThread() {
    stop();
}

bool WorkerThread::stop(std::chrono::milliseconds limit) {
    if (!thread_.joinable()) {
        return true;
    }
    bool done = false;
    {
        std::unique_lock lock(ending_->mutex);
        done = ending_->ended.wait_for(lock, limit, [this] { return ending_->done; });
    }
    if (done) {
        thread_.join();
    } else {
        thread_.detach(); // holds only what its work owns
    }
    return done;
}

WorkQueue::~WorkQueue() {
    stop();
}

void WorkQueue::post(std::function<void()> job) {
    {
        std::lock_guard lock(jobs_->mutex);
        if (jobs_->stopping) {
            return;
        }
        jobs_->queue.push_back(std::move(job));
    }
    jobs_->posted.notify_one();
    if (thread_ == nullptr) {
        thread_ = std::make_unique<WorkerThread>([jobs = jobs_] {
            std::unique_lock lock(jobs->mutex);
            while (true) {
                jobs->posted.wait(lock, [&] { return jobs->stopping || !jobs->queue.empty(); });
                if (jobs->queue.empty()) {
                    return; // stopping, and nothing left
                }
                auto next = std::move(jobs->queue.front());
                jobs->queue.pop_front();
                lock.unlock();
                next();
                next = nullptr;
                lock.lock();
            }
        });
    }
}

bool WorkQueue::stop(std::chrono::milliseconds limit) {
    {
        std::lock_guard lock(jobs_->mutex);
        jobs_->stopping = true;
    }
    jobs_->posted.notify_all();
    return thread_ == nullptr || thread_->stop(limit);
}

} // namespace brivane

#include "Brivane/calendar/WorkerThread.h"
#include "CalendarTestSupport.h"

#include <atomic>
#include <gtest/gtest.h>
#include <unistd.h>
#include <vector>

using namespace brivane;
using namespace brivane::testing;

namespace {

struct Pipe {
    int fds[2] = {-1, -1};
    Pipe() { EXPECT_EQ(pipe(fds), 0); }
    ~Pipe() {
        close(fds[0]);
        close(fds[1]);
    }
};

} // namespace

// A worker stuck in a read (a dead network mount, a backend that never answers) must not hold
// up quitting; when the read ends at last, everything it uses is still there (the sanitizer run
// catches a worker that finds it freed).
TEST(WorkerThreadTest, AWorkerStuckInAReadIsLeftToFinishOnItsOwn) {
    Pipe pipe;
    struct Held {
        std::vector<char> bytes = std::vector<char>(64, 0);
        std::atomic<bool> reading{false};
    };
    auto held = std::make_shared<Held>();
    std::weak_ptr<Held> watch = held;
    {
        WorkerThread worker([held, fd = pipe.fds[0]] {
            held->reading = true;
            if (read(fd, held->bytes.data(), held->bytes.size()) > 0) {
                held->bytes.back() = '!'; // what it uses, after the read
            }
        });
        ASSERT_TRUE(waitUntil([&] { return held->reading.load(); }));
        held.reset();
        EXPECT_FALSE(worker.stop(std::chrono::milliseconds(50)));
    }
    EXPECT_FALSE(watch.expired()); // the stuck work still holds what it uses
    ASSERT_EQ(write(pipe.fds[1], "x", 1), 1);
    EXPECT_TRUE(waitUntil([&] { return watch.expired(); }));
}

// Requests queued before the store goes are all answered, in order; none run after.
TEST(WorkerThreadTest, StoppingRunsWhatIsQueuedInOrderAndNothingAfter) {
    auto order = std::make_shared<std::vector<int>>();
    WorkQueue queue;
    for (int i = 0; i < 5; ++i) {
        queue.post([order, i] { order->push_back(i); });
    }
    EXPECT_TRUE(queue.stop());
    queue.post([order] { order->push_back(99); });
    EXPECT_EQ(*order, (std::vector<int>{0, 1, 2, 3, 4}));
}

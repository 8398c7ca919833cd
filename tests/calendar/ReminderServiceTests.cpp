// Timing and failure rules of the reminder service, against a store whose answers the test
// scripts (when, whether, from which thread).

#include "Brivane/calendar/ReminderService.h"
#include "CalendarTestSupport.h"

#include <QTimer>
#include <gtest/gtest.h>
#include <map>
#include <qcoro/qcorotimer.h>
#include <set>
#include <thread>

using namespace brivane;
using namespace brivane::testing;
using namespace std::chrono_literals;

namespace {

class ScriptedStore final : public CalendarStore {
public:
    AuthorizationStatus status = AuthorizationStatus::fullAccess;
    std::vector<StoreCalendar> lists;
    AccessAnswer accessAnswer{true, std::nullopt};
    AuthorizationStatus statusAfterGrant = AuthorizationStatus::fullAccess;
    std::map<FetchToken, ReminderCompletion> fetches;
    std::set<FetchToken> cancelled;
    int resets = 0;
    int accessRequests = 0;
    FetchToken next = 1;

    AuthorizationStatus authorizationStatus(CalendarEntity) const override { return status; }
    std::optional<std::string> accessProblem(CalendarEntity) const override { return {}; }
    QCoro::Task<AccessAnswer> requestFullAccess(CalendarEntity) override {
        ++accessRequests;
        QTimer timer;
        timer.setSingleShot(true);
        timer.start(30ms);
        co_await timer;
        if (accessAnswer.granted) {
            status = statusAfterGrant;
        }
        co_return accessAnswer;
    }
    // The lists arrive at once, or after this long (a store still reading a slow source).
    std::chrono::milliseconds listingDelay{0};
    int listings = 0;
    int listingsDone = 0;

    QCoro::Task<std::vector<StoreCalendar>> calendars(CalendarEntity) override {
        ++listings;
        std::vector<StoreCalendar> result = lists; // the store may be gone when the timer fires
        if (listingDelay.count() > 0) {
            QTimer timer;
            timer.setSingleShot(true);
            timer.start(listingDelay);
            co_await timer;
        }
        ++listingsDone;
        co_return result;
    }
    QCoro::Task<std::vector<StoreEvent>> events(Date, Date, std::vector<std::string>) override {
        co_return std::vector<StoreEvent>{};
    }
    FetchToken fetchIncompleteReminders(ReminderCompletion completion) override {
        fetches.emplace(next, std::move(completion));
        return next++;
    }
    void cancelFetch(FetchToken token) override { cancelled.insert(token); }
    void reset() override { ++resets; }
    QCoro::Task<LaunchProblem> openApp() override { co_return std::nullopt; }
    QCoro::Task<LaunchProblem> openCalendar() override { co_return std::nullopt; }
    bool openPrivacy() override { return true; }

    // Answers a fetch from another thread, as the real store does.
    void answer(FetchToken token, std::optional<std::vector<ReminderItem>> items) {
        auto completion = fetches.at(token);
        std::thread([&] { completion(std::move(items)); }).join();
    }
};

const Date fixedNow = utc(2026, 12, 7, 9, 30);

std::vector<ReminderItem> someItems() {
    return {ReminderItem("l1/a", "Buy milk", "Shopping", utc(2026, 12, 8), false, 0, "l1")};
}

struct ReminderServiceTest : ::testing::Test {
    ScriptedStore store;
    std::unique_ptr<ReminderService> service;
    int published = 0;
    std::vector<ReminderAvailability> states;

    void make(std::chrono::milliseconds limit = 12s) {
        service =
            std::make_unique<ReminderService>(&store, nullptr, limit, [] { return fixedNow; });
        QObject::connect(service.get(), &ReminderService::snapshotChanged, [this] {
            ++published;
            states.push_back(service->snapshot().state);
        });
    }
};

} // namespace

TEST_F(ReminderServiceTest, ConcurrentReadsShareOneFetchAndOneSnapshot) {
    store.lists = {{"l2", "Work", "Nextcloud"},
                   {"l1", "Shopping", "Evolution"},
                   {"l4", "Alpha", "Nextcloud"},
                   {"l3", "Alpha", "Nextcloud"}};
    make();
    auto first = service->read();
    auto second = service->read();
    ASSERT_EQ(store.fetches.size(), 1u);
    EXPECT_EQ(service->snapshot().state, ReminderAvailability::loading);
    // Sorted by source, title, identifier.
    const std::vector<std::string> names{"Shopping", "Alpha", "Alpha", "Work"};
    EXPECT_EQ(service->snapshot().listNames, names);
    EXPECT_EQ(service->snapshot().lists[1].id, "l3");

    store.answer(1, someItems());
    const ReminderSnapshot a = QCoro::waitFor(std::move(first));
    const ReminderSnapshot b = QCoro::waitFor(std::move(second));
    EXPECT_EQ(a, b);
    EXPECT_EQ(a.state, ReminderAvailability::available);
    EXPECT_EQ(a.items, someItems());
    EXPECT_EQ(a.fetchedAt, fixedNow);
    EXPECT_EQ(service->snapshot(), a);
    // One loading snapshot (the second caller publishes none) and the result.
    EXPECT_EQ(states,
              (std::vector{ReminderAvailability::loading, ReminderAvailability::available}));
}

TEST_F(ReminderServiceTest, SlowFetchTimesOutAndItsLateAnswerIsDropped) {
    store.lists = {{"l1", "Shopping", "Evolution"}};
    make(80ms);
    const ReminderSnapshot result = QCoro::waitFor(service->read());
    EXPECT_EQ(result.state, ReminderAvailability::failed);
    EXPECT_TRUE(result.items.empty());
    EXPECT_EQ(result.lists.size(), 1u);
    EXPECT_FALSE(result.fetchedAt);
    EXPECT_EQ(store.cancelled, (std::set<CalendarStore::FetchToken>{1}));

    const int before = published;
    store.answer(1, someItems());
    QCoreApplication::sendPostedEvents(); // the answer's hop to the main thread
    EXPECT_EQ(published, before);
    EXPECT_EQ(service->snapshot(), result);
}

TEST_F(ReminderServiceTest, FetchInTimeCancelsTheWatchdog) {
    make(80ms);
    auto task = service->read();
    store.answer(1, someItems());
    EXPECT_EQ(QCoro::waitFor(std::move(task)).state, ReminderAvailability::available);
    waitPast(80ms); // the watchdog's time
    EXPECT_EQ(service->snapshot().state, ReminderAvailability::available);
    EXPECT_EQ(published, 2);
    EXPECT_TRUE(store.cancelled.empty());
}

TEST_F(ReminderServiceTest, StoreWithoutAnAnswerArrayFails) {
    store.lists = {{"l1", "Shopping", "Evolution"}};
    make();
    auto task = service->read();
    store.answer(1, std::nullopt);
    const ReminderSnapshot result = QCoro::waitFor(std::move(task));
    EXPECT_EQ(result.state, ReminderAvailability::failed);
    EXPECT_EQ(result.lists.size(), 1u);
    EXPECT_FALSE(result.fetchedAt);
}

TEST_F(ReminderServiceTest, AccessLostDuringAReadEndsItForEveryCaller) {
    make();
    auto first = service->read();
    auto second = service->read();
    store.status = AuthorizationStatus::denied;
    const ReminderSnapshot third = QCoro::waitFor(service->read());
    const ReminderSnapshot empty{{}, {}, {}, ReminderAvailability::notAuthorized, std::nullopt};
    EXPECT_EQ(third, empty);
    EXPECT_EQ(QCoro::waitFor(std::move(first)), empty);
    EXPECT_EQ(QCoro::waitFor(std::move(second)), empty);
    EXPECT_EQ(store.cancelled, (std::set<CalendarStore::FetchToken>{1}));
    EXPECT_EQ(service->authorization(), AuthorizationStatus::denied);

    store.answer(1, someItems()); // late: dropped
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(service->snapshot(), empty);
    // Without access no fetch starts.
    EXPECT_EQ(QCoro::waitFor(service->read()), empty);
    EXPECT_EQ(store.fetches.size(), 1u);
}

TEST_F(ReminderServiceTest, FirstReadAfterAGrantResetsTheStore) {
    store.status = AuthorizationStatus::notDetermined;
    make();
    EXPECT_EQ(QCoro::waitFor(service->read()).state, ReminderAvailability::notAuthorized);
    EXPECT_EQ(store.resets, 0);

    store.status = AuthorizationStatus::fullAccess; // granted elsewhere
    auto task = service->read();
    EXPECT_EQ(store.resets, 1);
    store.answer(1, someItems());
    QCoro::waitFor(std::move(task));
    auto again = service->read();
    store.answer(2, someItems());
    QCoro::waitFor(std::move(again));
    EXPECT_EQ(store.resets, 1);
}

TEST_F(ReminderServiceTest, AccessRequests) {
    store.status = AuthorizationStatus::notDetermined;
    make();
    int requestingChanges = 0;
    QObject::connect(service.get(), &ReminderService::requestingAccessChanged,
                     [&] { ++requestingChanges; });
    auto request = service->requestAccess();
    EXPECT_TRUE(service->requestingAccess());
    QCoro::waitFor(service->requestAccess()); // a second request returns at once
    EXPECT_EQ(store.accessRequests, 1);
    QCoro::waitFor(std::move(request));
    EXPECT_FALSE(service->requestingAccess());
    EXPECT_EQ(requestingChanges, 2);
    EXPECT_EQ(service->authorization(), AuthorizationStatus::fullAccess);
    EXPECT_EQ(store.resets, 1); // granted with no read waiting
    EXPECT_FALSE(service->permissionError());

    // A failed request leaves its description until a read finds full access.
    store.accessAnswer = AccessAnswer{false, std::string("Pellora cannot read ~/.calendars.")};
    QCoro::waitFor(service->requestAccess());
    EXPECT_EQ(service->permissionError(), "Pellora cannot read ~/.calendars.");
    EXPECT_EQ(store.resets, 1);
    auto task = service->read();
    EXPECT_FALSE(service->permissionError());
    store.answer(1, std::vector<ReminderItem>{});
    EXPECT_EQ(QCoro::waitFor(std::move(task)).state, ReminderAvailability::available);
}

TEST_F(ReminderServiceTest, AnswerAfterTheServiceIsGoneIsIgnored) {
    make();
    auto task = service->read();
    service.reset();
    store.answer(1, someItems());
    QCoreApplication::sendPostedEvents(); // the answer is delivered to no one
    // The read still waiting ends with what was known, instead of staying suspended for ever.
    EXPECT_TRUE(task.isReady());
}

// The store lists on its own thread and may take as long as its slowest source: the watchdog
// runs from the start of the read, and a listing that arrives after it starts no fetch.
TEST_F(ReminderServiceTest, WatchdogCoversASlowListing) {
    store.lists = {{"l1", "Shopping", "Evolution"}};
    make();
    auto first = service->read();
    store.answer(1, someItems());
    ASSERT_EQ(QCoro::waitFor(std::move(first)).state, ReminderAvailability::available);

    service = nullptr;
    store.listingDelay = 400ms;
    make(80ms);
    QElapsedTimer clock;
    clock.start();
    const ReminderSnapshot result = QCoro::waitFor(service->read());
    EXPECT_LT(clock.elapsed(), 300);
    EXPECT_EQ(result.state, ReminderAvailability::failed);
    EXPECT_TRUE(result.lists.empty()); // none known to this service yet
    ASSERT_TRUE(waitUntil([&] { return store.listingsDone == store.listings; }));
    EXPECT_EQ(store.fetches.size(), 1u); // the late listing started no second fetch
    EXPECT_EQ(service->snapshot(), result);

    // The next read keeps the lists it saw while its own listing is slow.
    store.listingDelay = 0ms;
    auto second = service->read();
    store.answer(2, someItems());
    ASSERT_EQ(QCoro::waitFor(std::move(second)).lists.size(), 1u);
    store.listingDelay = 400ms;
    const ReminderSnapshot third = QCoro::waitFor(service->read());
    EXPECT_EQ(third.state, ReminderAvailability::failed);
    EXPECT_EQ(third.lists.size(), 1u);
    // The last listing ends before the store goes.
    ASSERT_TRUE(waitUntil([&] { return store.listingsDone == store.listings; }));
}

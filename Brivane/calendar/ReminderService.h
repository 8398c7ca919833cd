#pragma once

// Reads the user's task lists and incomplete tasks from the calendar store into a
// ReminderSnapshot. Main thread only. Concurrent readers share one fetch; a fetch that takes
// longer than the time limit is cancelled and reported as failed, and its late answer dropped.

#include "Brivane/calendar/CalendarStore.h"
#include "BrivaneCore/ReminderModel.h"

#include <QObject>
#include <QPointer>
#include <QUuid>
#include <chrono>
#include <coroutine>
#include <functional>
#include <memory>
#include <optional>
#include <qcoro/qcorotask.h>
#include <string>
#include <vector>

class QTimer;

namespace brivane {

class ReminderService : public QObject {
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds defaultTimeLimit{12000};
    using Clock = std::function<Date()>;

    // The store must outlive the service. `timeLimit` and `now` are there for tests.
    explicit ReminderService(CalendarStore* store, QObject* parent = nullptr,
                             std::chrono::milliseconds timeLimit = defaultTimeLimit,
                             Clock now = {});
    ~ReminderService() override;

    const ReminderSnapshot& snapshot() const { return snapshot_; }
    AuthorizationStatus authorization() const { return authorization_; }
    bool requestingAccess() const { return requestingAccess_; }
    const std::optional<std::string>& permissionError() const { return permissionError_; }

    // Asks the store for access to tasks; returns at once while a request is running.
    QCoro::Task<> requestAccess();
    // Lists and incomplete tasks; never fails: the outcome is the snapshot's state. The result
    // is also published as snapshot().
    QCoro::Task<ReminderSnapshot> read();

    QCoro::Task<LaunchProblem> openApp();
    void openPrivacy();

Q_SIGNALS:
    void snapshotChanged();
    void authorizationChanged();
    void requestingAccessChanged();
    void permissionErrorChanged();

private:
    struct Waiter {
        std::coroutine_handle<> handle;
        std::optional<ReminderSnapshot> result;
    };
    // Holds a plain pointer: the read's frame keeps the waiter alive, and GCC 12 may destroy
    // an awaiter temporary twice.
    struct Wait {
        Waiter* waiter;
        bool await_ready() const noexcept { return waiter->result.has_value(); }
        void await_suspend(std::coroutine_handle<> handle) noexcept { waiter->handle = handle; }
        ReminderSnapshot await_resume() { return std::move(*waiter->result); }
    };

    static ReminderSnapshot notAuthorizedSnapshot();
    void refreshAuthorization();
    void setRequestingAccess(bool value);
    void clearPermissionError();
    void publish(ReminderSnapshot snapshot);
    void startWatchdog(QUuid id);
    void listThenFetch(QUuid id);
    void startFetch(QUuid id, std::vector<StoreCalendar> calendars);
    void completeFetch(QUuid id, std::optional<std::vector<ReminderItem>> items,
                       std::vector<std::string> listNames, std::vector<ReminderList> lists);
    void finish(ReminderSnapshot snapshot, QUuid id);

    CalendarStore* store_;
    std::chrono::milliseconds timeLimit_;
    Clock now_;
    bool requestingAccess_ = false;
    AuthorizationStatus authorization_;
    ReminderSnapshot snapshot_;
    std::optional<QUuid> readID_;
    std::optional<CalendarStore::FetchToken> fetchIdentifier_;
    std::vector<std::shared_ptr<Waiter>> pending_;
    std::optional<std::string> permissionError_;
    QPointer<QTimer> timeout_;
};

} // namespace brivane

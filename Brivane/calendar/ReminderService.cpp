#include "Brivane/calendar/ReminderService.h"

#include <QCoreApplication>
#include <QTimer>
#include <algorithm>
#include <tuple>

namespace brivane {

ReminderService::ReminderService(CalendarStore* store, QObject* parent,
                                 std::chrono::milliseconds timeLimit, Clock now)
    : QObject(parent), store_(store), timeLimit_(timeLimit), now_(std::move(now)),
      authorization_(store->authorizationStatus(CalendarEntity::reminder)),
      snapshot_(notAuthorizedSnapshot()) {
    if (!now_) {
        now_ = [] {
            return std::chrono::time_point_cast<std::chrono::milliseconds>(
                std::chrono::system_clock::now());
        };
    }
}

ReminderService::~ReminderService() {
    if (timeout_) {
        delete timeout_.data();
    }
    if (fetchIdentifier_) {
        store_->cancelFetch(*fetchIdentifier_);
    }
    // A suspended read is freed only when it ends: callers still waiting get the last
    // snapshot now, and their own guards tell them whether their owner is still there.
    std::vector<std::shared_ptr<Waiter>> waiting;
    waiting.swap(pending_);
    for (const auto& waiter : waiting)
        waiter->result = snapshot_;
    for (const auto& waiter : waiting) {
        if (waiter->handle)
            waiter->handle.resume();
    }
}

ReminderSnapshot ReminderService::notAuthorizedSnapshot() {
    return ReminderSnapshot{{}, {}, {}, ReminderAvailability::notAuthorized, std::nullopt};
}

void ReminderService::refreshAuthorization() {
    const AuthorizationStatus status = store_->authorizationStatus(CalendarEntity::reminder);
    if (status != authorization_) {
        authorization_ = status;
        Q_EMIT authorizationChanged();
    }
}

void ReminderService::setRequestingAccess(bool value) {
    if (requestingAccess_ != value) {
        requestingAccess_ = value;
        Q_EMIT requestingAccessChanged();
    }
}

void ReminderService::clearPermissionError() {
    if (permissionError_) {
        permissionError_.reset();
        Q_EMIT permissionErrorChanged();
    }
}

void ReminderService::publish(ReminderSnapshot snapshot) {
    snapshot_ = std::move(snapshot);
    Q_EMIT snapshotChanged();
}

QCoro::Task<> ReminderService::requestAccess() {
    if (requestingAccess_) {
        co_return;
    }
    setRequestingAccess(true);
    clearPermissionError();
    QPointer<ReminderService> self(this);
    const AccessAnswer answer = co_await store_->requestFullAccess(CalendarEntity::reminder);
    if (!self) {
        co_return;
    }
    if (answer.granted && pending_.empty()) {
        store_->reset(); // so that the store sees the new permission
    }
    if (answer.error) {
        permissionError_ = answer.error;
        Q_EMIT permissionErrorChanged();
    }
    refreshAuthorization();
    setRequestingAccess(false);
}

QCoro::Task<ReminderSnapshot> ReminderService::read() {
    const AuthorizationStatus before = authorization_;
    refreshAuthorization();

    if (authorization_ != AuthorizationStatus::fullAccess) {
        if (!readID_) {
            publish(notAuthorizedSnapshot());
        } else {
            // Access went away during a read: every waiting caller gets the empty snapshot.
            if (fetchIdentifier_) {
                store_->cancelFetch(*fetchIdentifier_);
            }
            finish(notAuthorizedSnapshot(), *readID_);
        }
        co_return snapshot_;
    }
    clearPermissionError();

    auto waiter = std::make_shared<Waiter>();
    if (!pending_.empty()) {
        // A read is running: share it.
        pending_.push_back(waiter);
        Wait wait{waiter.get()};
        ReminderSnapshot shared = co_await wait;
        co_return shared;
    }

    // The watchdog covers the whole read, listing included: the store lists on its own thread
    // and may take as long as its slowest source.
    const QUuid id = QUuid::createUuid();
    readID_ = id;
    pending_.push_back(waiter);
    startWatchdog(id);
    if (before != AuthorizationStatus::fullAccess) {
        store_->reset(); // access was granted since the last check
    }
    listThenFetch(id);
    Wait wait{waiter.get()};
    ReminderSnapshot result = co_await wait;
    co_return result;
}

// Not a coroutine: GCC 12 destroys lambda temporaries inside a coroutine twice.
void ReminderService::listThenFetch(QUuid id) {
    QCoro::connect(
        store_->calendars(CalendarEntity::reminder), this,
        [this, id](std::vector<StoreCalendar> calendars) { startFetch(id, std::move(calendars)); });
}

void ReminderService::startFetch(QUuid id, std::vector<StoreCalendar> calendars) {
    if (!readID_ || *readID_ != id) {
        return; // the read ended while the lists were being read
    }
    std::vector<ReminderList> lists;
    for (auto& calendar : calendars) {
        lists.emplace_back(std::move(calendar.id), std::move(calendar.title),
                           std::move(calendar.source));
    }
    std::sort(lists.begin(), lists.end(), [](const ReminderList& a, const ReminderList& b) {
        return std::tie(a.source, a.title, a.id) < std::tie(b.source, b.title, b.id);
    });
    std::vector<std::string> listNames;
    listNames.reserve(lists.size());
    for (const auto& list : lists) {
        listNames.push_back(list.title);
    }
    publish(ReminderSnapshot{{}, listNames, lists, ReminderAvailability::loading, std::nullopt});

    QPointer<ReminderService> self(this);
    // The completion runs on the store's worker thread: it only hops to the main thread, where
    // the service may already be gone.
    fetchIdentifier_ = store_->fetchIncompleteReminders(
        [self, id, listNames, lists](std::optional<std::vector<ReminderItem>> items) {
            QMetaObject::invokeMethod(
                QCoreApplication::instance(),
                [self, id, listNames, lists, items = std::move(items)]() mutable {
                    if (self) {
                        self->completeFetch(id, std::move(items), std::move(listNames),
                                            std::move(lists));
                    }
                },
                Qt::QueuedConnection);
        });
}

void ReminderService::startWatchdog(QUuid id) {
    auto* timer = new QTimer(this);
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer);
    timer->setInterval(timeLimit_);
    connect(timer, &QTimer::timeout, this, [this, timer, id] {
        if (timeout_ != timer) {
            return; // cancelled
        }
        if (fetchIdentifier_) {
            store_->cancelFetch(*fetchIdentifier_);
        }
        refreshAuthorization();
        if (authorization_ == AuthorizationStatus::fullAccess) {
            // The lists of this read once known, else the last ones seen.
            finish(ReminderSnapshot{{},
                                    snapshot_.listNames,
                                    snapshot_.lists,
                                    ReminderAvailability::failed,
                                    std::nullopt},
                   id);
        } else {
            finish(notAuthorizedSnapshot(), id);
        }
    });
    timeout_ = timer;
    timer->start();
}

void ReminderService::completeFetch(QUuid id, std::optional<std::vector<ReminderItem>> items,
                                    std::vector<std::string> listNames,
                                    std::vector<ReminderList> lists) {
    refreshAuthorization();
    if (authorization_ != AuthorizationStatus::fullAccess) {
        finish(notAuthorizedSnapshot(), id);
        return;
    }
    const bool read = items.has_value();
    finish(ReminderSnapshot{read ? std::move(*items) : std::vector<ReminderItem>{},
                            std::move(listNames), std::move(lists),
                            read ? ReminderAvailability::available : ReminderAvailability::failed,
                            read ? std::optional<Date>(now_()) : std::nullopt},
           id);
}

// The one place where a read ends.
void ReminderService::finish(ReminderSnapshot snapshot, QUuid id) {
    if (!readID_ || *readID_ != id) {
        return; // the read already ended: a late or superseded answer
    }
    std::vector<std::shared_ptr<Waiter>> waiting;
    waiting.swap(pending_);
    readID_.reset();
    if (timeout_) {
        timeout_->stop();
        timeout_->deleteLater();
        timeout_ = nullptr;
    }
    fetchIdentifier_.reset();
    publish(std::move(snapshot));
    // Every caller gets this snapshot, even if one that resumes first starts another read.
    for (const auto& waiter : waiting) {
        waiter->result = snapshot_;
    }
    QPointer<ReminderService> self(this);
    for (const auto& waiter : waiting) {
        if (waiter->handle) {
            waiter->handle.resume();
        }
        if (!self) {
            return; // a resumed caller destroyed the service
        }
    }
}

QCoro::Task<LaunchProblem> ReminderService::openApp() {
    return store_->openApp();
}

void ReminderService::openPrivacy() {
    store_->openPrivacy();
}

} // namespace brivane

#pragma once

// Calendars by address: the user's subscriptions, each an iCalendar address fetched on the
// refresh cycle and read by the same reader as calendar files. The list (addresses carry secret
// tokens) lives only in the keyring, as one item; the last good copy of each calendar is cached
// under the cache folder so a start without network shows it at once. A failing subscription
// keeps the events last fetched and says why and since when. Main thread only; parsing and
// recurrence expansion run on the service's own worker.

#include "Brivane/calendar/CalendarStore.h"
#include "Brivane/calendar/WorkerThread.h"
#include "Brivane/cloud/CloudAccountKeyring.h"
#include "Brivane/cloud/CloudCalendarService.h"
#include "Brivane/subscriptions/SubscriptionFetch.h"

#include <QDateTime>
#include <QObject>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <qcoro/qcorotask.h>
#include <set>
#include <string>
#include <vector>

class QNetworkAccessManager;

namespace brivane {

struct Subscription {
    std::string id; // also the calendar's id
    std::string address;
    std::string name;
    // The server's validators of the cached copy.
    std::string etag;
    std::string lastModified;
    bool operator==(const Subscription&) const = default;
};

class SubscriptionService : public QObject {
    Q_OBJECT
public:
    struct Options {
        QString keyringService = QStringLiteral("it.quillmere.Brivane.calendar-subscriptions");
        // The keyring access itself; the Secret Service under keyringService when empty.
        std::shared_ptr<CloudAccountKeyring> keyring;
        // Whether subscriptions were ever stored; "calendar-subscriptions.json" in the
        // configuration folder when empty.
        QString note;
        // $XDG_CACHE_HOME/Brivane/subscriptions when empty.
        QString cacheFolder;
        // Shared with the rest of the application when given.
        QNetworkAccessManager* network = nullptr;
        subscription::FetchLimits limits;
        // An address is fetched at most this often, unless the user asks.
        std::chrono::minutes interval{15};
        std::function<QDateTime()> now = [] { return QDateTime::currentDateTimeUtc(); };
    };

    // How one subscription stands.
    struct State {
        std::optional<std::string> error; // the last fetch's failure, naming the host only
        std::optional<QDateTime> failingSince;
        std::optional<QDateTime> checkedAt; // last answer, new copy or "unchanged"
        std::optional<QDateTime> attemptedAt;
        std::size_t events = 0; // series in the copy shown
        bool shown = false;     // a copy (fetched or cached) is read
    };

    struct SubscribeResult {
        std::optional<Subscription> subscription; // with its name, when it was added
        std::optional<std::string> error;         // else why not, for the user
    };

    explicit SubscriptionService(QObject* parent = nullptr);
    explicit SubscriptionService(Options options, QObject* parent = nullptr);
    ~SubscriptionService() override;

    // The account line the subscriptions' calendars are listed under.
    static std::string accountTitle();
    // The calendar id's subscription, or null.
    const Subscription* find(const std::string& id) const;

    // Reads the list from the keyring and the cached copies. An automatic load leaves the
    // keyring alone while the note says nothing was ever stored. False, with keyringError()
    // saying why, when the keyring could not be read.
    QCoro::Task<bool> load(KeyringAccess access = KeyringAccess::automatic);
    bool loaded() const { return loaded_; }
    const std::optional<std::string>& keyringError() const { return keyringError_; }

    const std::vector<Subscription>& subscriptions() const { return list_; }
    State state(const std::string& id) const;

    // Fetches the address at once; added (and stored) only when it gives a calendar. `name`
    // empty: X-WR-CALNAME, else the host.
    QCoro::Task<SubscribeResult> subscribe(QString address, std::string name = {});
    // Forgets the keyring entry and the cached copy; an error for the user when it could not.
    QCoro::Task<std::optional<std::string>> unsubscribe(std::string id);
    // Fetches each address not fetched within the interval, or all at once when `now` (the
    // user's "Update now"). Never throws.
    QCoro::Task<> refresh(bool now = false);

    // Event calendars, one per subscription that has a copy to show.
    std::vector<StoreCalendar> calendars() const;
    QCoro::Task<std::vector<StoreEvent>> events(Date start, Date end,
                                                std::set<std::string> calendarIDs);
    // Parses done since the service started: an unchanged calendar costs none.
    int parses() const { return parses_; }

Q_SIGNALS:
    // The list, a calendar or a state changed.
    void changed();
    // Internal: a keyring write ended (the next may start).
    void listWritten();

private:
    struct Parsed {
        std::optional<std::string> error;
        std::size_t events = 0;
        std::string name; // X-WR-CALNAME
    };
    QString cachePath(const std::string& id) const;
    QCoro::Task<std::optional<std::string>> storeList(std::vector<Subscription> list);
    QCoro::Task<Parsed> parse(std::string id, QByteArray bytes);
    QCoro::Task<> refreshOne(std::string id);
    QCoro::Task<> storeValidators(std::string id, std::string etag, std::string lastModified);
    QCoro::Task<bool> readCache(const Subscription& subscription);
    void failed(const std::string& id, std::string why);
    void keepCopy(const std::string& id, const QByteArray& bytes);
    void forgetCopy(const std::string& id);

    Options options_;
    std::shared_ptr<CloudAccountKeyring> keyring_;
    CloudAccountNote note_;
    QNetworkAccessManager& network();
    QNetworkAccessManager* network_;
    std::vector<Subscription> list_;
    std::map<std::string, State> states_;
    // Parsed copies, touched only on the worker.
    std::shared_ptr<std::map<std::string, std::shared_ptr<ical::CalendarFile>>> copies_;
    std::set<std::string> fetching_;
    WorkQueue worker_;
    bool loaded_ = false;
    bool writing_ = false;
    int parses_ = 0;
    std::optional<std::string> keyringError_;
};

} // namespace brivane

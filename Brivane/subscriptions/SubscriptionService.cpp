#include "Brivane/subscriptions/SubscriptionService.h"

#include "Brivane/AppConfiguration.h"
#include "Brivane/AtomicWrite.h"
#include "Brivane/SignalWait.h"
#include "Brivane/subscriptions/SubscriptionAddress.h"
#include "BrivaneCore/AgendaLanguage.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QPromise>
#include <QStandardPaths>
#include <QUuid>
#include <nlohmann/json.hpp>

namespace brivane {

namespace {

constexpr QFileDevice::Permissions ownerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

std::string serialized(const std::vector<Subscription>& list) {
    nlohmann::json array = nlohmann::json::array();
    for (const auto& s : list)
        array.push_back({{"id", s.id},
                         {"address", s.address},
                         {"name", s.name},
                         {"etag", s.etag},
                         {"lastModified", s.lastModified}});
    return nlohmann::json{{"subscriptions", array}}.dump();
}

std::optional<std::vector<Subscription>> deserialized(const std::string& data) {
    const auto document = nlohmann::json::parse(data, nullptr, false);
    if (!document.is_object() || !document.contains("subscriptions") ||
        !document["subscriptions"].is_array())
        return std::nullopt;
    std::vector<Subscription> list;
    const auto text = [](const nlohmann::json& entry, const char* key) {
        const auto found = entry.find(key);
        return found != entry.end() && found->is_string() ? found->get<std::string>()
                                                          : std::string();
    };
    for (const auto& entry : document["subscriptions"]) {
        if (!entry.is_object())
            continue;
        Subscription s{text(entry, "id"), text(entry, "address"), text(entry, "name"),
                       text(entry, "etag"), text(entry, "lastModified")};
        // An id names a cache file: only what this program makes is accepted.
        if (!QUuid::fromString(QString::fromStdString(s.id)).isNull() && !s.address.empty())
            list.push_back(std::move(s));
    }
    return list;
}

std::string keyringProblem(const std::string& message) {
    return AgendaLanguage::text("Portachiavi non disponibile: " + message,
                                "The keyring is not available: " + message);
}

template <typename T, typename Job>
QCoro::Task<T> onWorker(WorkQueue& queue, Job job) {
    auto promise = std::make_shared<QPromise<T>>();
    QFuture<T> future = promise->future();
    promise->start();
    queue.post([promise, job = std::move(job)]() mutable {
        promise->addResult(job());
        promise->finish();
    });
    return awaited(future);
}

} // namespace

SubscriptionService::SubscriptionService(QObject* parent)
    : SubscriptionService(Options(), parent) {}

SubscriptionService::SubscriptionService(Options options, QObject* parent)
    : QObject(parent), options_(std::move(options)),
      keyring_(options_.keyring ? options_.keyring
                                : std::make_shared<CloudAccountKeyring>(options_.keyringService)),
      note_(options_.note.isEmpty() ? QString::fromStdString(AppConfiguration::configDirectory()) +
                                          QStringLiteral("/calendar-subscriptions.json")
                                    : options_.note),
      network_(options_.network ? options_.network : new QNetworkAccessManager(this)),
      copies_(std::make_shared<std::map<std::string, std::shared_ptr<ical::CalendarFile>>>()) {
    if (options_.cacheFolder.isEmpty())
        options_.cacheFolder =
            QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) +
            QStringLiteral("/Brivane/subscriptions");
}

SubscriptionService::~SubscriptionService() {
    worker_.stop();
}

std::string SubscriptionService::accountTitle() {
    return AgendaLanguage::text("Iscrizioni", "Subscriptions");
}

const Subscription* SubscriptionService::find(const std::string& id) const {
    for (const auto& s : list_)
        if (s.id == id)
            return &s;
    return nullptr;
}

SubscriptionService::State SubscriptionService::state(const std::string& id) const {
    const auto found = states_.find(id);
    return found == states_.end() ? State{} : found->second;
}

QString SubscriptionService::cachePath(const std::string& id) const {
    return options_.cacheFolder + QLatin1Char('/') + QString::fromStdString(id) +
           QStringLiteral(".ics");
}

QCoro::Task<bool> SubscriptionService::load(KeyringAccess access) {
    if (access == KeyringAccess::automatic && note_.accountsExist() == false) {
        loaded_ = true;
        co_return true;
    }
    const CloudAccountKeyring::ReadResult read = co_await keyring_->read();
    if (read.kind == CloudAccountKeyring::ReadResult::Kind::unavailable) {
        keyringError_ = keyringProblem(read.message);
        Q_EMIT changed();
        co_return false;
    }
    keyringError_.reset();
    std::vector<Subscription> list;
    if (read.kind == CloudAccountKeyring::ReadResult::Kind::found) {
        auto stored = deserialized(read.data);
        if (!stored) {
            keyringError_ =
                AgendaLanguage::text("L'elenco delle iscrizioni nel portachiavi non è leggibile.",
                                     "The list of subscriptions in the keyring cannot be read.");
            Q_EMIT changed();
            co_return false;
        }
        list = std::move(*stored);
    }
    list_ = std::move(list);
    loaded_ = true;
    const std::vector<Subscription> stored = list_;
    for (const auto& s : stored)
        co_await readCache(s);
    Q_EMIT changed();
    co_return true;
}

QCoro::Task<bool> SubscriptionService::readCache(const Subscription& subscription) {
    if (copies_->count(subscription.id))
        co_return true;
    QFile file(cachePath(subscription.id));
    // A FIFO or device in the cache's place is never opened.
    if (!QFileInfo(file).isFile() ||
        static_cast<std::size_t>(file.size()) > options_.limits.maxBytes ||
        !file.open(QIODevice::ReadOnly))
        co_return false;
    const QByteArray bytes = file.readAll();
    const QDateTime modified = QFileInfo(file).lastModified().toUTC();
    if (co_await parse(subscription.id, bytes))
        co_return false;
    states_[subscription.id].checkedAt = modified;
    co_return true;
}

QCoro::Task<std::optional<std::string>> SubscriptionService::parse(std::string id,
                                                                   QByteArray bytes) {
    ++parses_;
    struct Parsed {
        std::optional<std::string> error;
        std::size_t events = 0;
    };
    // Named, not a temporary: GCC 12 destroys a lambda temporary inside a coroutine twice.
    auto job = [copies = copies_, id, bytes = std::move(bytes)]() -> Parsed {
        auto file = ical::CalendarFile::parse(
            std::string_view(bytes.constData(), std::size_t(bytes.size())), id);
        if (file->error())
            return {AgendaLanguage::text(file->error()->italian, file->error()->english), 0};
        const std::size_t events = file->eventCount();
        (*copies)[id] = std::move(file);
        return {std::nullopt, events};
    };
    const Parsed parsed = co_await onWorker<Parsed>(worker_, std::move(job));
    if (!parsed.error) {
        State& state = states_[id];
        state.events = parsed.events;
        state.shown = true;
    }
    co_return parsed.error;
}

QCoro::Task<std::optional<std::string>>
SubscriptionService::storeList(std::vector<Subscription> list) {
    // One write at a time; each writes the whole list it was given.
    while (writing_) {
        SignalWait written(this, &SubscriptionService::listWritten, this);
        co_await written;
    }
    writing_ = true;
    std::string data = serialized(list);
    const CloudAccountKeyring::WriteResult result = co_await keyring_->write(std::move(data));
    writing_ = false;
    Q_EMIT listWritten();
    if (!result.ok)
        co_return keyringProblem(result.message);
    try {
        note_.record(!list.empty());
    } catch (const FileWriteError&) {
        // The note only spares a keyring read; the list itself is stored.
    }
    co_return std::nullopt;
}

QCoro::Task<SubscriptionService::SubscribeResult> SubscriptionService::subscribe(QString typed,
                                                                                 std::string name) {
    std::string why;
    const std::optional<QUrl> address = subscription::fetchableAddress(typed, &why);
    if (!address)
        co_return SubscribeResult{std::nullopt, why};
    if (!loaded_ && !co_await load(KeyringAccess::userAction))
        co_return SubscribeResult{std::nullopt, keyringError_};
    const std::string canonical = address->toString(QUrl::FullyEncoded).toStdString();
    for (const auto& s : list_)
        if (s.address == canonical)
            co_return SubscribeResult{
                std::nullopt,
                AgendaLanguage::text("Questo calendario è già tra le iscrizioni (" + s.name + ").",
                                     "This calendar is already subscribed (" + s.name + ").")};
    // Named, as every argument awaited here: GCC 12 may destroy a temporary twice.
    subscription::FetchRequest request{*address, {}, {}};
    subscription::FetchOutcome fetched =
        co_await subscription::fetch(*network_, request, options_.limits);
    if (fetched.kind != subscription::FetchOutcome::Kind::fresh)
        co_return SubscribeResult{std::nullopt, fetched.error};
    Subscription added{QUuid::createUuid().toString(QUuid::WithoutBraces).toStdString(), canonical,
                       name, fetched.etag.toStdString(), fetched.lastModified.toStdString()};
    if (const auto error = co_await parse(added.id, fetched.body))
        co_return SubscribeResult{std::nullopt, subscription::shownHost(*address) + ": " + *error};
    if (added.name.empty()) {
        const auto copy = copies_->find(added.id);
        added.name = copy->second->calendarName().empty() ? subscription::shownHost(*address)
                                                          : copy->second->calendarName();
    }
    std::vector<Subscription> next = list_;
    next.push_back(added);
    if (auto error = co_await storeList(next)) {
        copies_->erase(added.id);
        states_.erase(added.id);
        co_return SubscribeResult{std::nullopt, error};
    }
    list_.push_back(added);
    State& state = states_[added.id];
    state.checkedAt = state.attemptedAt = options_.now();
    try {
        QDir().mkpath(options_.cacheFolder);
        QFile::setPermissions(options_.cacheFolder, ownerOnly | QFileDevice::ExeOwner);
        writeFileAtomically(cachePath(added.id), fetched.body, ownerOnly);
    } catch (const FileWriteError&) {
        // Without the copy the calendar is fetched again at the next start: nothing is lost.
    }
    Q_EMIT changed();
    co_return SubscribeResult{added, std::nullopt};
}

QCoro::Task<std::optional<std::string>> SubscriptionService::unsubscribe(std::string id) {
    if (!loaded_ && !co_await load(KeyringAccess::userAction))
        co_return keyringError_;
    if (!find(id))
        co_return AgendaLanguage::text("Nessuna iscrizione con id '" + id + "'.",
                                       "No subscription with id '" + id + "'.");
    std::vector<Subscription> next;
    for (const auto& s : list_)
        if (s.id != id)
            next.push_back(s);
    if (auto error = co_await storeList(next))
        co_return error;
    list_ = std::move(next);
    states_.erase(id);
    auto forget = [copies = copies_, id] { return copies->erase(id) > 0; };
    co_await onWorker<bool>(worker_, std::move(forget));
    QFile::remove(cachePath(id));
    Q_EMIT changed();
    co_return std::nullopt;
}

QCoro::Task<> SubscriptionService::refresh(bool now) {
    // "Update now" reads the list again: another instance (the terminal) may have changed it.
    if ((now || !loaded_) &&
        !co_await load(now ? KeyringAccess::userAction : KeyringAccess::automatic))
        co_return;
    const QDateTime at = options_.now();
    std::vector<QCoro::Task<>> running;
    for (const auto& s : list_) {
        const State& state = states_[s.id];
        const bool due =
            now || !state.attemptedAt ||
            state.attemptedAt->secsTo(at) >=
                std::chrono::duration_cast<std::chrono::seconds>(options_.interval).count() ||
            state.attemptedAt->secsTo(at) < 0; // the clock went back
        if (due && !fetching_.count(s.id))
            running.push_back(refreshOne(s.id));
    }
    for (auto& task : running)
        co_await task;
}

void SubscriptionService::failed(const std::string& id, std::string why) {
    State& state = states_[id];
    if (!state.failingSince)
        state.failingSince = state.attemptedAt;
    state.error = std::move(why);
}

QCoro::Task<> SubscriptionService::refreshOne(std::string id) {
    fetching_.insert(id);
    const Subscription* found = find(id);
    Subscription current = *found;
    State& before = states_[id];
    before.attemptedAt = options_.now();
    subscription::FetchRequest request{QUrl(QString::fromStdString(current.address)), {}, {}};
    // Validators only with a copy to fall back on: a 304 without one would show nothing.
    if (before.shown) {
        request.etag = QByteArray::fromStdString(current.etag);
        request.lastModified = QByteArray::fromStdString(current.lastModified);
    }
    subscription::FetchOutcome fetched =
        co_await subscription::fetch(*network_, request, options_.limits);
    fetching_.erase(id);
    if (!find(id))
        co_return; // removed meanwhile
    if (fetched.kind == subscription::FetchOutcome::Kind::failed) {
        failed(id, fetched.error);
    } else if (fetched.kind == subscription::FetchOutcome::Kind::fresh) {
        if (auto error = co_await parse(id, fetched.body)) {
            failed(id, subscription::shownHost(request.address) + ": " + *error);
            Q_EMIT changed();
            co_return;
        }
        try {
            QDir().mkpath(options_.cacheFolder);
            writeFileAtomically(cachePath(id), fetched.body, ownerOnly);
        } catch (const FileWriteError&) {
            // The copy shown is current; only an offline start would show the older one.
        }
        current.etag = fetched.etag.toStdString();
        current.lastModified = fetched.lastModified.toStdString();
        if (const Subscription* still = find(id); still && !(*still == current)) {
            std::vector<Subscription> next = list_;
            for (auto& s : next)
                if (s.id == id)
                    s = current;
            if (!co_await storeList(next))
                list_ = next;
        }
    } else {
        // Unchanged: the cached copy's time says when it was last confirmed.
        QFile cache(cachePath(id));
        if (cache.open(QIODevice::ReadWrite))
            cache.setFileTime(QDateTime::currentDateTimeUtc(), QFileDevice::FileModificationTime);
    }
    if (fetched.kind != subscription::FetchOutcome::Kind::failed) {
        State& state = states_[id];
        state.error.reset();
        state.failingSince.reset();
        state.checkedAt = options_.now();
    }
    Q_EMIT changed();
}

std::vector<StoreCalendar> SubscriptionService::calendars() const {
    std::vector<StoreCalendar> result;
    for (const auto& s : list_) {
        const auto found = states_.find(s.id);
        if (found != states_.end() && found->second.shown)
            result.push_back(StoreCalendar{s.id, s.name, accountTitle()});
    }
    return result;
}

QCoro::Task<std::vector<StoreEvent>>
SubscriptionService::events(Date start, Date end, std::set<std::string> calendarIDs) {
    auto job = [copies = copies_, start, end, wanted = std::move(calendarIDs)] {
        std::vector<StoreEvent> result;
        const ical::LocalZone local(currentTimeZoneId());
        std::vector<ical::EventOccurrence> occurrences;
        for (const auto& [id, file] : *copies) {
            if (!wanted.count(id))
                continue;
            occurrences.clear();
            file->events(start, end, local, occurrences);
            for (auto& o : occurrences)
                result.push_back(StoreEvent{id, std::move(o.eventIdentifier),
                                            std::move(o.itemIdentifier), std::move(o.title),
                                            o.start, o.end, o.allDay, o.cancelled});
        }
        return result;
    };
    co_return co_await onWorker<std::vector<StoreEvent>>(worker_, std::move(job));
}

} // namespace brivane

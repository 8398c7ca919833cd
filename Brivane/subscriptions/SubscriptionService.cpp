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
#include <QPointer>
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

QNetworkAccessManager& SubscriptionService::network() {
    // Made at the first fetch: without subscriptions Qt's network stack is never loaded.
    if (!network_)
        network_ = new QNetworkAccessManager(this);
    return *network_;
}

SubscriptionService::SubscriptionService(Options options, QObject* parent)
    : QObject(parent), options_(std::move(options)),
      keyring_(options_.keyring ? options_.keyring
                                : std::make_shared<CloudAccountKeyring>(options_.keyringService)),
      note_(options_.note.isEmpty() ? QString::fromStdString(AppConfiguration::configDirectory()) +
                                          QStringLiteral("/calendar-subscriptions.json")
                                    : options_.note),
      network_(options_.network),
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

// Every coroutine below checks `alive` after each wait: the service may be gone by then (the
// application quitting during a fetch), and nothing of it may be touched.

QCoro::Task<bool> SubscriptionService::load(KeyringAccess access) {
    // No note: nothing was ever subscribed (the list is new), so the keyring is not asked.
    if (access == KeyringAccess::automatic && !note_.accountsExist().value_or(false)) {
        loaded_ = true;
        co_return true;
    }
    const QPointer<SubscriptionService> alive(this);
    const std::shared_ptr<CloudAccountKeyring> keyring = keyring_;
    const CloudAccountKeyring::ReadResult read = co_await keyring->read();
    if (!alive)
        co_return false;
    std::optional<std::vector<Subscription>> stored = std::vector<Subscription>();
    if (read.kind == CloudAccountKeyring::ReadResult::Kind::unavailable)
        keyringError_ = keyringProblem(read.message);
    else if (read.kind == CloudAccountKeyring::ReadResult::Kind::found &&
             !(stored = deserialized(read.data)))
        keyringError_ =
            AgendaLanguage::text("L'elenco delle iscrizioni nel portachiavi non è leggibile.",
                                 "The list of subscriptions in the keyring cannot be read.");
    else
        keyringError_.reset();
    if (keyringError_) {
        Q_EMIT changed();
        co_return false;
    }
    list_ = std::move(*stored);
    loaded_ = true;
    // Removed meanwhile by another instance.
    std::vector<std::string> dropped;
    for (const auto& [id, state] : states_)
        if (!find(id))
            dropped.push_back(id);
    for (const auto& id : dropped)
        forgetCopy(id);
    const std::vector<Subscription> listed = list_;
    for (const auto& s : listed) {
        co_await readCache(s);
        if (!alive)
            co_return false;
    }
    Q_EMIT changed();
    co_return true;
}

QCoro::Task<bool> SubscriptionService::readCache(const Subscription& subscription) {
    if (states_[subscription.id].shown)
        co_return true;
    QFile file(cachePath(subscription.id));
    // A FIFO or device in the cache's place is never opened.
    if (!QFileInfo(file).isFile() ||
        static_cast<std::size_t>(file.size()) > options_.limits.maxBytes ||
        !file.open(QIODevice::ReadOnly))
        co_return false;
    const QByteArray bytes = file.readAll();
    const QDateTime modified = QFileInfo(file).lastModified().toUTC();
    const std::string id = subscription.id;
    const QPointer<SubscriptionService> alive(this);
    const Parsed parsed = co_await parse(id, bytes);
    if (!alive || parsed.error)
        co_return false;
    states_[id].checkedAt = modified;
    co_return true;
}

QCoro::Task<SubscriptionService::Parsed> SubscriptionService::parse(std::string id,
                                                                    QByteArray bytes) {
    ++parses_;
    // Named, not a temporary: GCC 12 destroys a lambda temporary inside a coroutine twice.
    auto job = [copies = copies_, id, bytes = std::move(bytes)]() -> Parsed {
        auto file = ical::CalendarFile::parse(
            std::string_view(bytes.constData(), std::size_t(bytes.size())), id);
        if (file->error())
            return {AgendaLanguage::text(file->error()->italian, file->error()->english), 0, {}};
        Parsed parsed{std::nullopt, file->eventCount(), file->calendarName()};
        (*copies)[id] = std::move(file);
        return parsed;
    };
    const QPointer<SubscriptionService> alive(this);
    const Parsed parsed = co_await onWorker<Parsed>(worker_, std::move(job));
    if (alive && !parsed.error) {
        State& state = states_[id];
        state.events = parsed.events;
        state.shown = true;
    }
    co_return parsed;
}

QCoro::Task<std::optional<std::string>>
SubscriptionService::storeList(std::vector<Subscription> list) {
    const QPointer<SubscriptionService> alive(this);
    // One write at a time; each writes the whole list it was given.
    while (writing_) {
        SignalWait written(this, &SubscriptionService::listWritten, this);
        co_await written;
        if (!alive)
            co_return keyringProblem("—");
    }
    writing_ = true;
    std::string data = serialized(list);
    const std::shared_ptr<CloudAccountKeyring> keyring = keyring_;
    const CloudAccountKeyring::WriteResult result = co_await keyring->write(std::move(data));
    if (!alive)
        co_return std::nullopt;
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

void SubscriptionService::keepCopy(const std::string& id, const QByteArray& bytes) {
    try {
        QDir().mkpath(options_.cacheFolder);
        QFile::setPermissions(options_.cacheFolder, ownerOnly | QFileDevice::ExeOwner);
        writeFileAtomically(cachePath(id), bytes, ownerOnly);
    } catch (const FileWriteError&) {
        // The copy shown is current; only an offline start would show an older one (or none,
        // and the address is fetched again).
    }
}

void SubscriptionService::forgetCopy(const std::string& id) {
    auto forget = [copies = copies_, id] { copies->erase(id); };
    worker_.post(std::move(forget));
    states_.erase(id);
}

QCoro::Task<SubscriptionService::SubscribeResult> SubscriptionService::subscribe(QString typed,
                                                                                 std::string name) {
    std::string why;
    const std::optional<QUrl> address = subscription::fetchableAddress(typed, &why);
    if (!address)
        co_return SubscribeResult{std::nullopt, why};
    const QPointer<SubscriptionService> alive(this);
    const SubscribeResult gone{std::nullopt, std::string()};
    if (!loaded_ && !co_await load(KeyringAccess::userAction))
        co_return alive ? SubscribeResult{std::nullopt, keyringError_} : gone;
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
        co_await subscription::fetch(network(), request, options_.limits);
    if (!alive)
        co_return gone;
    if (fetched.kind != subscription::FetchOutcome::Kind::fresh)
        co_return SubscribeResult{std::nullopt, fetched.error};
    Subscription added{QUuid::createUuid().toString(QUuid::WithoutBraces).toStdString(), canonical,
                       name, fetched.etag.toStdString(), fetched.lastModified.toStdString()};
    const Parsed parsed = co_await parse(added.id, fetched.body);
    if (!alive)
        co_return gone;
    if (parsed.error)
        co_return SubscribeResult{std::nullopt,
                                  subscription::shownHost(*address) + ": " + *parsed.error};
    if (added.name.empty())
        added.name = parsed.name.empty() ? subscription::shownHost(*address) : parsed.name;
    std::vector<Subscription> next = list_;
    next.push_back(added);
    if (auto error = co_await storeList(next)) {
        if (alive)
            forgetCopy(added.id);
        co_return SubscribeResult{std::nullopt, error};
    }
    if (!alive)
        co_return gone;
    list_.push_back(added);
    State& state = states_[added.id];
    state.checkedAt = state.attemptedAt = options_.now();
    keepCopy(added.id, fetched.body);
    Q_EMIT changed();
    co_return SubscribeResult{added, std::nullopt};
}

QCoro::Task<std::optional<std::string>> SubscriptionService::unsubscribe(std::string id) {
    const QPointer<SubscriptionService> alive(this);
    if (!loaded_ && !co_await load(KeyringAccess::userAction))
        co_return alive ? keyringError_ : std::nullopt;
    if (!find(id))
        co_return AgendaLanguage::text("Nessuna iscrizione con id '" + id + "'.",
                                       "No subscription with id '" + id + "'.");
    std::vector<Subscription> next;
    for (const auto& s : list_)
        if (s.id != id)
            next.push_back(s);
    if (auto error = co_await storeList(next))
        co_return error;
    if (!alive)
        co_return std::nullopt;
    list_ = std::move(next);
    forgetCopy(id);
    QFile::remove(cachePath(id));
    Q_EMIT changed();
    co_return std::nullopt;
}

QCoro::Task<> SubscriptionService::refresh(bool now) {
    const QPointer<SubscriptionService> alive(this);
    // "Update now" reads the list again: another instance (the terminal) may have changed it.
    if ((now || !loaded_) &&
        !co_await load(now ? KeyringAccess::userAction : KeyringAccess::automatic))
        co_return;
    if (!alive)
        co_return;
    const QDateTime at = options_.now();
    const qint64 interval =
        std::chrono::duration_cast<std::chrono::seconds>(options_.interval).count();
    std::vector<QCoro::Task<>> running;
    for (const auto& s : list_) {
        const State& state = states_[s.id];
        // A clock set back counts as due, or the address would wait for the old time.
        const bool due = now || !state.attemptedAt || state.attemptedAt->secsTo(at) >= interval ||
                         state.attemptedAt->secsTo(at) < 0;
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
    const QPointer<SubscriptionService> alive(this);
    fetching_.insert(id);
    Subscription current = *find(id);
    State& before = states_[id];
    before.attemptedAt = options_.now();
    subscription::FetchRequest request{QUrl(QString::fromStdString(current.address)), {}, {}};
    // Validators only with a copy to fall back on: a 304 without one would show nothing.
    if (before.shown) {
        request.etag = QByteArray::fromStdString(current.etag);
        request.lastModified = QByteArray::fromStdString(current.lastModified);
    }
    subscription::FetchOutcome fetched =
        co_await subscription::fetch(network(), request, options_.limits);
    if (!alive)
        co_return;
    fetching_.erase(id);
    if (!find(id))
        co_return; // removed meanwhile
    if (fetched.kind == subscription::FetchOutcome::Kind::fresh) {
        const Parsed parsed = co_await parse(id, fetched.body);
        if (!alive || !find(id))
            co_return;
        if (parsed.error) {
            failed(id, subscription::shownHost(request.address) + ": " + *parsed.error);
            Q_EMIT changed();
            co_return;
        }
        keepCopy(id, fetched.body);
        co_await storeValidators(id, fetched.etag.toStdString(),
                                 fetched.lastModified.toStdString());
        if (!alive)
            co_return;
    } else if (fetched.kind == subscription::FetchOutcome::Kind::unchanged) {
        // The cached copy's time says when it was last confirmed, for the next start.
        QFile cache(cachePath(id));
        if (cache.open(QIODevice::ReadWrite))
            cache.setFileTime(QDateTime::currentDateTimeUtc(), QFileDevice::FileModificationTime);
    }
    if (fetched.kind == subscription::FetchOutcome::Kind::failed) {
        failed(id, fetched.error);
    } else {
        State& state = states_[id];
        state.error.reset();
        state.failingSince.reset();
        state.checkedAt = options_.now();
    }
    Q_EMIT changed();
}

QCoro::Task<> SubscriptionService::storeValidators(std::string id, std::string etag,
                                                   std::string lastModified) {
    const Subscription* stored = find(id);
    if (!stored || (stored->etag == etag && stored->lastModified == lastModified))
        co_return;
    std::vector<Subscription> next = list_;
    for (auto& s : next)
        if (s.id == id) {
            s.etag = etag;
            s.lastModified = lastModified;
        }
    const QPointer<SubscriptionService> alive(this);
    // Kept in memory either way: the copy shown is the new one.
    const std::optional<std::string> error = co_await storeList(next);
    if (!alive)
        co_return;
    (void)error;
    for (auto& s : list_)
        if (s.id == id) {
            s.etag = etag;
            s.lastModified = lastModified;
        }
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

#include "Brivane/cloud/CloudCalendarService.h"

#include "Brivane/Logging.h"
#include "Brivane/SignalWait.h"
#include "Brivane/cloud/CloudAccountKeyring.h"
#include "Brivane/cloud/CloudUrls.h"
#include "Brivane/cloud/GoogleOAuthLoopback.h"
#include "Brivane/cloud/OAuthProtocol.h"
#include "BrivaneCore/AgendaLanguage.h"

#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <algorithm>

namespace brivane {

namespace {

// Bigger answers are refused: no provider page comes close, and a hostile one must not fill
// the memory.
constexpr qint64 maximumResponseBytes = 32 * 1024 * 1024;
constexpr int maximumRedirects = 5;

} // namespace

// ---- The service ----

CloudCalendarService::CloudCalendarService(QObject* parent)
    : CloudCalendarService(Options{}, parent) {}

CloudCalendarService::CloudCalendarService(Options options, QObject* parent)
    : QObject(parent), options_(std::move(options)),
      configuration_(options_.configuration ? *options_.configuration : AppConfiguration::load()),
      providers_{CloudProvider::make(CloudCalendarProvider::google, configuration_),
                 CloudProvider::make(CloudCalendarProvider::microsoft, configuration_)},
      keyring_(options_.keyring ? options_.keyring
                                : std::make_shared<CloudAccountKeyring>(options_.keyringService)),
      note_(options_.accountNote.isEmpty() ? CloudAccountNote::defaultPath()
                                           : options_.accountNote) {
    noted_ = note_.accountsExist();
    loadAccounts();
}

CloudCalendarService::~CloudCalendarService() {
    if (loopback_)
        loopback_->finish(std::make_exception_ptr(CloudCalendarError::authenticationCancelled()));
}

const CloudProvider& CloudCalendarService::provider(CloudCalendarProvider provider) const {
    return *providers_[std::size_t(provider)];
}

Date CloudCalendarService::now() const {
    if (options_.now)
        return options_.now();
    return std::chrono::time_point_cast<std::chrono::milliseconds>(
        std::chrono::system_clock::now());
}

std::string CloudCalendarService::localized(const std::exception& error) {
    if (const auto* cloud = dynamic_cast<const CloudCalendarError*>(&error))
        return cloud->description();
    return error.what();
}

std::string CloudCalendarService::localized(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& exception) {
        return localized(exception);
    } catch (...) {
        return AgendaLanguage::text("Errore sconosciuto.", "Unknown error.");
    }
}

// ---- Accounts ----

namespace {

std::string secondsText(std::chrono::milliseconds span) {
    return std::to_string((span.count() + 999) / 1000);
}

} // namespace

QCoro::Task<> CloudCalendarService::loadAccounts(KeyringAccess access) {
    return loadAccountsWithin(access, access == KeyringAccess::userAction
                                          ? options_.keyringPromptWait
                                          : options_.keyringWait);
}

QCoro::Task<> CloudCalendarService::loadAccountsWithin(KeyringAccess access,
                                                       std::chrono::milliseconds limit) {
    QPointer<CloudCalendarService> self(this);
    const bool user = access == KeyringAccess::userAction;
    if (user) {
        dismissed_ = false;
    } else if (!loadingAccounts_ && !keyringRead_) {
        if (!noted_.value_or(false)) {
            // Nobody has stored an account: the keyring stays untouched (no prompt, no wallet
            // set-up on a first start).
            setAccounts({});
            setAccountsLoaded(true);
            co_return;
        }
        if (dismissed_) {
            // Asking again is the user's call.
            setSyncError(AgendaLanguage::text(
                "Sblocco del portachiavi annullato: account cloud non letti. Usa «Aggiorna ora» "
                "per riprovare.",
                "The keyring unlock was dismissed: cloud accounts were not read. Use “Update "
                "now” to try again."));
            co_return;
        }
    }
    startKeyringRead();
    if (!loadingAccounts_)
        co_return;
    SignalWait finished(this, &CloudCalendarService::accountsLoadFinished, this, limit);
    co_await finished;
    if (!self)
        co_return;
    // The user asked: a keyring that could not be read is said even when no account was noted.
    if (user && !loadingAccounts_ && !keyringRead_)
        setSyncError(keyringError_);
    if (!loadingAccounts_)
        co_return;
    // An unlock prompt may be open: the read goes on and publishes when it ends.
    keyringStatus_ = 0;
    keyringReason_ = AgendaLanguage::text(
        "il portachiavi non ha risposto entro " + secondsText(limit) + " secondi",
        "the keyring did not answer within " + secondsText(limit) + " seconds");
    keyringError_ = AgendaLanguage::text(
        "Portachiavi bloccato: in attesa di sblocco. Gli eventi cloud torneranno dopo lo "
        "sblocco.",
        "The keyring is locked: waiting for it to be unlocked. Cloud events come back once it "
        "is.");
    if (!accountsLoaded_ || user)
        setSyncError(keyringError_);
}

void CloudCalendarService::startKeyringRead() {
    if (loadingAccounts_)
        return;
    loadingAccounts_ = true;
    readKeyring();
}

QCoro::Task<> CloudCalendarService::readKeyring() {
    QPointer<CloudCalendarService> self(this);
    // The keyring goes with the service; the read it is running must not lose it.
    const std::shared_ptr<CloudAccountKeyring> keyring = keyring_;
    const CloudAccountKeyring::ReadResult result = co_await keyring->read();
    if (!self)
        co_return;
    loadingAccounts_ = false;
    using Kind = CloudAccountKeyring::ReadResult::Kind;
    if (result.kind == Kind::unavailable) {
        // Unknown is not empty: keep what is known and let nothing overwrite the stored list.
        keyringStatus_ = result.status;
        keyringReason_ = result.message;
        dismissed_ = result.dismissed;
        warnOnce(lcCloud(), QStringLiteral("Keyring not read (%1): %2")
                                .arg(result.status)
                                .arg(QString::fromStdString(result.message)));
        if (result.dismissed)
            keyringError_ = AgendaLanguage::text(
                "Sblocco del portachiavi annullato: account cloud non letti.",
                "The keyring unlock was dismissed: cloud accounts were not read.");
        else
            keyringError_ =
                AgendaLanguage::text("Portachiavi non disponibile, account non letti (" +
                                         std::to_string(result.status) + "): " + result.message,
                                     "Keyring unavailable, accounts not read (" +
                                         std::to_string(result.status) + "): " + result.message);
        if (!accountsLoaded_)
            setSyncError(keyringError_);
    } else {
        std::vector<CloudCalendarAccount> accounts;
        if (result.kind == Kind::found) {
            // An unreadable item counts as no accounts; the item itself is left alone.
            auto decoded = CloudCalendarAccount::decode(result.data);
            if (!decoded)
                warnOnce(lcCloud(), QStringLiteral("The keyring's account item is unreadable"));
            accounts = std::move(decoded).value_or(std::vector<CloudCalendarAccount>{});
        }
        if (keyringError_ && syncError_ == keyringError_)
            setSyncError(std::nullopt);
        keyringError_.reset();
        keyringStatus_ = 0;
        keyringReason_.clear();
        dismissed_ = false;
        keyringRead_ = true;
        recordNote(!accounts.empty());
        // A write in flight publishes its own list when it ends.
        if (!writing_)
            setAccounts(std::move(accounts));
        setAccountsLoaded(true);
    }
    Q_EMIT accountsLoadFinished();
}

void CloudCalendarService::recordNote(bool accountsExist) {
    if (noted_ == accountsExist)
        return;
    noted_ = accountsExist;
    try {
        note_.record(accountsExist);
    } catch (const std::exception& failure) {
        // Kept in memory for this run; the next start reads the keyring as before.
        qCWarning(lcCloud, "Could not write %s: %s", qPrintable(note_.path()), failure.what());
    }
}

void CloudCalendarService::noteAssignedCalendars(
    const std::map<std::string, AgendaGroup>& assignments) {
    if (noted_.has_value())
        return;
    // Cloud calendar ids begin with their provider's raw value and ":".
    const bool cloudCalendarAssigned =
        std::any_of(assignments.begin(), assignments.end(), [](const auto& entry) {
            return std::any_of(allCloudCalendarProviders.begin(), allCloudCalendarProviders.end(),
                               [&](CloudCalendarProvider provider) {
                                   return entry.first.rfind(std::string(rawValue(provider)) + ":",
                                                            0) == 0;
                               });
        });
    if (!cloudCalendarAssigned)
        return;
    recordNote(true);
    if (!keyringRead_ && !loadingAccounts_) {
        setAccountsLoaded(false);
        loadAccounts();
    }
}

QCoro::Task<> CloudCalendarService::requireLoadedAccounts() {
    QPointer<CloudCalendarService> self(this);
    if (!keyringRead_)
        co_await loadAccounts(KeyringAccess::userAction);
    // The read may end after the service has gone: the caller stops as for a cancel.
    if (!self)
        throw CloudCalendarError::authenticationCancelled();
    if (!keyringRead_)
        throw CloudCalendarError::keychain(keyringStatus_, keyringReason_);
}

QCoro::Task<bool> CloudCalendarService::accountsReadyForRefresh(KeyringAccess access) {
    QPointer<CloudCalendarService> self(this);
    // A refresh never waits on the user for long, not even after "Update now": a read that
    // ends later publishes, and the controller refreshes again then.
    if (!accountsLoaded_ || loadingAccounts_)
        co_await loadAccountsWithin(access, options_.keyringWait);
    if (!self)
        co_return false;
    co_return accountsLoaded_;
}

QCoro::Task<> CloudCalendarService::storeAccounts(AccountChange change) {
    QPointer<CloudCalendarService> self(this);
    co_await requireLoadedAccounts();
    const auto limit = options_.keyringPromptWait;
    const auto noAnswer = [limit] {
        return CloudCalendarError::keychain(
            0, AgendaLanguage::text(
                   "il portachiavi non ha risposto entro " + secondsText(limit) + " secondi",
                   "the keyring did not answer within " + secondsText(limit) + " seconds"));
    };
    // One write at a time: each change applies to the list the previous one left.
    QElapsedTimer waited;
    waited.start();
    while (self && writing_) {
        const auto left = limit - std::chrono::milliseconds(waited.elapsed());
        if (left <= std::chrono::milliseconds::zero())
            throw noAnswer();
        SignalWait finished(this, &CloudCalendarService::accountsWriteFinished, this, left);
        co_await finished;
    }
    if (!self)
        throw CloudCalendarError::authenticationCancelled();
    writing_ = true;
    auto outcome = std::make_shared<CloudAccountKeyring::WriteResult>();
    auto done = std::make_shared<bool>(false);
    SignalWait waiter(this, &CloudCalendarService::accountsWriteFinished, this, limit);
    const auto markDone = QObject::connect(this, &CloudCalendarService::accountsWriteFinished, this,
                                           [done] { *done = true; });
    writeAccounts(change(accounts_), outcome);
    if (!*done)
        co_await waiter;
    if (!self)
        throw CloudCalendarError::authenticationCancelled();
    QObject::disconnect(markDone);
    if (!*done)
        throw noAnswer();
    if (!outcome->ok)
        throw CloudCalendarError::keychain(outcome->status, outcome->message);
}

// Runs to its end whatever the waiting caller does: a write that answers late still publishes
// what it stored, and frees the next one.
QCoro::Task<>
CloudCalendarService::writeAccounts(std::vector<CloudCalendarAccount> accounts,
                                    std::shared_ptr<CloudAccountKeyring::WriteResult> outcome) {
    QPointer<CloudCalendarService> self(this);
    const std::shared_ptr<CloudAccountKeyring> keyring = keyring_;
    *outcome = co_await keyring->write(CloudCalendarAccount::encode(accounts));
    if (!self)
        co_return;
    if (outcome->ok) {
        recordNote(!accounts.empty());
        setAccounts(std::move(accounts));
    }
    writing_ = false;
    Q_EMIT accountsWriteFinished();
}

QCoro::Task<> CloudCalendarService::remove(CloudCalendarAccount account) {
    QPointer<CloudCalendarService> self(this);
    const std::string id = account.id();
    std::exception_ptr failure;
    try {
        // Named, not a temporary: GCC 12 frees temporaries of a co_await expression twice.
        AccountChange without = [id](std::vector<CloudCalendarAccount> list) {
            std::erase_if(list, [&](const CloudCalendarAccount& a) { return a.id() == id; });
            return list;
        };
        co_await storeAccounts(std::move(without));
    } catch (...) {
        failure = std::current_exception();
    }
    if (!self)
        co_return;
    if (failure) {
        setSignInError(localized(failure));
        co_return;
    }
    std::vector<CloudCalendarChoice> calendars;
    for (const auto& choice : calendars_) {
        if (choice.account != id)
            calendars.push_back(choice);
    }
    setCalendars(std::move(calendars));
    std::erase_if(events_, [&](const CloudEvent& event) { return event.accountID == id; });
    setConnectedMessage(std::nullopt);
    setSignInError(std::nullopt);
}

QCoro::Task<CloudCalendarService::HttpResult>
CloudCalendarService::send(QNetworkRequest request, std::optional<QByteArray> postBody) {
    request.setTransferTimeout(int(options_.requestTimeout.count()));
    // Made at the first request: without an account the tray application never loads Qt's
    // network stack (proxies, TLS).
    if (!network_) {
        network_ = new QNetworkAccessManager(this);
        // Redirects are followed by hand, so a bearer token never travels to another host.
        network_->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    }
    QNetworkReply* reply = postBody ? network_->post(request, *postBody) : network_->get(request);
    // The reply goes with its wait, whatever happens to the caller.
    const std::unique_ptr<QNetworkReply, void (*)(QNetworkReply*)> owner(
        reply, [](QNetworkReply* r) { r->deleteLater(); });
    bool tooLarge = false;
    QObject::connect(reply, &QNetworkReply::downloadProgress, reply,
                     [reply, &tooLarge](qint64 received, qint64) {
                         if (received > maximumResponseBytes && !tooLarge) {
                             tooLarge = true;
                             reply->abort();
                         }
                     });
    if (!reply->isFinished()) {
        SignalWait finished(reply, &QNetworkReply::finished, this);
        co_await finished;
        if (!reply->isFinished())
            reply->abort(); // the service is gone
    }
    if (tooLarge)
        throw CloudNetworkError(AgendaLanguage::text("Risposta del server troppo grande.",
                                                     "The server's answer is too large."));
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid()) {
        if (reply->error() == QNetworkReply::OperationCanceledError ||
            reply->error() == QNetworkReply::TimeoutError)
            throw CloudNetworkError::timedOut();
        throw CloudNetworkError(reply->errorString().toStdString());
    }
    co_return HttpResult{status.toInt(), reply->readAll(),
                         reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl()};
}

QCoro::Task<nlohmann::json> CloudCalendarService::getJSON(QUrl url, QString accessToken) {
    const QUrl origin = url;
    HttpResult result;
    for (int hop = 0;; ++hop) {
        QNetworkRequest request(url);
        request.setRawHeader("Accept", "application/json");
        // The token goes only to the host it was asked for.
        if (sameOrigin(url, origin))
            request.setRawHeader("Authorization", "Bearer " + accessToken.toUtf8());
        std::optional<QByteArray> noBody;
        result = co_await send(request, std::move(noBody));
        if (result.status < 300 || result.status > 399 || result.location.isEmpty() ||
            hop == maximumRedirects)
            break;
        const QUrl next = url.resolved(result.location);
        // Never from https down to plain http.
        if (url.scheme() == QLatin1String("https") && next.scheme() != QLatin1String("https"))
            break;
        url = next;
    }
    if (result.status >= 200 && result.status <= 299) {
        auto json = nlohmann::json::parse(
            result.body.constData(), result.body.constData() + result.body.size(), nullptr, false);
        if (json.is_discarded())
            throw CloudCalendarError::provider(
                AgendaLanguage::text("La risposta del provider non è leggibile.",
                                     "The provider's answer could not be read."));
        co_return json.is_object() ? json : nlohmann::json::object();
    }
    if (auto message = oauth::apiErrorMessage(
            std::string_view(result.body.constData(), std::size_t(result.body.size()))))
        throw CloudCalendarError::provider(*message);
    throw CloudCalendarError::provider("HTTP " + std::to_string(result.status));
}

// ---- Observed state ----

void CloudCalendarService::setAccounts(std::vector<CloudCalendarAccount> accounts) {
    if (accounts == accounts_)
        return;
    accounts_ = std::move(accounts);
    Q_EMIT accountsChanged();
}

void CloudCalendarService::setCalendars(std::vector<CloudCalendarChoice> calendars) {
    if (calendars == calendars_)
        return;
    calendars_ = std::move(calendars);
    Q_EMIT calendarsChanged();
}

void CloudCalendarService::setBusyProvider(std::optional<CloudCalendarProvider> provider) {
    if (provider == busyProvider_)
        return;
    busyProvider_ = provider;
    Q_EMIT busyProviderChanged();
}

void CloudCalendarService::setSignInError(std::optional<std::string> text) {
    if (text == signInError_)
        return;
    signInError_ = std::move(text);
    Q_EMIT signInErrorChanged();
}

void CloudCalendarService::setSyncError(std::optional<std::string> text) {
    if (text == syncError_)
        return;
    syncError_ = std::move(text);
    Q_EMIT syncErrorChanged();
}

void CloudCalendarService::setConnectedMessage(std::optional<std::string> text) {
    if (text == connectedMessage_)
        return;
    connectedMessage_ = std::move(text);
    Q_EMIT connectedMessageChanged();
}

void CloudCalendarService::setFinishingSignIn(bool value) {
    if (value == finishingSignIn_)
        return;
    finishingSignIn_ = value;
    Q_EMIT finishingSignInChanged();
}

void CloudCalendarService::setSyncing(bool value) {
    if (value == syncing_)
        return;
    syncing_ = value;
    Q_EMIT isSyncingChanged();
}

void CloudCalendarService::setAccountsLoaded(bool value) {
    if (value == accountsLoaded_)
        return;
    accountsLoaded_ = value;
    Q_EMIT accountsLoadedChanged();
}

} // namespace brivane

#include "Brivane/cloud/CloudCalendarService.h"

#include "Brivane/Logging.h"
#include "Brivane/SignalWait.h"
#include "Brivane/cloud/CloudAccountKeyring.h"
#include "Brivane/cloud/CloudUrls.h"
#include "Brivane/cloud/GoogleOAuthLoopback.h"
#include "Brivane/cloud/OAuthProtocol.h"
#include "BrivaneCore/AgendaLanguage.h"
#include "BrivaneCore/RawValue.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QSet>
#include <algorithm>

namespace brivane {

namespace {

// Bigger answers are refused: no provider page comes close, and a hostile one must not fill
// the memory.
constexpr qint64 maximumResponseBytes = 32 * 1024 * 1024;
constexpr int maximumRedirects = 5;

const std::string googleScope =
    "openid email https://www.googleapis.com/auth/calendar.events.readonly "
    "https://www.googleapis.com/auth/calendar.calendarlist.readonly";
const std::string microsoftScope = "openid profile email offline_access User.Read Calendars.Read";

std::string completionPage() {
    return AgendaLanguage::text(
        "<html><meta charset='utf-8'><title>Pellora</title><body style='font:16px "
        "-apple-system;text-align:center;margin:15vh 1em'><h2>Puoi tornare a Pellora</h2><p>Torna "
        "nell’app per vedere l’esito del collegamento.</p></body></html>",
        "<html><meta charset='utf-8'><title>Pellora</title><body style='font:16px "
        "-apple-system;text-align:center;margin:15vh 1em'><h2>Return to Pellora</h2><p>Return to "
        "the app to check the connection status.</p></body></html>");
}

std::string timedOutText() {
    return AgendaLanguage::text("La richiesta è scaduta.", "The request timed out.");
}

bool isBlank(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](char c) {
        return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
    });
}

} // namespace

// ---- Providers, accounts and errors ----

std::string_view rawValue(CloudCalendarProvider provider) {
    switch (provider) {
    case CloudCalendarProvider::google:
        return "google";
    case CloudCalendarProvider::microsoft:
        return "microsoft";
    }
    return "google";
}

std::optional<CloudCalendarProvider> cloudCalendarProviderFromRawValue(std::string_view raw) {
    return fromRawValue(allCloudCalendarProviders, raw);
}

std::string title(CloudCalendarProvider provider) {
    return provider == CloudCalendarProvider::google ? "Google Calendar"
                                                     : "Microsoft 365 / Outlook";
}

std::string CloudCalendarAccount::id() const {
    return std::string(rawValue(provider)) + ":" + subject;
}

std::string CloudCalendarAccount::encode(const std::vector<CloudCalendarAccount>& accounts) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const auto& account : accounts) {
        nlohmann::ordered_json object;
        object["provider"] = std::string(rawValue(account.provider));
        object["subject"] = account.subject;
        object["email"] = account.email;
        object["refreshToken"] = account.refreshToken;
        list.push_back(std::move(object));
    }
    // Invalid UTF-8 is replaced rather than thrown: a name from a provider must not block saving.
    return list.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::optional<std::vector<CloudCalendarAccount>>
CloudCalendarAccount::decode(std::string_view json) {
    const auto document = nlohmann::json::parse(json, nullptr, false);
    if (!document.is_array())
        return std::nullopt;
    std::vector<CloudCalendarAccount> accounts;
    for (const auto& element : document) {
        if (!element.is_object())
            return std::nullopt;
        CloudCalendarAccount account;
        for (const char* key : {"provider", "subject", "email", "refreshToken"}) {
            const auto found = element.find(key);
            if (found == element.end() || !found->is_string())
                return std::nullopt;
        }
        const auto provider =
            cloudCalendarProviderFromRawValue(element["provider"].get_ref<const std::string&>());
        if (!provider)
            return std::nullopt;
        account.provider = *provider;
        account.subject = element["subject"].get<std::string>();
        account.email = element["email"].get<std::string>();
        account.refreshToken = element["refreshToken"].get<std::string>();
        accounts.push_back(std::move(account));
    }
    return accounts;
}

CloudCalendarError::CloudCalendarError(Kind kind, std::string description, std::int32_t status)
    : kind_(kind), description_(std::move(description)), status_(status) {}

CloudCalendarError CloudCalendarError::provider(std::string text) {
    return {Kind::provider, std::move(text)};
}

CloudCalendarError CloudCalendarError::keychain(std::int32_t status, std::string reason) {
    if (reason.empty())
        reason = AgendaLanguage::text("errore ", "error ") + std::to_string(status);
    if (reason.back() != '.')
        reason += '.';
    return {Kind::keychain,
            AgendaLanguage::text("Impossibile salvare l’accesso nel portachiavi: ",
                                 "Could not save the sign-in to the keyring: ") +
                reason,
            status};
}

CloudCalendarError CloudCalendarError::notConfigured() {
    return {Kind::notConfigured, "OAuth configuration is missing."};
}

CloudCalendarError CloudCalendarError::authenticationCancelled() {
    return {Kind::authenticationCancelled, "Sign-in was cancelled."};
}

CloudCalendarError CloudCalendarError::invalidCallback() {
    return {Kind::invalidCallback, "The sign-in response was invalid."};
}

CloudCalendarError CloudCalendarError::missingRefreshToken() {
    return {Kind::missingRefreshToken,
            "The provider did not return a refresh token. Revoke Pellora's access and try again."};
}

// ---- The service ----

CloudCalendarService::CloudCalendarService(QObject* parent)
    : CloudCalendarService(Options{}, parent) {}

CloudCalendarService::CloudCalendarService(Options options, QObject* parent)
    : QObject(parent), options_(std::move(options)),
      configuration_(options_.configuration ? *options_.configuration : AppConfiguration::load()),
      network_(new QNetworkAccessManager(this)),
      keyring_(options_.keyring ? options_.keyring
                                : std::make_shared<CloudAccountKeyring>(options_.keyringService)),
      note_(options_.accountNote.isEmpty() ? CloudAccountNote::defaultPath()
                                           : options_.accountNote) {
    noted_ = note_.accountsExist();
    // Redirects are followed by hand, so a bearer token never travels to another host.
    network_->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    loadAccounts();
}

CloudCalendarService::~CloudCalendarService() {
    if (loopback_)
        loopback_->finish(std::make_exception_ptr(CloudCalendarError::authenticationCancelled()));
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

// ---- Sign-in ----

bool CloudCalendarService::isConfigured(CloudCalendarProvider provider) const {
    if (provider == CloudCalendarProvider::google)
        return !isBlank(configuration_.googleClientID) &&
               !configuration_.googleClientSecret.empty();
    return !isBlank(configuration_.microsoftClientID);
}

QUrl CloudCalendarService::endpoint(CloudCalendarProvider provider, std::string_view kind) const {
    const bool google = provider == CloudCalendarProvider::google;
    std::string url;
    if (kind == "authorize")
        url = google ? configuration_.googleAuthorizationBaseURL + "/o/oauth2/v2/auth"
                     : configuration_.microsoftLoginBaseURL + "/common/oauth2/v2.0/authorize";
    else if (kind == "token")
        url = google ? configuration_.googleTokenBaseURL + "/token"
                     : configuration_.microsoftLoginBaseURL + "/common/oauth2/v2.0/token";
    else if (kind == "userinfo")
        url = google ? configuration_.googleUserInfoBaseURL + "/v1/userinfo"
                     : configuration_.microsoftGraphBaseURL +
                           "/v1.0/me?$select=id,displayName,mail,userPrincipalName";
    return QUrl(QString::fromStdString(url));
}

QCoro::Task<bool> CloudCalendarService::connect(CloudCalendarProvider provider) {
    if (busyProvider_)
        co_return false;
    const std::string providerTitle = title(provider);
    const std::string clientID = provider == CloudCalendarProvider::google
                                     ? configuration_.googleClientID
                                     : configuration_.microsoftClientID;
    if (isBlank(clientID) || !isConfigured(provider)) {
        setSignInError(AgendaLanguage::text(
            "Accesso a " + providerTitle + " non ancora configurato per Pellora.",
            providerTitle + " sign-in is not configured for Pellora yet."));
        co_return false;
    }
    setBusyProvider(provider);
    setSignInError(std::nullopt);
    setConnectedMessage(std::nullopt);

    QPointer<CloudCalendarService> self(this);
    std::exception_ptr failure;
    bool stored = false;
    try {
        // Before the browser opens: a sign-in that could not be saved would be wasted.
        co_await requireLoadedAccounts();
        const OAuthTokens tokens = co_await authorize(provider, clientID);
        if (!self)
            co_return false;
        const Profile profile = co_await accountProfile(provider, tokens.accessToken);
        if (!self)
            co_return false;
        CloudCalendarAccount account{provider, profile.subject, profile.email, {}};
        const auto existing = std::find_if(accounts_.begin(), accounts_.end(), [&](const auto& a) {
            return a.provider == provider && a.subject == profile.subject;
        });
        if (tokens.refreshToken)
            account.refreshToken = *tokens.refreshToken;
        else if (existing != accounts_.end())
            account.refreshToken = existing->refreshToken;
        else
            throw CloudCalendarError::missingRefreshToken();
        AccountChange added = [account](std::vector<CloudCalendarAccount> list) {
            std::erase_if(list,
                          [&](const CloudCalendarAccount& a) { return a.id() == account.id(); });
            list.push_back(account);
            return list;
        };
        co_await storeAccounts(std::move(added));
        if (!self)
            co_return false;
        setConnectedMessage(
            AgendaLanguage::text("Account collegato: " + providerTitle + " · " + account.email,
                                 "Account connected: " + providerTitle + " · " + account.email));
        stored = true;
    } catch (...) {
        failure = std::current_exception();
    }
    if (!self)
        co_return false;
    if (failure) {
        setSignInError(AgendaLanguage::text("Impossibile collegare " + providerTitle + ": ",
                                            "Could not connect " + providerTitle + ": ") +
                       localized(failure));
    }
    setBusyProvider(std::nullopt);
    setFinishingSignIn(false);
    co_return stored;
}

QCoro::Task<CloudCalendarService::OAuthTokens>
CloudCalendarService::authorize(CloudCalendarProvider provider, std::string clientID) {
    const bool google = provider == CloudCalendarProvider::google;
    const std::string verifier = oauth::randomToken(32);
    const QByteArray digest =
        QCryptographicHash::hash(QByteArray::fromStdString(verifier), QCryptographicHash::Sha256);
    const std::string challenge =
        oauth::base64URL(std::string_view(digest.constData(), std::size_t(digest.size())));
    const std::string state = oauth::randomToken(24);

    // Whatever way this ends, the receiver stops listening and no redirect is awaited any more.
    struct Cleanup {
        CloudCalendarService* service;
        QPointer<CloudCalendarService> alive;
        QPointer<GoogleOAuthLoopback> loopback;
        ~Cleanup() {
            if (loopback) {
                loopback->finish(
                    std::make_exception_ptr(CloudCalendarError::authenticationCancelled()));
                loopback->deleteLater();
            }
            if (alive)
                service->awaitingRedirect_ = false;
        }
    } cleanup{this, this, nullptr};

    std::string redirectURI = microsoftRedirectURI;
    if (google) {
        auto* loopback = new GoogleOAuthLoopback(QString::fromStdString(state),
                                                 QString::fromStdString(completionPage()),
                                                 options_.loopbackTimeout, this);
        cleanup.loopback = loopback;
        loopback_ = loopback;
        redirectURI = (co_await loopback->start()).toString(QUrl::FullyEncoded).toStdString();
    }

    std::vector<std::pair<std::string, std::string>> items = {
        {"client_id", clientID},
        {"redirect_uri", redirectURI},
        {"response_type", "code"},
        {"scope", google ? googleScope : microsoftScope},
        {"state", state},
        {"code_challenge", challenge},
        {"code_challenge_method", "S256"},
    };
    if (google) {
        items.emplace_back("access_type", "offline");
        items.emplace_back("prompt", "consent");
    }
    QUrl url = endpoint(provider, "authorize");
    url.setQuery(QString::fromStdString(oauth::formBody(items)), QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty() || url.host().isEmpty())
        throw CloudCalendarError::invalidCallback();

    if (!google)
        awaitingRedirect_ = true;
    if (options_.authorizationStarted)
        options_.authorizationStarted(url);
    ++signInGeneration_;
    if (options_.openBrowser) {
        if (!options_.openBrowser(url))
            throw CloudCalendarError::authenticationCancelled();
    } else {
        launchBrowser(url);
    }

    // Two plain statements: GCC 12 mishandles co_await inside a conditional expression.
    QUrl callback;
    if (google)
        callback = co_await cleanup.loopback->callback();
    else
        callback = co_await waitForRedirect();
    if (!cleanup.alive)
        throw CloudCalendarError::authenticationCancelled();
    const QByteArray encoded = callback.toEncoded();
    const auto result = oauth::readCallback(
        std::string_view(encoded.constData(), std::size_t(encoded.size())), state);
    if (result.kind == oauth::CallbackResult::Kind::providerError)
        throw CloudCalendarError::provider(result.value);
    if (result.kind != oauth::CallbackResult::Kind::code)
        throw CloudCalendarError::invalidCallback();

    setFinishingSignIn(true);
    std::vector<std::pair<std::string, std::string>> fields = {
        {"client_id", clientID},       {"code", result.value},
        {"code_verifier", verifier},   {"grant_type", "authorization_code"},
        {"redirect_uri", redirectURI},
    };
    if (google) {
        if (configuration_.googleClientSecret.empty())
            throw CloudCalendarError::notConfigured();
        fields.emplace_back("client_secret", configuration_.googleClientSecret);
    }
    QByteArray body = QByteArray::fromStdString(oauth::formBody(fields));
    co_return co_await tokenResponse(provider, std::move(body));
}

QCoro::Task<QUrl> CloudCalendarService::waitForRedirect() {
    std::optional<QUrl> url;
    const auto take = QObject::connect(this, &CloudCalendarService::redirectReceived, this,
                                       [&url](const QUrl& received) { url = received; });
    SignalWait redirect(this, &CloudCalendarService::redirectReceived, this,
                        options_.redirectTimeout);
    co_await redirect;
    QObject::disconnect(take);
    if (!url)
        throw CloudNetworkError(timedOutText());
    if (url->isEmpty())
        throw CloudCalendarError::authenticationCancelled();
    co_return *url;
}

bool CloudCalendarService::handleRedirect(const QUrl& url) {
    if (!awaitingRedirect_ || url.isEmpty())
        return false;
    const QUrl expected(QString::fromLatin1(microsoftRedirectURI));
    if (url.scheme().compare(expected.scheme(), Qt::CaseInsensitive) != 0)
        return false;
    // Only the first redirect counts.
    awaitingRedirect_ = false;
    Q_EMIT redirectReceived(url);
    return true;
}

void CloudCalendarService::launchBrowser(const QUrl& url) {
    // The desktop's default browser. The URL is one argument, never seen by a shell. The process
    // has no parent: xdg-open may run the browser in the foreground, and it must outlive us.
    // Held here until it ends, and at exit on purpose: deleting it would stop xdg-open.
    static auto* const opening = new QSet<QProcess*>();
    auto* process = new QProcess();
    opening->insert(process);
    process->setProgram(QStringLiteral("xdg-open"));
    process->setArguments({url.toString(QUrl::FullyEncoded)});
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setStandardErrorFile(QProcess::nullDevice());
    QPointer<CloudCalendarService> self(this);
    const int generation = signInGeneration_;
    const auto failed = [self, generation] {
        if (CloudCalendarService* service = self.data())
            service->browserFailed(generation);
    };
    QObject::connect(process, &QProcess::finished, process,
                     [process, failed](int code, QProcess::ExitStatus status) {
                         opening->remove(process);
                         process->deleteLater();
                         if (code != 0 || status != QProcess::NormalExit)
                             failed();
                     });
    QObject::connect(process, &QProcess::errorOccurred, process,
                     [process, failed](QProcess::ProcessError error) {
                         if (error != QProcess::FailedToStart)
                             return;
                         opening->remove(process);
                         process->deleteLater();
                         failed();
                     });
    process->start();
}

void CloudCalendarService::browserFailed(int generation) {
    if (options_.cancelWhenBrowserFails && generation == signInGeneration_ && busyProvider_)
        cancelSignIn();
}

void CloudCalendarService::cancelSignIn() {
    if (loopback_)
        loopback_->finish(std::make_exception_ptr(CloudCalendarError::authenticationCancelled()));
    if (awaitingRedirect_) {
        awaitingRedirect_ = false;
        Q_EMIT redirectReceived(QUrl());
    }
}

QCoro::Task<CloudCalendarService::HttpResult>
CloudCalendarService::send(QNetworkRequest request, std::optional<QByteArray> postBody) {
    request.setTransferTimeout(int(options_.requestTimeout.count()));
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
            throw CloudNetworkError(timedOutText());
        throw CloudNetworkError(reply->errorString().toStdString());
    }
    co_return HttpResult{status.toInt(), reply->readAll(),
                         reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl()};
}

QCoro::Task<CloudCalendarService::OAuthTokens>
CloudCalendarService::tokenResponse(CloudCalendarProvider provider, QByteArray body) {
    QNetworkRequest request(endpoint(provider, "token"));
    request.setHeader(QNetworkRequest::ContentTypeHeader,
                      QByteArray("application/x-www-form-urlencoded"));
    std::optional<QByteArray> post = std::move(body);
    const HttpResult result = co_await send(request, std::move(post));
    const auto tokens = oauth::readTokenResponse(
        result.status, std::string_view(result.body.constData(), std::size_t(result.body.size())));
    switch (tokens.kind) {
    case oauth::TokenResult::Kind::tokens:
        co_return OAuthTokens{tokens.accessToken, tokens.refreshToken};
    case oauth::TokenResult::Kind::providerError:
        throw CloudCalendarError::provider(
            !tokens.message.empty()
                ? tokens.message
                : AgendaLanguage::text("Autenticazione rifiutata dal provider.",
                                       "Authentication was rejected by the provider."));
    case oauth::TokenResult::Kind::invalid:
        break;
    }
    if (tokens.malformed)
        throw CloudCalendarError::provider(
            AgendaLanguage::text("La risposta del provider non è leggibile.",
                                 "The provider's answer could not be read."));
    throw CloudCalendarError::invalidCallback();
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

QCoro::Task<CloudCalendarService::Profile>
CloudCalendarService::accountProfile(CloudCalendarProvider provider, std::string accessToken) {
    QUrl url = endpoint(provider, "userinfo");
    QString token = QString::fromStdString(accessToken);
    const nlohmann::json object = co_await getJSON(std::move(url), std::move(token));
    const auto fields =
        oauth::readProfile(object, provider == CloudCalendarProvider::google ? "sub" : "id");
    if (fields.subject.empty() || fields.email.empty())
        throw CloudCalendarError::invalidCallback();
    co_return Profile{fields.subject, fields.email};
}

QCoro::Task<std::string> CloudCalendarService::accessToken(CloudCalendarAccount account) {
    std::string token = co_await freshAccessToken(std::move(account));
    co_return token;
}

QCoro::Task<std::string> CloudCalendarService::freshAccessToken(CloudCalendarAccount account) {
    QPointer<CloudCalendarService> self(this);
    const bool google = account.provider == CloudCalendarProvider::google;
    const std::string clientID =
        google ? configuration_.googleClientID : configuration_.microsoftClientID;
    if (isBlank(clientID))
        throw CloudCalendarError::notConfigured();
    std::vector<std::pair<std::string, std::string>> fields = {
        {"client_id", clientID},
        {"refresh_token", account.refreshToken},
        {"grant_type", "refresh_token"},
    };
    if (google) {
        if (configuration_.googleClientSecret.empty())
            throw CloudCalendarError::notConfigured();
        fields.emplace_back("client_secret", configuration_.googleClientSecret);
    } else {
        fields.emplace_back("scope", microsoftScope);
    }
    QByteArray body = QByteArray::fromStdString(oauth::formBody(fields));
    const OAuthTokens tokens = co_await tokenResponse(account.provider, std::move(body));
    if (self && tokens.refreshToken && *tokens.refreshToken != account.refreshToken) {
        // The provider may already have retired the old token: the new one is stored before
        // the access token is used.
        const std::string id = account.id();
        const std::string rotated = *tokens.refreshToken;
        if (std::any_of(accounts_.begin(), accounts_.end(),
                        [&](const auto& a) { return a.id() == id; })) {
            AccountChange rotation = [id, rotated](std::vector<CloudCalendarAccount> list) {
                for (auto& stored : list) {
                    if (stored.id() == id)
                        stored.refreshToken = rotated;
                }
                return list;
            };
            co_await storeAccounts(std::move(rotation));
        }
    }
    co_return tokens.accessToken;
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

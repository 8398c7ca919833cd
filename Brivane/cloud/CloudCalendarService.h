#pragma once

// Everything about the cloud calendars: the connected Google and Microsoft accounts (kept in the
// Secret Service keyring), the OAuth sign-in, and the calendar lists and events fetched for them.
// Main thread only; every network and keyring wait suspends a coroutine, never the event loop.

#include "Brivane/AppConfiguration.h"
#include "Brivane/cloud/CloudAccountKeyring.h"
#include "Brivane/cloud/CloudCalendarAccount.h"
#include "Brivane/cloud/CloudProvider.h"
#include "BrivaneCore/AgendaDates.h"
#include "BrivaneCore/AgendaSnapshot.h"

#include <QByteArray>
#include <QNetworkRequest>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>
#include <array>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <qcoro/qcorotask.h>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

class QNetworkAccessManager;

namespace brivane {

class GoogleOAuthLoopback;

// Who asks for the keyring. Only the user's own action (a sign-in, a removal, "Update now", a
// retry) may open an unlock prompt again after one was dismissed, or read the keyring before
// any account was stored.
enum class KeyringAccess { automatic, userAction };

class CloudCalendarService : public QObject {
    Q_OBJECT
public:
    struct Options {
        // Provider endpoints and client keys; AppConfiguration::load() when absent.
        std::optional<AppConfiguration> configuration;
        // Opens the authorization URL in the user's browser; xdg-open when empty.
        std::function<bool(const QUrl&)> openBrowser;
        // Whether a failing xdg-open ends the sign-in as cancelled. A terminal turns this off:
        // its user can paste the printed address into a browser by hand.
        bool cancelWhenBrowserFails = true;
        // Also told the authorization URL, so a terminal can print it.
        std::function<void(const QUrl&)> authorizationStarted;
        // How long the Google loopback receiver waits for the browser.
        std::chrono::milliseconds loopbackTimeout{std::chrono::seconds(300)};
        // How long a Microsoft sign-in waits for its redirect.
        std::chrono::milliseconds redirectTimeout{std::chrono::seconds(300)};
        // Per-request network time-out.
        std::chrono::milliseconds requestTimeout{std::chrono::seconds(60)};
        // The current instant, for the agenda window.
        std::function<Date()> now;
        // Keyring service name of the account list.
        QString keyringService = QStringLiteral("it.quillmere.Brivane.cloud-calendar-accounts");
        // The keyring access itself; the Secret Service under keyringService when empty.
        std::shared_ptr<CloudAccountKeyring> keyring;
        // How long a refresh waits for a keyring read that is still running (an unlock prompt
        // may be open) before it goes on without the accounts.
        std::chrono::milliseconds keyringWait{std::chrono::seconds(5)};
        // How long a sign-in or a removal waits for the keyring: the user may be at its prompt.
        std::chrono::milliseconds keyringPromptWait{std::chrono::seconds(120)};
        // The note of whether accounts exist; CloudAccountNote::defaultPath() when empty.
        QString accountNote;
    };

    static constexpr const char* microsoftRedirectURI = "msauth.it.quillmere.Brivane://auth";

    // Starts loading the accounts from the keyring at once.
    explicit CloudCalendarService(QObject* parent = nullptr);
    CloudCalendarService(Options options, QObject* parent = nullptr);
    ~CloudCalendarService() override;

    // ---- Observed state ----
    const std::vector<CloudCalendarAccount>& accounts() const { return accounts_; }
    const std::vector<CloudCalendarChoice>& calendars() const { return calendars_; }
    const std::vector<CloudEvent>& events() const { return events_; }
    std::optional<CloudCalendarProvider> busyProvider() const { return busyProvider_; }
    const std::optional<std::string>& signInError() const { return signInError_; }
    const std::optional<std::string>& syncError() const { return syncError_; }
    const std::optional<std::string>& connectedMessage() const { return connectedMessage_; }
    bool finishingSignIn() const { return finishingSignIn_; }
    bool isSyncing() const { return syncing_; }
    // True once the account list is known: a keyring load succeeded (an absent item counts), or
    // the note says no account was ever stored. Until then nothing may overwrite it.
    bool accountsLoaded() const { return accountsLoaded_; }
    // The last unlock prompt was dismissed: no new one opens until the user acts.
    bool keyringDismissed() const { return dismissed_; }

    // ---- Accounts ----
    // (Re)reads the account list from the keyring. Shares a load already running and waits for
    // it at most keyringWait (keyringPromptWait for a user action); a load that ends later still
    // publishes. An automatic load leaves the keyring alone while the note says there are no
    // accounts or a prompt was dismissed. Never throws: an unavailable keyring leaves
    // accountsLoaded() false and says why in syncError().
    QCoro::Task<> loadAccounts(KeyringAccess access = KeyringAccess::automatic);
    // Settings written by a version that kept no note may name cloud calendars: then the
    // keyring is read as if the note said there are accounts.
    void noteAssignedCalendars(const std::map<std::string, AgendaGroup>& assignments);
    // Forgets one account (stored first, then published). A failure goes to signInError().
    QCoro::Task<> remove(CloudCalendarAccount account);
    // The user-visible description of any error thrown by this service.
    static std::string localized(const std::exception& error);
    static std::string localized(const std::exception_ptr& error);

    // ---- Sign-in ----
    bool isConfigured(CloudCalendarProvider provider) const;
    // The whole sign-in; true only when an account was stored. Never throws.
    QCoro::Task<bool> connect(CloudCalendarProvider provider);
    // A redirect URL delivered by the desktop (the msauth scheme handler through the
    // single-instance socket). True when a running Microsoft sign-in took it.
    bool handleRedirect(const QUrl& url);
    // Ends a running sign-in as cancelled.
    void cancelSignIn();
    // A fresh access token for the account, saving a rotated refresh token before it is used.
    // Throws CloudCalendarError or CloudNetworkError.
    QCoro::Task<std::string> accessToken(CloudCalendarAccount account);

    // ---- Calendar lists and events (CloudCalendarFetch.cpp) ----
    // Updates calendars, events and syncError for every account. Never throws. Starts with
    // accountsReadyForRefresh(): while the keyring cannot be read it publishes nothing else.
    QCoro::Task<> refresh(KeyringAccess access = KeyringAccess::automatic);
    // Events of the calendars assigned to a group, as agenda events.
    std::vector<AgendaEvent>
    agendaEvents(const std::map<std::string, AgendaGroup>& assignments) const;

    // ---- HTTP utilities shared by sign-in and fetching ----
    // GET with "Authorization: Bearer" and "Accept: application/json"; the JSON object, or an
    // empty one. Throws CloudCalendarError::provider or CloudNetworkError.
    QCoro::Task<nlohmann::json> getJSON(QUrl url, QString accessToken);

    const AppConfiguration& configuration() const { return configuration_; }
    // What differs between the providers: endpoints, scopes, page formats.
    const CloudProvider& provider(CloudCalendarProvider provider) const;

Q_SIGNALS:
    void accountsChanged();
    void calendarsChanged();
    void busyProviderChanged();
    void signInErrorChanged();
    void syncErrorChanged();
    void connectedMessageChanged();
    void finishingSignInChanged();
    void isSyncingChanged();
    void accountsLoadedChanged();
    // Internal: a keyring load finished (shared by concurrent waiters).
    void accountsLoadFinished();
    // Internal: a keyring write finished (the next one may start).
    void accountsWriteFinished();
    // Internal: the Microsoft redirect arrived or the sign-in was cancelled.
    void redirectReceived(QUrl url);

private:
    struct OAuthTokens {
        std::string accessToken;
        std::optional<std::string> refreshToken;
    };
    struct Profile {
        std::string subject;
        std::string email;
    };
    struct ProviderCalendar {
        std::string id;
        std::string name;
        CloudCalendarAccount account;
        CloudCalendarChoice choice() const;
    };

    struct HttpResult {
        int status = 0;
        QByteArray body;
        QUrl location; // where a 3xx answer points
    };
    // One request with the time-out and size cap; redirects are not followed. Throws
    // CloudNetworkError for transport failures (not for HTTP error statuses).
    QCoro::Task<HttpResult> send(QNetworkRequest request, std::optional<QByteArray> postBody);
    // Retries a failed keyring load; false (with syncError set to why) while the accounts
    // are still unknown.
    QCoro::Task<bool> accountsReadyForRefresh(KeyringAccess access);
    QCoro::Task<> loadAccountsWithin(KeyringAccess access, std::chrono::milliseconds limit);
    // Starts the keyring read unless one is running; it publishes whenever it ends.
    void startKeyringRead();
    QCoro::Task<> readKeyring();
    void recordNote(bool accountsExist);

    QCoro::Task<OAuthTokens> authorize(CloudCalendarProvider provider);
    QCoro::Task<Profile> accountProfile(CloudCalendarProvider provider, std::string accessToken);
    QCoro::Task<std::string> freshAccessToken(CloudCalendarAccount account);
    QCoro::Task<OAuthTokens> tokenResponse(CloudCalendarProvider provider, QByteArray body);
    QCoro::Task<QUrl> waitForRedirect();
    // Waits for the keyring's own list (a user action) when it has not been read; throws
    // CloudCalendarError::keychain otherwise.
    QCoro::Task<> requireLoadedAccounts();
    using AccountChange =
        std::function<std::vector<CloudCalendarAccount>(std::vector<CloudCalendarAccount>)>;
    // Applies the change to the accounts as they are when the write starts, stores the result,
    // then publishes it. Writes run one at a time, so none undoes another. Throws
    // CloudCalendarError::keychain.
    QCoro::Task<> storeAccounts(AccountChange change);
    QCoro::Task<> writeAccounts(std::vector<CloudCalendarAccount> accounts,
                                std::shared_ptr<CloudAccountKeyring::WriteResult> outcome);

    QCoro::Task<std::vector<ProviderCalendar>> fetchCalendars(CloudCalendarAccount account,
                                                              std::string accessToken);
    QCoro::Task<std::vector<CloudEvent>>
    fetchEvents(ProviderCalendar calendar, CloudCalendarAccount account, std::string accessToken);

    // Starts xdg-open; when it fails, the running sign-in ends as cancelled.
    void launchBrowser(const QUrl& url);
    void browserFailed(int generation);

    Date now() const;

    void setAccounts(std::vector<CloudCalendarAccount> accounts);
    void setCalendars(std::vector<CloudCalendarChoice> calendars);
    void setBusyProvider(std::optional<CloudCalendarProvider> provider);
    void setSignInError(std::optional<std::string> text);
    void setSyncError(std::optional<std::string> text);
    void setConnectedMessage(std::optional<std::string> text);
    void setFinishingSignIn(bool value);
    void setSyncing(bool value);
    void setAccountsLoaded(bool value);

    Options options_;
    AppConfiguration configuration_;
    // Indexed by CloudCalendarProvider; they read configuration_.
    std::array<std::unique_ptr<CloudProvider>, 2> providers_;
    QNetworkAccessManager* network_ = nullptr;
    std::shared_ptr<CloudAccountKeyring> keyring_;

    std::vector<CloudCalendarAccount> accounts_;
    std::vector<CloudCalendarChoice> calendars_;
    std::vector<CloudEvent> events_;
    std::optional<CloudCalendarProvider> busyProvider_;
    std::optional<std::string> signInError_;
    std::optional<std::string> syncError_;
    std::optional<std::string> connectedMessage_;
    bool finishingSignIn_ = false;
    bool syncing_ = false;
    bool accountsLoaded_ = false;
    bool loadingAccounts_ = false;
    // The published list came from the keyring itself (not from the note).
    bool keyringRead_ = false;
    bool dismissed_ = false;
    bool writing_ = false;
    CloudAccountNote note_;
    // What the note says; absent when there is none.
    std::optional<bool> noted_;
    // Why the last keyring load failed, shown by refresh() while the accounts are unknown.
    std::optional<std::string> keyringError_;
    std::int32_t keyringStatus_ = 0;
    std::string keyringReason_;
    // A Microsoft sign-in is waiting for its redirect.
    bool awaitingRedirect_ = false;
    // Counts sign-ins, so a late answer of an old browser launch cannot end a newer one.
    int signInGeneration_ = 0;
    QPointer<GoogleOAuthLoopback> loopback_;
};

} // namespace brivane

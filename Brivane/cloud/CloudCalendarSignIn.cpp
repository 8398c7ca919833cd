// The OAuth sign-in (authorization code with PKCE) and the tokens of a connected account. The
// provider's object says where each step goes and what it adds; Google's browser comes back to a
// loopback receiver, Microsoft's to the custom-scheme redirect the desktop hands over.

#include "Brivane/SignalWait.h"
#include "Brivane/cloud/CloudCalendarService.h"
#include "Brivane/cloud/GoogleOAuthLoopback.h"
#include "Brivane/cloud/OAuthProtocol.h"
#include "BrivaneCore/AgendaLanguage.h"

#include <QCryptographicHash>
#include <QProcess>
#include <QSet>
#include <algorithm>

namespace brivane {

namespace {

std::string completionPage() {
    return AgendaLanguage::text(
        "<html><meta charset='utf-8'><title>Pellora</title><body style='font:16px "
        "-apple-system;text-align:center;margin:15vh 1em'><h2>Puoi tornare a Pellora</h2><p>Torna "
        "nell’app per vedere l’esito del collegamento.</p></body></html>",
        "<html><meta charset='utf-8'><title>Pellora</title><body style='font:16px "
        "-apple-system;text-align:center;margin:15vh 1em'><h2>Return to Pellora</h2><p>Return to "
        "the app to check the connection status.</p></body></html>");
}

} // namespace

bool CloudCalendarService::isConfigured(CloudCalendarProvider provider) const {
    return this->provider(provider).isConfigured();
}

QCoro::Task<bool> CloudCalendarService::connect(CloudCalendarProvider provider) {
    if (busyProvider_)
        co_return false;
    const std::string providerTitle = title(provider);
    if (!isConfigured(provider)) {
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
        const OAuthTokens tokens = co_await authorize(provider);
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
CloudCalendarService::authorize(CloudCalendarProvider kind) {
    const CloudProvider& cloud = provider(kind);
    const bool onLoopback = cloud.receivesOnLoopback();
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
    if (onLoopback) {
        auto* loopback = new GoogleOAuthLoopback(QString::fromStdString(state),
                                                 QString::fromStdString(completionPage()),
                                                 options_.loopbackTimeout, this);
        cleanup.loopback = loopback;
        loopback_ = loopback;
        redirectURI = (co_await loopback->start()).toString(QUrl::FullyEncoded).toStdString();
    }

    FormFields items = {
        {"client_id", cloud.clientID()},
        {"redirect_uri", redirectURI},
        {"response_type", "code"},
        {"scope", cloud.scope()},
        {"state", state},
        {"code_challenge", challenge},
        {"code_challenge_method", "S256"},
    };
    cloud.completeAuthorization(items);
    QUrl url = cloud.authorizeURL();
    url.setQuery(QString::fromStdString(oauth::formBody(items)), QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty() || url.host().isEmpty())
        throw CloudCalendarError::invalidCallback();

    if (!onLoopback)
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
    if (onLoopback)
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
    FormFields fields = {
        {"client_id", cloud.clientID()}, {"code", result.value},
        {"code_verifier", verifier},     {"grant_type", "authorization_code"},
        {"redirect_uri", redirectURI},
    };
    cloud.completeTokenRequest(fields, CloudProvider::Grant::authorizationCode);
    QByteArray body = QByteArray::fromStdString(oauth::formBody(fields));
    co_return co_await tokenResponse(kind, std::move(body));
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
        throw CloudNetworkError::timedOut();
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

QCoro::Task<CloudCalendarService::OAuthTokens>
CloudCalendarService::tokenResponse(CloudCalendarProvider provider, QByteArray body) {
    QNetworkRequest request(this->provider(provider).tokenURL());
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

QCoro::Task<CloudCalendarService::Profile>
CloudCalendarService::accountProfile(CloudCalendarProvider kind, std::string accessToken) {
    const CloudProvider& cloud = provider(kind);
    // Taken before the wait: the provider's object goes with the service.
    const char* subjectKey = cloud.subjectKey();
    QUrl url = cloud.profileURL();
    QString token = QString::fromStdString(accessToken);
    const nlohmann::json object = co_await getJSON(std::move(url), std::move(token));
    const auto fields = oauth::readProfile(object, subjectKey);
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
    const CloudProvider& cloud = provider(account.provider);
    if (!cloud.isConfigured())
        throw CloudCalendarError::notConfigured();
    FormFields fields = {
        {"client_id", cloud.clientID()},
        {"refresh_token", account.refreshToken},
        {"grant_type", "refresh_token"},
    };
    cloud.completeTokenRequest(fields, CloudProvider::Grant::refreshToken);
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

} // namespace brivane

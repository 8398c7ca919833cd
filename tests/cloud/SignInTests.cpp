#include "CloudTestSupport.h"

#include "Brivane/SingleInstance.h"
#include "Brivane/cloud/CloudAccountKeyring.h"
#include "Brivane/cloud/CloudCalendarService.h"
#include "Brivane/cloud/OAuthProtocol.h"

#include <QProcess>
#include <gtest/gtest.h>
#include <qcoro/qcorotask.h>

namespace brivane {
namespace {

using namespace std::chrono_literals;
using test::MockProvider;
using test::TestDesktop;
using test::waitUntil;

// Reads the keyring item the way another program would.
std::string secretToolLookup(const QString& service) {
    QProcess tool;
    tool.start("secret-tool", {"lookup", "server", service, "user", "accounts"});
    tool.waitForFinished(10000);
    return tool.readAllStandardOutput().toStdString();
}


class SignInTest : public ::testing::Test {
protected:
    void SetUp() override {
        service_name = "it.quillmere.Brivane.test-" + QString::fromStdString(oauth::randomToken(6));
        make();
    }
    void make() {
        CloudCalendarService::Options options;
        options.configuration = provider.configuration();
        options.keyringService = service_name;
        options.loopbackTimeout = 20s;
        options.redirectTimeout = 20s;
        options.authorizationStarted = [this](const QUrl& url) { authorizationURL = url; };
        service = std::make_unique<CloudCalendarService>(std::move(options));
        ASSERT_TRUE(waitUntil([&] { return service->accountsLoaded(); }));
    }
    bool connect(CloudCalendarProvider which) { return QCoro::waitFor(service->connect(which)); }

    TestDesktop desktop;
    MockProvider provider;
    QString service_name;
    std::unique_ptr<CloudCalendarService> service;
    QUrl authorizationURL;
};

TEST_F(SignInTest, GoogleThroughTheBrowserAndTheLoopbackReceiver) {
    int busy = 0;
    QObject::connect(service.get(), &CloudCalendarService::busyProviderChanged, [&] { ++busy; });
    ASSERT_TRUE(connect(CloudCalendarProvider::google)) << service->signInError().value_or("");

    EXPECT_EQ(provider.lastAuthorizeKeys,
              (std::vector<std::string>{"client_id", "redirect_uri", "response_type", "scope",
                                        "state", "code_challenge", "code_challenge_method",
                                        "access_type", "prompt"}));
    const QUrlQuery query(authorizationURL);
    EXPECT_EQ(query.queryItemValue("scope", QUrl::FullyDecoded),
              "openid email https://www.googleapis.com/auth/calendar.events.readonly "
              "https://www.googleapis.com/auth/calendar.calendarlist.readonly");
    EXPECT_TRUE(query.queryItemValue("redirect_uri", QUrl::FullyDecoded)
                    .startsWith("http://127.0.0.1:"));
    EXPECT_EQ(query.queryItemValue("state").size(), 32);

    // The browser asked for the favicon (404) and then got the completion page.
    const QStringList log = desktop.browserLog();
    ASSERT_GE(log.size(), 4) << log.join('\n').toStdString();
    EXPECT_TRUE(log[2].contains("/favicon.ico") && log[2].endsWith(" 404"));
    EXPECT_TRUE(log[3].contains("/oauth2redirect?code=") && log[3].endsWith(" 200"));
    EXPECT_TRUE(log.last().contains("Return to Pellora") || log.last().contains("Torna"));

    // The secret with "+" arrived intact (sent as %2B), the verifier matched the challenge.
    EXPECT_TRUE(provider.tokenFailures.empty());
    ASSERT_EQ(service->accounts().size(), 1u);
    const CloudCalendarAccount account = service->accounts()[0];
    EXPECT_EQ(account.id(), "google:user-1");
    EXPECT_EQ(account.email, "ada@example.com");
    EXPECT_EQ(service->connectedMessage(),
              "Account connected: Google Calendar · ada@example.com");
    EXPECT_FALSE(service->busyProvider());
    EXPECT_FALSE(service->finishingSignIn());
    EXPECT_EQ(busy, 2);

    // Stored in the keyring, readable by another program, with the token.
    EXPECT_EQ(secretToolLookup(service_name), CloudCalendarAccount::encode({account}));
    EXPECT_NE(account.refreshToken.find('+'), std::string::npos);
}

TEST_F(SignInTest, MicrosoftThroughTheSchemeHandlerAndTheLocalSocket) {
    SingleInstance instance;
    ASSERT_TRUE(instance.listen());
    QObject::connect(&instance, &SingleInstance::messageReceived, service.get(),
                     [this](const QString& url) { service->handleRedirect(QUrl(url)); });
    provider.subject = "ms-7";
    provider.email = "grace@example.com";
    ASSERT_TRUE(connect(CloudCalendarProvider::microsoft))
        << service->signInError().value_or("") << "\n"
        << desktop.browserLog().join('\n').toStdString();
    EXPECT_EQ(QUrlQuery(authorizationURL).queryItemValue("redirect_uri", QUrl::FullyDecoded),
              "msauth.it.quillmere.Brivane://auth");
    EXPECT_EQ(provider.lastAuthorizeKeys.size(), 7u);
    EXPECT_TRUE(desktop.browserLog().join(QChar(10)).contains(
        "HANDOFF msauth.it.quillmere.Brivane://auth?code=", Qt::CaseInsensitive));
    ASSERT_EQ(service->accounts().size(), 1u);
    EXPECT_EQ(service->accounts()[0].id(), "microsoft:ms-7");
    EXPECT_EQ(service->accounts()[0].email, "grace@example.com");
    EXPECT_FALSE(provider.lastTokenForm.hasQueryItem("client_secret"));
}

TEST_F(SignInTest, SigningInAgainReplacesTheAccountAtTheEndAndKeepsItsToken) {
    ASSERT_TRUE(connect(CloudCalendarProvider::google));
    provider.subject = "user-2";
    provider.email = "bob@example.com";
    ASSERT_TRUE(connect(CloudCalendarProvider::google));
    const std::string firstToken = service->accounts()[0].refreshToken;

    provider.subject = "user-1";
    provider.email = "ada@new.example.com";
    provider.omitRefreshToken = true;
    ASSERT_TRUE(connect(CloudCalendarProvider::google)) << service->signInError().value_or("");
    ASSERT_EQ(service->accounts().size(), 2u);
    EXPECT_EQ(service->accounts()[0].id(), "google:user-2");
    EXPECT_EQ(service->accounts()[1].id(), "google:user-1");
    EXPECT_EQ(service->accounts()[1].email, "ada@new.example.com");
    EXPECT_EQ(service->accounts()[1].refreshToken, firstToken);

    // A new account without any refresh token cannot be stored.
    provider.subject = "user-3";
    EXPECT_FALSE(connect(CloudCalendarProvider::google));
    EXPECT_EQ(service->signInError(),
              "Could not connect Google Calendar: The provider did not return a refresh token. "
              "Revoke Pellora's access and try again.");
    EXPECT_EQ(service->accounts().size(), 2u);
}

TEST_F(SignInTest, FailuresAreReportedAndStoreNothing) {
    provider.authorizeError = {{"access_denied", "The user declined."}};
    EXPECT_FALSE(connect(CloudCalendarProvider::google));
    EXPECT_EQ(service->signInError(), "Could not connect Google Calendar: The user declined.");

    provider.authorizeError.reset();
    provider.forgeState = true;
    SingleInstance instance;
    ASSERT_TRUE(instance.listen());
    QObject::connect(&instance, &SingleInstance::messageReceived, service.get(),
                     [this](const QString& url) { service->handleRedirect(QUrl(url)); });
    EXPECT_FALSE(connect(CloudCalendarProvider::microsoft));
    EXPECT_EQ(service->signInError(),
              "Could not connect Microsoft 365 / Outlook: The sign-in response was invalid.");

    provider.forgeState = false;
    provider.tokenFailure = test::HttpResponse::json(500, "<html>down</html>");
    EXPECT_FALSE(connect(CloudCalendarProvider::google));
    EXPECT_EQ(service->signInError(), "Could not connect Google Calendar: Authentication was "
                                      "rejected by the provider.");
    provider.tokenFailure = test::HttpResponse::json(200, R"({"token_type":"Bearer"})");
    EXPECT_FALSE(connect(CloudCalendarProvider::google));
    EXPECT_EQ(service->signInError(),
              "Could not connect Google Calendar: The sign-in response was invalid.");

    EXPECT_TRUE(service->accounts().empty());
    EXPECT_EQ(secretToolLookup(service_name), "");
    EXPECT_FALSE(service->busyProvider());
}

TEST_F(SignInTest, OneSignInAtATimeAndCancel) {
    provider.subject = "slow";
    bool opened = false;
    CloudCalendarService::Options options;
    options.configuration = provider.configuration();
    options.keyringService = service_name;
    // A browser that never comes back.
    options.openBrowser = [&](const QUrl&) { return opened = true; };
    CloudCalendarService waiting(std::move(options));
    auto first = waiting.connect(CloudCalendarProvider::google);
    ASSERT_TRUE(waitUntil([&] { return opened; }));
    EXPECT_EQ(waiting.busyProvider(), CloudCalendarProvider::google);
    EXPECT_FALSE(QCoro::waitFor(waiting.connect(CloudCalendarProvider::microsoft)));
    EXPECT_FALSE(waiting.signInError());

    waiting.cancelSignIn();
    EXPECT_FALSE(QCoro::waitFor(std::move(first)));
    EXPECT_EQ(waiting.signInError(), "Could not connect Google Calendar: Sign-in was cancelled.");
    EXPECT_FALSE(waiting.busyProvider());

    CloudCalendarService::Options unconfigured;
    unconfigured.configuration = provider.configuration();
    unconfigured.configuration->googleClientSecret.clear();
    unconfigured.configuration->microsoftClientID = " \n";
    unconfigured.keyringService = service_name;
    CloudCalendarService bare(std::move(unconfigured));
    EXPECT_FALSE(bare.isConfigured(CloudCalendarProvider::google));
    EXPECT_FALSE(QCoro::waitFor(bare.connect(CloudCalendarProvider::microsoft)));
    EXPECT_EQ(bare.signInError(),
              "Microsoft 365 / Outlook sign-in is not configured for Pellora yet.");
}

TEST_F(SignInTest, RotatedRefreshTokenIsStoredBeforeTheAccessTokenIsUsed) {
    ASSERT_TRUE(connect(CloudCalendarProvider::google));
    const CloudCalendarAccount account = service->accounts()[0];
    EXPECT_FALSE(QCoro::waitFor(service->accessToken(account)).empty());
    EXPECT_EQ(service->accounts()[0], account); // no rotation: nothing rewritten

    provider.rotateRefreshTokens = true;
    const std::string access = QCoro::waitFor(service->accessToken(account));
    EXPECT_FALSE(access.empty());
    const CloudCalendarAccount rotated = service->accounts()[0];
    EXPECT_NE(rotated.refreshToken, account.refreshToken);
    EXPECT_EQ(secretToolLookup(service_name), CloudCalendarAccount::encode({rotated}));

    // The old token is dead now; the provider's text comes through.
    try {
        QCoro::waitFor(service->accessToken(account));
        ADD_FAILURE() << "the retired token was accepted";
    } catch (const CloudCalendarError& error) {
        EXPECT_EQ(error.description(), "unknown refresh token");
    }
}

TEST_F(SignInTest, RemovingTheLastAccountStoresAnEmptyList) {
    ASSERT_TRUE(connect(CloudCalendarProvider::google));
    int changed = 0;
    QObject::connect(service.get(), &CloudCalendarService::accountsChanged, [&] { ++changed; });
    QCoro::waitFor(service->remove(service->accounts()[0]));
    EXPECT_TRUE(service->accounts().empty());
    EXPECT_EQ(changed, 1);
    EXPECT_EQ(secretToolLookup(service_name), "[]");
    EXPECT_FALSE(service->connectedMessage());

    // A fresh service reads the same list back; an unreadable item reads as no accounts.
    ASSERT_TRUE(QCoro::waitFor(CloudAccountKeyring(service_name).write(R"({"provider":"google"})")).ok);
    make();
    EXPECT_TRUE(service->accounts().empty());
    EXPECT_FALSE(service->syncError());
    EXPECT_EQ(secretToolLookup(service_name), R"({"provider":"google"})");
}

} // namespace
} // namespace brivane

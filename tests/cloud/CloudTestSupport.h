#pragma once

#include "../support/TestHelpers.h"
#include "Brivane/AppConfiguration.h"
#include "LoopbackHttpServer.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace brivane::test {

// The path of a fresh note of whether cloud accounts exist (no note at all when absent), in a
// folder of this process.
QString accountNote(std::optional<bool> accountsExist);

// A private HOME and XDG folders for one test (paths with a quote and a "$"), with a
// fake browser as the desktop's http/https handler and the application's own desktop entry as
// the handler of its redirect scheme. The previous environment comes back afterwards.
class TestDesktop {
public:
    TestDesktop();
    ~TestDesktop();

    QString root() const { return dir_.path(); }
    QString configHome() const { return root() + "/config"; }
    // Holds "pellora" and "fake-browser".
    QString binDirectory() const { return bin_; }
    // Lines the fake browser wrote.
    QStringList browserLog() const;
    // Runs pellora with these arguments while the event loop keeps serving the test's servers.
    struct Run {
        int exitCode = -1;
        QString out;
        QString err;
    };
    Run runPellora(const QStringList& arguments, int milliseconds = 20000,
                   const QProcessEnvironment& extra = {}) const;

private:
    QTemporaryDir dir_;
    QString bin_;
    std::map<QByteArray, std::optional<QByteArray>> saved_;
};

// Google and Microsoft on one loopback server: authorization redirects, token endpoints that
// check the PKCE verifier against the challenge and the client fields, user info.
class MockProvider {
public:
    MockProvider();

    AppConfiguration configuration() const;
    QString baseURL() const { return server_.baseURL(); }
    LoopbackHttpServer& server() { return server_; }

    // The user the next authorization signs in as.
    std::string subject = "user-1";
    std::string email = "ada@example.com";
    // Behaviour switches.
    bool rotateRefreshTokens = false;
    bool omitRefreshToken = false;
    std::optional<std::pair<std::string, std::string>> authorizeError; // error, description
    std::optional<HttpResponse> tokenFailure;
    bool forgeState = false;

    std::string googleClientID = "google-client.apps.example";
    std::string googleSecret = "google+secret";
    std::string microsoftClientID = "ms-client";

    // The refresh tokens the provider still accepts.
    std::map<std::string, std::string> liveRefreshTokens; // token -> subject
    std::vector<std::string> tokenFailures;               // why a token request was refused
    // Query keys of the last authorization request, in order.
    std::vector<std::string> lastAuthorizeKeys;
    QUrlQuery lastTokenForm;

private:
    HttpResponse handle(const HttpRequest& request);
    HttpResponse authorize(const HttpRequest& request, bool google);
    HttpResponse token(const HttpRequest& request, bool google);
    HttpResponse userInfo(const HttpRequest& request, bool google);

    struct Pending {
        std::string challenge;
        std::string redirectURI;
        std::string clientID;
        std::string subject;
        std::string email;
    };
    std::map<std::string, Pending> pending_;
    std::map<std::string, std::pair<std::string, std::string>> accessTokens_; // -> subject, email
    std::map<std::string, std::string> emails_;
    int counter_ = 0;
    LoopbackHttpServer server_;
};

} // namespace brivane::test

#include "CloudTestSupport.h"

#include "Brivane/cloud/CloudAccountKeyring.h"
#include "Brivane/cloud/OAuthProtocol.h"

#include <QFileInfo>
#include <QStandardPaths>
#include <algorithm>
#include <cstdlib>

namespace brivane::test {

namespace {

void writeText(const QString& path, const QByteArray& text) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        throw std::runtime_error("cannot write " + path.toStdString());
    file.write(text);
}

std::string challengeOf(const std::string& verifier) {
    const QByteArray digest =
        QCryptographicHash::hash(QByteArray::fromStdString(verifier), QCryptographicHash::Sha256);
    return oauth::base64URL(std::string_view(digest.constData(), std::size_t(digest.size())));
}

// Reads a query or form the way servers do: "+" is a space.
std::vector<oauth::QueryItem> formItems(std::string text) {
    std::replace(text.begin(), text.end(), '+', ' ');
    return oauth::queryItems("?" + text).value_or(std::vector<oauth::QueryItem>{});
}

HttpResponse oauthError(const char* error, const std::string& description) {
    QJsonObject object{{"error", error},
                       {"error_description", QString::fromStdString(description)}};
    return HttpResponse::json(400, QJsonDocument(object).toJson(QJsonDocument::Compact));
}

} // namespace

// A quote and a "$" in every path (xdg-utils cannot cope with spaces in XDG folders).
QString accountNote(std::optional<bool> accountsExist) {
    static QTemporaryDir folder(QDir::tempPath() + "/pellora-notes-XXXXXX");
    static int counter = 0;
    const QString path = folder.path() + "/note-" + QString::number(++counter) + "/cloud.json";
    if (accountsExist)
        CloudAccountNote(path).record(*accountsExist);
    return path;
}

TestDesktop::TestDesktop() : dir_(QDir::tempPath() + "/pellora-cloud-'test'-$HOME-XXXXXX") {
    if (!dir_.isValid())
        throw std::runtime_error("no temporary directory");
    const QString r = root();
    // Programs named in desktop entries go through a path without spaces: xdg-open splits the
    // Exec line at white space.
    QTemporaryDir bin(QDir::tempPath() + "/pellora-bin-XXXXXX");
    bin.setAutoRemove(false);
    bin_ = bin.path();
    QFile::link(PELLORA_EXECUTABLE, bin_ + "/pellora");
    QFile::link(PELLORA_FAKE_BROWSER, bin_ + "/fake-browser");

    const std::map<QByteArray, QString> variables = {
        {"HOME", r + "/home"},           {"XDG_CONFIG_HOME", r + "/config"},
        {"XDG_DATA_HOME", r + "/data"},  {"XDG_CACHE_HOME", r + "/cache"},
        {"XDG_RUNTIME_DIR", r + "/run"}, {"PELLORA_FAKE_BROWSER_LOG", r + "/browser.log"},
        {"XDG_CURRENT_DESKTOP", ""},     {"BROWSER", ""},
    };
    for (const auto& [name, value] : variables) {
        saved_[name] = qEnvironmentVariableIsSet(name.constData())
                           ? std::optional<QByteArray>(qgetenv(name.constData()))
                           : std::nullopt;
        if (value.isEmpty())
            qunsetenv(name.constData());
        else
            qputenv(name.constData(), value.toUtf8());
        if (!value.isEmpty() && name != "PELLORA_FAKE_BROWSER_LOG")
            QDir().mkpath(value);
    }
    QFile::setPermissions(r + "/run",
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);

    writeText(r + "/data/applications/pellora-test-browser.desktop",
              "[Desktop Entry]\nType=Application\nName=Test Browser\nExec=" + bin_.toUtf8() +
                  "/fake-browser %u\nMimeType=x-scheme-handler/http;x-scheme-handler/https;\n");
    QFile entry(PELLORA_DESKTOP_ENTRY);
    if (!entry.open(QIODevice::ReadOnly))
        throw std::runtime_error("no desktop entry");
    QByteArray desktop = entry.readAll();
    desktop.replace("Exec=pellora ", "Exec=" + bin_.toUtf8() + "/pellora ");
    writeText(r + "/data/applications/it.quillmere.Brivane.desktop", desktop);
    writeText(r + "/config/mimeapps.list",
              "[Default Applications]\n"
              "x-scheme-handler/http=pellora-test-browser.desktop\n"
              "x-scheme-handler/https=pellora-test-browser.desktop\n"
              "x-scheme-handler/msauth.it.quillmere.Brivane=it.quillmere.Brivane.desktop\n"
              // Browsers lower-case the scheme of the redirect they hand over.
              "x-scheme-handler/msauth.it.quillmere.brivane=it.quillmere.Brivane.desktop\n");
}

TestDesktop::~TestDesktop() {
    for (const auto& [name, value] : saved_) {
        if (value)
            qputenv(name.constData(), *value);
        else
            qunsetenv(name.constData());
    }
    QDir(bin_).removeRecursively();
}

QStringList TestDesktop::browserLog() const {
    QFile file(root() + "/browser.log");
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
}

TestDesktop::Run TestDesktop::runPellora(const QStringList& arguments, int milliseconds,
                                         const QProcessEnvironment& extra) const {
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(extra);
    process.setProcessEnvironment(environment);
    process.start(bin_ + "/pellora", arguments);
    Run run;
    if (!process.waitForStarted())
        return run;
    const bool finished =
        waitUntil([&] { return process.state() == QProcess::NotRunning; }, milliseconds);
    if (!finished) {
        process.kill();
        process.waitForFinished();
    }
    run.exitCode =
        finished && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

MockProvider::MockProvider()
    : server_([this](const HttpRequest& request) { return handle(request); }) {}

AppConfiguration MockProvider::configuration() const {
    AppConfiguration configuration;
    const std::string base = baseURL().toStdString();
    configuration.googleAuthorizationBaseURL = base;
    configuration.googleTokenBaseURL = base;
    configuration.googleUserInfoBaseURL = base;
    configuration.googleCalendarBaseURL = base;
    configuration.microsoftLoginBaseURL = base;
    configuration.microsoftGraphBaseURL = base;
    configuration.googleClientID = googleClientID;
    configuration.googleClientSecret = googleSecret;
    configuration.microsoftClientID = microsoftClientID;
    return configuration;
}

HttpResponse MockProvider::handle(const HttpRequest& request) {
    const QString path = request.path();
    if (path == "/o/oauth2/v2/auth")
        return authorize(request, true);
    if (path == "/common/oauth2/v2.0/authorize")
        return authorize(request, false);
    if (path == "/token")
        return token(request, true);
    if (path == "/common/oauth2/v2.0/token")
        return token(request, false);
    if (path == "/v1/userinfo")
        return userInfo(request, true);
    if (path == "/v1.0/me")
        return userInfo(request, false);
    return HttpResponse::json(404, R"({"error":{"message":"no such path"}})");
}

HttpResponse MockProvider::authorize(const HttpRequest& request, bool google) {
    // Read as a server does: "+" is a space, so a literal "+" must arrive as "%2B".
    const std::string target = request.target.toStdString();
    const auto items = formItems(target.substr(target.find('?') + 1));
    lastAuthorizeKeys.clear();
    for (const auto& item : items)
        lastAuthorizeKeys.push_back(item.first);
    const auto value = [&](const char* name) {
        return oauth::firstValue(items, name).value_or("");
    };
    const std::string redirect = value("redirect_uri");
    const std::string state = forgeState ? "forged" : value("state");
    const std::string clientID = google ? googleClientID : microsoftClientID;
    if (value("client_id") != clientID || value("code_challenge_method") != "S256" ||
        value("response_type") != "code")
        return HttpResponse::json(400, R"({"error":"invalid_request"})");
    std::string location = redirect + "?";
    if (authorizeError) {
        location += oauth::formBody({{"error", authorizeError->first},
                                     {"error_description", authorizeError->second},
                                     {"state", state}});
    } else {
        const std::string code = "code-" + std::to_string(++counter_);
        pending_[code] = {value("code_challenge"), redirect, clientID, subject, email};
        location += oauth::formBody({{"code", code}, {"state", state}});
    }
    return HttpResponse::redirect(QByteArray::fromStdString(location));
}

HttpResponse MockProvider::token(const HttpRequest& request, bool google) {
    const auto items = formItems(request.body.toStdString());
    lastTokenForm = request.form();
    const auto value = [&](const char* name) {
        return oauth::firstValue(items, name).value_or("");
    };
    const auto refuse = [&](const std::string& why) {
        tokenFailures.push_back(why);
        return oauthError("invalid_grant", why);
    };
    if (tokenFailure)
        return *tokenFailure;
    if (request.header("Content-Type") != "application/x-www-form-urlencoded")
        return refuse("wrong content type");
    if (value("client_id") != (google ? googleClientID : microsoftClientID))
        return refuse("wrong client");
    if (google ? value("client_secret") != googleSecret
               : oauth::firstValue(items, "client_secret").has_value())
        return refuse("wrong client secret");

    std::string who;
    std::string address;
    const std::string grant = value("grant_type");
    if (grant == "authorization_code") {
        const auto found = pending_.find(value("code"));
        if (found == pending_.end())
            return refuse("unknown code");
        const Pending pending = found->second;
        pending_.erase(found);
        if (challengeOf(value("code_verifier")) != pending.challenge)
            return refuse("verifier does not match the challenge");
        if (value("redirect_uri") != pending.redirectURI)
            return refuse("redirect_uri differs");
        who = pending.subject;
        address = pending.email;
    } else if (grant == "refresh_token") {
        const auto found = liveRefreshTokens.find(value("refresh_token"));
        if (found == liveRefreshTokens.end())
            return refuse("unknown refresh token");
        if (!google && value("scope").empty())
            return refuse("scope missing");
        who = found->second;
        address = emails_[who];
        if (rotateRefreshTokens)
            liveRefreshTokens.erase(found);
    } else {
        return refuse("unsupported grant");
    }
    emails_[who] = address;
    const std::string access = "at-" + std::to_string(++counter_);
    accessTokens_[access] = {who, address};
    QJsonObject answer{{"access_token", QString::fromStdString(access)},
                       {"token_type", "Bearer"},
                       {"expires_in", 3600}};
    if (!omitRefreshToken && (grant == "authorization_code" || rotateRefreshTokens)) {
        const std::string refresh = "rt+" + who + "/" + std::to_string(++counter_);
        liveRefreshTokens[refresh] = who;
        answer["refresh_token"] = QString::fromStdString(refresh);
    }
    return HttpResponse::json(200, QJsonDocument(answer).toJson(QJsonDocument::Compact));
}

HttpResponse MockProvider::userInfo(const HttpRequest& request, bool google) {
    const QByteArray authorization = request.header("Authorization");
    const auto found = accessTokens_.find(authorization.mid(7).toStdString());
    if (!authorization.startsWith("Bearer ") || found == accessTokens_.end())
        return HttpResponse::json(401, R"({"error":{"message":"Invalid credentials"}})");
    const auto& [who, address] = found->second;
    QJsonObject object;
    if (google) {
        object = {{"sub", QString::fromStdString(who)}, {"email", QString::fromStdString(address)}};
    } else {
        object = {{"id", QString::fromStdString(who)},
                  {"displayName", "Ada"},
                  {"mail", QJsonValue::Null},
                  {"userPrincipalName", QString::fromStdString(address)}};
    }
    return HttpResponse::json(200, QJsonDocument(object).toJson(QJsonDocument::Compact));
}

} // namespace brivane::test

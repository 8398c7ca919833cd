// The update checker against a real HTTPS feed on loopback, signed by a certificate authority
// made for this run and trusted by this process only.

#include "../cloud/CloudTestSupport.h"
#include "../cloud/TestAuthority.h"
#include "Brivane/AppConfiguration.h"
#include "Brivane/cli/UpdateCheckMode.h"
#include "Brivane/updates/UpdateManager.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdlib>
#include <gtest/gtest.h>

namespace brivane {
namespace {

using namespace std::chrono_literals;
using test::HttpRequest;
using test::HttpResponse;
using test::LoopbackHttpServer;
using test::TestAuthority;
using test::waitUntil;
using Kind = UpdateManager::Status::Kind;

class UpdateManagerTest : public test::TrustedAuthorityTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(settingsDir.isValid());
        server = std::make_unique<LoopbackHttpServer>(
            [this](const HttpRequest& request) { return handler(request); },
            trusted->serverConfiguration());
    }

    QString host() const { return QStringLiteral("127.0.0.1:%1").arg(server->port()); }
    QString settingsPath() const { return settingsDir.path() + "/Pellora.conf"; }

    std::unique_ptr<UpdateManager> manager(std::optional<std::string> updateHost = std::nullopt) {
        UpdateManager::Options options;
        options.updateHost = updateHost ? *updateHost : host().toStdString();
        options.settingsPath = settingsPath();
        options.information =
            nlohmann::json{{"CFBundleShortVersionString", "1.4"}, {"CFBundleVersion", "12"}};
        options.now = [this] { return clock; };
        options.idleTimeout = 2s;
        return std::make_unique<UpdateManager>(options);
    }

    // Runs one check to its end.
    UpdateManager::Status check(UpdateManager& updater, bool manual = true) {
        updater.checkForUpdates(manual);
        EXPECT_TRUE(waitUntil([&] { return updater.status().kind != Kind::checking; }));
        return updater.status();
    }

    void serveFeed(const QByteArray& body, int status = 200) {
        handler = [body, status](const HttpRequest& request) {
            if (request.path() != QLatin1String("/updates/latest-personal.json"))
                return HttpResponse::json(404, "{}");
            return HttpResponse::json(status, body);
        };
    }

    QByteArray release(const std::string& version, int build,
                       const std::optional<std::string>& link = std::nullopt) const {
        nlohmann::json doc{{"version", version}, {"build", build}};
        if (link)
            doc["download_url"] = *link;
        return QByteArray::fromStdString(doc.dump());
    }

    std::string link(const std::string& file) const {
        return "https://127.0.0.1/downloads/" + file;
    }

    QTemporaryDir settingsDir;
    LoopbackHttpServer::Handler handler;
    std::unique_ptr<LoopbackHttpServer> server;
    Date clock = dateFromSeconds(1'796'000'000);
};

TEST_F(UpdateManagerTest, NewerReleaseIsAvailableOnlyManualChecksStayQuiet) {
    serveFeed(release("1.10", 1, link("pellora_1.10_amd64.deb")));
    auto updater = manager();
    int alerts = 0;
    updater->onAutomaticUpdateAvailable = [&](const PelloraRelease&) { ++alerts; };

    const auto status = check(*updater, true);
    ASSERT_EQ(status.kind, Kind::available);
    EXPECT_EQ(status.release->version, "1.10");
    EXPECT_EQ(alerts, 0);

    // The request asks for the feed afresh every time.
    ASSERT_EQ(server->requests().size(), 1u);
    EXPECT_EQ(server->requests()[0].method, "GET");

    check(*updater, false);
    EXPECT_EQ(alerts, 1);
}

TEST_F(UpdateManagerTest, SameVersionAndBuildIsCurrentHigherBuildIsNewer) {
    auto updater = manager();
    serveFeed(release("1.4.0", 12));
    EXPECT_EQ(check(*updater).kind, Kind::current);
    serveFeed(release("1.4", 13));
    EXPECT_EQ(check(*updater).kind, Kind::available);
    serveFeed(release("1.3.9", 99));
    EXPECT_EQ(check(*updater).kind, Kind::current);
}

TEST_F(UpdateManagerTest, EveryUnacceptableFeedFails) {
    // Another host, served by a second trusted server: a redirect there must not be followed.
    LoopbackHttpServer elsewhere([](const HttpRequest&) { return HttpResponse::json(200, "{}"); },
                                 trusted->serverConfiguration());
    const QByteArray padding(70000 - 60, 'x');
    struct Case {
        const char* what;
        HttpResponse response;
    };
    const std::vector<Case> cases = {
        {"not found", HttpResponse::json(404, release("9.0", 1))},
        {"server error", HttpResponse::json(500, release("9.0", 1))},
        {"no content", HttpResponse::json(204, {})},
        {"70,000 bytes of valid JSON",
         HttpResponse::json(200, "{\"version\":\"9.0\",\"build\":1,\"release_notes\":\"" + padding +
                                     "\"}")},
        {"not JSON", HttpResponse::json(200, "<html>captive portal</html>")},
        {"missing build", HttpResponse::json(200, R"({"version":"9.0"})")},
        {"build as text", HttpResponse::json(200, R"({"version":"9.0","build":"3"})")},
        {"zero build", HttpResponse::json(200, release("9.0", 0))},
        {"beta version", HttpResponse::json(200, release("9.0-beta", 3))},
        {"empty version", HttpResponse::json(200, release("..", 3))},
        {"disk image", HttpResponse::json(200, release("9.0", 1, link("Pellora.dmg")))},
        {"macOS package", HttpResponse::json(200, release("9.0", 1, link("Pellora.pkg")))},
        {"plain http link",
         HttpResponse::json(200, release("9.0", 1, "http://127.0.0.1/downloads/p.deb"))},
        {"link on another host",
         HttpResponse::json(200, release("9.0", 1, "https://evil.example/p.deb"))},
        {"link hiding another host",
         HttpResponse::json(200, release("9.0", 1, "https://127.0.0.1@evil.example/p.deb"))},
        {"redirect to another host",
         HttpResponse::redirect(QStringLiteral("https://localhost:%1/updates/latest-personal.json")
                                    .arg(elsewhere.port())
                                    .toLatin1())},
        {"redirect to plain http",
         HttpResponse::redirect(QStringLiteral("http://127.0.0.1:%1/updates/latest-personal.json")
                                    .arg(server->port())
                                    .toLatin1())},
    };
    auto updater = manager();
    for (const Case& c : cases) {
        handler = [&c](const HttpRequest&) { return c.response; };
        EXPECT_EQ(check(*updater).kind, Kind::failed) << c.what;
    }
    EXPECT_TRUE(elsewhere.requests().empty());
}

TEST_F(UpdateManagerTest, AcceptsLinksOnBothNamesAndRedirectsWithinTheHost) {
    auto updater = manager();
    EXPECT_EQ(updater->downloadHosts(), QStringList({"127.0.0.1", "www.127.0.0.1"}));
    handler = [](const HttpRequest& request) {
        if (request.path() == QLatin1String("/updates/latest-personal.json"))
            return HttpResponse::redirect("/updates/moved.json", 301);
        return HttpResponse::json(
            200, R"({"version":"2.0","build":1,"download_url":"https://WWW.127.0.0.1/p/P.DEB"})");
    };
    const auto status = check(*updater);
    ASSERT_EQ(status.kind, Kind::available);
    EXPECT_EQ(server->requests().size(), 2u);
}

TEST_F(UpdateManagerTest, UntrustedCertificateAndSilentServerFail) {
    // A certificate from an authority nobody trusts.
    TestAuthority stranger(QStringLiteral("Stranger CA"));
    LoopbackHttpServer impostor(
        [this](const HttpRequest&) { return HttpResponse::json(200, release("9.0", 1)); },
        stranger.serverConfiguration());
    auto updater = manager(QStringLiteral("127.0.0.1:%1").arg(impostor.port()).toStdString());
    EXPECT_EQ(check(*updater).kind, Kind::failed);
    EXPECT_TRUE(impostor.requests().empty());

    // A server that accepts the connection and never says anything: the idle time-out ends it.
    QTcpServer silent;
    ASSERT_TRUE(silent.listen(QHostAddress::LocalHost));
    std::vector<QTcpSocket*> held;
    QObject::connect(&silent, &QTcpServer::newConnection, [&] {
        while (silent.hasPendingConnections())
            held.push_back(silent.nextPendingConnection());
    });
    auto waiting = manager(QStringLiteral("127.0.0.1:%1").arg(silent.serverPort()).toStdString());
    EXPECT_EQ(check(*waiting).kind, Kind::failed);
}

TEST_F(UpdateManagerTest, OneCheckAtATimeAndLastCheckIsStored) {
    serveFeed(release("1.4", 12));
    auto updater = manager();
    updater->checkForUpdates(true);
    updater->checkForUpdates(true);
    ASSERT_TRUE(waitUntil([&] { return updater->status().kind != Kind::checking; }));
    EXPECT_EQ(server->requests().size(), 1u);
    ASSERT_TRUE(updater->lastChecked());
    EXPECT_EQ(*updater->lastChecked(), clock);

    // A later instance reads the stored instant back.
    updater.reset();
    EXPECT_EQ(manager()->lastChecked(), std::optional<Date>(clock));
}

TEST_F(UpdateManagerTest, AutomaticChecksWaitOutTheDay) {
    serveFeed(release("1.4", 12));
    auto store = [&](const QVariant& value) {
        QSettings settings(settingsPath(), QSettings::IniFormat);
        settings.setValue(UpdateManager::lastCheckKey, value);
    };

    // Last check 23 h 30 min ago: no check now, one scheduled in half an hour.
    store(
        QDateTime::fromMSecsSinceEpoch((clock - 23h - 30min).time_since_epoch().count(), Qt::UTC));
    {
        auto updater = manager();
        updater->checkAutomaticallyIfDue();
        EXPECT_EQ(updater->status().kind, Kind::idle);
        ASSERT_TRUE(updater->nextAutomaticCheckIn());
        EXPECT_NEAR(updater->nextAutomaticCheckIn()->count(), 30 * 60 * 1000, 2000);
    }
    // Last check 25 h ago: at once.
    store(QDateTime::fromMSecsSinceEpoch((clock - 25h).time_since_epoch().count(), Qt::UTC));
    {
        auto updater = manager();
        updater->checkAutomaticallyIfDue();
        EXPECT_EQ(updater->status().kind, Kind::checking);
        ASSERT_TRUE(waitUntil([&] { return updater->status().kind != Kind::checking; }));
        // The next one waits a whole day again, in steps of at most an hour.
        ASSERT_TRUE(updater->nextAutomaticCheckIn());
        EXPECT_NEAR(updater->nextAutomaticCheckIn()->count(), 3600 * 1000, 2000);
    }
    // A check stamped in the future (the clock was set back) does not block checks for years.
    store(QDateTime::fromMSecsSinceEpoch((clock + 24h * 365).time_since_epoch().count(), Qt::UTC));
    {
        auto updater = manager();
        updater->checkAutomaticallyIfDue();
        EXPECT_EQ(updater->status().kind, Kind::checking);
        waitUntil([&] { return updater->status().kind != Kind::checking; });
    }
    // Something that is not a date counts as no check at all.
    store(QStringLiteral("yesterday"));
    {
        auto updater = manager();
        EXPECT_FALSE(updater->lastChecked());
        updater->checkAutomaticallyIfDue();
        EXPECT_EQ(updater->status().kind, Kind::checking);
        waitUntil([&] { return updater->status().kind != Kind::checking; });
    }
}

TEST_F(UpdateManagerTest, SwitchingAutomaticChecks) {
    serveFeed(release("1.4", 12));
    auto updater = manager();
    EXPECT_TRUE(updater->automaticChecksEnabled());
    updater->setAutomaticChecksEnabled(false);
    EXPECT_FALSE(updater->automaticChecksEnabled());
    updater->checkAutomaticallyIfDue();
    EXPECT_EQ(updater->status().kind, Kind::idle);
    EXPECT_FALSE(updater->automaticCheckScheduled());
    EXPECT_FALSE(manager()->automaticChecksEnabled()); // stored

    // Switching on with no check on record checks at once.
    updater->setAutomaticChecksEnabled(true);
    EXPECT_EQ(updater->status().kind, Kind::checking);
    ASSERT_TRUE(waitUntil([&] { return updater->status().kind != Kind::checking; }));
    EXPECT_TRUE(updater->automaticCheckScheduled());

    // Anything but a Boolean counts as on.
    QSettings(settingsPath(), QSettings::IniFormat).setValue(UpdateManager::automaticChecksKey, 7);
    EXPECT_TRUE(manager()->automaticChecksEnabled());
}

class LanguageGuard {
public:
    explicit LanguageGuard(const char* language) {
        if (const char* old = std::getenv("LANGUAGE"))
            previous_ = old;
        setenv("LANGUAGE", language, 1);
    }
    ~LanguageGuard() {
        if (previous_)
            setenv("LANGUAGE", previous_->c_str(), 1);
        else
            unsetenv("LANGUAGE");
    }

private:
    std::optional<std::string> previous_;
};

TEST_F(UpdateManagerTest, StatusTextInBothLanguages) {
    auto updater = manager();
    {
        LanguageGuard english("en");
        EXPECT_EQ(updater->statusText(), "You can check for updates at any time.");
    }
    serveFeed(release("1.5", 3, link("pellora.deb")));
    check(*updater);
    {
        LanguageGuard english("en");
        EXPECT_EQ(updater->statusText(), "Pellora 1.5 (build 3) is available.");
    }
    {
        LanguageGuard italian("it");
        EXPECT_EQ(updater->statusText(), "È disponibile Pellora 1.5 (build 3).");
    }
    serveFeed(release("1.5", 3));
    check(*updater);
    {
        LanguageGuard italian("it");
        EXPECT_EQ(updater->statusText(), "È disponibile una nuova build personale (1.5). "
                                         "Contatta lo sviluppatore per riceverla.");
    }
    serveFeed("", 503);
    check(*updater);
    {
        LanguageGuard english("en");
        EXPECT_EQ(updater->statusText(),
                  "Could not check for updates. Try again when you’re online.");
    }
}

TEST_F(UpdateManagerTest, WithoutUpdateHostNothingIsCheckedAndThatIsSaid) {
    for (const std::string host : {"", "   ", "example.org/feed", "user@example.org"}) {
        auto updater = manager(host);
        EXPECT_FALSE(updater->enabled()) << host;
        updater->checkForUpdates(true);
        updater->checkAutomaticallyIfDue();
        EXPECT_EQ(updater->status().kind, Kind::idle);
        EXPECT_FALSE(updater->lastChecked());
        LanguageGuard english("en");
        EXPECT_EQ(updater->statusText(), "Update checks are off: this build has no update server.");

        std::string out, err;
        EXPECT_EQ(UpdateCheckMode::check(*updater, out, err), 1);
        EXPECT_EQ(err, "Update checks are off: this build has no update server.\n");
    }
}

TEST_F(UpdateManagerTest, TerminalCheckPrintsTheStatusAndExitsByOutcome) {
    LanguageGuard english("en");
    auto updater = manager();
    std::string out, err;
    serveFeed(release("2.0", 5, link("pellora_2.0_amd64.deb")));
    EXPECT_EQ(UpdateCheckMode::check(*updater, out, err), 0);
    EXPECT_EQ(out, "Pellora 2.0 (build 5) is available.\n" + link("pellora_2.0_amd64.deb") + "\n");
    EXPECT_EQ(err, "");

    out.clear();
    serveFeed(release("1.4", 12));
    EXPECT_EQ(UpdateCheckMode::check(*updater, out, err), 0);
    EXPECT_EQ(out, "Pellora is up to date.\n");

    out.clear();
    serveFeed("{}", 200);
    EXPECT_EQ(UpdateCheckMode::check(*updater, out, err), 1);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "Could not check for updates. Try again when you’re online.\n");
}

// `pellora --check-updates` as a process: the update host comes from the user's oauth.json, the
// result is printed and told by the exit status, and the check is remembered.
TEST(UpdateCheckCommand, RunsFromTheTerminal) {
    const QString overrides = QString::fromStdString(AppConfiguration::overridesPath());
    QTcpServer closed;
    ASSERT_TRUE(closed.listen(QHostAddress::LocalHost));
    const quint16 port = closed.serverPort();
    closed.close(); // nothing listens there now

    auto run = [](QString* out, QString* err) {
        QProcess pellora;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("LANGUAGE", "en");
        pellora.setProcessEnvironment(environment);
        pellora.start(PELLORA_EXECUTABLE, {"--check-updates"});
        EXPECT_TRUE(pellora.waitForFinished(60000));
        *out = QString::fromUtf8(pellora.readAllStandardOutput());
        *err = QString::fromUtf8(pellora.readAllStandardError());
        return pellora.exitCode();
    };
    auto configure = [&](const QString& host) {
        QDir().mkpath(QFileInfo(overrides).path());
        QFile file(overrides);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QStringLiteral(R"({"PelloraUpdateHost":"%1"})").arg(host).toUtf8());
    };
    // An empty host turns checks off whatever the build says.
    QString out, err;
    configure("");
    EXPECT_EQ(run(&out, &err), 1);
    EXPECT_EQ(err, "Update checks are off: this build has no update server.\n");

    configure(QStringLiteral("127.0.0.1:%1").arg(port));
    EXPECT_EQ(run(&out, &err), 1);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "Could not check for updates. Try again when you’re online.\n");
    EXPECT_TRUE(UpdateManager().lastChecked());
    QFile::remove(overrides);
}

} // namespace
} // namespace brivane

#include "Brivane/cloud/CloudAccountKeyring.h"
#include "Brivane/cloud/CloudCalendarService.h"
#include "CloudTestSupport.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <gtest/gtest.h>
#include <qcoro/qcorotask.h>

namespace brivane {
namespace {

using namespace std::chrono_literals;
using test::MockProvider;
using test::TestDesktop;
using test::waitUntil;

// A keyring that can be switched between unavailable and working, to check what the service
// does while the stored list is unknown.
class SwitchableKeyring : public CloudAccountKeyring {
public:
    SwitchableKeyring() : CloudAccountKeyring("unused") {}
    QCoro::Task<ReadResult> read() const override {
        ++reads;
        if (!available)
            co_return ReadResult{ReadResult::Kind::unavailable, {}, 4, "locked"};
        co_return ReadResult{ReadResult::Kind::found, stored, 0, {}};
    }
    QCoro::Task<WriteResult> write(std::string data) const override {
        if (!available)
            co_return WriteResult{false, 4, "locked"};
        stored = std::move(data);
        ++writes;
        co_return WriteResult{true, 0, {}};
    }
    bool available = false;
    mutable std::string stored =
        R"([{"provider":"google","subject":"1","email":"a@x","refreshToken":"r"}])";
    mutable int reads = 0;
    mutable int writes = 0;
};

TEST(KeyringUnavailableTest, UnknownAccountsAreNeverOverwrittenAndTheLoadIsRetried) {
    auto keyring = std::make_shared<SwitchableKeyring>();
    MockProvider provider;
    bool browserOpened = false;
    CloudCalendarService::Options options;
    options.configuration = provider.configuration();
    options.keyring = keyring;
    options.accountNote = test::accountNote(true);
    options.openBrowser = [&](const QUrl&) { return browserOpened = true; };
    CloudCalendarService service(std::move(options));
    ASSERT_TRUE(waitUntil([&] { return keyring->reads == 1 && service.syncError(); }));
    EXPECT_FALSE(service.accountsLoaded());
    EXPECT_TRUE(service.accounts().empty());
    EXPECT_EQ(*service.syncError(), "Keyring unavailable, accounts not read (4): locked");

    // Neither a sign-in nor a removal may replace the list nobody has read.
    EXPECT_FALSE(QCoro::waitFor(service.connect(CloudCalendarProvider::google)));
    EXPECT_FALSE(browserOpened);
    EXPECT_EQ(service.signInError(), "Could not connect Google Calendar: Could not save the "
                                     "sign-in to the keyring: locked.");
    QCoro::waitFor(service.remove({CloudCalendarProvider::google, "1", "a@x", "r"}));
    EXPECT_EQ(service.signInError(), "Could not save the sign-in to the keyring: locked.");
    EXPECT_EQ(keyring->writes, 0);
    EXPECT_GE(keyring->reads, 3); // every attempt tried the keyring again

    // Once the keyring answers, the stored list is there and the message goes.
    keyring->available = true;
    QCoro::waitFor(service.loadAccounts());
    EXPECT_TRUE(service.accountsLoaded());
    ASSERT_EQ(service.accounts().size(), 1u);
    EXPECT_EQ(service.accounts()[0].id(), "google:1");
    EXPECT_FALSE(service.syncError());
}

// The real Secret Service, locked and absent, through the terminal commands: each runs in a
// private session bus with its own gnome-keyring and no display (so no unlock prompt can open).
TEST(KeyringUnavailableTest, LockedOrMissingSecretServiceIsNotTakenForNoAccounts) {
    TestDesktop desktop;
    MockProvider provider;
    const AppConfiguration configuration = provider.configuration();
    QJsonObject overrides{
        {"PelloraGoogleAuthorizationBaseURL", provider.baseURL()},
        {"PelloraGoogleTokenBaseURL", provider.baseURL()},
        {"PelloraGoogleUserInfoBaseURL", provider.baseURL()},
        {"PelloraGoogleOAuthClientID", QString::fromStdString(configuration.googleClientID)},
        {"PelloraGoogleDesktopClientSecret",
         QString::fromStdString(configuration.googleClientSecret)},
    };
    QDir().mkpath(desktop.configHome() + "/Brivane");
    QFile file(desktop.configHome() + "/Brivane/oauth.json");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QJsonDocument(overrides).toJson());
    file.close();

    const QString script = R"sh(
        set -u
        eval "$(printf %s pw | gnome-keyring-daemon --unlock --components=secrets 2>/dev/null)"
        step() { echo "== $1"; shift; "$@"; echo "rc=$?"; }
        lock() { gdbus call --session -d org.freedesktop.secrets -o /org/freedesktop/secrets \
                   -m org.freedesktop.Secret.Service.Lock "['/org/freedesktop/secrets/collection/login']" >/dev/null; }
        step connect pellora --connect google
        step listed pellora --accounts
        lock
        step locked pellora --accounts
        step disconnect pellora --disconnect google:user-1
        step reconnect pellora --connect google
        printf %s pw | gnome-keyring-daemon --replace --unlock --components=secrets >/dev/null 2>&1
        step unlocked pellora --accounts
        DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent step absent pellora --accounts
    )sh";
    QProcess shell;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove("DISPLAY");
    environment.remove("WAYLAND_DISPLAY");
    environment.remove("DBUS_SESSION_BUS_ADDRESS");
    environment.insert("PATH", desktop.binDirectory() + ":" + environment.value("PATH"));
    // Without a display, xdg-open hands the address to $BROWSER.
    environment.insert("BROWSER", desktop.binDirectory() + "/fake-browser");
    shell.setProcessEnvironment(environment);
    shell.start("dbus-run-session", {"--", "bash", "-c", script});
    ASSERT_TRUE(waitUntil([&] { return shell.state() == QProcess::NotRunning; }, 60000));
    const QString out = QString::fromUtf8(shell.readAllStandardOutput());
    const QString err = QString::fromUtf8(shell.readAllStandardError());
    SCOPED_TRACE((out + err).toStdString());

    const auto section = [&](const QString& name) {
        const qsizetype start = out.indexOf("== " + name + "\n");
        const qsizetype end = out.indexOf("== ", start + 3);
        return out.mid(start, end < 0 ? -1 : end - start);
    };
    EXPECT_TRUE(
        section("connect").contains("Account connected: Google Calendar · ada@example.com"));
    EXPECT_TRUE(section("connect").contains("rc=0"));
    EXPECT_TRUE(section("listed").contains("google\tada@example.com\tgoogle:user-1\nrc=0"));
    EXPECT_TRUE(section("locked").contains("rc=1"));
    // Without a display the keyring's prompt cannot open: a dismissal.
    EXPECT_TRUE(err.contains("The keyring unlock was dismissed: cloud accounts were not read."));
    EXPECT_TRUE(section("disconnect").contains("rc=1"));
    EXPECT_TRUE(section("reconnect").contains("rc=1"));
    EXPECT_TRUE(err.contains("Could not connect Google Calendar: Could not save the sign-in to "
                             "the keyring: The keyring is locked: "));
    EXPECT_FALSE(out.contains("Keychain") || err.contains("Keychain"));
    // Nothing was overwritten while the keyring was locked.
    EXPECT_TRUE(section("unlocked").contains("google\tada@example.com\tgoogle:user-1\nrc=0"));
    EXPECT_TRUE(section("absent").contains("rc=1"));
    EXPECT_TRUE(err.contains("Keyring unavailable, accounts not read (7)"));
    // One sign-in reached the provider; the second stopped before the browser.
    EXPECT_EQ(std::count_if(provider.server().requests().begin(),
                            provider.server().requests().end(),
                            [](const auto& r) { return r.path() == "/o/oauth2/v2/auth"; }),
              1);
}

} // namespace
} // namespace brivane

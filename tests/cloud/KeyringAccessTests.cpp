// When the keyring is asked at all, how long it is waited for, and what a dismissed unlock prompt
// changes: the session's real keyring (a private one, locked, with its real prompt on the test
// display, where the dismissal is the user's Escape).

#include "../support/RequiredComponent.h"
#include "Brivane/cloud/CloudAccountKeyring.h"
#include "Brivane/cloud/CloudCalendarService.h"
#include "Brivane/cloud/OAuthProtocol.h"
#include "CloudTestSupport.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>
#include <gtest/gtest.h>
#include <qcoro/qcorotask.h>
#include <qcoro/qcorotimer.h>

namespace brivane {
namespace {

using namespace std::chrono_literals;
using test::MockProvider;
using test::TestDesktop;
using test::waitUntil;

// The real keyring, counted.
class CountingKeyring final : public CloudAccountKeyring {
public:
    using CloudAccountKeyring::CloudAccountKeyring;
    QCoro::Task<ReadResult> read() const override {
        ++reads;
        co_return co_await CloudAccountKeyring::read();
    }
    QCoro::Task<WriteResult> write(std::string data) const override {
        ++writes;
        co_return co_await CloudAccountKeyring::write(std::move(data));
    }
    mutable int reads = 0;
    mutable int writes = 0;
};

QString freshService() {
    return "it.quillmere.Brivane.access-test-" + QString::fromStdString(oauth::randomToken(6));
}

std::optional<bool> noted(const QString& path) {
    return CloudAccountNote(path).accountsExist();
}

TEST(KeyringAccess, NothingTouchesTheKeyringBeforeTheFirstAccount) {
    TestDesktop desktop;
    MockProvider provider;
    const QString service = freshService();
    const QString note = test::accountNote(std::nullopt);
    auto keyring = std::make_shared<CountingKeyring>(service);
    const auto make = [&] {
        CloudCalendarService::Options options;
        options.configuration = provider.configuration();
        options.keyring = keyring;
        options.accountNote = note;
        return std::make_unique<CloudCalendarService>(std::move(options));
    };

    // A first start: no note, so no keyring (no prompt, no wallet set-up), and no message.
    auto cloud = make();
    EXPECT_TRUE(cloud->accountsLoaded());
    QCoro::waitFor(cloud->refresh());
    QCoro::waitFor(cloud->loadAccounts());
    EXPECT_EQ(keyring->reads, 0);
    EXPECT_FALSE(cloud->syncError());
    EXPECT_FALSE(noted(note));

    // Settings without cloud calendars change nothing.
    cloud->noteAssignedCalendars({{"local-calendar", AgendaGroup::ostrid}});
    EXPECT_EQ(keyring->reads, 0);

    // The user signs in: the keyring is read before it is written, and the note follows.
    ASSERT_TRUE(QCoro::waitFor(cloud->connect(CloudCalendarProvider::google)))
        << cloud->signInError().value_or("");
    EXPECT_EQ(keyring->reads, 1);
    EXPECT_EQ(keyring->writes, 1);
    EXPECT_EQ(noted(note), true);

    // The next start reads the keyring at once.
    cloud = make();
    ASSERT_TRUE(waitUntil([&] { return cloud->accounts().size() == 1; }));
    EXPECT_EQ(keyring->reads, 2);

    // Removing the last account writes "no accounts" into the note again.
    QCoro::waitFor(cloud->remove(cloud->accounts()[0]));
    EXPECT_EQ(noted(note), false);
    cloud = make();
    EXPECT_EQ(keyring->reads, 2);
}

// Settings of a version that kept no note may name cloud calendars: their accounts are read.
TEST(KeyringAccess, SettingsNamingCloudCalendarsAreReadWithoutANote) {
    const QString service = freshService();
    const CloudCalendarAccount account{CloudCalendarProvider::microsoft, "m", "m@x", "rt"};
    ASSERT_TRUE(
        QCoro::waitFor(CloudAccountKeyring(service).write(CloudCalendarAccount::encode({account})))
            .ok);
    const QString note = test::accountNote(std::nullopt);
    auto keyring = std::make_shared<CountingKeyring>(service);
    CloudCalendarService::Options options;
    options.keyring = keyring;
    options.accountNote = note;
    CloudCalendarService cloud(std::move(options));
    EXPECT_EQ(keyring->reads, 0);
    cloud.noteAssignedCalendars({{"microsoft:m:AAMk=", AgendaGroup::personal}});
    ASSERT_TRUE(waitUntil([&] { return cloud.accounts().size() == 1; }));
    EXPECT_EQ(keyring->reads, 1);
    EXPECT_EQ(noted(note), true);
}

// A keyring whose writes take a while.
class SlowWriteKeyring final : public CloudAccountKeyring {
public:
    struct State {
        std::string stored;
        int writes = 0;
    };
    explicit SlowWriteKeyring(std::shared_ptr<State> state)
        : CloudAccountKeyring("unused"), state_(std::move(state)) {}
    QCoro::Task<ReadResult> read() const override {
        co_return ReadResult{ReadResult::Kind::found, state_->stored, 0, {}};
    }
    QCoro::Task<WriteResult> write(std::string data) const override {
        const std::shared_ptr<State> state = state_;
        co_await QCoro::sleepFor(60ms);
        state->stored = std::move(data);
        ++state->writes;
        co_return WriteResult{true, 0, {}};
    }

private:
    std::shared_ptr<State> state_;
};

// A removal and a token rotation at the same moment: both land, whichever write ends first.
TEST(KeyringAccess, ConcurrentChangesOfTheListAreNotLost) {
    MockProvider provider;
    provider.rotateRefreshTokens = true;
    provider.liveRefreshTokens = {{"rt-a", "a"}, {"rt-b", "b"}};
    const CloudCalendarAccount a{CloudCalendarProvider::google, "a", "a@x", "rt-a"};
    const CloudCalendarAccount b{CloudCalendarProvider::google, "b", "b@x", "rt-b"};
    auto state = std::make_shared<SlowWriteKeyring::State>();
    state->stored = CloudCalendarAccount::encode({a, b});
    CloudCalendarService::Options options;
    options.configuration = provider.configuration();
    options.keyring = std::make_shared<SlowWriteKeyring>(state);
    options.accountNote = test::accountNote(true);
    CloudCalendarService cloud(std::move(options));
    ASSERT_TRUE(waitUntil([&] { return cloud.accounts().size() == 2; }));

    for (const bool removeFirst : {true, false}) {
        SCOPED_TRACE(removeFirst ? "removal first" : "rotation first");
        if (!removeFirst) {
            // Back to both accounts, with B's current token.
            CloudCalendarAccount current = cloud.accounts()[0];
            state->stored = CloudCalendarAccount::encode({a, current});
            provider.liveRefreshTokens[a.refreshToken] = "a";
            QCoro::waitFor(cloud.loadAccounts());
            ASSERT_EQ(cloud.accounts().size(), 2u);
        }
        const CloudCalendarAccount bNow = cloud.accounts()[1];
        bool removed = false;
        std::optional<std::string> token;
        const auto removal = [&]() -> QCoro::Task<> {
            co_await cloud.remove(a);
            removed = true;
        };
        const auto rotation = [&]() -> QCoro::Task<> { token = co_await cloud.accessToken(bNow); };
        if (removeFirst) {
            removal();
            rotation();
        } else {
            rotation();
            QTimer::singleShot(5, [&] { removal(); });
        }
        ASSERT_TRUE(waitUntil([&] { return removed && token; }));
        ASSERT_TRUE(waitUntil([&] { return !cloud.isSyncing(); }));
        const auto stored = CloudCalendarAccount::decode(state->stored);
        ASSERT_TRUE(stored);
        EXPECT_EQ(*stored, cloud.accounts());
        ASSERT_EQ(stored->size(), 1u);
        EXPECT_EQ((*stored)[0].id(), "google:b");
        // The stored token is the one the provider still accepts.
        EXPECT_TRUE(provider.liveRefreshTokens.count((*stored)[0].refreshToken))
            << (*stored)[0].refreshToken;
        EXPECT_FALSE(cloud.signInError());
    }
}

// ---- The real prompt ------------------------------------------------------------------------

constexpr const char* childVariable = "PELLORA_KEYRING_PROMPT_CHILD";

// Windows of the keyring's unlock prompt on the display.
QStringList promptWindows() {
    QProcess search;
    search.start("xdotool", {"search", "--onlyvisible", "--name", "Unlock"});
    search.waitForFinished(5000);
    return QString::fromUtf8(search.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
}

// The user presses Escape in the prompt.
void dismissPrompt(const QString& window) {
    QProcess::execute("xdotool", {"windowfocus", "--sync", window});
    QProcess::execute("xdotool", {"key", "--clearmodifiers", "Escape"});
}

// Runs inside its own session bus and keyring, started by the test below.
TEST(KeyringPromptChild, RunsOnlyInsideTheTestBelow) {
    if (!qEnvironmentVariableIsSet(childVariable))
        GTEST_SKIP() << "started by KeyringPrompt.ADismissalIsRememberedUntilTheUserActs";
    const QString service = freshService();
    const CloudCalendarAccount account{CloudCalendarProvider::google, "1", "a@x", "rt"};
    ASSERT_TRUE(
        QCoro::waitFor(CloudAccountKeyring(service).write(CloudCalendarAccount::encode({account})))
            .ok);
    QDBusMessage lock =
        QDBusMessage::createMethodCall("org.freedesktop.secrets", "/org/freedesktop/secrets",
                                       "org.freedesktop.Secret.Service", "Lock");
    lock << QVariant::fromValue(
        QList<QDBusObjectPath>{QDBusObjectPath("/org/freedesktop/secrets/collection/login")});
    ASSERT_NE(QDBusConnection::sessionBus().call(lock).type(), QDBusMessage::ErrorMessage);

    auto keyring = std::make_shared<CountingKeyring>(service);
    CloudCalendarService::Options options;
    options.keyring = keyring;
    options.accountNote = test::accountNote(true);
    options.keyringWait = 800ms;
    CloudCalendarService cloud(std::move(options));

    // The prompt is open and nobody answers: every refresh goes on after its time limit,
    // saying why, and no second prompt opens.
    QStringList windows;
    ASSERT_TRUE(waitUntil([&] { return !(windows = promptWindows()).isEmpty(); }, 20000));
    for (int round = 0; round < 2; ++round) {
        QElapsedTimer timer;
        timer.start();
        QCoro::waitFor(cloud.refresh());
        EXPECT_LT(timer.elapsed(), 5000);
        EXPECT_FALSE(cloud.accountsLoaded());
        EXPECT_EQ(cloud.syncError(),
                  "The keyring is locked: waiting for it to be unlocked. Cloud events come back "
                  "once it is.");
    }
    EXPECT_EQ(keyring->reads, 1);
    EXPECT_EQ(promptWindows().size(), 1);

    // Dismissed: remembered, no prompt at the next refreshes.
    dismissPrompt(windows.front());
    ASSERT_TRUE(waitUntil([&] { return cloud.keyringDismissed(); }, 10000));
    for (int round = 0; round < 2; ++round)
        QCoro::waitFor(cloud.refresh());
    EXPECT_EQ(keyring->reads, 1);
    EXPECT_TRUE(promptWindows().isEmpty());
    EXPECT_EQ(cloud.syncError(), "The keyring unlock was dismissed: cloud accounts were not read. "
                                 "Use “Update now” to try again.");

    // "Update now" is the user's own request: it may ask again.
    QCoro::waitFor(cloud.refresh(KeyringAccess::userAction));
    EXPECT_EQ(keyring->reads, 2);
    ASSERT_TRUE(waitUntil([&] { return !(windows = promptWindows()).isEmpty(); }, 20000));
    dismissPrompt(windows.front());
    ASSERT_TRUE(waitUntil([&] { return cloud.keyringDismissed(); }, 10000));
}

TEST(KeyringPrompt, ADismissalIsRememberedUntilTheUserActs) {
    PELLORA_REQUIRE("keyring",
                    !qEnvironmentVariableIsEmpty("DISPLAY") &&
                        !QStandardPaths::findExecutable("xdotool").isEmpty() &&
                        !QStandardPaths::findExecutable("gnome-keyring-daemon").isEmpty(),
                    "needs a display, xdotool and gnome-keyring");
    // A home of its own: a new login keyring with a password the child knows.
    TestDesktop desktop;
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(childVariable, "1");
    environment.remove("DBUS_SESSION_BUS_ADDRESS");
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start("dbus-run-session",
                {"--", "bash", "-c",
                 R"sh(eval "$(printf %s pw | gnome-keyring-daemon --unlock --components=secrets)" \
                      >/dev/null && exec "$0" --gtest_filter=KeyringPromptChild.*)sh",
                 QCoreApplication::applicationFilePath()});
    ASSERT_TRUE(waitUntil([&] { return child.state() == QProcess::NotRunning; }, 90000));
    const QString out = QString::fromUtf8(child.readAll());
    EXPECT_EQ(child.exitCode(), 0) << out.toStdString();
    EXPECT_TRUE(out.contains("[  PASSED  ] 1 test")) << out.toStdString();
}

} // namespace
} // namespace brivane

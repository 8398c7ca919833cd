// The service may go away at any moment (the controller is destroyed, the terminal command
// ends): whatever it was waiting for — the keyring, the browser, the provider — ends later and
// must not touch it. Run under the address sanitizer, these catch any frame that does.

#include "Brivane/cloud/CloudAccountKeyring.h"
#include "Brivane/cloud/CloudCalendarService.h"
#include "Brivane/cloud/OAuthProtocol.h"
#include "CloudTestSupport.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTcpServer>
#include <QTcpSocket>
#include <gtest/gtest.h>
#include <qcoro/qcorotask.h>
#include <qcoro/qcorotimer.h>

namespace brivane {
namespace {

using namespace std::chrono_literals;
using test::MockProvider;
using test::waitUntil;

// Runs the event loop for this long.
void settle(std::chrono::milliseconds span) {
    QElapsedTimer timer;
    timer.start();
    waitUntil([&] { return timer.elapsed() >= span.count(); }, int(span.count()) + 1000);
}

// A keyring that answers after a delay, unavailable for its first reads if asked. Its state is
// shared with the test, which outlives the keyring (the service owns it).
class SlowKeyring final : public CloudAccountKeyring {
public:
    struct State {
        int unavailableReads = 0;
        std::string stored =
            R"([{"provider":"google","subject":"1","email":"a@x","refreshToken":"r"}])";
        std::chrono::milliseconds delay{40};
        int reads = 0;
        int finished = 0; // reads and writes that have answered
    };

    explicit SlowKeyring(std::shared_ptr<State> state)
        : CloudAccountKeyring("unused"), state_(std::move(state)) {}

    QCoro::Task<ReadResult> read() const override {
        const std::shared_ptr<State> state = state_; // nothing of this keyring after the wait
        ++state->reads;
        const bool available = state->unavailableReads-- <= 0;
        co_await QCoro::sleepFor(state->delay);
        ++state->finished;
        if (!available)
            co_return ReadResult{ReadResult::Kind::unavailable, {}, 4, "locked"};
        co_return ReadResult{ReadResult::Kind::found, state->stored, 0, {}};
    }
    QCoro::Task<WriteResult> write(std::string data) const override {
        const std::shared_ptr<State> state = state_;
        co_await QCoro::sleepFor(state->delay);
        ++state->finished;
        state->stored = std::move(data);
        co_return WriteResult{true, 0, {}};
    }

private:
    std::shared_ptr<State> state_;
};

// A provider endpoint that accepts connections and never answers.
class SilentServer {
public:
    SilentServer() {
        server_.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server_, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* socket = server_.nextPendingConnection()) {
                socket->setParent(&server_);
                ++connections;
            }
        });
    }
    std::string baseURL() const {
        return "http://127.0.0.1:" + std::to_string(server_.serverPort());
    }
    int connections = 0;

private:
    QTcpServer server_;
};

CloudCalendarService::Options slowOptions(const std::shared_ptr<SlowKeyring::State>& state,
                                          const MockProvider& provider) {
    CloudCalendarService::Options options;
    options.configuration = provider.configuration();
    options.keyring = std::make_shared<SlowKeyring>(state);
    options.accountNote = test::accountNote(true);
    options.openBrowser = [](const QUrl&) { return true; };
    return options;
}

TEST(CloudServiceLifetime, DestroyedWhileTheFirstKeyringReadIsInFlight) {
    MockProvider provider;
    // The session's own keyring: the read is on the bus when the service goes.
    for (int round = 0; round < 4; ++round) {
        CloudCalendarService::Options options;
        options.configuration = provider.configuration();
        options.keyringService =
            "it.quillmere.Brivane.test-" + QString::fromStdString(oauth::randomToken(6));
        options.accountNote = test::accountNote(true);
        options.openBrowser = [](const QUrl&) { return true; };
        auto service = std::make_unique<CloudCalendarService>(std::move(options));
        if (round % 2 == 1) {
            // Callers that share the read in flight.
            service->refresh();
            service->connect(CloudCalendarProvider::google);
            service->remove({CloudCalendarProvider::google, "1", "a@x", "r"});
        }
        service.reset();
    }
    settle(1500ms);

    // A keyring slow enough that every read surely ends after the service has gone.
    auto state = std::make_shared<SlowKeyring::State>();
    for (int round = 0; round < 2; ++round) {
        auto service = std::make_unique<CloudCalendarService>(slowOptions(state, provider));
        if (round == 1) {
            service->refresh();
            service->connect(CloudCalendarProvider::microsoft);
        }
        service.reset();
    }
    ASSERT_TRUE(waitUntil([&] { return state->finished == state->reads; }));
    settle(100ms);
    EXPECT_EQ(state->reads, 2);
}

// A keyring that could not be read at start is read again by the next refresh, sign-in or
// removal; the service may go while that second read is out.
TEST(CloudServiceLifetime, DestroyedWhileARetriedKeyringReadIsInFlight) {
    MockProvider provider;
    const std::vector<std::string> triggers = {"refresh", "connect", "remove"};
    for (const std::string& trigger : triggers) {
        SCOPED_TRACE(trigger);
        auto state = std::make_shared<SlowKeyring::State>();
        state->unavailableReads = 1;
        auto service = std::make_unique<CloudCalendarService>(slowOptions(state, provider));
        ASSERT_TRUE(waitUntil([&] { return service->syncError().has_value(); }));
        EXPECT_FALSE(service->accountsLoaded());
        if (trigger == "refresh")
            service->refresh();
        else if (trigger == "connect")
            service->connect(CloudCalendarProvider::google);
        else
            service->remove({CloudCalendarProvider::google, "1", "a@x", "r"});
        ASSERT_EQ(state->reads, 2) << "the retry is on its way";
        service.reset();
        ASSERT_TRUE(waitUntil([&] { return state->finished == 2; }));
        settle(100ms);
    }
}

TEST(CloudServiceLifetime, DestroyedDuringASignIn) {
    MockProvider provider;
    SilentServer silent;
    for (const CloudCalendarProvider which :
         {CloudCalendarProvider::google, CloudCalendarProvider::microsoft}) {
        // The browser is open: the loopback receiver or the redirect is awaited.
        auto state = std::make_shared<SlowKeyring::State>();
        state->delay = 1ms;
        bool opened = false;
        CloudCalendarService::Options options = slowOptions(state, provider);
        options.openBrowser = [&](const QUrl&) { return opened = true; };
        auto service = std::make_unique<CloudCalendarService>(std::move(options));
        ASSERT_TRUE(waitUntil([&] { return service->accountsLoaded(); }));
        service->connect(which);
        ASSERT_TRUE(waitUntil([&] { return opened; }));
        service.reset();
        settle(100ms);
    }

    // The browser came back; the code is being exchanged at a token endpoint that never answers.
    auto state = std::make_shared<SlowKeyring::State>();
    state->delay = 1ms;
    QNetworkAccessManager browser;
    CloudCalendarService::Options options = slowOptions(state, provider);
    options.configuration->googleTokenBaseURL = silent.baseURL();
    options.openBrowser = [&](const QUrl& url) {
        const QUrlQuery query(url);
        QUrl back(query.queryItemValue("redirect_uri", QUrl::FullyDecoded));
        back.setQuery("code=the-code&state=" + query.queryItemValue("state"));
        QNetworkReply* reply = browser.get(QNetworkRequest(back));
        QObject::connect(reply, &QNetworkReply::finished, reply, &QObject::deleteLater);
        return true;
    };
    auto service = std::make_unique<CloudCalendarService>(std::move(options));
    ASSERT_TRUE(waitUntil([&] { return service->accountsLoaded(); }));
    service->connect(CloudCalendarProvider::google);
    ASSERT_TRUE(waitUntil([&] { return silent.connections == 1; }));
    EXPECT_TRUE(service->finishingSignIn());
    service.reset();
    settle(200ms);
}

TEST(CloudServiceLifetime, DestroyedWhileARefreshWaitsForTheProvider) {
    MockProvider provider;
    SilentServer silent;
    auto state = std::make_shared<SlowKeyring::State>();
    state->delay = 1ms;
    CloudCalendarService::Options options = slowOptions(state, provider);
    options.configuration->googleTokenBaseURL = silent.baseURL();
    auto service = std::make_unique<CloudCalendarService>(std::move(options));
    ASSERT_TRUE(waitUntil([&] { return service->accountsLoaded(); }));
    ASSERT_EQ(service->accounts().size(), 1u);
    service->refresh();
    ASSERT_TRUE(waitUntil([&] { return silent.connections == 1; }));
    EXPECT_TRUE(service->isSyncing());
    service.reset();
    settle(200ms);
}

} // namespace
} // namespace brivane

// Subscriptions against a real HTTPS server on loopback, signed by an authority made for this
// run, with the session's real keyring.

#include "../cloud/CloudTestSupport.h"
#include "../cloud/TestAuthority.h"
#include "Brivane/subscriptions/SubscriptionAddress.h"
#include "Brivane/subscriptions/SubscriptionService.h"
#include "TestSession.h"

#include <QDirIterator>
#include <QProcess>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTimer>
#include <QUuid>
#include <gtest/gtest.h>

namespace brivane {
namespace {

using test::HttpRequest;
using test::HttpResponse;
using test::LoopbackHttpServer;
using test::TestAuthority;
using test::waitUntil;

// Private addresses carry a token like this one in their path and query.
constexpr const char* secret = "s3cr3t-T0KEN-9f8e";

QByteArray calendar(const QByteArray& name, const QByteArray& title) {
    return "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//test//EN\r\n" +
           (name.isEmpty() ? QByteArray() : "X-WR-CALNAME:" + name + "\r\n") +
           "BEGIN:VEVENT\r\nUID:daily@test\r\nDTSTAMP:20200101T000000Z\r\n"
           "DTSTART:20200101T090000Z\r\nDTEND:20200101T093000Z\r\nRRULE:FREQ=DAILY\r\n"
           "SUMMARY:" +
           title + "\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n";
}

QByteArray gzipped(const QByteArray& data) {
    QProcess gzip;
    gzip.start(QStringLiteral("gzip"), {QStringLiteral("-c")});
    gzip.write(data);
    gzip.closeWriteChannel();
    gzip.waitForFinished(30000);
    return gzip.readAllStandardOutput();
}

HttpResponse ics(const QByteArray& body, const QByteArray& etag = {}) {
    HttpResponse response;
    response.body = body;
    response.contentType = "text/calendar; charset=utf-8";
    if (!etag.isEmpty())
        response.headers.append(QPair<QByteArray, QByteArray>("ETag", etag));
    return response;
}

template <typename T>
T wait(QCoro::Task<T> task) {
    return QCoro::waitFor(std::move(task));
}

class SubscriptionTest : public test::TrustedAuthorityTest {
protected:
    void SetUp() override {
        folder = test::freshDirectory(QStringLiteral("subscriptions-") +
                                      QUuid::createUuid().toString(QUuid::Id128));
        keyringService = QStringLiteral("it.quillmere.Brivane.test-subscriptions-") +
                         QUuid::createUuid().toString(QUuid::Id128);
        server = std::make_unique<LoopbackHttpServer>(
            [this](const HttpRequest& request) { return handler(request); },
            trusted->serverConfiguration());
    }

    SubscriptionService::Options options() const {
        SubscriptionService::Options o;
        o.keyringService = keyringService;
        o.note = folder + "/config/calendar-subscriptions.json";
        o.cacheFolder = folder + "/cache/Brivane/subscriptions";
        o.limits.total = std::chrono::seconds(4);
        o.limits.stall = std::chrono::seconds(1);
        o.limits.maxBytes = 1024 * 1024;
        return o;
    }

    QString address(const QString& scheme = QStringLiteral("https")) const {
        return QStringLiteral("%1://127.0.0.1:%2/cal/private-%3/basic.ics?token=%3")
            .arg(scheme)
            .arg(server->port())
            .arg(QString::fromLatin1(secret));
    }
    std::string host() const { return "127.0.0.1:" + std::to_string(server->port()); }

    std::vector<StoreEvent> eventsOf(SubscriptionService& service) {
        std::set<std::string> ids;
        for (const auto& c : service.calendars())
            ids.insert(c.id);
        const Date now =
            std::chrono::floor<std::chrono::milliseconds>(std::chrono::system_clock::now());
        return wait(
            service.events(now - std::chrono::hours(24), now + std::chrono::hours(24 * 3), ids));
    }

    // A failed subscription: one line naming the host, never the token; nothing kept.
    void expectRefused(SubscriptionService& service, const QString& typed, const std::string& why) {
        const std::size_t before = service.subscriptions().size();
        const auto result = wait(service.subscribe(typed));
        ASSERT_TRUE(result.error) << why;
        EXPECT_FALSE(result.subscription);
        EXPECT_NE(result.error->find(why), std::string::npos) << *result.error;
        EXPECT_EQ(result.error->find(secret), std::string::npos) << *result.error;
        EXPECT_EQ(result.error->find('\n'), std::string::npos);
        EXPECT_EQ(service.subscriptions().size(), before);
    }

    QString folder;
    QString keyringService;
    std::unique_ptr<LoopbackHttpServer> server;
    std::function<HttpResponse(const HttpRequest&)> handler = [](const HttpRequest&) {
        return ics(calendar("School year", "Assembly"), "\"v1\"");
    };
};

TEST(SubscriptionAddressTest, FormsOfAddresses) {
    std::string why;
    EXPECT_EQ(subscription::fetchableAddress("webcal://example.org/a.ics", &why)->toString(),
              "https://example.org/a.ics");
    EXPECT_EQ(subscription::fetchableAddress(" WEBCALS://example.org/a.ics#x ", &why)->toString(),
              "https://example.org/a.ics");
    EXPECT_EQ(subscription::fetchableAddress("http://example.org/a.ics", &why)->scheme(), "http");
    for (const char* refused : {"ftp://example.org/a.ics", "file:///etc/passwd", "example.org",
                                "https://", "https://user:pw@example.org/a.ics", ""}) {
        why.clear();
        EXPECT_FALSE(subscription::fetchableAddress(refused, &why)) << refused;
        EXPECT_FALSE(why.empty());
        EXPECT_EQ(why.find("passwd"), std::string::npos);
    }
    EXPECT_EQ(subscription::shownHost(QUrl("https://h.example:8443/p?token=x")), "h.example:8443");
    EXPECT_EQ(subscription::shownHost(QUrl("https://[::1]/p")), "[::1]");
    EXPECT_FALSE(subscription::validator("\"a\"\r\nX-Injected: 1"));
    EXPECT_TRUE(subscription::isWebPage("text/plain", "\xef\xbb\xbf  <!DOCTYPE HTML><html>"));
    EXPECT_FALSE(subscription::isWebPage("text/calendar", "BEGIN:VCALENDAR"));
}

// First fetch, a conditional second one answered 304 without a parse, a changed ETag read
// again; a new start without network shows the cached copy at once and keeps it on failure.
TEST_F(SubscriptionTest, ConditionalRefreshAndOfflineStart) {
    std::string id;
    {
        SubscriptionService service(options());
        const auto result = wait(service.subscribe(address("webcal")));
        ASSERT_FALSE(result.error) << *result.error;
        EXPECT_EQ(result.subscription->name, "School year");
        id = result.subscription->id;
        ASSERT_EQ(service.calendars().size(), 1u);
        EXPECT_EQ(service.calendars()[0].source, SubscriptionService::accountTitle());
        auto events = eventsOf(service);
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(events[0].title, "Assembly");
        EXPECT_EQ(events[0].calendarID, id);
        EXPECT_EQ(service.parses(), 1);

        handler = [](const HttpRequest& request) {
            if (request.header("If-None-Match") == "\"v1\"") {
                HttpResponse unchanged;
                unchanged.status = 304;
                return unchanged;
            }
            return ics(calendar("School year", "Wrong"), "\"v1\"");
        };
        wait(service.refresh(true));
        EXPECT_EQ(service.parses(), 1);
        EXPECT_FALSE(service.state(id).error);

        handler = [](const HttpRequest&) {
            return ics(calendar("School year", "Exams"), "\"v2\"");
        };
        wait(service.refresh(false)); // within the interval: nothing fetched
        EXPECT_EQ(server->requests().size(), 2u);
        wait(service.refresh(true));
        EXPECT_EQ(service.parses(), 2);
        EXPECT_EQ(eventsOf(service)[0].title, "Exams");
        EXPECT_EQ(service.subscriptions()[0].etag, "\"v2\"");
    }
    EXPECT_EQ(
        QFileInfo(options().cacheFolder + "/" + QString::fromStdString(id) + ".ics").permissions() &
            (QFileDevice::ReadGroup | QFileDevice::ReadOther),
        0);

    server.reset(); // no network from here on
    SubscriptionService offline(options());
    ASSERT_TRUE(wait(offline.load()));
    ASSERT_EQ(offline.calendars().size(), 1u);
    EXPECT_EQ(eventsOf(offline)[0].title, "Exams");
    wait(offline.refresh(true));
    const auto state = offline.state(id);
    ASSERT_TRUE(state.error);
    EXPECT_NE(state.error->find("127.0.0.1"), std::string::npos) << *state.error;
    EXPECT_EQ(state.error->find(secret), std::string::npos);
    EXPECT_TRUE(state.failingSince);
    EXPECT_EQ(eventsOf(offline)[0].title, "Exams");
}

// gzip is undone by Qt and the size limit counts what comes out of it.
TEST_F(SubscriptionTest, GzipAndGzipBomb) {
    handler = [](const HttpRequest& request) {
        HttpResponse response = ics(gzipped(calendar("Zipped", "Packed")));
        EXPECT_NE(request.header("Accept-Encoding").indexOf("gzip"), -1);
        response.headers.append(QPair<QByteArray, QByteArray>("Content-Encoding", "gzip"));
        return response;
    };
    SubscriptionService service(options());
    const auto result = wait(service.subscribe(address()));
    ASSERT_FALSE(result.error) << *result.error;
    EXPECT_EQ(result.subscription->name, "Zipped");

    handler = [](const HttpRequest&) {
        HttpResponse response = ics(gzipped(QByteArray(8 * 1024 * 1024, 'A')));
        response.headers.append(QPair<QByteArray, QByteArray>("Content-Encoding", "gzip"));
        return response;
    };
    expectRefused(service, address() + "&other", "larger than 1 MB");
}

// Servers that misbehave: each is one clear line naming the host and nothing is added.
TEST_F(SubscriptionTest, MisbehavingServers) {
    SubscriptionService service(options());
    std::vector<std::unique_ptr<QTimer>> timers;

    handler = [](const HttpRequest&) {
        HttpResponse silent;
        silent.takeOver = [](QTcpSocket*) {};
        return silent;
    };
    expectRefused(service, address(), host() + " sent nothing for 1 s");

    // One byte every 200 ms: never stalled, never done.
    handler = [&timers](const HttpRequest&) {
        HttpResponse drip;
        drip.takeOver = [&timers](QTcpSocket* socket) {
            socket->write("HTTP/1.1 200 OK\r\nContent-Type: text/calendar\r\n"
                          "Content-Length: 100000\r\n\r\n");
            auto timer = std::make_unique<QTimer>();
            QObject::connect(timer.get(), &QTimer::timeout, socket,
                             [socket] { socket->write("B"); });
            timer->start(200);
            timers.push_back(std::move(timer));
        };
        return drip;
    };
    expectRefused(service, address(), "did not finish answering within 4 s");
    timers.clear();

    // Endless, without a length: stopped at the limit, long before the server runs dry. The
    // server writes only as the client takes, so what it sent is what the client read.
    qint64 sent = 0;
    handler = [&timers, &sent](const HttpRequest&) {
        HttpResponse endless;
        endless.takeOver = [&timers, &sent](QTcpSocket* socket) {
            socket->write("HTTP/1.1 200 OK\r\nContent-Type: text/calendar\r\n"
                          "Connection: close\r\n\r\nBEGIN:VCALENDAR\r\n");
            auto* tls = qobject_cast<QSslSocket*>(socket);
            auto timer = std::make_unique<QTimer>();
            QObject::connect(timer.get(), &QTimer::timeout, socket, [socket, tls, &sent] {
                const QByteArray chunk(64 * 1024, 'X');
                if (socket->state() == QAbstractSocket::ConnectedState &&
                    socket->bytesToWrite() + (tls ? tls->encryptedBytesToWrite() : 0) <
                        chunk.size() &&
                    sent < 2LL * 1024 * 1024 * 1024) {
                    socket->write(chunk);
                    sent += chunk.size();
                }
            });
            timer->start(0);
            timers.push_back(std::move(timer));
        };
        return endless;
    };
    expectRefused(service, address(), "larger than 1 MB");
    timers.clear();
    EXPECT_LT(sent, 64LL * 1024 * 1024);

    handler = [](const HttpRequest&) {
        HttpResponse page = ics("<!DOCTYPE html><html><body>Sign in</body></html>");
        page.contentType = "text/html";
        return page;
    };
    expectRefused(service, address(), "web page");

    handler = [this](const HttpRequest& request) {
        return HttpResponse::redirect(server->baseURL().toUtf8() + request.target);
    };
    expectRefused(service, address(), "redirects without end");

    handler = [](const HttpRequest&) {
        return HttpResponse::redirect("http://127.0.0.1:9/cal.ics");
    };
    expectRefused(service, address(), "unencrypted http");

    handler = [](const HttpRequest&) { return HttpResponse::json(404, "{}"); };
    expectRefused(service, address(), "404");

    handler = [](const HttpRequest&) { return ics("BEGIN:VCALENDAR\r\nnot really"); };
    expectRefused(service, address(), host());
}

// A host whose certificate changes to one nobody vouches for: the refresh fails with a line about
// the certificate, and the events already shown stay.
TEST_F(SubscriptionTest, ChangedCertificateKeepsEvents) {
    SubscriptionService service(options());
    const auto result = wait(service.subscribe(address()));
    ASSERT_FALSE(result.error) << *result.error;
    const quint16 port = server->port();
    server.reset();
    TestAuthority stranger(QStringLiteral("Stranger CA"));
    server = std::make_unique<LoopbackHttpServer>(
        [this](const HttpRequest& request) { return handler(request); },
        stranger.serverConfiguration(), nullptr, port);
    wait(service.refresh(true));
    const auto state = service.state(result.subscription->id);
    ASSERT_TRUE(state.error);
    EXPECT_NE(state.error->find("certificate"), std::string::npos) << *state.error;
    EXPECT_FALSE(eventsOf(service).empty());
}

// Nobody who never subscribed is asked for the keyring by the refresh cycle (an unlock prompt at
// every start); the terminal's own request asks it.
TEST_F(SubscriptionTest, NoNoteNoKeyringRead) {
    struct CountingKeyring : CloudAccountKeyring {
        using CloudAccountKeyring::CloudAccountKeyring;
        QCoro::Task<ReadResult> read() const override {
            ++reads;
            return CloudAccountKeyring::read();
        }
        mutable int reads = 0;
    };
    auto keyring = std::make_shared<CountingKeyring>(keyringService);
    SubscriptionService::Options o = options();
    o.keyring = keyring;
    SubscriptionService service(o);
    wait(service.refresh());
    EXPECT_TRUE(service.loaded());
    EXPECT_EQ(keyring->reads, 0);
    EXPECT_TRUE(wait(service.load(KeyringAccess::userAction)));
    EXPECT_EQ(keyring->reads, 1);
}

// Repetition without end, and in every second, is cut to a bounded answer.
TEST_F(SubscriptionTest, RunawayRepetitionIsBounded) {
    handler = [](const HttpRequest&) {
        return ics("BEGIN:VCALENDAR\r\nVERSION:2.0\r\nBEGIN:VEVENT\r\nUID:x\r\n"
                   "DTSTART:20200101T000000Z\r\nDURATION:PT1S\r\nRRULE:FREQ=SECONDLY\r\n"
                   "SUMMARY:Tick\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n");
    };
    SubscriptionService service(options());
    ASSERT_FALSE(wait(service.subscribe(address())).error);
    const auto events = eventsOf(service);
    EXPECT_LE(events.size(), std::size_t(ical::maxOccurrencesPerWindow));
}

// The address is kept in the keyring only: no file under the test's folders holds its token,
// and removal forgets both the keyring entry and the cached copy.
TEST_F(SubscriptionTest, SecretNeverWrittenAndRemovalForgets) {
    const auto filesHolding = [](const QString& root) {
        QStringList found;
        QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            QFile file(it.next());
            if (file.open(QIODevice::ReadOnly) && file.readAll().contains(secret))
                found << file.fileName();
        }
        return found;
    };
    std::string id;
    {
        SubscriptionService service(options());
        const auto result = wait(service.subscribe(address()));
        ASSERT_FALSE(result.error) << *result.error;
        id = result.subscription->id;
        wait(service.refresh(true));
        EXPECT_TRUE(filesHolding(test::sessionRoot()).isEmpty())
            << filesHolding(test::sessionRoot()).join(' ').toStdString();
    }
    SubscriptionService again(options());
    ASSERT_TRUE(wait(again.load()));
    ASSERT_EQ(again.subscriptions().size(), 1u);
    EXPECT_EQ(again.subscriptions()[0].address, address().toStdString());
    EXPECT_FALSE(wait(again.unsubscribe(id)));
    EXPECT_TRUE(again.calendars().empty());
    EXPECT_FALSE(QFile::exists(options().cacheFolder + "/" + QString::fromStdString(id) + ".ics"));
    const auto stored = wait(CloudAccountKeyring(keyringService).read());
    EXPECT_EQ(stored.data.find(secret), std::string::npos);
    SubscriptionService after(options());
    ASSERT_TRUE(wait(after.load()));
    EXPECT_TRUE(after.subscriptions().empty());
    EXPECT_TRUE(filesHolding(test::sessionRoot()).isEmpty());
}

} // namespace
} // namespace brivane

#include "Brivane/cloud/CloudCalendarService.h"
#include "Brivane/cloud/GoogleOAuthLoopback.h"
#include "CloudTestSupport.h"

#include <QElapsedTimer>
#include <QTcpSocket>
#include <gtest/gtest.h>
#include <memory>
#include <qcoro/qcorotask.h>
#include <sys/socket.h>

namespace brivane {
namespace {

using namespace std::chrono_literals;
using test::waitUntil;

const QString page = QString::fromUtf8("<p>Torna nell’app</p>");

// A browser connection to the receiver that records what comes back.
struct Client {
    explicit Client(quint16 port) {
        socket.connectToHost(QHostAddress::LocalHost, port);
        QObject::connect(&socket, &QTcpSocket::readyRead, [this] { answer += socket.readAll(); });
        QObject::connect(&socket, &QTcpSocket::disconnected, [this] { closed = true; });
        waitUntil([this] { return socket.state() == QAbstractSocket::ConnectedState; }, 3000);
    }
    void send(const QByteArray& bytes) {
        socket.write(bytes);
        socket.flush();
    }
    bool waitClosed(int ms = 3000) {
        return waitUntil([this] { return closed; }, ms);
    }
    QTcpSocket socket;
    QByteArray answer;
    bool closed = false;
};

QCoro::Task<> collect(GoogleOAuthLoopback* receiver, QUrl* result, std::string* failure) {
    try {
        *result = co_await receiver->callback();
    } catch (const std::exception& error) {
        *failure = error.what();
    }
}

class LoopbackTest : public ::testing::Test {
protected:
    void start(std::chrono::milliseconds timeout = 10s) {
        receiver = std::make_unique<GoogleOAuthLoopback>("S", page, timeout);
        redirectURI = QCoro::waitFor(receiver->start());
        port = receiver->port();
        waiting = std::make_unique<QCoro::Task<>>(collect(receiver.get(), &result, &failure));
    }
    bool over() const { return !result.isEmpty() || !failure.empty(); }

    std::unique_ptr<GoogleOAuthLoopback> receiver;
    std::unique_ptr<QCoro::Task<>> waiting;
    QUrl redirectURI;
    quint16 port = 0;
    QUrl result;
    std::string failure;
};

TEST_F(LoopbackTest, ServesOneValidRedirectWithItsPageAndStops) {
    start();
    EXPECT_EQ(redirectURI.toString(), QString("http://127.0.0.1:%1/oauth2redirect").arg(port));

    Client favicon(port);
    favicon.send("GET /favicon.ico HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    ASSERT_TRUE(favicon.waitClosed());
    EXPECT_TRUE(favicon.answer.startsWith("HTTP/1.1 404 Not Found\r\n"));
    EXPECT_TRUE(favicon.answer.endsWith("\r\nContent-Length: 9\r\n\r\nNot found"));
    EXPECT_FALSE(over());

    // A request line split over several segments is assembled.
    Client browser(port);
    browser.send("GET /oauth2redirect?code=4%2F0Ab&sta");
    QCoreApplication::processEvents();
    browser.send("te=S HTTP/1.1\r\nHost: 127.0.0.1\r\n");
    QCoreApplication::processEvents();
    browser.send("\r\n");
    ASSERT_TRUE(browser.waitClosed());
    ASSERT_TRUE(waitUntil([&] { return over(); })) << browser.answer.constData();
    EXPECT_EQ(result.toString(QUrl::FullyEncoded),
              QString("http://127.0.0.1:%1/oauth2redirect?code=4%2F0Ab&state=S").arg(port));
    const QByteArray body = page.toUtf8();
    EXPECT_GT(body.size(), page.size()); // the apostrophe takes three bytes
    EXPECT_EQ(browser.answer, "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\n"
                              "Cache-Control: no-store\r\nConnection: close\r\nContent-Length: " +
                                  QByteArray::number(body.size()) + "\r\n\r\n" + body);

    // Finished: the port no longer answers.
    EXPECT_TRUE(receiver->isFinished());
    QTcpSocket late;
    late.connectToHost(QHostAddress::LocalHost, port);
    EXPECT_FALSE(late.waitForConnected(500));
}

TEST_F(LoopbackTest, ForeignAndHostileRequestsLeaveItWaiting) {
    start();
    // Wrong state, repeated state, tabs, non-UTF-8, a fragment: 404, and the receiver keeps
    // waiting.
    for (const QByteArray& request :
         {QByteArray("GET /oauth2redirect?code=c&state=T HTTP/1.1\r\n\r\n"),
          QByteArray("GET /oauth2redirect?code=c&state=S&state=S HTTP/1.1\r\n\r\n"),
          QByteArray("GET\t/oauth2redirect?code=c&state=S\tHTTP/1.1\r\n\r\n"),
          QByteArray("GET /oauth2redirect?code=\xc3\x28&state=S HTTP/1.1\r\n\r\n"),
          // A fragment, with a query inside it that a loose reader would take.
          QByteArray("GET /oauth2redirect#?code=8ectde=8%24%24=b&state=S HTT\345\345\r\n\r\n")}) {
        Client client(port);
        client.send(request);
        ASSERT_TRUE(client.waitClosed());
        EXPECT_TRUE(client.answer.startsWith("HTTP/1.1 404 Not Found")) << request.constData();
    }

    // 16 KiB + 1 bytes without a blank line: dropped without an answer.
    Client oversized(port);
    oversized.send(QByteArray("GET /") + QByteArray(GoogleOAuthLoopback::maximumRequestBytes, 'a'));
    ASSERT_TRUE(oversized.waitClosed());
    EXPECT_TRUE(oversized.answer.isEmpty());

    // Half-closed before the blank line: dropped without an answer.
    Client halfClosed(port);
    halfClosed.send("GET /oauth2redirect?code=c&state=S HTTP/1.1\r\n");
    ::shutdown(int(halfClosed.socket.socketDescriptor()), SHUT_WR);
    ASSERT_TRUE(halfClosed.waitClosed());
    EXPECT_TRUE(halfClosed.answer.isEmpty());

    // 50 browsers at once, all answered; the one valid redirect among them wins.
    std::vector<std::unique_ptr<Client>> crowd;
    for (int i = 0; i < 50; ++i)
        crowd.push_back(std::make_unique<Client>(port));
    for (int i = 0; i < 50; ++i)
        crowd[std::size_t(i)]->send("GET /other/" + QByteArray::number(i) + " HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(waitUntil([&] {
        return std::all_of(crowd.begin(), crowd.end(), [](const auto& c) { return c->closed; });
    }));
    for (const auto& client : crowd)
        EXPECT_TRUE(client->answer.startsWith("HTTP/1.1 404"));
    EXPECT_FALSE(over());

    // After all that, the right state still gets through.
    Client browser(port);
    browser.send("GET /oauth2redirect?code=ok&state=S HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(waitUntil([&] { return over(); }));
    EXPECT_EQ(result.query(), "code=ok&state=S");
}

TEST_F(LoopbackTest, SlowClientRunsIntoTheTimeoutAndEveryConnectionCloses) {
    start(400ms);
    Client slow(port);
    slow.send("GET /oauth2redirect?code=c&state=S HTTP/1.1\r\n");
    // A header line every 30 ms until the end: the time limit holds for the whole request, not
    // for the silence between two reads.
    QElapsedTimer sinceLine;
    sinceLine.start();
    ASSERT_TRUE(waitUntil(
        [&] {
            if (sinceLine.elapsed() >= 30) {
                slow.send("X-Slow: 1\r\n");
                sinceLine.restart();
            }
            return over();
        },
        5000));
    EXPECT_EQ(failure, "The request timed out.");
    EXPECT_TRUE(slow.waitClosed());
    EXPECT_TRUE(slow.answer.isEmpty());
}

TEST_F(LoopbackTest, FinishWithAnErrorEndsTheWaitWithIt) {
    start();
    receiver->finish(std::make_exception_ptr(CloudCalendarError::authenticationCancelled()));
    ASSERT_TRUE(waitUntil([&] { return over(); }));
    EXPECT_EQ(failure, "Sign-in was cancelled.");
    receiver->finish(); // harmless a second time
    EXPECT_TRUE(result.isEmpty());
}

} // namespace
} // namespace brivane

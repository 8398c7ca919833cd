#pragma once

// A one-shot HTTP receiver on 127.0.0.1 for the Google sign-in redirect. It answers exactly one
// valid redirect (right path, exactly one matching "state", a "code" or "error") with the
// completion page, hands its URL to the sign-in and shuts down. Anything else gets
// "404 Not Found" and leaves it waiting; oversized, broken or half-closed requests are dropped.
// Lives on the main thread.

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>
#include <QUrl>
#include <chrono>
#include <exception>
#include <optional>
#include <qcoro/qcorotask.h>

class QTcpServer;
class QTcpSocket;
class QTimer;

namespace brivane {

class GoogleOAuthLoopback : public QObject {
    Q_OBJECT
public:
    static constexpr qsizetype maximumRequestBytes = 16384;

    GoogleOAuthLoopback(QString expectedState, QString completionBody,
                        std::chrono::milliseconds timeout, QObject* parent = nullptr);
    ~GoogleOAuthLoopback() override;

    // Starts listening and returns "http://127.0.0.1:<port>/oauth2redirect". Call once.
    // Throws CloudNetworkError when the port cannot be opened.
    QCoro::Task<QUrl> start();
    // The first valid redirect's full URL. Throws the error the receiver ended with (the
    // time-out, a cancellation), or a cancellation when it ended without a redirect.
    QCoro::Task<QUrl> callback();
    // Ends the receiver: stops listening, closes every connection. No error is a normal end.
    // Safe to call repeatedly; only the first call counts.
    void finish(std::exception_ptr error = {});

    bool isFinished() const { return finished_; }
    quint16 port() const;

Q_SIGNALS:
    void ended();

private:
    struct Connection {
        QByteArray buffer;
        bool replied = false;
        std::optional<QUrl> callback;
    };

    void accept();
    void receive(QTcpSocket* socket);
    void reply(QTcpSocket* socket);
    void dropped(QTcpSocket* socket);
    void sent(QTcpSocket* socket);

    QString expectedState_;
    QString completionBody_;
    std::chrono::milliseconds timeout_;
    QTcpServer* server_ = nullptr;
    QTimer* timer_ = nullptr;
    QHash<QTcpSocket*, Connection> connections_;
    std::optional<QUrl> callback_;
    std::exception_ptr error_;
    bool started_ = false;
    bool finished_ = false;
};

} // namespace brivane

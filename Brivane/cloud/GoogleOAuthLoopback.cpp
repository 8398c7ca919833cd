#include "Brivane/cloud/GoogleOAuthLoopback.h"

#include "Brivane/SignalWait.h"
#include "Brivane/cloud/CloudCalendarService.h"
#include "Brivane/cloud/OAuthProtocol.h"
#include "BrivaneCore/AgendaLanguage.h"

#include <QHostAddress>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <cassert>
#include <qcoro/qcorosignal.h>

namespace brivane {

GoogleOAuthLoopback::GoogleOAuthLoopback(QString expectedState, QString completionBody,
                                         std::chrono::milliseconds timeout, QObject* parent)
    : QObject(parent), expectedState_(std::move(expectedState)),
      completionBody_(std::move(completionBody)), timeout_(timeout), server_(new QTcpServer(this)),
      timer_(new QTimer(this)) {
    timer_->setSingleShot(true);
    QObject::connect(timer_, &QTimer::timeout, this, [this] {
        finish(std::make_exception_ptr(CloudNetworkError(
            AgendaLanguage::text("La richiesta è scaduta.", "The request timed out."))));
    });
    QObject::connect(server_, &QTcpServer::newConnection, this, &GoogleOAuthLoopback::accept);
    QObject::connect(server_, &QTcpServer::acceptError, this, [this] {
        finish(std::make_exception_ptr(CloudNetworkError(server_->errorString().toStdString())));
    });
}

GoogleOAuthLoopback::~GoogleOAuthLoopback() {
    finish();
}

quint16 GoogleOAuthLoopback::port() const {
    return server_->serverPort();
}

QCoro::Task<QUrl> GoogleOAuthLoopback::start() {
    assert(!started_ && "GoogleOAuthLoopback::start called twice");
    started_ = true;
    if (finished_)
        std::rethrow_exception(
            error_ ? error_
                   : std::make_exception_ptr(CloudCalendarError::authenticationCancelled()));
    // The time-out counts from here, the time in the browser included.
    timer_->start(timeout_);
    if (!server_->listen(QHostAddress::LocalHost, 0)) {
        const auto error =
            std::make_exception_ptr(CloudNetworkError(server_->errorString().toStdString()));
        finish(error);
        std::rethrow_exception(error);
    }
    co_return QUrl(QStringLiteral("http://127.0.0.1:%1/oauth2redirect").arg(server_->serverPort()));
}

QCoro::Task<QUrl> GoogleOAuthLoopback::callback() {
    QPointer<GoogleOAuthLoopback> self(this);
    if (!callback_ && !finished_) {
        SignalWait ending(this, &GoogleOAuthLoopback::ended, this);
        co_await ending;
    }
    if (!self)
        throw CloudCalendarError::authenticationCancelled();
    if (callback_)
        co_return *callback_;
    if (error_)
        std::rethrow_exception(error_);
    throw CloudCalendarError::authenticationCancelled();
}

void GoogleOAuthLoopback::finish(std::exception_ptr error) {
    if (finished_)
        return;
    finished_ = true;
    error_ = error;
    timer_->stop();
    server_->close();
    const auto sockets = connections_.keys();
    connections_.clear();
    for (QTcpSocket* socket : sockets) {
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
    }
    Q_EMIT ended();
}

void GoogleOAuthLoopback::accept() {
    while (server_->hasPendingConnections()) {
        QTcpSocket* socket = server_->nextPendingConnection();
        if (finished_) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        // Never buffer more than one byte past the limit.
        socket->setReadBufferSize(maximumRequestBytes + 1);
        connections_.insert(socket, Connection{});
        QObject::connect(socket, &QTcpSocket::readyRead, this, [this, socket] { receive(socket); });
        QObject::connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            const auto found = connections_.find(socket);
            if (found != connections_.end() && found->replied)
                sent(socket);
            else
                dropped(socket);
        });
        QObject::connect(socket, &QTcpSocket::errorOccurred, this, [this, socket] {
            const auto found = connections_.find(socket);
            if (found == connections_.end())
                return;
            if (found->replied)
                sent(socket);
            else if (socket->error() != QAbstractSocket::RemoteHostClosedError)
                dropped(socket);
        });
        if (socket->bytesAvailable() > 0)
            receive(socket);
    }
}

void GoogleOAuthLoopback::receive(QTcpSocket* socket) {
    const auto found = connections_.find(socket);
    if (finished_ || found == connections_.end() || found->replied)
        return;
    found->buffer += socket->read(maximumRequestBytes + 1 - found->buffer.size());
    if (found->buffer.size() > maximumRequestBytes) {
        dropped(socket);
        return;
    }
    if (!found->buffer.contains("\r\n\r\n")) {
        if (socket->state() != QAbstractSocket::ConnectedState)
            dropped(socket);
        return;
    }
    reply(socket);
}

void GoogleOAuthLoopback::reply(QTcpSocket* socket) {
    Connection& connection = connections_[socket];
    connection.replied = true;
    const auto url = oauth::loopbackCallback(
        std::string_view(connection.buffer.constData(), std::size_t(connection.buffer.size())),
        server_->serverPort(), expectedState_.toStdString());
    QByteArray status = "404 Not Found";
    QByteArray body = "Not found";
    if (url) {
        connection.callback = QUrl::fromEncoded(QByteArray::fromStdString(*url));
        status = "200 OK";
        body = completionBody_.toUtf8();
    }
    const QByteArray response = "HTTP/1.1 " + status +
                                "\r\nContent-Type: text/html; charset=utf-8\r\n"
                                "Cache-Control: no-store\r\nConnection: close\r\n"
                                "Content-Length: " +
                                QByteArray::number(body.size()) + "\r\n\r\n" + body;
    socket->write(response);
    // Closes once the reply is out; `disconnected` then completes the send.
    socket->disconnectFromHost();
}

void GoogleOAuthLoopback::dropped(QTcpSocket* socket) {
    if (connections_.remove(socket) == 0)
        return;
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
}

void GoogleOAuthLoopback::sent(QTcpSocket* socket) {
    const auto found = connections_.find(socket);
    if (found == connections_.end())
        return;
    const std::optional<QUrl> url = found->callback;
    connections_.erase(found);
    socket->disconnect(this);
    socket->deleteLater();
    if (url && !finished_) {
        callback_ = url;
        finish();
    }
}

} // namespace brivane

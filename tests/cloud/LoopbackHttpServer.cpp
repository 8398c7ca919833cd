#include "LoopbackHttpServer.h"

#include <QHostAddress>
#include <QSslConfiguration>
#include <QSslServer>
#include <QTcpServer>
#include <QTcpSocket>
#include <stdexcept>

namespace brivane::test {

QString HttpRequest::path() const {
    const int question = target.indexOf('?');
    return QString::fromUtf8(question < 0 ? target : target.left(question));
}

QUrlQuery HttpRequest::query() const {
    const int question = target.indexOf('?');
    return question < 0 ? QUrlQuery() : QUrlQuery(QString::fromUtf8(target.mid(question + 1)));
}

QByteArray HttpRequest::header(const QByteArray& name) const {
    for (const auto& [key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return {};
}

QUrlQuery HttpRequest::form() const {
    return QUrlQuery(QString::fromUtf8(body));
}

HttpResponse HttpResponse::json(int status, const QByteArray& body) {
    HttpResponse response;
    response.status = status;
    response.body = body;
    return response;
}

HttpResponse HttpResponse::redirect(const QByteArray& location, int status) {
    HttpResponse response;
    response.status = status;
    response.contentType = "text/plain";
    response.headers.append({"Location", location});
    return response;
}

LoopbackHttpServer::LoopbackHttpServer(Handler handler, QObject* parent)
    : QObject(parent), handler_(std::move(handler)), server_(new QTcpServer(this)) {
    QObject::connect(server_, &QTcpServer::pendingConnectionAvailable, this,
                     &LoopbackHttpServer::accept);
    if (!server_->listen(QHostAddress::LocalHost))
        throw std::runtime_error("test server cannot listen on 127.0.0.1");
}

LoopbackHttpServer::LoopbackHttpServer(Handler handler, const QSslConfiguration& tls,
                                       QObject* parent, quint16 port)
    : QObject(parent), handler_(std::move(handler)), tls_(true) {
    auto* server = new QSslServer(this);
    server->setSslConfiguration(tls);
    server_ = server;
    QObject::connect(server_, &QTcpServer::pendingConnectionAvailable, this,
                     &LoopbackHttpServer::accept);
    if (!server_->listen(QHostAddress::LocalHost, port))
        throw std::runtime_error("test server cannot listen on 127.0.0.1");
}

LoopbackHttpServer::~LoopbackHttpServer() = default;

quint16 LoopbackHttpServer::port() const {
    return server_->serverPort();
}

QString LoopbackHttpServer::baseURL() const {
    return QStringLiteral("%1://127.0.0.1:%2").arg(tls_ ? "https" : "http").arg(port());
}

void LoopbackHttpServer::accept() {
    while (server_->hasPendingConnections()) {
        QTcpSocket* socket = server_->nextPendingConnection();
        auto buffer = std::make_shared<QByteArray>();
        QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        QObject::connect(socket, &QTcpSocket::readyRead, this, [this, socket, buffer] {
            buffer->append(socket->readAll());
            const int end = buffer->indexOf("\r\n\r\n");
            if (end < 0)
                return;
            HttpRequest request;
            const QList<QByteArray> lines = buffer->left(end).split('\n');
            const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
            request.method = first.value(0);
            request.target = first.value(1);
            qsizetype length = 0;
            for (qsizetype i = 1; i < lines.size(); ++i) {
                const int colon = lines[i].indexOf(':');
                if (colon < 0)
                    continue;
                const QByteArray name = lines[i].left(colon).trimmed();
                const QByteArray value = lines[i].mid(colon + 1).trimmed();
                request.headers.append({name, value});
                if (name.compare("Content-Length", Qt::CaseInsensitive) == 0)
                    length = value.toLongLong();
            }
            if (buffer->size() < end + 4 + length)
                return; // the body is still arriving
            request.body = buffer->mid(end + 4, length);
            buffer->clear();
            requests_.push_back(request);
            const HttpResponse response =
                handler_ ? handler_(request) : HttpResponse::json(404, {});
            if (response.takeOver) {
                QObject::disconnect(socket, &QTcpSocket::readyRead, this, nullptr);
                response.takeOver(socket);
                return;
            }
            QByteArray out = "HTTP/1.1 " + QByteArray::number(response.status) + " Status\r\n";
            out += "Content-Type: " + response.contentType + "\r\n";
            for (const auto& [key, value] : response.headers)
                out += key + ": " + value + "\r\n";
            out += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
            out += "Connection: close\r\n\r\n" + response.body;
            socket->write(out);
            socket->disconnectFromHost();
        });
    }
}

} // namespace brivane::test

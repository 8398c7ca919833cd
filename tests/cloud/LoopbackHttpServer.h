#pragma once

// A small HTTP/1.1 server on 127.0.0.1 for tests: it stands in for the OAuth providers, the
// calendar APIs and the update host. Every request is recorded; a handler decides the answer.
// One request per connection (the server always answers with "Connection: close").

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <QUrl>
#include <QUrlQuery>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QTcpServer;
class QTcpSocket;
class QSslConfiguration;

namespace brivane::test {

struct HttpRequest {
    QByteArray method;
    QByteArray target; // path and query exactly as sent
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;

    QString path() const;
    QUrlQuery query() const;
    // First header with that name (case-insensitive); empty when missing.
    QByteArray header(const QByteArray& name) const;
    // The body read as application/x-www-form-urlencoded.
    QUrlQuery form() const;
};

struct HttpResponse {
    int status = 200;
    QByteArray body;
    QByteArray contentType = "application/json";
    QList<QPair<QByteArray, QByteArray>> headers;
    // When set, nothing is written: the socket is handed over (to answer slowly, endlessly, or
    // never).
    std::function<void(QTcpSocket*)> takeOver;

    static HttpResponse json(int status, const QByteArray& body);
    static HttpResponse redirect(const QByteArray& location, int status = 302);
};

class LoopbackHttpServer : public QObject {
    Q_OBJECT
public:
    using Handler = std::function<HttpResponse(const HttpRequest&)>;

    // Listens at once on 127.0.0.1, port chosen by the system. With a TLS configuration (a
    // certificate and key) it speaks HTTPS; a port given is taken again (a server replaced).
    explicit LoopbackHttpServer(Handler handler, QObject* parent = nullptr);
    LoopbackHttpServer(Handler handler, const QSslConfiguration& tls, QObject* parent = nullptr,
                       quint16 port = 0);
    ~LoopbackHttpServer() override;

    quint16 port() const;
    // "http://127.0.0.1:<port>" (or https).
    QString baseURL() const;
    const std::vector<HttpRequest>& requests() const { return requests_; }
    void setHandler(Handler handler) { handler_ = std::move(handler); }

private:
    void accept();

    Handler handler_;
    QTcpServer* server_ = nullptr;
    bool tls_ = false;
    std::vector<HttpRequest> requests_;
};

} // namespace brivane::test

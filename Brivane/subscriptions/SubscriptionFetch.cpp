#include "Brivane/subscriptions/SubscriptionFetch.h"

#include "Brivane/AppIdentity.h"
#include "Brivane/SignalWait.h"
#include "Brivane/subscriptions/SubscriptionAddress.h"
#include "BrivaneCore/AgendaLanguage.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QSslError>
#include <memory>

namespace brivane::subscription {

namespace {

// Qt reads ahead into its own buffer; kept small so a huge answer never sits in memory whole.
constexpr qint64 readAhead = 1024 * 1024;

std::string seconds(std::chrono::milliseconds limit) {
    return std::to_string((limit.count() + 999) / 1000);
}

QNetworkRequest requestFor(const FetchRequest& fetch, const FetchLimits& limits) {
    QNetworkRequest request(fetch.address);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setMaximumRedirectsAllowed(limits.maxRedirects);
    request.setTransferTimeout(static_cast<int>(limits.stall.count()));
    // Qt undoes gzip itself because it sets Accept-Encoding itself; its own ratio check is off:
    // the size limit below counts the bytes after decompression anyway.
    request.setDecompressedSafetyCheckThreshold(-1);
    request.setRawHeader("Accept", "text/calendar, */*;q=0.5");
    request.setHeader(QNetworkRequest::UserAgentHeader,
                      QString::fromStdString("Pellora/" + AppIdentity::version()));
    if (!fetch.etag.isEmpty())
        request.setRawHeader("If-None-Match", fetch.etag);
    if (!fetch.lastModified.isEmpty())
        request.setRawHeader("If-Modified-Since", fetch.lastModified);
    return request;
}

struct Reading {
    QByteArray body;
    bool tooLarge = false;
    bool tooSlow = false;
    std::string certificateProblem;
};

std::string failureLine(QNetworkReply& reply, const Reading& reading, const std::string& host,
                        const FetchLimits& limits) {
    const int status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const std::string megabytes = std::to_string(limits.maxBytes / (1024 * 1024));
    if (reading.tooLarge)
        return AgendaLanguage::text(
            host + " manda un calendario più grande di " + megabytes + " MB: non viene letto.",
            host + " sends a calendar larger than " + megabytes + " MB: it is not read.");
    if (reading.tooSlow)
        return AgendaLanguage::text(
            host + " non ha finito di rispondere in " + seconds(limits.total) + " s.",
            host + " did not finish answering within " + seconds(limits.total) + " s.");
    switch (reply.error()) {
    case QNetworkReply::HostNotFoundError:
        return AgendaLanguage::text(host + " non trovato: manca la rete o l'indirizzo è sbagliato.",
                                    host + " not found: no network, or a mistyped address.");
    case QNetworkReply::ConnectionRefusedError:
    case QNetworkReply::RemoteHostClosedError:
    case QNetworkReply::NetworkSessionFailedError:
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::UnknownNetworkError:
        return AgendaLanguage::text(host + " non raggiungibile.", host + " unreachable.");
    case QNetworkReply::OperationCanceledError:
    case QNetworkReply::TimeoutError:
        return AgendaLanguage::text(host + " non ha mandato nulla per " + seconds(limits.stall) +
                                        " s.",
                                    host + " sent nothing for " + seconds(limits.stall) + " s.");
    case QNetworkReply::SslHandshakeFailedError:
        return AgendaLanguage::text(
            "Il certificato di " + host + " non è valido (" + reading.certificateProblem +
                "): il calendario non viene letto.",
            "The certificate of " + host + " is not valid (" + reading.certificateProblem +
                "): the calendar is not read.");
    case QNetworkReply::InsecureRedirectError:
        return AgendaLanguage::text(
            host + " rimanda a un indirizzo http non cifrato: Pellora non lo segue.",
            host + " redirects to an unencrypted http address: Pellora does not follow it.");
    case QNetworkReply::TooManyRedirectsError:
        return AgendaLanguage::text(host + " rimanda ad altri indirizzi senza fine (più di " +
                                        std::to_string(limits.maxRedirects) + ").",
                                    host + " redirects without end (more than " +
                                        std::to_string(limits.maxRedirects) + " redirects).");
    default:
        break;
    }
    if (status == 401 || status == 403)
        return AgendaLanguage::text(
            host + " rifiuta l'accesso (" + std::to_string(status) +
                "): l'indirizzo potrebbe essere stato reimpostato o non più condiviso.",
            host + " refuses access (" + std::to_string(status) +
                "): the address may have been reset or is no longer shared.");
    if (status == 404 || status == 410)
        return AgendaLanguage::text(
            host + " non ha più questo calendario (" + std::to_string(status) + ").",
            host + " no longer has this calendar (" + std::to_string(status) + ").");
    if (status != 0)
        return AgendaLanguage::text(
            host + " ha risposto con l'errore HTTP " + std::to_string(status) + ".",
            host + " answered with HTTP error " + std::to_string(status) + ".");
    // Qt's own description names the whole address, token included: only the code is shown.
    return AgendaLanguage::text(host + " non leggibile (errore di rete " +
                                    std::to_string(static_cast<int>(reply.error())) + ").",
                                host + " could not be read (network error " +
                                    std::to_string(static_cast<int>(reply.error())) + ").");
}

} // namespace

QCoro::Task<FetchOutcome> fetch(QNetworkAccessManager& network, FetchRequest request,
                                FetchLimits limits) {
    const std::string host = shownHost(request.address);
    QPointer<QNetworkReply> reply = network.get(requestFor(request, limits));
    // The reply goes with the manager when that ends first.
    const struct Release {
        QPointer<QNetworkReply> reply;
        ~Release() {
            if (reply)
                reply->deleteLater();
        }
    } release{reply};
    reply->setReadBufferSize(readAhead);
    auto reading = std::make_shared<Reading>();
    const auto over = [reading, limits](qint64 size) {
        return size >= 0 && static_cast<std::size_t>(size) > limits.maxBytes;
    };
    QObject::connect(reply, &QNetworkReply::metaDataChanged, reply,
                     [r = reply.data(), reading, over] {
                         if (over(r->header(QNetworkRequest::ContentLengthHeader).toLongLong())) {
                             reading->tooLarge = true;
                             r->abort();
                         }
                     });
    QObject::connect(reply, &QNetworkReply::readyRead, reply, [r = reply.data(), reading, over] {
        // Read as it arrives, so the limit is checked on what arrived, before more is taken.
        while (r->bytesAvailable() > 0 && !reading->tooLarge) {
            reading->body += r->read(readAhead);
            reading->tooLarge = over(reading->body.size());
        }
        if (reading->tooLarge) {
            reading->body.clear();
            r->abort();
        }
    });
    QObject::connect(
        reply, &QNetworkReply::sslErrors, reply, [reading](const QList<QSslError>& errors) {
            if (!errors.isEmpty())
                reading->certificateProblem = errors.first().errorString().toStdString();
        });
    if (!reply->isFinished()) {
        SignalWait finished(reply.data(), &QNetworkReply::finished, reply.data(), limits.total);
        if (!co_await finished && reply) {
            reading->tooSlow = true;
            reply->abort();
        }
    }
    FetchOutcome outcome;
    if (!reply) {
        outcome.error = AgendaLanguage::text(host + " non raggiungibile.", host + " unreachable.");
        co_return outcome;
    }
    if (!reading->tooLarge && reply->bytesAvailable() > 0)
        reading->body += reply->readAll();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (reading->tooLarge || reading->tooSlow || reply->error() != QNetworkReply::NoError) {
        outcome.error = failureLine(*reply, *reading, host, limits);
    } else if (status == 304) {
        outcome.kind = FetchOutcome::Kind::unchanged;
    } else if (status < 200 || status > 299) {
        outcome.error = failureLine(*reply, *reading, host, limits);
    } else if (over(reading->body.size())) {
        outcome.error = failureLine(*reply, Reading{{}, true, false, {}}, host, limits);
    } else if (isWebPage(reply->header(QNetworkRequest::ContentTypeHeader).toByteArray(),
                         reading->body)) {
        outcome.error = AgendaLanguage::text(
            host + " risponde con una pagina web (forse una pagina di accesso), non con un "
                   "calendario: controlla che l'indirizzo sia quello del calendario in formato "
                   "iCal.",
            host + " answers with a web page (a sign-in page, perhaps), not a calendar: check "
                   "that the address is the calendar's iCal address.");
    } else {
        outcome.kind = FetchOutcome::Kind::fresh;
        outcome.body = std::move(reading->body);
        outcome.etag = validator(reply->rawHeader("ETag")).value_or(QByteArray());
        outcome.lastModified = validator(reply->rawHeader("Last-Modified")).value_or(QByteArray());
    }
    co_return outcome;
}

} // namespace brivane::subscription

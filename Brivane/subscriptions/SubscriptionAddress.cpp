#include "Brivane/subscriptions/SubscriptionAddress.h"

#include "BrivaneCore/AgendaLanguage.h"

namespace brivane::subscription {

namespace {

constexpr qsizetype maxValidatorBytes = 512;

} // namespace

std::optional<QUrl> fetchableAddress(const QString& typed, std::string* why) {
    QUrl url(typed.trimmed(), QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || scheme.isEmpty() || url.host().isEmpty()) {
        *why = AgendaLanguage::text("Non è un indirizzo valido: usa un indirizzo webcal:// o "
                                    "https:// come lo dà il servizio del calendario.",
                                    "That is not a valid address: use a webcal:// or https:// "
                                    "address as the calendar's service gives it.");
        return std::nullopt;
    }
    if (scheme == QLatin1String("webcal") || scheme == QLatin1String("webcals")) {
        url.setScheme(QStringLiteral("https"));
        // webcal has no port of its own: a port written in it was meant for the server.
    } else if (scheme != QLatin1String("https") && scheme != QLatin1String("http")) {
        const std::string shown = scheme.left(20).toStdString();
        *why =
            AgendaLanguage::text("Gli indirizzi " + shown +
                                     ":// non sono supportati: usa webcal://, https:// o http://.",
                                 "Addresses of the form " + shown +
                                     ":// are not supported: use webcal://, https:// or http://.");
        return std::nullopt;
    } else {
        url.setScheme(scheme);
    }
    if (!url.userInfo().isEmpty()) {
        *why = AgendaLanguage::text("Gli indirizzi con nome utente e password non sono supportati.",
                                    "Addresses with a user name and password are not supported.");
        return std::nullopt;
    }
    url.setFragment(QString());
    return url;
}

std::string shownHost(const QUrl& address) {
    QString host = address.host(QUrl::FullyDecoded);
    if (host.contains(QLatin1Char(':')))
        host = QLatin1Char('[') + host + QLatin1Char(']');
    const int port = address.port();
    const int usual = address.scheme() == QLatin1String("http") ? 80 : 443;
    if (port > 0 && port != usual)
        host += QLatin1Char(':') + QString::number(port);
    return host.toStdString();
}

std::optional<QByteArray> validator(const QByteArray& headerValue) {
    const QByteArray value = headerValue.trimmed();
    if (value.isEmpty() || value.size() > maxValidatorBytes)
        return std::nullopt;
    for (const char c : value) {
        if (c < 0x20 || c > 0x7e)
            return std::nullopt;
    }
    return value;
}

bool isWebPage(const QByteArray& contentType, const QByteArray& bodyStart) {
    const QByteArray type = contentType.split(';').value(0).trimmed().toLower();
    if (type == "text/html" || type == "application/xhtml+xml")
        return true;
    // Some servers label everything text/plain or octet-stream: the body decides then.
    QByteArray start = bodyStart.left(512).trimmed().toLower();
    if (start.startsWith("\xef\xbb\xbf"))
        start = start.mid(3).trimmed();
    return start.startsWith("<!doctype html") || start.startsWith("<html") ||
           (start.startsWith("<?xml") && start.contains("<html"));
}

} // namespace brivane::subscription

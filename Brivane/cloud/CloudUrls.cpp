#include "Brivane/cloud/CloudUrls.h"

namespace brivane {

namespace {

int effectivePort(const QUrl& url) {
    return url.port(url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0 ? 443
                                                                                           : 80);
}

} // namespace

bool sameOrigin(const QUrl& a, const QUrl& b) {
    return a.scheme().compare(b.scheme(), Qt::CaseInsensitive) == 0 &&
           a.host().compare(b.host(), Qt::CaseInsensitive) == 0 &&
           effectivePort(a) == effectivePort(b);
}

QString queryValue(const std::string& value) {
    return QString::fromLatin1(
        QUrl::toPercentEncoding(QString::fromStdString(value), ":/@!$'()*,;?"));
}

QString pathSegment(const std::string& id) {
    return QString::fromLatin1(
        QUrl::toPercentEncoding(QString::fromStdString(id), "!$&'()*+,;=:@"));
}

QUrl apiURL(const std::string& base, const QString& pathAndQuery) {
    QUrl url(QString::fromStdString(base) + pathAndQuery, QUrl::StrictMode);
    return url.isValid() && !url.host().isEmpty() ? url : QUrl();
}

} // namespace brivane

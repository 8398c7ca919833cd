// Plays the user's browser for the sign-in tests: fetches the address it is given, follows
// http(s) redirects, and hands any other scheme to the desktop (xdg-open), as a browser does
// with a custom-scheme redirect. Asks the loopback receiver for its favicon first, as browsers
// do. Every step is appended to $PELLORA_FAKE_BROWSER_LOG.

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QUrl>

namespace {

void log(const QByteArray& line) {
    QFile file(qEnvironmentVariable("PELLORA_FAKE_BROWSER_LOG"));
    if (file.open(QIODevice::Append))
        file.write(line + '\n');
}

struct Answer {
    int status = 0;
    QUrl location;
    QByteArray body;
};

Answer get(QNetworkAccessManager& network, const QUrl& url) {
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    QNetworkReply* reply = network.get(request);
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    loop.exec();
    Answer answer{reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(),
                  reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl(),
                  reply->readAll()};
    reply->deleteLater();
    log("GET " + url.toEncoded() + " " + QByteArray::number(answer.status));
    return answer;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc < 2)
        return 2;
    log("OPEN " + QByteArray(argv[1]));
    QNetworkAccessManager network;
    QUrl url = QUrl::fromEncoded(argv[1]);
    for (int hop = 0; hop < 10; ++hop) {
        if (url.host() == QLatin1String("127.0.0.1") &&
            url.path() == QLatin1String("/oauth2redirect")) {
            QUrl favicon = url;
            favicon.setPath(QStringLiteral("/favicon.ico"));
            favicon.setQuery(QString());
            get(network, favicon);
        }
        const Answer answer = get(network, url);
        if (answer.status < 300 || answer.status > 399 || answer.location.isEmpty()) {
            log("PAGE " + answer.body);
            return 0;
        }
        const QUrl next = url.resolved(answer.location);
        if (next.scheme() != QLatin1String("http") && next.scheme() != QLatin1String("https")) {
            log("HANDOFF " + next.toEncoded());
            return QProcess::execute(QStringLiteral("xdg-open"), {next.toString(QUrl::FullyEncoded)});
        }
        url = next;
    }
    return 1;
}

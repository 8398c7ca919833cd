#include "Brivane/updates/UpdateManager.h"

#include "Brivane/AppConfiguration.h"
#include "Brivane/AppIdentity.h"
#include "Brivane/Logging.h"
#include "BrivaneCore/AgendaLanguage.h"

#include <QDateTime>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSettings>
#include <QStandardPaths>
#include <QTimer>
#include <algorithm>
#include <charconv>

namespace brivane {

namespace {

using namespace std::chrono_literals;

// A waiting timer re-checks at least this often: a monotonic timer stands still while the
// machine sleeps, and the wall clock may jump, so the due time is recomputed from the clock.
constexpr std::chrono::milliseconds longestWait = 1h;

// "host" or "host:port", nothing else; the feed is always https at the fixed path.
QUrl feedLocation(const std::string& host) {
    const QString text = QString::fromStdString(host).trimmed();
    if (text.isEmpty() || text.contains(QLatin1Char('/')) || text.contains(QLatin1Char('@')) ||
        text.contains(QLatin1Char('?')) || text.contains(QLatin1Char('#')) ||
        text.contains(QLatin1Char(' ')))
        return {};
    QUrl url(QStringLiteral("https://") + text + QLatin1String(UpdateManager::feedPath),
             QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty())
        return {};
    return url;
}

std::string runningVersion(const nlohmann::json& information) {
    if (information.is_object()) {
        if (auto it = information.find("CFBundleShortVersionString");
            it != information.end() && it->is_string())
            return it->get<std::string>();
    }
    return "0";
}

long long runningBuild(const nlohmann::json& information) {
    if (!information.is_object())
        return 0;
    const auto it = information.find("CFBundleVersion");
    if (it == information.end())
        return 0;
    if (it->is_number_integer())
        return it->get<long long>();
    if (!it->is_string())
        return 0;
    const std::string& text = it->get_ref<const std::string&>();
    long long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() ? value : 0;
}

} // namespace

QString UpdateManager::defaultSettingsPath() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/Brivane/Pellora.conf");
}

UpdateManager::UpdateManager(QObject* parent) : UpdateManager(Options{}, parent) {}

UpdateManager::UpdateManager(Options options, QObject* parent)
    : QObject(parent), options_(std::move(options)) {
    if (!options_.updateHost)
        options_.updateHost = AppConfiguration::load().updateHost;
    if (!options_.information)
        options_.information = AppInformation::document();
    if (options_.settingsPath.isEmpty())
        options_.settingsPath = defaultSettingsPath();
    settings_ = std::make_unique<QSettings>(options_.settingsPath, QSettings::IniFormat);
    network_ = options_.network;

    feedURL_ = feedLocation(*options_.updateHost);
    if (!feedURL_.isEmpty()) {
        const QString host = feedURL_.host();
        const QString www = QStringLiteral("www.");
        downloadHosts_ = {host, host.startsWith(www) ? host.mid(www.size()) : www + host};
    }

    const QVariant stored = settings_->value(QLatin1String(lastCheckKey));
    if (stored.typeId() == QMetaType::QDateTime && stored.toDateTime().isValid())
        lastChecked_ = Date{std::chrono::milliseconds(stored.toDateTime().toMSecsSinceEpoch())};

    timer_ = new QTimer(this);
    timer_->setSingleShot(true);
    connect(timer_, &QTimer::timeout, this, &UpdateManager::checkAutomaticallyIfDue);
}

UpdateManager::~UpdateManager() {
    // The reply may belong to a shared network access that outlives us.
    if (QNetworkReply* reply = checkTask_.data()) {
        reply->disconnect(this);
        reply->abort();
        reply->deleteLater();
    }
}

Date UpdateManager::now() const {
    if (options_.now)
        return options_.now();
    return std::chrono::floor<std::chrono::milliseconds>(std::chrono::system_clock::now());
}

bool UpdateManager::automaticCheckScheduled() const {
    return timer_->isActive();
}

std::optional<std::chrono::milliseconds> UpdateManager::nextAutomaticCheckIn() const {
    if (!timer_->isActive())
        return std::nullopt;
    return std::chrono::milliseconds(timer_->remainingTime());
}

bool UpdateManager::automaticChecksEnabled() const {
    settings_->sync(); // another instance (or the terminal command) may have changed it
    const QVariant value = settings_->value(QLatin1String(automaticChecksKey));
    if (value.typeId() == QMetaType::Bool)
        return value.toBool();
    // The INI format gives booleans back as text.
    if (value.typeId() == QMetaType::QString) {
        if (value.toString() == QLatin1String("false"))
            return false;
    }
    return true;
}

void UpdateManager::setAutomaticChecksEnabled(bool enabled) {
    settings_->setValue(QLatin1String(automaticChecksKey), enabled);
    settings_->sync();
    timer_->stop();
    if (enabled)
        checkAutomaticallyIfDue();
}

void UpdateManager::schedule(std::chrono::milliseconds delay) {
    timer_->stop();
    timer_->setTimerType(delay > 1min ? Qt::CoarseTimer : Qt::PreciseTimer);
    timer_->start(std::min(delay, longestWait));
}

void UpdateManager::checkAutomaticallyIfDue() {
    timer_->stop();
    if (!enabled() || !automaticChecksEnabled())
        return;
    if (!lastChecked_) {
        checkForUpdates(false);
        return;
    }
    const auto elapsed = now() - *lastChecked_;
    // A last check "in the future" means the clock was set back: waiting for it could take
    // years, so such a stamp counts as due.
    if (elapsed < 0ms) {
        checkForUpdates(false);
        return;
    }
    const auto remaining =
        std::chrono::duration_cast<std::chrono::milliseconds>(checkInterval) - elapsed;
    // Timers may fire a little early; a remainder under a second is due.
    if (remaining >= 1s)
        schedule(remaining);
    else
        checkForUpdates(false);
}

void UpdateManager::setStatus(Status status) {
    if (status == status_)
        return;
    status_ = std::move(status);
    Q_EMIT statusChanged();
}

bool UpdateManager::isFeedLocation(const QUrl& url) const {
    return url.scheme() == QLatin1String("https") &&
           url.host().compare(feedURL_.host(), Qt::CaseInsensitive) == 0 &&
           url.port(443) == feedURL_.port(443);
}

void UpdateManager::checkForUpdates(bool manual) {
    if (checkTask_ || !enabled())
        return;
    setStatus(Status::of(Status::Kind::checking));
    lastChecked_ = now();
    settings_->setValue(
        QLatin1String(lastCheckKey),
        QDateTime::fromMSecsSinceEpoch(lastChecked_->time_since_epoch().count(), Qt::UTC));
    settings_->sync();
    Q_EMIT lastCheckedChanged();

    QNetworkRequest request(feedURL_);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                         QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    // Redirects are followed only within the update host, so the feed never comes from
    // elsewhere and no other server is even asked.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::UserVerifiedRedirectPolicy);
    request.setTransferTimeout(static_cast<int>(options_.idleTimeout.count()));
    // Made at the first check, so a build without an update feed never loads the network stack.
    if (!network_) {
        ownNetwork_ = std::make_unique<QNetworkAccessManager>();
        network_ = ownNetwork_.get();
    }
    QNetworkReply* reply = network_->get(request);
    checkTask_ = reply;

    QTimer::singleShot(options_.totalTimeout, reply, [reply] { reply->abort(); });
    connect(reply, &QNetworkReply::redirected, this, [this, reply](const QUrl& target) {
        if (isFeedLocation(target))
            Q_EMIT reply->redirectAllowed();
        else
            reply->abort();
    });
    // Stop reading as soon as the answer is too large to be a feed.
    connect(reply, &QNetworkReply::metaDataChanged, this, [reply] {
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (length.isValid() && length.toLongLong() > maximumFeedBytes)
            reply->abort();
    });
    connect(reply, &QNetworkReply::readyRead, this, [reply] {
        if (reply->bytesAvailable() > maximumFeedBytes)
            reply->abort();
    });
    connect(reply, &QNetworkReply::finished, this,
            [this, reply, manual] { finishCheck(reply, manual); });
}

std::optional<PelloraRelease> UpdateManager::acceptedRelease(QNetworkReply* reply) const {
    if (reply->error() != QNetworkReply::NoError) {
        qCDebug(lcUpdates) << "Release feed not read:" << reply->errorString();
        return std::nullopt;
    }
    if (const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        status != 200) {
        qCDebug(lcUpdates) << "Release feed answered HTTP" << status;
        return std::nullopt;
    }
    if (!isFeedLocation(reply->url()))
        return std::nullopt;
    const QByteArray body = reply->read(maximumFeedBytes + 1);
    if (body.size() > maximumFeedBytes)
        return std::nullopt;

    PelloraRelease release;
    try {
        release = PelloraRelease::fromJsonText(std::string_view(body.constData(), body.size()));
    } catch (const std::exception& failure) {
        qCDebug(lcUpdates) << "Release feed not understood:" << failure.what();
        return std::nullopt;
    }
    if (release.downloadURL) {
        const QUrl link(QString::fromStdString(*release.downloadURL), QUrl::StrictMode);
        if (!link.isValid() || link.scheme() != QLatin1String("https") ||
            !downloadHosts_.contains(link.host(), Qt::CaseInsensitive) ||
            QFileInfo(link.path()).suffix().toLower() != QLatin1String("deb"))
            return std::nullopt;
    }
    if (!release.hasValidVersion() || release.build <= 0)
        return std::nullopt;
    return release;
}

void UpdateManager::finishCheck(QNetworkReply* reply, bool manual) {
    reply->deleteLater();
    checkTask_ = nullptr;
    const QPointer<UpdateManager> self(this);
    if (auto release = acceptedRelease(reply)) {
        if (release->isNewer(runningVersion(*options_.information),
                             runningBuild(*options_.information))) {
            setStatus(Status::available(*release));
            if (!manual && onAutomaticUpdateAvailable)
                onAutomaticUpdateAvailable(*release);
        } else {
            setStatus(Status::of(Status::Kind::current));
        }
    } else {
        setStatus(Status::of(Status::Kind::failed));
    }
    if (self)
        checkAutomaticallyIfDue();
}

std::string UpdateManager::statusText() const {
    if (!enabled())
        return AgendaLanguage::text(
            "Il controllo degli aggiornamenti è disattivato: questa build non ha un server di "
            "aggiornamento.",
            "Update checks are off: this build has no update server.");
    switch (status_.kind) {
    case Status::Kind::idle:
        return AgendaLanguage::text("Puoi controllare gli aggiornamenti in qualsiasi momento.",
                                    "You can check for updates at any time.");
    case Status::Kind::checking:
        return AgendaLanguage::text("Controllo aggiornamenti…", "Checking for updates…");
    case Status::Kind::current:
        return AgendaLanguage::text("Pellora è aggiornata.", "Pellora is up to date.");
    case Status::Kind::failed:
        return AgendaLanguage::text(
            "Non riesco a controllare gli aggiornamenti. Riprova quando sei online.",
            "Could not check for updates. Try again when you’re online.");
    case Status::Kind::available: {
        const PelloraRelease& release = *status_.release;
        if (release.downloadURL) {
            const std::string build = std::to_string(release.build);
            return AgendaLanguage::text(
                "È disponibile Pellora " + release.version + " (build " + build + ").",
                "Pellora " + release.version + " (build " + build + ") is available.");
        }
        return AgendaLanguage::text("È disponibile una nuova build personale (" + release.version +
                                        "). Contatta lo sviluppatore per riceverla.",
                                    "A new personal build (" + release.version +
                                        ") is available. Contact the developer to obtain it.");
    }
    }
    return {};
}

} // namespace brivane

#pragma once

// Checks the release feed on the update host: automatically at most once every 24 hours while
// automatic checks are on, and on demand. Main thread only.

#include "BrivaneCore/AgendaDates.h"
#include "BrivaneCore/PelloraRelease.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <chrono>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

class QNetworkAccessManager;
class QNetworkReply;
class QSettings;
class QTimer;

namespace brivane {

class UpdateManager : public QObject {
    Q_OBJECT
public:
    struct Status {
        enum class Kind { available, idle, checking, current, failed };
        Kind kind = Kind::idle;
        // The newer release; present for `available` only.
        std::optional<PelloraRelease> release;

        static Status available(PelloraRelease release) { return {Kind::available, release}; }
        static Status of(Kind kind) { return {kind, std::nullopt}; }
        bool operator==(const Status&) const = default;
    };

    struct Options {
        // The feed's host, optionally with a port ("updates.example.org"); read from the
        // deployment settings when absent. Empty: update checks are off.
        std::optional<std::string> updateHost;
        // The user-defaults file; defaultSettingsPath() when empty.
        QString settingsPath;
        // The shared network access; the manager makes its own when null.
        QNetworkAccessManager* network = nullptr;
        // The running version and build ("CFBundleShortVersionString", "CFBundleVersion");
        // Info.json when absent.
        std::optional<nlohmann::json> information;
        // The wall clock; the system clock when empty.
        std::function<Date()> now;
        // Silence allowed while the feed arrives, and the whole request's limit.
        std::chrono::milliseconds idleTimeout{15000};
        std::chrono::milliseconds totalTimeout{60000};
    };

    static constexpr const char* automaticChecksKey = "PelloraAutomaticUpdateChecks";
    static constexpr const char* lastCheckKey = "PelloraLastUpdateCheck";
    static constexpr const char* feedPath = "/updates/latest-personal.json";
    static constexpr qint64 maximumFeedBytes = 65536;
    static constexpr std::chrono::seconds checkInterval{86400};

    // $XDG_CONFIG_HOME/Brivane/Pellora.conf, read at every call.
    static QString defaultSettingsPath();

    explicit UpdateManager(QObject* parent = nullptr);
    explicit UpdateManager(Options options, QObject* parent = nullptr);
    ~UpdateManager() override;

    const Status& status() const { return status_; }
    // The instant the last check started.
    const std::optional<Date>& lastChecked() const { return lastChecked_; }
    // False when this build has no update host: nothing is ever checked.
    bool enabled() const { return !feedURL_.isEmpty(); }
    // https://<update host>/updates/latest-personal.json; empty when not enabled.
    const QUrl& feedURL() const { return feedURL_; }
    // The names download links may use: the update host and its "www." partner.
    const QStringList& downloadHosts() const { return downloadHosts_; }
    // The next automatic check is waiting on a timer.
    bool automaticCheckScheduled() const;
    // The timer's remaining time, for the about window and tests.
    std::optional<std::chrono::milliseconds> nextAutomaticCheckIn() const;

    bool automaticChecksEnabled() const;
    void setAutomaticChecksEnabled(bool enabled);

    void checkAutomaticallyIfDue();
    void checkForUpdates(bool manual);

    // The status line of the about window, in the language of the moment.
    std::string statusText() const;

    // Called when an automatic check finds a newer release.
    std::function<void(const PelloraRelease&)> onAutomaticUpdateAvailable;

Q_SIGNALS:
    void statusChanged();
    void lastCheckedChanged();

private:
    Date now() const;
    void setStatus(Status status);
    void schedule(std::chrono::milliseconds delay);
    void finishCheck(QNetworkReply* reply, bool manual);
    std::optional<PelloraRelease> acceptedRelease(QNetworkReply* reply) const;
    bool isFeedLocation(const QUrl& url) const;

    Options options_;
    std::unique_ptr<QSettings> settings_;
    std::unique_ptr<QNetworkAccessManager> ownNetwork_;
    QNetworkAccessManager* network_ = nullptr;
    QUrl feedURL_;
    QStringList downloadHosts_;
    Status status_;
    std::optional<Date> lastChecked_;
    QPointer<QNetworkReply> checkTask_;
    QTimer* timer_ = nullptr;
};

} // namespace brivane

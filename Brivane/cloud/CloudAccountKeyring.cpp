#include "Brivane/cloud/CloudAccountKeyring.h"

#include "Brivane/AppConfiguration.h"
#include "Brivane/AtomicWrite.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QDir>
#include <QFile>
#include <QMap>
#include <chrono>
#include <memory>
#include <nlohmann/json.hpp>
#include <qcoro/qcorodbuspendingcall.h>
#include <qcoro/qcorosignal.h>
#include <qt6keychain/keychain.h>

namespace brivane {

namespace {

struct JobDeleter {
    void operator()(QKeychain::Job* job) const { job->deleteLater(); }
};
template <typename JobType>
using JobPointer = std::unique_ptr<JobType, JobDeleter>;

// Starts the job and waits for it. A job may finish inside start() (no backend at all), so the
// outcome is caught before the wait begins.
QCoro::Task<> run(QKeychain::Job* job) {
    auto done = std::make_shared<bool>(false);
    QObject::connect(job, &QKeychain::Job::finished, job, [done] { *done = true; });
    job->start();
    if (!*done) {
        auto finished = qCoro(job, &QKeychain::Job::finished);
        co_await finished;
    }
}

constexpr const char* secretsName = "org.freedesktop.secrets";
// How long an unlock prompt may stay open.
constexpr std::chrono::minutes promptLimit{10};
constexpr const char* secretsPath = "/org/freedesktop/secrets";
constexpr const char* serviceInterface = "org.freedesktop.Secret.Service";

// Waits for the Completed signal of one Secret Service prompt.
class PromptWatcher : public QObject {
    Q_OBJECT
public:
    bool dismissed = true;
    bool done = false;
public Q_SLOTS:
    void completed(bool wasDismissed, const QDBusVariant&) {
        dismissed = wasDismissed;
        done = true;
        Q_EMIT finished();
    }
Q_SIGNALS:
    void finished();
};

QDBusMessage serviceCall(const char* method) {
    return QDBusMessage::createMethodCall(
        QString::fromLatin1(secretsName), QString::fromLatin1(secretsPath),
        QString::fromLatin1(serviceInterface), QString::fromLatin1(method));
}

// Asks the keyring to unlock these items (the desktop shows its unlock prompt). True when they
// are unlocked afterwards.
QCoro::Task<bool> unlock(QList<QDBusObjectPath> items, QString* why, bool* dismissed) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    QDBusMessage call = serviceCall("Unlock");
    call << QVariant::fromValue(items);
    QDBusPendingCall pendingUnlock = bus.asyncCall(call);
    const QDBusPendingReply<QList<QDBusObjectPath>, QDBusObjectPath> reply = co_await pendingUnlock;
    if (reply.isError()) {
        *why = reply.error().message();
        co_return false;
    }
    const QString prompt = reply.argumentAt<1>().path();
    if (prompt.isEmpty() || prompt == QLatin1String("/"))
        co_return !reply.argumentAt<0>().isEmpty();
    PromptWatcher watcher;
    bus.connect(QString::fromLatin1(secretsName), prompt,
                QStringLiteral("org.freedesktop.Secret.Prompt"), QStringLiteral("Completed"),
                &watcher, SLOT(completed(bool, QDBusVariant)));
    QDBusMessage show = QDBusMessage::createMethodCall(
        QString::fromLatin1(secretsName), prompt, QStringLiteral("org.freedesktop.Secret.Prompt"),
        QStringLiteral("Prompt"));
    show << QString();
    QDBusPendingCall pendingShow = bus.asyncCall(show);
    const QDBusPendingReply<> shown = co_await pendingShow;
    if (shown.isError()) {
        *why = shown.error().message();
        co_return false;
    }
    if (!watcher.done) {
        auto finished = qCoro(&watcher, &PromptWatcher::finished, promptLimit);
        co_await finished;
    }
    bus.disconnect(QString::fromLatin1(secretsName), prompt,
                   QStringLiteral("org.freedesktop.Secret.Prompt"), QStringLiteral("Completed"),
                   &watcher, SLOT(completed(bool, QDBusVariant)));
    if (!watcher.done) {
        // Nobody answered: the prompt goes away, so that a later sign-in or "Update now" can
        // ask again instead of joining a read that never ends.
        QDBusMessage dismiss = QDBusMessage::createMethodCall(
            QString::fromLatin1(secretsName), prompt,
            QStringLiteral("org.freedesktop.Secret.Prompt"), QStringLiteral("Dismiss"));
        bus.asyncCall(dismiss);
        *why = QStringLiteral("the unlock prompt was not answered");
        *dismissed = false;
        co_return false;
    }
    if (watcher.dismissed)
        *why = QStringLiteral("the unlock prompt was dismissed");
    *dismissed = watcher.dismissed;
    co_return !watcher.dismissed;
}

} // namespace

// A locked keyring answers a plain lookup with "nothing found", the same as a missing item, so
// the item is first looked up on the Secret Service itself: locked items are unlocked (with the
// desktop's prompt) or reported as unavailable, never as missing. Without a Secret Service on
// the bus (KWallet desktops) qtkeychain's own backend decides.
QCoro::Task<std::optional<CloudAccountKeyring::ReadResult>>
CloudAccountKeyring::checkLocked() const {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        co_return std::nullopt;
    static const QMetaType registered = qDBusRegisterMetaType<QMap<QString, QString>>();
    Q_UNUSED(registered);
    QDBusMessage search = serviceCall("SearchItems");
    QMap<QString, QString> attributes{{QStringLiteral("server"), service_},
                                      {QStringLiteral("user"), QString::fromLatin1(itemKey)}};
    search << QVariant::fromValue(attributes);
    QDBusPendingCall pendingSearch = bus.asyncCall(search);
    const QDBusPendingReply<QList<QDBusObjectPath>, QList<QDBusObjectPath>> found =
        co_await pendingSearch;
    if (found.isError()) {
        const auto type = found.error().type();
        if (type == QDBusError::ServiceUnknown ||
            found.error().name() == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner"))
            co_return std::nullopt;
        co_return ReadResult{ReadResult::Kind::unavailable,
                             {},
                             QKeychain::OtherError,
                             found.error().message().toStdString()};
    }
    const QList<QDBusObjectPath> locked = found.argumentAt<1>();
    if (!found.argumentAt<0>().isEmpty() || locked.isEmpty())
        co_return std::nullopt;
    QString why;
    bool dismissed = false;
    if (co_await unlock(locked, &why, &dismissed))
        co_return std::nullopt;
    co_return ReadResult{ReadResult::Kind::unavailable,
                         {},
                         dismissed ? QKeychain::AccessDeniedByUser : QKeychain::AccessDenied,
                         "The keyring is locked: " + why.toStdString(),
                         dismissed};
}

QCoro::Task<CloudAccountKeyring::ReadResult> CloudAccountKeyring::read() const {
    // The owner may be gone when a wait ends; nothing of `this` is used after one.
    const QString service = service_;
    if (auto refused = co_await checkLocked())
        co_return *refused;
    const JobPointer<QKeychain::ReadPasswordJob> job(new QKeychain::ReadPasswordJob(service));
    job->setAutoDelete(false);
    job->setInsecureFallback(false);
    job->setKey(QString::fromLatin1(itemKey));
    co_await run(job.get());
    ReadResult result;
    switch (job->error()) {
    case QKeychain::NoError:
        result.kind = ReadResult::Kind::found;
        result.data = job->textData().toStdString();
        break;
    case QKeychain::EntryNotFound:
        result.kind = ReadResult::Kind::missing;
        break;
    default:
        result.kind = ReadResult::Kind::unavailable;
        result.status = static_cast<std::int32_t>(job->error());
        result.message = job->errorString().toStdString();
        // A wallet's own dialog that the user cancelled.
        result.dismissed = job->error() == QKeychain::AccessDeniedByUser;
        break;
    }
    co_return result;
}

QCoro::Task<CloudAccountKeyring::WriteResult> CloudAccountKeyring::write(std::string data) const {
    const JobPointer<QKeychain::WritePasswordJob> job(new QKeychain::WritePasswordJob(service_));
    job->setAutoDelete(false);
    job->setInsecureFallback(false);
    job->setKey(QString::fromLatin1(itemKey));
    job->setTextData(QString::fromStdString(data));
    co_await run(job.get());
    WriteResult result;
    result.ok = job->error() == QKeychain::NoError;
    if (!result.ok) {
        result.status = static_cast<std::int32_t>(job->error());
        result.message = job->errorString().toStdString();
    }
    co_return result;
}

QString CloudAccountNote::defaultPath() {
    return QString::fromStdString(AppConfiguration::configDirectory()) +
           QStringLiteral("/cloud-accounts.json");
}

std::optional<bool> CloudAccountNote::accountsExist() const {
    QFile file(path_);
    if (!file.exists())
        return std::nullopt;
    if (!file.open(QIODevice::ReadOnly))
        return true;
    const QByteArray bytes = file.read(4096);
    const auto document =
        nlohmann::json::parse(bytes.constData(), bytes.constData() + bytes.size(), nullptr, false);
    if (!document.is_object())
        return true;
    const auto found = document.find("accounts");
    return found == document.end() || !found->is_boolean() || found->get<bool>();
}

void CloudAccountNote::record(bool accountsExist) const {
    const int slash = int(path_.lastIndexOf(u'/'));
    if (slash > 0)
        QDir().mkpath(path_.left(slash));
    writeFileAtomically(path_, accountsExist ? "{\"accounts\":true}\n" : "{\"accounts\":false}\n",
                        QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

} // namespace brivane

#include "CloudAccountKeyring.moc"

#include "Brivane/Logging.h"

#include <QDeadlineTimer>
#include <QHash>
#include <QMutex>

// Debug output is off unless asked for: Qt would enable it for a new category by default.
Q_LOGGING_CATEGORY(lcDesktop, "pellora.desktop", QtInfoMsg)
Q_LOGGING_CATEGORY(lcCalendar, "pellora.calendar", QtInfoMsg)
Q_LOGGING_CATEGORY(lcCloud, "pellora.cloud", QtInfoMsg)
Q_LOGGING_CATEGORY(lcController, "pellora.controller", QtInfoMsg)
Q_LOGGING_CATEGORY(lcUi, "pellora.ui", QtInfoMsg)
Q_LOGGING_CATEGORY(lcUpdates, "pellora.updates", QtInfoMsg)
Q_LOGGING_CATEGORY(lcCli, "pellora.cli", QtInfoMsg)

namespace brivane {

namespace {

constexpr qint64 repeatAfterMs = 60 * 60 * 1000;
// Distinct failures seldom number more than a handful; the bound keeps a storm of different
// texts (one per file of a broken folder) from growing the table without end.
constexpr qsizetype rememberedTexts = 256;

} // namespace

void warnOnce(const QLoggingCategory& category, const QString& text) {
    if (!category.isWarningEnabled())
        return;
    {
        // Calendar readers log from their own threads.
        static QMutex mutex;
        static QHash<QString, QDeadlineTimer> quietUntil;
        const QMutexLocker lock(&mutex);
        const QString key = QString::fromLatin1(category.categoryName()) + QLatin1Char('\n') + text;
        if (auto it = quietUntil.constFind(key); it != quietUntil.cend() && !it->hasExpired())
            return;
        if (quietUntil.size() >= rememberedTexts)
            quietUntil.clear();
        quietUntil.insert(key, QDeadlineTimer(repeatAfterMs));
    }
    qCWarning(category).noquote() << text;
}

QString loggableAddress(const QUrl& url) {
    if (url.isLocalFile())
        return url.toLocalFile();
    return url.scheme() + QStringLiteral("://") + url.host();
}

} // namespace brivane

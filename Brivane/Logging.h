#pragma once

#include <QLoggingCategory>
#include <QString>
#include <QUrl>

// One category per subsystem. Warnings are on by default and go to Qt's message handler
// (standard error, which the session's journal collects); QT_LOGGING_RULES="pellora.*.debug=true"
// adds the debug lines. Nothing here ever carries a token, an authorization code, a calendar
// address's path or query, or an event title outside debug.
Q_DECLARE_LOGGING_CATEGORY(lcDesktop)
Q_DECLARE_LOGGING_CATEGORY(lcCalendar)
Q_DECLARE_LOGGING_CATEGORY(lcCloud)
Q_DECLARE_LOGGING_CATEGORY(lcController)
Q_DECLARE_LOGGING_CATEGORY(lcUi)
Q_DECLARE_LOGGING_CATEGORY(lcUpdates)
Q_DECLARE_LOGGING_CATEGORY(lcCli)

namespace brivane {

// A warning for a failure the program carries on from. The same text in the same category is
// written once an hour at most, so a failure met on every refresh does not fill the journal.
void warnOnce(const QLoggingCategory& category, const QString& text);

// What of an address may be logged: its scheme and host. Calendar addresses may carry a token
// in their path or query.
QString loggableAddress(const QUrl& url);

} // namespace brivane

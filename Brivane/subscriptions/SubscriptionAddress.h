#pragma once

// What a subscription's address and a server's answer headers are taken to mean. Plain functions
// over Qt's value types, so the fuzz target drives exactly these.

#include <QByteArray>
#include <QString>
#include <QUrl>
#include <optional>
#include <string>

namespace brivane::subscription {

// The address as typed, made fetchable: webcal and webcals become https, https and http stay
// (http only because the user typed it), anything else is refused. Absent with `why` set (a line
// for the user, naming no part of the address but its scheme) when it cannot be used.
std::optional<QUrl> fetchableAddress(const QString& typed, std::string* why);

// What a user may be shown of an address: its host (and a port other than the scheme's). The
// path and query often carry the calendar's secret token, so they are never shown.
std::string shownHost(const QUrl& address);

// An ETag or Last-Modified value fit to be sent back: printable ASCII, no line breaks, short.
// Absent for anything else, which is then simply not sent.
std::optional<QByteArray> validator(const QByteArray& headerValue);

// The answer is a web page (a sign-in page, most often) rather than a calendar: said by its
// Content-Type or by how its body begins.
bool isWebPage(const QByteArray& contentType, const QByteArray& bodyStart);

} // namespace brivane::subscription

#pragma once

#include <QString>
#include <QUrl>
#include <string>

namespace brivane {

// Same scheme, host and port (default ports filled in): where a bearer token may go.
bool sameOrigin(const QUrl& a, const QUrl& b);

// A query value with everything that could end or split it escaped ("&", "=", "+", "#", "%").
QString queryValue(const std::string& value);

// An identifier inside a URL path: the path's own characters stay; "/", "?", "#" and "%" are
// escaped, so the identifier stays one segment.
QString pathSegment(const std::string& id);

// A base URL ("https://host[:port]") followed by an already encoded path and query; empty when
// that is not a URL with a host.
QUrl apiURL(const std::string& base, const QString& pathAndQuery);

} // namespace brivane

#pragma once

// One fetch of a subscribed calendar: a conditional GET that never follows https to http, reads
// at most a calendar file's size limit (counted after gzip is undone, and stopped as soon as it
// is passed), and ends within a total time and a stall limit. Main thread only.

#include "Brivane/calendar/ICalendarReader.h"

#include <QByteArray>
#include <QUrl>
#include <chrono>
#include <cstddef>
#include <qcoro/qcorotask.h>
#include <string>

class QNetworkAccessManager;

namespace brivane::subscription {

struct FetchLimits {
    std::size_t maxBytes = ical::maxFileBytes;
    std::chrono::milliseconds total{std::chrono::seconds(60)};
    // Time without a byte arriving.
    std::chrono::milliseconds stall{std::chrono::seconds(20)};
    int maxRedirects = 10;
};

struct FetchRequest {
    QUrl address; // already fetchable (see fetchableAddress)
    // Sent back as If-None-Match and If-Modified-Since when not empty.
    QByteArray etag;
    QByteArray lastModified;
};

struct FetchOutcome {
    enum class Kind { fresh, unchanged, failed };
    Kind kind = Kind::failed;
    QByteArray body; // fresh only
    QByteArray etag; // fresh: the new validators, empty when the server sent none
    QByteArray lastModified;
    std::string error; // failed: one line for the user, naming the host only
};

QCoro::Task<FetchOutcome> fetch(QNetworkAccessManager& network, FetchRequest request,
                                FetchLimits limits = {});

} // namespace brivane::subscription

#pragma once

// The framing of the single-instance socket: a message is its UTF-8 bytes and a line feed.
// Anyone who can reach the socket can write to it, so the reader takes any bytes.

#include <QByteArray>
#include <QString>
#include <QtGlobal>

namespace brivane {

// Messages longer than this are cut off unread.
inline constexpr qsizetype maximumInstanceMessageBytes = 65536;

// A message as a sender writes it: line feeds inside it become spaces.
QByteArray framedInstanceMessage(const QString& message);

// What the bytes received so far on one connection hold.
struct InstanceMessageRead {
    enum class Kind {
        incomplete, // no line feed yet, and still within the limit: wait for more
        message,    // `message` holds the text before the first line feed
        oversized,  // more than the limit without a line feed: drop the connection
    };
    Kind kind = Kind::incomplete;
    QString message;
};
InstanceMessageRead readInstanceMessage(const QByteArray& received);

} // namespace brivane

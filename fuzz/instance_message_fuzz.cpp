// The single-instance socket's reader on whatever a local process writes: it waits, takes a
// message or drops the connection, never more than the limit in, and reads the same message
// from any longer stretch of the same bytes. A sender's framed message reads back as itself.
#include "Brivane/InstanceMessage.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using brivane::InstanceMessageRead;
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    const InstanceMessageRead read = brivane::readInstanceMessage(bytes);
    switch (read.kind) {
    case InstanceMessageRead::Kind::incomplete:
        if (bytes.contains('\n') || bytes.size() > brivane::maximumInstanceMessageBytes)
            std::abort();
        break;
    case InstanceMessageRead::Kind::message: {
        if (read.message.contains(QLatin1Char('\n')) ||
            read.message.toUtf8().size() > 3 * brivane::maximumInstanceMessageBytes)
            std::abort();
        // More bytes after the line feed change nothing.
        const auto longer = brivane::readInstanceMessage(bytes + "tail\n");
        if (longer.kind != InstanceMessageRead::Kind::message || longer.message != read.message)
            std::abort();
        break;
    }
    case InstanceMessageRead::Kind::oversized:
        if (bytes.size() <= brivane::maximumInstanceMessageBytes)
            std::abort();
        break;
    }

    const QString sent = QString::fromUtf8(bytes);
    const QByteArray framed = brivane::framedInstanceMessage(sent);
    if (framed.size() <= brivane::maximumInstanceMessageBytes + 1) {
        const auto back = brivane::readInstanceMessage(framed);
        QString expected = sent;
        expected.replace(QLatin1Char('\n'), QLatin1Char(' '));
        if (back.kind != InstanceMessageRead::Kind::message || back.message != expected)
            std::abort();
    }
    return 0;
}

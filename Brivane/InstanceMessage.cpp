#include "Brivane/InstanceMessage.h"

namespace brivane {

QByteArray framedInstanceMessage(const QString& message) {
    QByteArray bytes = message.toUtf8();
    bytes.replace('\n', ' ');
    return bytes + '\n';
}

InstanceMessageRead readInstanceMessage(const QByteArray& received) {
    const qsizetype end = received.indexOf('\n');
    if (end >= 0 && end <= maximumInstanceMessageBytes)
        return {InstanceMessageRead::Kind::message, QString::fromUtf8(received.left(end))};
    if (received.size() > maximumInstanceMessageBytes)
        return {InstanceMessageRead::Kind::oversized, {}};
    return {};
}

} // namespace brivane

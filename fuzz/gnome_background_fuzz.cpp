// GNOME's XML background reader on any text: it never crashes, and the picture it picks is
// always one of the files the text names, resolved to an absolute path.
#include "Brivane/desktop/GnomeBackgroundXml.h"

#include <QByteArray>
#include <QDateTime>
#include <QDir>
#include <QTimeZone>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray xml(reinterpret_cast<const char*>(data), qsizetype(size));
    // The text's own start time moves the slides against this moment.
    const QDateTime now(QDate(2026, 12, 7), QTime(12, 0), QTimeZone::utc());
    for (const QSize screen : {QSize(1920, 1080), QSize(0, 0)}) {
        const auto file = brivane::gnomeBackgroundFile(
            xml, QStringLiteral("/usr/share/backgrounds"), screen, now);
        if (file && (file->isEmpty() || !QDir::isAbsolutePath(*file)))
            std::abort();
    }
    return 0;
}

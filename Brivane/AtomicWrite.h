#pragma once

#include <QByteArray>
#include <QFileDevice>
#include <QString>
#include <stdexcept>

namespace brivane {

// A file write that failed; the message is the system's description.
class FileWriteError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Writes `data` to a temporary file beside `path`, flushes it to disk and renames it over
// `path`, so readers see the old file or the new one, never a part. The file gets
// `permissions` before it appears under its name; the directory is synced after the rename,
// so that a power cut cannot bring the old file back. Throws FileWriteError.
void writeFileAtomically(const QString& path, const QByteArray& data,
                         QFileDevice::Permissions permissions);

} // namespace brivane

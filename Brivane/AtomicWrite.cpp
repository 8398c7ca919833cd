#include "Brivane/AtomicWrite.h"

#include <QFileInfo>
#include <QSaveFile>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace brivane {

namespace {

// The rename lives in the directory: until the directory is on disk too, a power cut can bring
// the old file back (while, say, the desktop already shows what the new one records).
void syncDirectory(const QString& path) {
    const QByteArray directory = QFile::encodeName(QFileInfo(path).absolutePath());
    const int fd = ::open(directory.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        throw FileWriteError(directory.toStdString() + ": " + std::strerror(errno));
    int result;
    do
        result = ::fsync(fd);
    while (result != 0 && errno == EINTR);
    const int error = errno;
    ::close(fd);
    // Some file systems cannot sync a directory at all; nothing more can be done there.
    if (result != 0 && error != EINVAL && error != ENOTSUP)
        throw FileWriteError(directory.toStdString() + ": " + std::strerror(error));
}

} // namespace

void writeFileAtomically(const QString& path, const QByteArray& data,
                         QFileDevice::Permissions permissions) {
    QSaveFile file(path);
    // A copy of a file on display would be wasted; the rename must not be skipped.
    file.setDirectWriteFallback(false);
    if (!file.open(QIODevice::WriteOnly))
        throw FileWriteError(file.errorString().toStdString());
    if (!file.setPermissions(permissions) || file.write(data) != data.size()) {
        const QString error = file.errorString();
        file.cancelWriting();
        throw FileWriteError(error.toStdString());
    }
    if (!file.commit())
        throw FileWriteError(file.errorString().toStdString());
    syncDirectory(path);
}

} // namespace brivane

#include "Brivane/AtomicWrite.h"

#include <QSaveFile>

namespace brivane {

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
}

} // namespace brivane

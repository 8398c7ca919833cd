#include "Brivane/SingleInstance.h"

#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>
#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <sys/file.h>
#include <unistd.h>

namespace brivane {

namespace {

constexpr const char* applicationID = "it.quillmere.Brivane";

} // namespace

SingleInstance::SingleInstance(QObject* parent) : QObject(parent), server_(new QLocalServer(this)) {
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    QObject::connect(server_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = server_->nextPendingConnection()) {
            auto buffer = std::make_shared<QByteArray>();
            QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            QObject::connect(socket, &QLocalSocket::readyRead, this, [this, socket, buffer] {
                buffer->append(socket->read(maximumMessageBytes + 1 - buffer->size()));
                const InstanceMessageRead read = readInstanceMessage(*buffer);
                if (read.kind == InstanceMessageRead::Kind::incomplete)
                    return;
                if (read.kind == InstanceMessageRead::Kind::message) {
                    // The acknowledgement tells the sender someone took the message.
                    socket->write("ok\n");
                    socket->disconnectFromServer();
                    Q_EMIT messageReceived(read.message);
                } else {
                    socket->abort();
                }
                buffer->clear();
            });
        }
    });
}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::socketPath() {
    QString directory = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (directory.isEmpty() || !QDir::isAbsolutePath(directory))
        directory = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    return QDir(directory).filePath(QString::fromLatin1(applicationID));
}

bool SingleInstance::listen() {
    if (server_->isListening())
        return true;
    const QString path = socketPath();
    // Starts at the same moment must not both find no instance and both listen: the probe,
    // the removal and the listening happen under a lock beside the socket (released by the
    // kernel whatever way this process ends).
    const int lock = ::open(QFile::encodeName(path + QStringLiteral(".lock")).constData(),
                            O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock >= 0) {
        while (::flock(lock, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    const std::unique_ptr<const int, void (*)(const int*)> unlock(&lock, [](const int* fd) {
        if (*fd >= 0)
            ::close(*fd);
    });
    // Listening would silently replace a live instance's socket, so ask first: someone
    // answering means a live instance; silence means nothing or a socket left by a crash.
    QLocalSocket probe;
    probe.connectToServer(path);
    if (probe.waitForConnected(1000))
        return false;
    QLocalServer::removeServer(path);
    return server_->listen(path);
}

bool SingleInstance::isListening() const {
    return server_->isListening();
}

bool SingleInstance::send(const QString& message, std::chrono::milliseconds timeout) {
    QLocalSocket socket;
    socket.connectToServer(socketPath());
    const int milliseconds = int(timeout.count());
    if (!socket.waitForConnected(milliseconds))
        return false;
    socket.write(framedInstanceMessage(message));
    if (!socket.waitForBytesWritten(milliseconds))
        return false;
    while (!socket.canReadLine()) {
        if (!socket.waitForReadyRead(milliseconds))
            return false;
    }
    return socket.readLine().trimmed() == "ok";
}

} // namespace brivane

#include "Brivane/SingleInstance.h"

#include <QDir>
#include <QFile>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <utility>

// Plain Unix sockets rather than QLocalServer: the tray application then never loads Qt's
// network code unless it goes online.

namespace brivane {

namespace {

constexpr const char* applicationID = "it.quillmere.Brivane";
// A start hands its message over at once; a connection that stays silent longer is dropped.
constexpr std::chrono::seconds silentConnectionLimit{10};

std::optional<sockaddr_un> addressOf(const QByteArray& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.isEmpty() || std::size_t(path.size()) >= sizeof address.sun_path)
        return std::nullopt;
    std::memcpy(address.sun_path, path.constData(), std::size_t(path.size()));
    return address;
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

int remainingMilliseconds(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return int(std::max<std::chrono::milliseconds::rep>(0, left.count()));
}

// Waits for `events` on `fd` until the deadline; false on timeout or error.
bool waitFor(int fd, short events, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        pollfd entry{fd, events, 0};
        const int ready = ::poll(&entry, 1, remainingMilliseconds(deadline));
        if (ready > 0)
            return (entry.revents & events) != 0;
        if (ready == 0 || errno != EINTR)
            return false;
    }
}

// A connected, non-blocking client socket, or -1 when nobody listens there in time.
int connectTo(const sockaddr_un& address, std::chrono::steady_clock::time_point deadline) {
    FileDescriptor fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (fd.get() < 0)
        return -1;
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        // A full backlog: the listener is alive but busy.
        if (errno != EAGAIN && errno != EINPROGRESS)
            return -1;
        int error = 0;
        socklen_t length = sizeof error;
        if (!waitFor(fd.get(), POLLOUT, deadline) ||
            ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0)
            return -1;
    }
    return fd.release();
}

} // namespace

// One accepted connection: reads one framed message, answers, closes.
class SingleInstance::Connection : public QObject {
public:
    Connection(int fd, SingleInstance* owner) : QObject(owner), fd_(fd) {
        notifier_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        connect(notifier_, &QSocketNotifier::activated, this, [this] { readSome(); });
        QTimer::singleShot(silentConnectionLimit, this, [this] { deleteLater(); });
    }
    ~Connection() override {
        delete notifier_; // before its descriptor goes
        ::close(fd_);
    }

private:
    void readSome() {
        char chunk[4096];
        const qsizetype room = maximumMessageBytes + 1 - buffer_.size();
        const ssize_t got =
            ::recv(fd_, chunk, std::size_t(std::min<qsizetype>(room, sizeof chunk)), MSG_DONTWAIT);
        if (got < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        if (got <= 0)
            return finish();
        buffer_.append(chunk, qsizetype(got));
        const InstanceMessageRead read = readInstanceMessage(buffer_);
        if (read.kind == InstanceMessageRead::Kind::incomplete)
            return;
        if (read.kind == InstanceMessageRead::Kind::message) {
            // The acknowledgement tells the sender someone took the message.
            ::send(fd_, "ok\n", 3, MSG_DONTWAIT | MSG_NOSIGNAL);
            Q_EMIT static_cast<SingleInstance*>(parent())->messageReceived(read.message);
        }
        finish();
    }
    void finish() {
        notifier_->setEnabled(false);
        deleteLater();
    }

    int fd_;
    QSocketNotifier* notifier_ = nullptr;
    QByteArray buffer_;
};

SingleInstance::SingleInstance(QObject* parent) : QObject(parent) {}

SingleInstance::~SingleInstance() {
    if (listening_ < 0)
        return;
    // The socket goes with the instance, so the next start need not probe a dead one; a socket
    // another instance has put there since stays.
    struct stat info {};
    if (::stat(listenPath_.constData(), &info) == 0 && info.st_ino == boundInode_ &&
        info.st_dev == boundDevice_)
        ::unlink(listenPath_.constData());
    delete notifier_;
    ::close(listening_);
}

QString SingleInstance::socketPath() {
    QString directory = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (directory.isEmpty() || !QDir::isAbsolutePath(directory))
        directory = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    return QDir(directory).filePath(QString::fromLatin1(applicationID));
}

bool SingleInstance::listen() {
    if (listening_ >= 0)
        return true;
    const QByteArray encoded = QFile::encodeName(socketPath());
    const auto address = addressOf(encoded);
    if (!address) {
        qWarning("Pellora: the socket path %s is too long for a local socket", encoded.constData());
        return false;
    }
    // Starts at the same moment must not both find no instance and both listen: the probe,
    // the removal and the listening happen under a lock beside the socket (released by the
    // kernel whatever way this process ends).
    const FileDescriptor lock(
        ::open((encoded + ".lock").constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (lock.get() >= 0) {
        while (::flock(lock.get(), LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    // Binding would silently replace a live instance's socket, so ask first: someone
    // answering means a live instance; silence means nothing or a socket left by a crash.
    if (const FileDescriptor probe(
            connectTo(*address, std::chrono::steady_clock::now() + std::chrono::seconds(1)));
        probe.get() >= 0)
        return false;
    ::unlink(encoded.constData());
    FileDescriptor fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (fd.get() < 0 ||
        ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0) {
        qWarning("Pellora: cannot create %s: %s", encoded.constData(), std::strerror(errno));
        return false;
    }
    // Only this user may hand the instance a message (a sign-in's redirect among them).
    struct stat bound {};
    if (::chmod(encoded.constData(), 0600) != 0 || ::stat(encoded.constData(), &bound) != 0 ||
        ::listen(fd.get(), 16) != 0) {
        qWarning("Pellora: cannot listen on %s: %s", encoded.constData(), std::strerror(errno));
        ::unlink(encoded.constData());
        return false;
    }
    listening_ = fd.release();
    listenPath_ = encoded;
    boundInode_ = bound.st_ino;
    boundDevice_ = bound.st_dev;
    notifier_ = new QSocketNotifier(listening_, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] {
        for (;;) {
            const int client =
                ::accept4(listening_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (client < 0)
                break;
            new Connection(client, this);
        }
    });
    return true;
}

bool SingleInstance::isListening() const {
    return listening_ >= 0;
}

bool SingleInstance::send(const QString& message, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    const auto address = addressOf(QFile::encodeName(socketPath()));
    if (!address)
        return false;
    const FileDescriptor fd(connectTo(*address, deadline));
    if (fd.get() < 0)
        return false;
    const QByteArray framed = framedInstanceMessage(message);
    for (qsizetype sent = 0; sent < framed.size();) {
        const ssize_t n = ::send(fd.get(), framed.constData() + sent,
                                 std::size_t(framed.size() - sent), MSG_NOSIGNAL);
        if (n > 0)
            sent += n;
        else if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        else if (n < 0 && errno == EAGAIN && !waitFor(fd.get(), POLLOUT, deadline))
            return false;
    }
    QByteArray answer;
    while (!answer.contains('\n')) {
        char chunk[64];
        const ssize_t n = ::recv(fd.get(), chunk, sizeof chunk, 0);
        if (n > 0)
            answer.append(chunk, qsizetype(n));
        else if (n == 0 || (errno != EAGAIN && errno != EINTR))
            return false;
        else if (errno == EAGAIN && !waitFor(fd.get(), POLLIN, deadline))
            return false;
        if (answer.size() > 64)
            return false;
    }
    return answer.left(answer.indexOf('\n')).trimmed() == "ok";
}

} // namespace brivane

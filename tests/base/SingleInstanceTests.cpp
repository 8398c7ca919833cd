#include "BaseTestSupport.h"
#include "Brivane/SingleInstance.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QProcess>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <map>
#include <string_view>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

// Every unlink of this process passes here. In the simultaneous-start children the removal of
// a socket file is slow, as on a busy machine: a start that probes, removes and listens in
// separate steps then loses to another that does the same.
namespace {
bool slowSocketRemoval = false;
} // namespace

extern "C" int unlink(const char* path) {
    using Unlink = int (*)(const char*);
    static const Unlink real = reinterpret_cast<Unlink>(dlsym(RTLD_NEXT, "unlink"));
    if (slowSocketRemoval && std::string_view(path).ends_with("/it.quillmere.Brivane"))
        ::usleep(100000);
    return real(path);
}

namespace brivane {
namespace {

using test::PrivateFolders;
using test::serveUntil;

TEST(SingleInstanceTest, OneListenerPerSessionOwnerOnlyAndMessagesArrive) {
    PrivateFolders folders;
    EXPECT_EQ(SingleInstance::socketPath(), folders.runtime() + "/it.quillmere.Brivane");
    EXPECT_FALSE(SingleInstance::send("nobody there"));

    SingleInstance first;
    ASSERT_TRUE(first.listen());
    struct stat info {};
    ASSERT_EQ(::stat(SingleInstance::socketPath().toLocal8Bit().constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 077, 0u) << std::oct << info.st_mode;

    SingleInstance second;
    EXPECT_FALSE(second.listen());

    // A start that hangs before its message, and one that sends noise, hold nobody up.
    const QByteArray path = SingleInstance::socketPath().toLocal8Bit();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.constData(), std::size_t(path.size()));
    const int silent = ::socket(AF_UNIX, SOCK_STREAM, 0), noisy = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(::connect(silent, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::connect(noisy, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const QByteArray noise(SingleInstance::maximumMessageBytes + 1, 'x');
    ASSERT_EQ(::write(noisy, noise.constData(), std::size_t(noise.size())), noise.size());

    // The sender blocks, so it runs in a child: `pellora <url>` as the desktop starts it.
    QStringList received;
    QObject::connect(&first, &SingleInstance::messageReceived,
                     [&](const QString& message) { received.append(message); });
    const QString url = "msauth.it.quillmere.Brivane://auth?code=a+b%2F$c&state='s'";
    const auto run = test::runPellora({url});
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    ASSERT_TRUE(serveUntil([&] { return received.size() == 1; }));
    EXPECT_EQ(received[0], url);
    char answer[8];
    EXPECT_EQ(::read(noisy, answer, sizeof answer), 0) << "noise is closed unanswered";
    EXPECT_EQ(received.size(), 1);
    ::close(silent);
    ::close(noisy);
}

TEST(SingleInstanceTest, ForwardingWithoutARunningInstanceFailsAndAStaleSocketIsReplaced) {
    PrivateFolders folders;
    const auto run = test::runPellora({"msauth.it.quillmere.Brivane://auth?code=1"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(run.err.contains("Pellora is not running")) << run.err.toStdString();

    // A socket file left by a crashed instance: bound, never listening, never removed.
    const QByteArray path = SingleInstance::socketPath().toLocal8Bit();
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.constData(), std::size_t(path.size()));
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
    ASSERT_TRUE(QFileInfo::exists(SingleInstance::socketPath()));
    SingleInstance next;
    EXPECT_TRUE(next.listen());
}

TEST(SingleInstanceTest, TwentySimultaneousStartsLeaveExactlyOne) {
    PrivateFolders folders;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(test::instanceChild, "1");
    std::vector<std::unique_ptr<QProcess>> starts;
    for (int i = 0; i < 20; ++i) {
        auto process = std::make_unique<QProcess>();
        process->setProcessEnvironment(environment);
        process->start(QCoreApplication::applicationFilePath(), {});
        ASSERT_TRUE(process->waitForStarted(10000));
        starts.push_back(std::move(process));
    }
    // All at the same moment.
    for (auto& process : starts)
        process->write("go\n");
    for (auto& process : starts)
        process->waitForBytesWritten(1000);
    std::map<QString, int> verdicts;
    std::vector<QByteArray> outputs(starts.size());
    ASSERT_TRUE(serveUntil(
        [&] {
            verdicts.clear();
            for (std::size_t i = 0; i < starts.size(); ++i) {
                outputs[i] += starts[i]->readAllStandardOutput();
                const qsizetype at = outputs[i].indexOf("verdict:");
                if (at >= 0)
                    ++verdicts[QString::fromUtf8(outputs[i].mid(at + 8).split('\n').front())];
            }
            return verdicts["listening"] + verdicts["refused"] == int(starts.size());
        },
        std::chrono::seconds(60)));
    EXPECT_EQ(verdicts["listening"], 1);
    EXPECT_EQ(verdicts["refused"], 19);
    for (auto& process : starts)
        process->closeWriteChannel();
    for (auto& process : starts)
        EXPECT_TRUE(process->state() == QProcess::NotRunning || process->waitForFinished(10000));
}

} // namespace

int test::runInstanceChild() {
    QFile input;
    if (!input.open(stdin, QIODevice::ReadOnly))
        return 1;
    input.readLine();
    slowSocketRemoval = true;
    SingleInstance instance;
    const bool listening = instance.listen();
    std::printf("\nverdict:%s\n", listening ? "listening" : "refused");
    std::fflush(stdout);
    if (listening)
        input.readAll();
    return 0;
}

} // namespace brivane

#include "BaseTestSupport.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <stdexcept>

namespace brivane::test {

PrivateFolders::PrivateFolders() : dir_(QDir::tempPath() + "/pellora-base-'test'-$HOME-XXXXXX") {
    if (!dir_.isValid())
        throw std::runtime_error("no temporary directory");
    const std::map<QByteArray, QString> variables = {{"HOME", dir_.path() + "/home"},
                                                     {"XDG_CONFIG_HOME", configHome()},
                                                     {"XDG_RUNTIME_DIR", runtime()}};
    for (const auto& [name, value] : variables) {
        saved_[name] = qEnvironmentVariableIsSet(name.constData())
                           ? std::optional<QByteArray>(qgetenv(name.constData()))
                           : std::nullopt;
        qputenv(name.constData(), value.toUtf8());
        QDir().mkpath(value);
    }
    QFile::setPermissions(runtime(),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

PrivateFolders::~PrivateFolders() {
    for (const auto& [name, value] : saved_) {
        if (value)
            qputenv(name.constData(), *value);
        else
            qunsetenv(name.constData());
    }
}

bool serveUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const QDeadlineTimer deadline(limit);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    return true;
}

PelloraRun runPellora(const QStringList& arguments) {
    QProcess process;
    process.start(PELLORA_EXECUTABLE, arguments);
    PelloraRun run;
    if (!process.waitForStarted())
        return run;
    const bool finished = serveUntil([&] { return process.state() == QProcess::NotRunning; },
                                     std::chrono::seconds(20));
    if (!finished) {
        process.kill();
        process.waitForFinished();
    }
    run.exitCode =
        finished && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

} // namespace brivane::test

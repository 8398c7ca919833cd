#include "BaseTestSupport.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTimer>
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
    QEventLoop loop;
    QObject::connect(&process, &QProcess::finished, &loop, &QEventLoop::quit);
    QObject::connect(&process, &QProcess::errorOccurred, &loop, &QEventLoop::quit);
    QTimer::singleShot(std::chrono::seconds(20), &loop, &QEventLoop::quit);
    process.start(PELLORA_EXECUTABLE, arguments);
    loop.exec();
    PelloraRun run;
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished();
    } else if (process.exitStatus() == QProcess::NormalExit) {
        run.exitCode = process.exitCode();
    }
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

} // namespace brivane::test

#include "TestSession.h"

#include <QDBusConnection>
#include <QDir>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QUuid>
#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>

namespace brivane::test {

namespace {
QString root;
}

QString sessionRoot() {
    return root;
}

QString freshDirectory(const QString& name) {
    const QString path = root + QStringLiteral("/") + name + QLatin1Char('-') +
                         QUuid::createUuid().toString(QUuid::Id128);
    QDir().mkpath(path);
    return path;
}

bool haveDisplay() {
    return qobject_cast<QGuiApplication*>(QCoreApplication::instance());
}
bool haveSessionBus() {
    return !qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS");
}

QUrl writeImage(const QString& path, QSize size, const QColor& color) {
    QImage image(size, QImage::Format_RGB32);
    image.fill(color);
    EXPECT_TRUE(image.save(path, "png"));
    return QUrl::fromLocalFile(path);
}

bool claimBusName(const QString& name) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    QElapsedTimer clock;
    clock.start();
    while (!bus.registerService(name)) {
        if (clock.elapsed() > 60000)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        QThread::msleep(50);
    }
    return true;
}

QString run(const QString& program, const QStringList& arguments, int* exitCode) {
    QProcess process;
    process.start(program, arguments);
    process.waitForFinished(30000);
    if (exitCode)
        *exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return QString::fromUtf8(process.readAllStandardOutput());
}

} // namespace brivane::test

// Every test process gets its own HOME and XDG folders, GSettings on the keyfile backend
// (real GIO, real schemas) and the Cinnamon and MATE schemas this machine does not ship.
int main(int argc, char** argv) {
    QTemporaryDir tmp(QDir::tempPath() + QStringLiteral("/pellora-desktop-test-XXXXXX"));
    brivane::test::root = tmp.path();
    for (const char* name : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME",
                             "XDG_RUNTIME_DIR", "XDG_STATE_HOME"}) {
        const QString dir = tmp.path() + QLatin1Char('/') + QString::fromLatin1(name).toLower();
        QDir().mkpath(dir);
        QFile::setPermissions(dir, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                       QFileDevice::ExeOwner);
        qputenv(name, dir.toUtf8());
    }
    qputenv("GSETTINGS_BACKEND", "keyfile");
    qputenv("LANGUAGE", "en_GB"); // the tests compare English messages
    const QString schemas = tmp.path() + QStringLiteral("/schemas");
    QDir().mkpath(schemas);
    for (const QString& file : QDir(QStringLiteral(PELLORA_TEST_SCHEMAS))
                                   .entryList({QStringLiteral("*.gschema.xml")}, QDir::Files))
        QFile::copy(QStringLiteral(PELLORA_TEST_SCHEMAS "/") + file, schemas + '/' + file);
    if (QProcess::execute(QStringLiteral("glib-compile-schemas"), {schemas}) != 0)
        return 1;
    qputenv("GSETTINGS_SCHEMA_DIR", schemas.toUtf8());

    std::unique_ptr<QCoreApplication> app;
    if (brivane::test::makeWidgetApplication)
        app = brivane::test::makeWidgetApplication(argc, argv);
    else if (!qEnvironmentVariableIsEmpty("DISPLAY") ||
             !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        app = std::make_unique<QGuiApplication>(argc, argv);
    else
        app = std::make_unique<QCoreApplication>(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

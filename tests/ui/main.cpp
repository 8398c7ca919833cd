// The controller tests' scripted setup (a real iCalendar store on private folders, a manual
// clock, in-memory desktop pictures) drives the windows here; only the application object
// differs: widgets need a QApplication.
#define main controllerTestMain
#include "../controller/main.cpp"
#undef main

#include <QApplication>

int main(int argc, char** argv) {
    QTemporaryDir tmp(QDir::tempPath() + QStringLiteral("/pellora-ui-test-XXXXXX"));
    brivane::test::root = tmp.path();
    for (const char* name : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME",
                             "XDG_RUNTIME_DIR", "XDG_STATE_HOME"}) {
        const QString dir = tmp.path() + u'/' + QString::fromLatin1(name).toLower();
        QDir().mkpath(dir);
        QFile::setPermissions(dir, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                       QFileDevice::ExeOwner);
        qputenv(name, dir.toUtf8());
    }
    qputenv("GSETTINGS_BACKEND", "keyfile");
    qputenv("LANGUAGE", "en_GB");
    qputenv("TZ", "Europe/Rome");
    // Without a display the widgets still lay out and paint offscreen.
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

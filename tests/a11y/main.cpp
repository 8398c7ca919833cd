#include "Brivane/ui/UiSupport.h"
#include "TestSession.h"

#include <QApplication>

// Qt's AT-SPI bridge serves the windows once an accessibility bus appears, as it does for a user
// whose screen reader is on; without the variable it would wait for a screen reader to register.
std::unique_ptr<QCoreApplication> brivane::test::makeWidgetApplication(int& argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1");
    auto app = std::make_unique<QApplication>(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    brivane::ui::prepareIconTheme();
    return app;
}

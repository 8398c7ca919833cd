#include "Brivane/ui/UiSupport.h"
#include "TestSession.h"

#include <QApplication>

// The windows need a widget application; the shared session makes everything else.
std::unique_ptr<QCoreApplication> brivane::test::makeWidgetApplication(int& argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    auto app = std::make_unique<QApplication>(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    brivane::ui::prepareIconTheme(); // as AppDelegate does at start-up
    return app;
}

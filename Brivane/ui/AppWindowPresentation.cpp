#include "Brivane/ui/AppWindowPresentation.h"

#include <QGuiApplication>
#include <QWidget>
#include <QWindow>
#include <cstdlib>
#include <xcb/xcb.h>

namespace brivane::ui {

void AppWindowPresentation::show(QWidget* window, const QString& activationToken) {
    // Qt's Wayland backend spends this token on the next activation request.
    if (!activationToken.isEmpty())
        qputenv("XDG_ACTIVATION_TOKEN", activationToken.toUtf8());
    if (window->isMinimized())
        window->showNormal();
    else
        window->show();
    window->raise();
    window->activateWindow();
}

bool AppWindowPresentation::lostByDisplay(QWidget* window) {
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    if (!x11 || !window->testAttribute(Qt::WA_WState_Created))
        return false;
    xcb_connection_t* connection = x11->connection();
    xcb_generic_error_t* error = nullptr;
    auto* reply = xcb_get_window_attributes_reply(
        connection, xcb_get_window_attributes(connection, xcb_window_t(window->winId())), &error);
    const bool gone = reply == nullptr && error != nullptr && error->error_code == XCB_WINDOW;
    std::free(reply);
    std::free(error);
    return gone;
}

} // namespace brivane::ui

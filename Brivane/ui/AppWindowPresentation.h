#pragma once

#include <QString>

class QWidget;

namespace brivane::ui {

// Brings a window of the tray application to the front, also when the request came from a
// second start: its activation token (Wayland) lets the compositor hand over the focus.
struct AppWindowPresentation {
    static void show(QWidget* window, const QString& activationToken = {});
    // The X server no longer has the window Qt still counts as its own (a window manager's
    // kill, `xdotool windowclose`): showing it again does nothing, it must be built anew.
    static bool lostByDisplay(QWidget* window);
};

} // namespace brivane::ui

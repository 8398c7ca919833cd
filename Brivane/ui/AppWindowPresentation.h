#pragma once

#include <QString>

class QWidget;

namespace brivane::ui {

// Brings a window of the tray application to the front, also when the request came from a
// second start: its activation token (Wayland) lets the compositor hand over the focus.
struct AppWindowPresentation {
    static void show(QWidget* window, const QString& activationToken = {});
};

} // namespace brivane::ui

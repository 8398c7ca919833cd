#include "Brivane/ui/AppWindowPresentation.h"

#include <QWidget>
#include <QWindow>

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

} // namespace brivane::ui

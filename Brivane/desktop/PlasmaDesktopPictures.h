#pragma once

#include "Brivane/desktop/DesktopPictures.h"

#include <functional>
#include <vector>

namespace brivane {

// KDE Plasma keeps a wallpaper plugin and its settings per desktop containment; the shell's
// script interface (org.kde.PlasmaShell.evaluateScript) reads and writes the image plugin's
// Image and FillMode of the containment on each screen.
class PlasmaDesktopPictures : public DesktopPictures {
public:
    explicit PlasmaDesktopPictures(ScreenList screens = &ConnectedScreen::all);

    QString desktopName() const override;
    std::optional<QUrl> desktopImageURL(const ConnectedScreen& screen) override;
    DesktopOptions desktopImageOptions(const ConnectedScreen& screen) override;
    void setDesktopImageURL(const QUrl& url, const ConnectedScreen& screen,
                            const DesktopOptions& options) override;
    DesktopOptions stretchedOptions(const QColor& fill) const override;

    // The scripts sent to the shell (the tests check them word for word).
    std::string readScript(const ConnectedScreen& screen) const;
    std::string writeScript(const ConnectedScreen& screen, const QUrl& url,
                            const DesktopOptions& options) const;

private:
    DesktopOptions read(const ConnectedScreen& screen);
    std::string evaluate(const std::string& script) const;
    std::string findDesktop(const ConnectedScreen& screen) const;

    ScreenList screens_;
};

} // namespace brivane

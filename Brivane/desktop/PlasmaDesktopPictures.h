#pragma once

#include "Brivane/desktop/DesktopPictures.h"

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace brivane {

// KDE Plasma keeps a wallpaper plugin and its settings per desktop containment; the shell's
// script interface (org.kde.PlasmaShell.evaluateScript) reads and writes the image plugin's
// Image and FillMode of the containment on each screen.
class PlasmaDesktopPictures : public DesktopPictures {
public:
    PlasmaDesktopPictures();

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

    // How long one call may wait for the shell, and how long a shell that did not answer in
    // time counts as not answering (later calls fail at once instead of waiting again).
    static constexpr std::chrono::milliseconds answerTime{1000};
    static constexpr std::chrono::seconds silence{60};

private:
    // The picture settings of the screen's desktop; absent when the screen has no desktop.
    std::optional<DesktopOptions> read(const ConnectedScreen& screen);
    std::string evaluate(const std::string& script) const;
    std::string findDesktop(const ConnectedScreen& screen) const;

    mutable std::optional<std::chrono::steady_clock::time_point> silentUntil_;
    mutable std::string lastSilence_;
};

} // namespace brivane

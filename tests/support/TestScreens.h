#pragma once

// Screens and desktops described by hand, for the test executables and for the child processes
// they start (which do not run in the test session's main()).

#include "Brivane/desktop/ConnectedScreen.h"
#include "Brivane/desktop/DesktopPictures.h"

#include <QRect>
#include <QSize>
#include <memory>
#include <string>
#include <vector>

namespace brivane::test {

// A screen described by hand (no QScreen behind it).
ConnectedScreen screen(const std::string& id, QRect geometry, double scale);

// The desktop of the child processes that apply wallpapers on GNOME's own settings (the keyfile
// backend of the test session): screens "A" and "B" side by side.
struct GnomeTestDesktop {
    GnomeTestDesktop(QSize a, double scaleA, QSize b, double scaleB);

    std::vector<ConnectedScreen> screens;
    std::shared_ptr<DesktopPictures> pictures; // GNOME's, through GSettings
};

} // namespace brivane::test

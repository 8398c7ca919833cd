#pragma once

#include <QByteArray>
#include <string>

namespace brivane {

// The platforms Qt tries by itself when a GUI starts, in order: QT_QPA_PLATFORM, else xcb, or
// Wayland first in a Wayland session other than GNOME's (Wayland alone without an X display).
QByteArray defaultPlatforms();

// Qt aborts a GUI whose platform plugins are not installed. The line for the user when none of
// `platforms` can start because plugins are missing (an X11 one also needs DISPLAY); empty when
// one can. Looks at the plugins' metadata only, loading nothing.
std::string missingPlatformPlugin(const QByteArray& platforms);

} // namespace brivane

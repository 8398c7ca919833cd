#pragma once

#include <QByteArray>
#include <QtGlobal>
#include <memory>

namespace brivane {

// The platforms Qt tries by itself when a GUI starts, in order: QT_QPA_PLATFORM, else xcb, or
// Wayland first in a Wayland session other than GNOME's (Wayland alone without an X display).
QByteArray defaultPlatforms();

// Qt aborts when the display it is pointed at cannot be reached (DISPLAY naming no server,
// WAYLAND_DISPLAY no socket). With "offscreen" as its last fallback it carries on instead, and
// landing there means the display was not reached. Held while the application object is made.
class OffscreenFallback {
public:
    OffscreenFallback();
    // Children choose their platform for themselves, as this process was asked to.
    ~OffscreenFallback();
    OffscreenFallback(const OffscreenFallback&) = delete;
    OffscreenFallback& operator=(const OffscreenFallback&) = delete;

    // Once the application object exists: whether it runs on a display it was meant for. What
    // Qt said meanwhile is shown only then.
    bool reached() const;

private:
    QByteArray chosen_;
    bool offscreenWanted_ = false;
    QtMessageHandler previousHandler_ = nullptr;
    mutable bool reached_ = false;
};

// The GUI application on its display; null when the display cannot be reached.
template <class Application>
std::unique_ptr<Application> startOnDisplay(int& argc, char** argv) {
    const OffscreenFallback fallback;
    auto application = std::make_unique<Application>(argc, argv);
    if (!fallback.reached())
        application.reset();
    return application;
}

// The display the environment names, for a line to the user.
QByteArray displayName();

} // namespace brivane

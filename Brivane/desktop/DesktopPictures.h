#pragma once

#include "Brivane/desktop/ConnectedScreen.h"
#include "Brivane/render/WallpaperPainter.h"

#include <QColor>
#include <QUrl>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace brivane {

// The desktop refused or did not answer; the message is for the user.
class DesktopPictureError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The desktop's own option values for one screen (key → value, as the desktop names them).
// Stored as they are in the recovery data and handed back unchanged when restoring.
using DesktopOptions = nlohmann::json;

// The desktop picture of each screen, as the running desktop environment keeps it.
// Guarantees every backend keeps: a set changes that screen only (as seen through this
// interface); a URL never shown before is always redrawn; options read here can be stored
// and passed back unchanged; a fresh process sees a successful set within seconds; a screen
// without a readable picture gives std::nullopt, never an error. Errors mean the desktop
// did not answer or refused, and carry a message for the user.
class DesktopPictures {
public:
    // Where a backend learns the connected screens; tests pass their own list.
    using ScreenList = std::function<std::vector<ConnectedScreen>()>;

    virtual ~DesktopPictures() = default;

    // The desktop's name as shown in messages ("GNOME", "Xfce", …).
    virtual QString desktopName() const = 0;

    virtual std::optional<QUrl> desktopImageURL(const ConnectedScreen& screen) = 0;
    virtual DesktopOptions desktopImageOptions(const ConnectedScreen& screen) = 0;
    virtual void setDesktopImageURL(const QUrl& url, const ConnectedScreen& screen,
                                    const DesktopOptions& options) = 0;

    // Several sets in a row (one apply or restore): a desktop with one picture for all
    // monitors may show them together when the batch ends. An error from endBatch concerns
    // every screen set since beginBatch; reads inside a batch may not see its sets yet.
    virtual void beginBatch() {}
    virtual void endBatch() {}

    // One screen's freshly drawn image: where its file goes, the pixels it holds (may be null)
    // and how to write that file. `write` throws FileWriteError or the encoder's error.
    struct DrawnImage {
        QUrl url;
        std::shared_ptr<const RasterImage> pixels;
        std::function<void()> write;
    };
    // Sets a drawn image. By default: the file is written, then its URL set. A desktop that
    // composes the screens into one picture draws from the pixels instead and may never need
    // the file (one encoding, of the composed picture); when it does need it, it writes it.
    virtual void setDrawnImage(const DrawnImage& image, const ConnectedScreen& screen,
                               const DesktopOptions& options) {
        image.write();
        setDesktopImageURL(image.url, screen, options);
    }

    // Within a batch: pixels where the screen's image, `pixels` in size, may be drawn in place. A
    // desktop that composes the screens into one picture gives the screen's region of it, which
    // then needs no copying. Null (by default): the image gets pixels of its own.
    virtual std::shared_ptr<RasterImage> canvas(const ConnectedScreen&, QSize) { return nullptr; }

    // Why desktopImageURL cannot tell what the desktop really shows (it would answer from this
    // program's own record), for the user; empty when it reads the desktop's own state.
    virtual QString unverifiableReason() const { return {}; }

    // Options that show an image stretched over the whole screen, `fill` behind it.
    virtual DesktopOptions stretchedOptions(const QColor& fill) const = 0;

    // The backend for the running desktop: PELLORA_DESKTOP when set, else XDG_CURRENT_DESKTOP.
    static std::unique_ptr<DesktopPictures> forCurrentDesktop();
    static std::unique_ptr<DesktopPictures> forDesktop(const QString& desktopNames);
};

// The colour as the desktops write it in their settings: "#rrggbb".
QString desktopColorName(const QColor& color);

} // namespace brivane

#pragma once

#include "Brivane/desktop/DesktopPictures.h"
#include "Brivane/render/PngEncoding.h"

#include <QPainter>
#include <functional>
#include <map>
#include <vector>

namespace brivane {

// GNOME, Cinnamon and MATE keep one picture for all monitors in GSettings. With several
// monitors the per-screen images are composed into one image laid out like the monitors and
// shown with the "spanned" option; a sidecar file beside the composite remembers what each
// screen was given, so that every screen still answers for itself.
class GSettingsDesktopPictures : public DesktopPictures {
public:
    enum class Flavour { gnome, cinnamon, mate };

    explicit GSettingsDesktopPictures(Flavour flavour, ScreenList screens = &ConnectedScreen::all);

    QString desktopName() const override;
    std::optional<QUrl> desktopImageURL(const ConnectedScreen& screen) override;
    DesktopOptions desktopImageOptions(const ConnectedScreen& screen) override;
    void setDesktopImageURL(const QUrl& url, const ConnectedScreen& screen,
                            const DesktopOptions& options) override;
    DesktopOptions stretchedOptions(const QColor& fill) const override;
    void beginBatch() override;
    void endBatch() override;
    void setDrawnImage(const DrawnImage& image, const ConnectedScreen& screen,
                       const DesktopOptions& options) override;
    // The screen's region of the batch's composite, when its image fills it pixel for pixel.
    std::shared_ptr<RasterImage> canvas(const ConnectedScreen& screen, QSize pixels) override;

    // Where composites go when no screen shows one of our own images (rare: only the user's
    // pictures on screens that differ); the directory of our images otherwise.
    void setFallbackDirectory(const QString& directory) { fallbackDirectory_ = directory; }

    // One picture with its options, as the desktop or a screen of the composite shows it.
    struct Picture {
        std::optional<QUrl> url;
        DesktopOptions options = DesktopOptions::object();
        // Where the composite on display holds this picture (pixels): an image of ours that
        // was only ever drawn into a composite has no file of its own.
        std::optional<QRect> region = std::nullopt;
        // The same picture wherever it is kept.
        bool operator==(const Picture& other) const {
            return url == other.url && options == other.options;
        }
    };

    // The composite's memory: the desktop's picture before the first composite (what screens
    // without an entry still show) and each screen's own picture.
    struct Composite {
        QUrl url;
        Picture desktop;
        std::map<std::string, Picture> screens;
    };

private:
    // Where the screens lie in the composite: the bounds of their layout, at the sharpest
    // monitor's scale.
    struct Layout {
        QRect bounds;
        double scale = 1.0;
        static Layout of(const std::vector<ConnectedScreen>& screens);
        QSize pixels() const;
        QRectF target(const ConnectedScreen& screen) const;
        bool operator==(const Layout&) const = default;
    };
    struct Keys;
    const Keys& keys() const;
    Picture readDesktop() const;
    void writeDesktop(const Picture& picture) const;
    std::optional<Composite> readComposite(const Picture& shown) const;
    Picture pictureOf(const ConnectedScreen& screen);
    // The screens the desktop shows: the system's list and those just set that it lacks (yet).
    std::vector<ConnectedScreen> shownScreens(const std::vector<ConnectedScreen>& changed) const;
    QUrl writeComposite(const std::vector<ConnectedScreen>& screens, const Composite& state,
                        const QColor& fill);
    // The steps of writeComposite: the screens' pictures drawn into one image (`written` gets
    // their places), the folder it goes to, its PNG and sidecar written there.
    void compose(RasterImage& raster, const Layout& layout,
                 const std::vector<ConnectedScreen>& screens, const Composite& state,
                 const QColor& fill, Composite& written) const;
    QString compositeDirectory(const std::vector<ConnectedScreen>& screens,
                               const Composite& state) const;
    QUrl saveComposite(const RasterImage& raster, const QString& directory,
                       const Composite& written);
    // Whether GNOME shows the dark variant of its picture now.
    bool darkStyle() const;
    // The file the desktop shows for a picture (its dark variant in dark style); none for a
    // plain colour.
    static std::optional<QUrl> shownURL(const Picture& picture, bool dark);
    // The pixels of a picture drawn in this batch, when that is what the desktop would show.
    const RasterImage* drawnPixels(const Picture& picture, bool dark) const;
    // Draws one screen's picture into its place, the way the desktop would show it alone. A
    // picture it cannot draw throws: the desktop keeps the user's wallpaper rather than have
    // it flattened to a colour.
    void drawPicture(QPainter& painter, const QRectF& target, const Picture& picture, bool dark,
                     const std::function<const QImage&()>& shownComposite) const;
    // Writes the files of this batch's drawn images (all, or those without pixels).
    void writeDrawn(bool all);
    void show(Composite state, const std::vector<ConnectedScreen>& changed,
              const std::optional<QUrl>& previous, const DesktopOptions& latest);

    // Sets of the running batch, shown together at its end.
    struct Pending {
        Composite state;
        std::vector<ConnectedScreen> changed;
        std::optional<QUrl> previous;
        DesktopOptions latest;
    };
    bool batching_ = false;
    std::optional<Pending> pending_;
    std::map<QString, std::shared_ptr<const RasterImage>> offered_; // by standardized path
    std::vector<DrawnImage> unwritten_;
    // The composite the batch's images are drawn into, for the layout it was made for.
    struct Canvas {
        Layout layout;
        std::shared_ptr<RasterImage> raster;
    };
    std::optional<Canvas> canvas_;
    // Keeps the last composite's compressed rows: the next one compresses only those that changed.
    PngEncoder encoder_;

    Flavour flavour_;
    ScreenList screens_;
    QString fallbackDirectory_;
};

} // namespace brivane

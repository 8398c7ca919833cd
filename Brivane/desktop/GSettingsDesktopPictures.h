#pragma once

#include "Brivane/desktop/DesktopPictures.h"

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

    // Where composites go when no screen shows one of our own images (rare: only the user's
    // pictures on screens that differ); the directory of our images otherwise.
    void setFallbackDirectory(const QString& directory) { fallbackDirectory_ = directory; }

    // One picture with its options, as the desktop or a screen of the composite shows it.
    struct Picture {
        std::optional<QUrl> url;
        DesktopOptions options = DesktopOptions::object();
        bool operator==(const Picture&) const = default;
    };

    // The composite's memory: the desktop's picture before the first composite (what screens
    // without an entry still show) and each screen's own picture.
    struct Composite {
        QUrl url;
        Picture desktop;
        std::map<std::string, Picture> screens;
    };

private:
    struct Keys;
    const Keys& keys() const;
    Picture readDesktop() const;
    void writeDesktop(const Picture& picture) const;
    std::optional<Composite> readComposite(const Picture& shown) const;
    Picture pictureOf(const ConnectedScreen& screen);
    QUrl writeComposite(const std::vector<ConnectedScreen>& screens, const Composite& state,
                        const QColor& fill);
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

    Flavour flavour_;
    ScreenList screens_;
    QString fallbackDirectory_;
};

} // namespace brivane

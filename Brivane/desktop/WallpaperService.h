#pragma once

#include "Brivane/desktop/ConnectedScreen.h"
#include "Brivane/desktop/DesktopPictures.h"
#include "Brivane/desktop/OriginalDesktop.h"
#include "Brivane/render/PngEncoding.h"
#include "Brivane/render/WallpaperRenderer.h"
#include "BrivaneCore/AgendaSnapshot.h"
#include "BrivaneCore/Preferences.h"

#include <QByteArray>
#include <QColor>
#include <QSize>
#include <QString>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace brivane {

// What one screen's image is drawn from.
struct WallpaperRequest {
    const AgendaSnapshot& snapshot;
    const Preferences& preferences;
    ScreenPreferences screen; // enabled forced true
    QSize size;               // points
    double scale;             // pixels per point
    // Where the image may be drawn in place (its region of a composed picture), when the
    // desktop offers one of the image's pixel size; null: the image gets pixels of its own.
    std::shared_ptr<RasterImage> canvas = nullptr;
};

// One screen's image, and the colour the desktop shows around it: its pixels, or PNG data
// (then `pixels` may be null); with pixels and no PNG, the PNG is encoded when needed.
struct WallpaperImage {
    QByteArray png;
    QColor fill;
    std::shared_ptr<const RasterImage> pixels = {};
};

// Draws one screen's image; throws (the renderer's errors) on failure.
using WallpaperImageSource = std::function<WallpaperImage(const WallpaperRequest&)>;

// The one component that touches the desktop pictures: sets the agenda image of each screen,
// records the user's wallpaper before the first change and puts it back. Main thread only.
class WallpaperService {
public:
    struct ApplyResult {
        std::vector<std::string> names;  // screens set, in the order given
        std::vector<std::string> errors; // "screen: description", in the order given
    };

    // Creates `directory` (0700) and loads its recovery data; throws on any failure.
    WallpaperService(const QString& directory, std::shared_ptr<DesktopPictures> pictures,
                     WallpaperImageSource painter = &WallpaperService::render);

    // The agenda image of one screen from WallpaperRenderer (pixels, drawn into the request's
    // canvas when it has one), with the desktop's fill colour.
    static WallpaperImage render(const WallpaperRequest& request);
    // The renderer of that image: the request's settings as the renderer takes them.
    static WallpaperRenderer renderer(const WallpaperRequest& request);

    ApplyResult apply(const AgendaSnapshot& snapshot, const Preferences& preferences,
                      const std::vector<ConnectedScreen>& screens);
    // Puts every given screen back; returns one line per screen that could not be restored.
    std::vector<std::string> restoreAll(const std::vector<ConnectedScreen>& screens);

    const QString& directory() const { return directory_; }
    const OriginalDesktops& originals() const { return originals_; }
    // The images set by the previous call, and those a screen that failed since may still show.
    std::set<QString> retainedURLs() const;
    DesktopPictures& pictures() { return *pictures_; }

    static constexpr const char* recoveryFileName = "original-desktops.json";

private:
    // Adds the local picture `screen` shows to `keep`; false (logged) when the desktop does not
    // answer.
    bool keepShown(const ConnectedScreen& screen, std::set<QString>& keep) const;
    void record(const ConnectedScreen& screen);
    // The steps of apply: the screens switched off put back, one screen's agenda drawn and set
    // (its image's path), the images of ours that are no longer needed removed.
    std::vector<ScreenPreferences>
    restoreSwitchedOff(const Preferences& preferences, const std::vector<ConnectedScreen>& screens,
                       std::vector<std::optional<std::string>>& errors);
    QString setAgenda(const AgendaSnapshot& snapshot, const Preferences& preferences,
                      const ScreenPreferences& settings, const ConnectedScreen& screen);
    void keepOnly(const std::map<std::string, QString>& applied,
                  const std::vector<ConnectedScreen>& screens,
                  const std::vector<std::optional<std::string>>& errors);
    void restore(const ConnectedScreen& screen, const OriginalDesktops* recovery);
    void saveOriginals();
    void cleanup(const std::set<QString>& keep) const;
    QString imagePath(const ConnectedScreen& screen) const;

    QString directory_;
    std::shared_ptr<DesktopPictures> pictures_;
    WallpaperImageSource painter_;
    OriginalDesktops originals_;
    // Per screen id, standardized local paths.
    std::map<std::string, std::set<QString>> retained_;
    // Per screen id: the last image encoded for its own file, so that the next compresses only
    // the rows that changed.
    std::map<std::string, PngEncoder> encoders_;
};

} // namespace brivane

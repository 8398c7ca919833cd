#pragma once

#include "Brivane/desktop/DesktopPictures.h"

#include <QVariantMap>
#include <functional>
#include <vector>

namespace brivane {

// Xfce keeps a picture per monitor and workspace in the xfce4-desktop channel of xfconf:
// /backdrop/screen<N>/monitor<NAME>/workspace<W>/last-image and image-style. The monitor
// part is xfdesktop's own naming, so the keys are found by listing them.
class XfconfDesktopPictures : public DesktopPictures {
public:
    explicit XfconfDesktopPictures(ScreenList screens = &ConnectedScreen::all);

    QString desktopName() const override;
    std::optional<QUrl> desktopImageURL(const ConnectedScreen& screen) override;
    DesktopOptions desktopImageOptions(const ConnectedScreen& screen) override;
    void setDesktopImageURL(const QUrl& url, const ConnectedScreen& screen,
                            const DesktopOptions& options) override;
    DesktopOptions stretchedOptions(const QColor& fill) const override;

private:
    struct Monitor {
        QString base;                // "/backdrop/screen0/monitorA/"
        std::vector<int> workspaces; // with a last-image key, ascending
        int shown = 0;               // the workspace whose picture counts
    };
    QVariantMap properties() const;
    std::optional<Monitor> monitorOf(const ConnectedScreen& screen, const QVariantMap& all) const;
    void setProperty(const QString& property, const QVariant& value) const;

    ScreenList screens_;
};

} // namespace brivane

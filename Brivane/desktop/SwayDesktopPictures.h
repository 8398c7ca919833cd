#pragma once

#include "Brivane/desktop/DesktopPictures.h"

#include <QString>
#include <map>

namespace brivane {

// sway sets backgrounds with `swaymsg output <name> bg <file> <mode> <colour>` but cannot be
// asked for them. A screen's picture is read from the command line of the swaybg sway started;
// without one, it is what this program set in the running sway (kept in the runtime folder,
// tied to sway's socket), else the `output … bg` line of sway's config.
class SwayDesktopPictures : public DesktopPictures {
public:
    SwayDesktopPictures();

    QString desktopName() const override;
    std::optional<QUrl> desktopImageURL(const ConnectedScreen& screen) override;
    DesktopOptions desktopImageOptions(const ConnectedScreen& screen) override;
    void setDesktopImageURL(const QUrl& url, const ConnectedScreen& screen,
                            const DesktopOptions& options) override;
    DesktopOptions stretchedOptions(const QColor& fill) const override;
    QString unverifiableReason() const override;

    struct Background {
        QUrl url;
        DesktopOptions options = DesktopOptions::object(); // "mode", "color"
        bool operator==(const Background&) const = default;
    };
    // The backgrounds sway's config gives each output ("*" for all), variables resolved.
    static std::map<QString, Background> configured(const QString& configText);
    // The command for swaymsg, quoted as sway's command parser expects.
    static QString command(const QString& output, const QUrl& url, const DesktopOptions& options);

private:
    std::optional<Background> background(const ConnectedScreen& screen) const;
    QString statePath() const;
    nlohmann::json state() const;
};

} // namespace brivane

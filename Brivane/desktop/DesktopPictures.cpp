#include "Brivane/desktop/DesktopPictures.h"

#include "Brivane/desktop/GSettingsDesktopPictures.h"
#include "Brivane/desktop/PlasmaDesktopPictures.h"
#include "Brivane/desktop/SwayDesktopPictures.h"
#include "Brivane/desktop/XfconfDesktopPictures.h"
#include "BrivaneCore/AgendaLanguage.h"

#include <QStringList>

namespace brivane {

namespace {

// A desktop we cannot talk to: every screen gets the same clear error line.
class UnsupportedDesktopPictures : public DesktopPictures {
public:
    explicit UnsupportedDesktopPictures(QString names) : names_(std::move(names)) {}
    QString desktopName() const override { return names_; }
    std::optional<QUrl> desktopImageURL(const ConnectedScreen&) override { throw error(); }
    DesktopOptions desktopImageOptions(const ConnectedScreen&) override { throw error(); }
    void setDesktopImageURL(const QUrl&, const ConnectedScreen&, const DesktopOptions&) override {
        throw error();
    }
    DesktopOptions stretchedOptions(const QColor&) const override {
        return DesktopOptions::object();
    }

private:
    DesktopPictureError error() const {
        const std::string names =
            names_.isEmpty() ? std::string("XDG_CURRENT_DESKTOP") : names_.toStdString();
        return DesktopPictureError(AgendaLanguage::text(
            "Pellora non sa impostare lo sfondo su questo desktop (" + names + ").",
            "Pellora cannot set the wallpaper on this desktop (" + names + ")."));
    }
    QString names_;
};

} // namespace

QString desktopColorName(const QColor& color) {
    return color.name(QColor::HexRgb);
}

std::unique_ptr<DesktopPictures> DesktopPictures::forDesktop(const QString& desktopNames) {
    using Flavour = GSettingsDesktopPictures::Flavour;
    // XDG_CURRENT_DESKTOP is a list, most specific first ("ubuntu:GNOME", "X-Cinnamon").
    for (const QString& raw : desktopNames.split(QLatin1Char(':'), Qt::SkipEmptyParts)) {
        const QString name = raw.trimmed().toLower();
        if (name == QLatin1String("x-cinnamon") || name == QLatin1String("cinnamon"))
            return std::make_unique<GSettingsDesktopPictures>(Flavour::cinnamon);
        if (name == QLatin1String("mate"))
            return std::make_unique<GSettingsDesktopPictures>(Flavour::mate);
        if (name == QLatin1String("gnome") || name == QLatin1String("ubuntu") ||
            name == QLatin1String("budgie") || name == QLatin1String("unity") ||
            name == QLatin1String("gnome-classic") || name == QLatin1String("gnome-flashback") ||
            name == QLatin1String("pop"))
            return std::make_unique<GSettingsDesktopPictures>(Flavour::gnome);
        if (name == QLatin1String("xfce"))
            return std::make_unique<XfconfDesktopPictures>();
        if (name == QLatin1String("kde"))
            return std::make_unique<PlasmaDesktopPictures>();
        if (name == QLatin1String("sway"))
            return std::make_unique<SwayDesktopPictures>();
    }
    return std::make_unique<UnsupportedDesktopPictures>(desktopNames);
}

std::unique_ptr<DesktopPictures> DesktopPictures::forCurrentDesktop() {
    const QString chosen = qEnvironmentVariable("PELLORA_DESKTOP");
    return forDesktop(chosen.isEmpty() ? qEnvironmentVariable("XDG_CURRENT_DESKTOP") : chosen);
}

} // namespace brivane

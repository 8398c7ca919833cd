#include "Brivane/desktop/GSettingsDesktopPictures.h"

#include "Brivane/AtomicWrite.h"
#include "Brivane/desktop/GnomeBackgroundXml.h"
#include "Brivane/render/PngEncoding.h"
#include "Brivane/render/StageCost.h"
#include "Brivane/render/WallpaperPainter.h"
#include "BrivaneCore/AgendaLanguage.h"

#include <QBrush>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QPainter>
#include <QRegion>
#include <QStandardPaths>
#include <QSvgRenderer>
#include <QUuid>
#include <algorithm>
#include <cmath>
#include <gio/gio.h>

namespace brivane {

namespace {

constexpr auto compositePrefix = "pellora-spanned-";

struct SettingsDeleter {
    void operator()(GSettings* s) const { g_object_unref(s); }
};
using SettingsPtr = std::unique_ptr<GSettings, SettingsDeleter>;

QString fromUtf8(const char* s) {
    return QString::fromUtf8(s);
}

bool isComposite(const QUrl& url) {
    if (!url.isLocalFile())
        return false;
    const QString name = QFileInfo(url.toLocalFile()).fileName();
    return name.startsWith(QLatin1String(compositePrefix)) && name.endsWith(QLatin1String(".png"));
}

QString sidecarPath(const QUrl& composite) {
    QString path = composite.toLocalFile();
    path.chop(4);
    return path + QStringLiteral(".json");
}

nlohmann::json pictureToJson(const GSettingsDesktopPictures::Picture& p) {
    nlohmann::json j = {{"options", p.options}};
    if (p.url)
        j["url"] = p.url->toString(QUrl::FullyEncoded).toStdString();
    if (p.region)
        j["region"] = {p.region->x(), p.region->y(), p.region->width(), p.region->height()};
    return j;
}

GSettingsDesktopPictures::Picture pictureFromJson(const nlohmann::json& j) {
    GSettingsDesktopPictures::Picture p;
    if (auto it = j.find("url"); it != j.end() && it->is_string())
        p.url = QUrl(QString::fromStdString(it->get<std::string>()), QUrl::StrictMode);
    if (auto it = j.find("options"); it != j.end() && it->is_object())
        p.options = *it;
    if (auto it = j.find("region");
        it != j.end() && it->is_array() && it->size() == 4 &&
        std::all_of(it->begin(), it->end(), [](const auto& v) { return v.is_number_integer(); }))
        p.region = QRect((*it)[0].get<int>(), (*it)[1].get<int>(), (*it)[2].get<int>(),
                         (*it)[3].get<int>());
    return p;
}

// Removes the composites (and sidecars) in the folder of `shown` other than `keep`; one killed
// between writing a composite and showing it leaves a stray one behind.
void removeComposites(const QUrl& shown, const QUrl& keep = QUrl()) {
    if (!isComposite(shown))
        return;
    const QFileInfo info(shown.toLocalFile());
    QDir dir(info.absolutePath());
    const QString kept =
        keep.isLocalFile() ? QFileInfo(keep.toLocalFile()).completeBaseName() : QString();
    for (const QString& name :
         dir.entryList({QLatin1String(compositePrefix) + QLatin1Char('*')}, QDir::Files))
        if (kept.isEmpty() || QFileInfo(name).completeBaseName() != kept)
            dir.remove(name);
}

// A text option, or "" (a sidecar is only our own file, but still read defensively).
std::string textOption(const DesktopOptions& options, const char* key) {
    const auto it = options.find(key);
    return it != options.end() && it->is_string() ? it->get<std::string>() : std::string();
}

DesktopPictureError undrawable(const QString& picture) {
    const std::string name = QFileInfo(picture).fileName().toStdString();
    return DesktopPictureError(AgendaLanguage::text(
        "Pellora non sa disegnare lo sfondo «" + name +
            "» accanto all’agenda: GNOME mostra un’unica immagine per tutti gli schermi, "
            "perciò lo sfondo resta com’è. Scegli un’immagine PNG, JPEG o SVG per avere l’agenda "
            "su più schermi.",
        "Pellora cannot draw your wallpaper “" + name +
            "” beside the agenda: GNOME shows one picture across all screens, so your "
            "wallpaper is left as it is. Choose a PNG, JPEG or SVG picture to have the agenda "
            "on several screens."));
}

DesktopPictureError tooLargeComposite() {
    return DesktopPictureError(
        AgendaLanguage::text("L’immagine unica per tutti gli schermi non entra in memoria.",
                             "The combined image for all screens does not fit in memory."));
}

// Pixels drawn into their place as they are. A whole multiple of the image (a 1× screen in a 2×
// picture) is copied pixel by pixel: the monitor samples it back to the very same pixels, and it
// is much faster.
bool wholeMultiple(const QRectF& target, const QSizeF& size) {
    const double ratio = target.width() / size.width();
    return ratio >= 1 && ratio == std::floor(ratio) && target.height() == size.height() * ratio;
}

void drawPixels(QPainter& painter, const QRectF& target, const RasterImage& pixels) {
    const QImage image(pixels.data(), pixels.pixelWidth(), pixels.pixelHeight(),
                       qsizetype(pixels.stride()), QImage::Format_ARGB32_Premultiplied);
    painter.save();
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, !wholeMultiple(target, image.size()));
    painter.drawImage(target, image);
    painter.restore();
}

// A picture file read for drawing: an SVG stays vector, anything else becomes pixels.
struct PictureFile {
    QImage image;
    std::unique_ptr<QSvgRenderer> svg;
    QSizeF size;

    static PictureFile load(const QString& path) {
        PictureFile file;
        const QString suffix = QFileInfo(path).suffix().toLower();
        if (suffix == QLatin1String("svg") || suffix == QLatin1String("svgz")) {
            file.svg = std::make_unique<QSvgRenderer>(path);
            if (!file.svg->isValid() || file.svg->defaultSize().isEmpty())
                throw undrawable(path);
            file.size = file.svg->defaultSize();
        } else {
            QImageReader reader(path);
            reader.setAutoTransform(true);
            file.image = reader.read();
            if (file.image.isNull())
                throw undrawable(path);
            file.size = file.image.size();
        }
        return file;
    }

    void draw(QPainter& painter, const QRectF& rect) const {
        if (svg)
            svg->render(&painter, rect);
        else
            painter.drawImage(rect, image);
    }
};

// The picture placed as GNOME's picture-options say; `plain` paints the colour around it.
void placePicture(QPainter& painter, const QRectF& target, const std::string& mode,
                  const PictureFile& file, const std::function<void()>& plain) {
    if (mode == "stretched" || mode == "spanned") {
        painter.setRenderHint(QPainter::SmoothPixmapTransform, !wholeMultiple(target, file.size));
        file.draw(painter, target);
    } else if (mode == "wallpaper" && !file.svg) {
        painter.setBrushOrigin(target.topLeft());
        painter.fillRect(target, QBrush(file.image));
    } else if (mode == "centered" || mode == "wallpaper") {
        plain();
        QRectF placed(QPointF(), file.size);
        placed.moveCenter(target.center());
        file.draw(painter, placed);
    } else {
        plain();
        const QSizeF fitted = file.size.scaled(
            target.size(), mode == "scaled" ? Qt::KeepAspectRatio : Qt::KeepAspectRatioByExpanding);
        QRectF placed(QPointF(), fitted);
        placed.moveCenter(target.center());
        file.draw(painter, placed);
    }
}

} // namespace

struct GSettingsDesktopPictures::Keys {
    const char* desktop;
    const char* schema;
    const char* picture;
    bool pictureIsPath;
    // The option keys we change and therefore record and put back.
    std::vector<const char*> options;
};

const GSettingsDesktopPictures::Keys& GSettingsDesktopPictures::keys() const {
    static const Keys gnome{
        "GNOME",
        "org.gnome.desktop.background",
        "picture-uri",
        false,
        {"picture-uri-dark", "picture-options", "primary-color", "color-shading-type"}};
    static const Keys cinnamon{"Cinnamon",
                               "org.cinnamon.desktop.background",
                               "picture-uri",
                               false,
                               {"picture-options", "primary-color", "color-shading-type"}};
    static const Keys mate{"MATE",
                           "org.mate.background",
                           "picture-filename",
                           true,
                           {"picture-options", "primary-color", "color-shading-type"}};
    switch (flavour_) {
    case Flavour::cinnamon:
        return cinnamon;
    case Flavour::mate:
        return mate;
    case Flavour::gnome:
        break;
    }
    return gnome;
}

namespace {

// Looked up first: GSettings aborts the process on a schema that is not installed.
GSettingsSchema* lookupSchema(const char* id) {
    GSettingsSchemaSource* source = g_settings_schema_source_get_default();
    return source ? g_settings_schema_source_lookup(source, id, TRUE) : nullptr;
}

} // namespace

GSettingsDesktopPictures::GSettingsDesktopPictures(Flavour flavour, ScreenList screens)
    : flavour_(flavour), screens_(std::move(screens)) {}

QString GSettingsDesktopPictures::desktopName() const {
    return fromUtf8(keys().desktop);
}

namespace {

struct SchemaDeleter {
    void operator()(GSettingsSchema* s) const { g_settings_schema_unref(s); }
};

struct Settings {
    std::unique_ptr<GSettingsSchema, SchemaDeleter> schemaRef;
    SettingsPtr settings;
    GSettingsSchema* schema() const { return schemaRef.get(); }
    bool has(const char* key) const { return g_settings_schema_has_key(schema(), key); }
    // Whether the user (or anyone) set the key, rather than it taking the schema's default.
    bool isSet(const char* key) const {
        GVariant* value = g_settings_get_user_value(settings.get(), key);
        if (value)
            g_variant_unref(value);
        return value != nullptr;
    }
};

// The option that lists the keys left at their defaults when the picture was read: putting the
// picture back resets them rather than writing the defaults' values as the user's own.
constexpr auto unsetKeysOption = "unsetKeys";

} // namespace

static Settings openSettings(const char* desktop, const char* schemaID) {
    Settings s;
    s.schemaRef.reset(lookupSchema(schemaID));
    if (!s.schemaRef) {
        const std::string name(desktop);
        const std::string id(schemaID);
        throw DesktopPictureError(AgendaLanguage::text(
            "Le impostazioni dello sfondo di " + name + " (" + id + ") non sono installate.",
            "The " + name + " background settings (" + id + ") are not installed."));
    }
    s.settings.reset(g_settings_new_full(s.schema(), nullptr, nullptr));
    return s;
}

GSettingsDesktopPictures::Picture GSettingsDesktopPictures::readDesktop() const {
    const Keys& k = keys();
    Settings s = openSettings(k.desktop, k.schema);
    Picture picture;
    std::vector<std::string> unset;
    if (s.has(k.picture)) {
        if (!s.isSet(k.picture))
            unset.emplace_back(k.picture);
        gchar* value = g_settings_get_string(s.settings.get(), k.picture);
        // Kept as written, so that putting it back restores the very same text.
        picture.options[k.picture] = value;
        const QString v = QString::fromUtf8(value).trimmed();
        g_free(value);
        if (!v.isEmpty()) {
            QUrl url = k.pictureIsPath ? QUrl::fromLocalFile(v) : QUrl(v, QUrl::TolerantMode);
            if (url.isValid() && !url.isRelative())
                picture.url = url;
        }
    }
    for (const char* key : k.options) {
        if (!s.has(key))
            continue;
        GVariant* value = g_settings_get_value(s.settings.get(), key);
        if (g_variant_is_of_type(value, G_VARIANT_TYPE_STRING)) {
            picture.options[key] = g_variant_get_string(value, nullptr);
            if (!s.isSet(key))
                unset.emplace_back(key);
        }
        g_variant_unref(value);
    }
    if (!unset.empty())
        picture.options[unsetKeysOption] = unset;
    return picture;
}

void GSettingsDesktopPictures::writeDesktop(const Picture& picture) const {
    const Keys& k = keys();
    Settings s = openSettings(k.desktop, k.schema);
    GSettings* settings = s.settings.get();
    auto refused = [&](const std::string& key) {
        g_settings_revert(settings);
        const std::string name(k.desktop);
        return DesktopPictureError(
            AgendaLanguage::text(name + " ha rifiutato il valore di " + key + ".",
                                 name + " refused the value of " + key + "."));
    };
    auto setString = [&](const char* key, const std::string& value) {
        if (!s.has(key))
            return;
        GSettingsSchemaKey* schemaKey = g_settings_schema_get_key(s.schema(), key);
        GVariant* v = g_variant_ref_sink(g_variant_new_string(value.c_str()));
        const bool ok = g_settings_schema_key_range_check(schemaKey, v) &&
                        g_settings_is_writable(settings, key) &&
                        g_settings_set_value(settings, key, v);
        g_variant_unref(v);
        g_settings_schema_key_unref(schemaKey);
        if (!ok)
            throw refused(key);
    };
    // Delayed, so that the picture and its options reach the desktop as one change.
    g_settings_delay(settings);
    std::string value;
    if (picture.url)
        value = k.pictureIsPath ? picture.url->toLocalFile().toStdString()
                                : picture.url->toString(QUrl::FullyEncoded).toStdString();
    // The user's own spelling of the same picture (e.g. an unescaped space) is put back as is.
    if (auto it = picture.options.find(k.picture); it != picture.options.end() && it->is_string()) {
        const QString raw = QString::fromStdString(it->get<std::string>());
        const QUrl same =
            k.pictureIsPath ? QUrl::fromLocalFile(raw) : QUrl(raw, QUrl::TolerantMode);
        if ((raw.isEmpty() && !picture.url) || (picture.url && same == *picture.url))
            value = raw.toStdString();
    }
    setString(k.picture, value);
    if (flavour_ == Flavour::gnome)
        setString("picture-uri-dark", value);
    for (const char* key : k.options)
        if (auto it = picture.options.find(key); it != picture.options.end() && it->is_string())
            setString(key, it->get<std::string>());
    // Records written before keys at their defaults were noted have no such list.
    if (auto it = picture.options.find(unsetKeysOption);
        it != picture.options.end() && it->is_array())
        for (const auto& key : *it)
            if (key.is_string() && s.has(key.get<std::string>().c_str()))
                g_settings_reset(settings, key.get<std::string>().c_str());
    g_settings_apply(settings);
    // With dconf the write is lost if the process ends before it is flushed.
    g_settings_sync();
}

std::optional<GSettingsDesktopPictures::Composite>
GSettingsDesktopPictures::readComposite(const Picture& shown) const {
    if (!shown.url || !isComposite(*shown.url))
        return std::nullopt;
    QFile file(sidecarPath(*shown.url));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const auto json = nlohmann::json::parse(file.readAll().toStdString(), nullptr, false);
    if (!json.is_object())
        return std::nullopt;
    Composite c;
    c.url = *shown.url;
    c.desktop = pictureFromJson(json.value("desktop", nlohmann::json::object()));
    if (auto it = json.find("screens"); it != json.end() && it->is_object())
        for (const auto& [id, value] : it->items())
            if (value.is_object())
                c.screens[id] = pictureFromJson(value);
    return c;
}

GSettingsDesktopPictures::Picture
GSettingsDesktopPictures::pictureOf(const ConnectedScreen& screen) {
    if (pending_) {
        auto it = pending_->state.screens.find(screen.id);
        return it != pending_->state.screens.end() ? it->second : pending_->state.desktop;
    }
    Picture shown = readDesktop();
    if (auto composite = readComposite(shown)) {
        auto it = composite->screens.find(screen.id);
        return it != composite->screens.end() ? it->second : composite->desktop;
    }
    return shown;
}

std::optional<QUrl> GSettingsDesktopPictures::desktopImageURL(const ConnectedScreen& screen) {
    return pictureOf(screen).url;
}

DesktopOptions GSettingsDesktopPictures::desktopImageOptions(const ConnectedScreen& screen) {
    return pictureOf(screen).options;
}

DesktopOptions GSettingsDesktopPictures::stretchedOptions(const QColor& fill) const {
    return {{"picture-options", "stretched"},
            {"primary-color", desktopColorName(fill).toStdString()},
            {"color-shading-type", "solid"}};
}

void GSettingsDesktopPictures::beginBatch() {
    batching_ = true;
}

void GSettingsDesktopPictures::endBatch() {
    batching_ = false;
    // The pixels and pending files serve this batch only.
    auto done = [&] {
        offered_.clear();
        unwritten_.clear();
        canvas_.reset();
    };
    if (!pending_)
        return done();
    Pending pending = std::move(*pending_);
    pending_.reset();
    try {
        show(std::move(pending.state), pending.changed, pending.previous, pending.latest);
    } catch (...) {
        done();
        throw;
    }
    done();
}

void GSettingsDesktopPictures::setDrawnImage(const DrawnImage& image, const ConnectedScreen& screen,
                                             const DesktopOptions& options) {
    if (!batching_ || !image.pixels || !image.url.isLocalFile())
        return DesktopPictures::setDrawnImage(image, screen, options);
    offered_[QDir::cleanPath(image.url.toLocalFile())] = image.pixels;
    unwritten_.push_back(image);
    setDesktopImageURL(image.url, screen, options);
}

void GSettingsDesktopPictures::writeDrawn(bool all) {
    for (auto it = unwritten_.begin(); it != unwritten_.end();) {
        if (all || !it->pixels) {
            it->write();
            it = unwritten_.erase(it);
        } else {
            ++it;
        }
    }
}

GSettingsDesktopPictures::Layout
GSettingsDesktopPictures::Layout::of(const std::vector<ConnectedScreen>& screens) {
    Layout layout;
    for (const ConnectedScreen& s : screens) {
        layout.bounds = layout.bounds.united(s.layoutRect());
        layout.scale = std::max(layout.scale, s.layoutPixelScale());
    }
    return layout;
}

QSize GSettingsDesktopPictures::Layout::pixels() const {
    return QSize(qRound(bounds.width() * scale), qRound(bounds.height() * scale));
}

QRectF GSettingsDesktopPictures::Layout::target(const ConnectedScreen& screen) const {
    const QRect place = screen.layoutRect();
    return QRectF((place.x() - bounds.x()) * scale, (place.y() - bounds.y()) * scale,
                  place.width() * scale, place.height() * scale);
}

std::vector<ConnectedScreen>
GSettingsDesktopPictures::shownScreens(const std::vector<ConnectedScreen>& changed) const {
    std::vector<ConnectedScreen> screens = screens_();
    for (const ConnectedScreen& s : changed)
        if (std::none_of(screens.begin(), screens.end(),
                         [&](const ConnectedScreen& known) { return known.id == s.id; }))
            screens.push_back(s);
    return screens;
}

std::shared_ptr<RasterImage> GSettingsDesktopPictures::canvas(const ConnectedScreen& screen,
                                                              QSize pixels) {
    if (!batching_)
        return nullptr;
    std::vector<ConnectedScreen> changed =
        pending_ ? pending_->changed : std::vector<ConnectedScreen>{};
    changed.push_back(screen);
    const std::vector<ConnectedScreen> screens = shownScreens(changed);
    if (screens.size() < 2)
        return nullptr; // one screen shows its own image: no composite
    const Layout layout = Layout::of(screens);
    // Only an image the composite holds pixel for pixel is drawn in place; one at another scale
    // is resampled into it later.
    const QRectF target = layout.target(screen);
    const QRect whole = target.toRect();
    if (QRectF(whole) != target || whole.size() != pixels)
        return nullptr;
    if (!canvas_ || !(canvas_->layout == layout)) {
        const QSize size = layout.pixels();
        auto raster = RasterImage::create(size.width(), size.height());
        if (!raster)
            return nullptr;
        canvas_ = Canvas{layout, std::move(raster)};
    }
    return RasterImage::region(canvas_->raster, whole.x(), whole.y(), whole.width(), whole.height(),
                               screen.scale);
}

void GSettingsDesktopPictures::setDesktopImageURL(const QUrl& url, const ConnectedScreen& screen,
                                                  const DesktopOptions& options) {
    const DesktopOptions given = options.is_object() ? options : DesktopOptions::object();
    if (pending_) {
        pending_->state.screens[screen.id] = Picture{url, given};
        pending_->changed.push_back(screen);
        pending_->latest = given;
        return;
    }
    const Picture shown = readDesktop();
    Composite state;
    if (auto composite = readComposite(shown))
        state = *composite;
    else
        state.desktop = shown;
    state.screens[screen.id] = Picture{url, given};
    if (batching_) {
        pending_ = Pending{std::move(state), {screen}, shown.url, given};
        return;
    }
    try {
        show(std::move(state), {screen}, shown.url, given);
    } catch (...) {
        offered_.clear();
        throw;
    }
    offered_.clear();
}

void GSettingsDesktopPictures::show(Composite state, const std::vector<ConnectedScreen>& changed,
                                    const std::optional<QUrl>& previous,
                                    const DesktopOptions& latest) {
    const std::vector<ConnectedScreen> screens = shownScreens(changed);
    auto effective = [&](const ConnectedScreen& s) -> const Picture& {
        auto it = state.screens.find(s.id);
        return it != state.screens.end() ? it->second : state.desktop;
    };
    const Picture& first = effective(screens.front());
    const bool same = std::all_of(screens.begin(), screens.end(),
                                  [&](const ConnectedScreen& s) { return effective(s) == first; });
    if (same) {
        // Every monitor shows the same picture: the desktop shows it directly.
        writeDrawn(true);
        writeDesktop(first);
        if (previous)
            removeComposites(*previous, first.url.value_or(QUrl()));
        return;
    }
    QColor fill(QString::fromStdString(latest.value("primary-color", std::string())));
    if (!fill.isValid())
        fill = QColor(QString::fromStdString(
            state.desktop.options.value("primary-color", std::string("#000000"))));
    writeDrawn(false);
    const QUrl composite = writeComposite(screens, state, fill);
    try {
        writeDesktop(Picture{composite,
                             {{"picture-options", "spanned"},
                              {"primary-color", desktopColorName(fill).toStdString()},
                              {"color-shading-type", "solid"}}});
    } catch (...) {
        removeComposites(composite, previous.value_or(QUrl()));
        throw;
    }
    removeComposites(composite, composite);
    if (previous)
        removeComposites(*previous, composite);
}

bool GSettingsDesktopPictures::darkStyle() const {
    if (flavour_ != Flavour::gnome)
        return false;
    std::unique_ptr<GSettingsSchema, SchemaDeleter> schema(
        lookupSchema("org.gnome.desktop.interface"));
    if (!schema || !g_settings_schema_has_key(schema.get(), "color-scheme"))
        return false;
    SettingsPtr settings(g_settings_new_full(schema.get(), nullptr, nullptr));
    gchar* value = g_settings_get_string(settings.get(), "color-scheme");
    const bool dark = g_strcmp0(value, "prefer-dark") == 0;
    g_free(value);
    return dark;
}

std::optional<QUrl> GSettingsDesktopPictures::shownURL(const Picture& picture, bool dark) {
    if (textOption(picture.options, "picture-options") == "none")
        return std::nullopt;
    std::optional<QUrl> url = picture.url;
    if (const std::string darkURI = textOption(picture.options, "picture-uri-dark");
        dark && !darkURI.empty())
        url = QUrl(QString::fromStdString(darkURI), QUrl::TolerantMode);
    if (!url || url->isEmpty())
        return std::nullopt;
    return url;
}

const RasterImage* GSettingsDesktopPictures::drawnPixels(const Picture& picture, bool dark) const {
    const std::optional<QUrl> url = shownURL(picture, dark);
    if (!url || !url->isLocalFile())
        return nullptr;
    const auto it = offered_.find(QDir::cleanPath(url->toLocalFile()));
    return it != offered_.end() ? it->second.get() : nullptr;
}

void GSettingsDesktopPictures::drawPicture(
    QPainter& painter, const QRectF& target, const Picture& picture, bool dark,
    const std::function<const QImage&()>& shownComposite) const {
    const std::string mode = textOption(picture.options, "picture-options");
    const QColor colour(QString::fromStdString(textOption(picture.options, "primary-color")));
    auto plain = [&] {
        if (colour.isValid())
            painter.fillRect(target, colour);
    };
    const std::optional<QUrl> url = shownURL(picture, dark);
    if (!url)
        return plain();
    if (!url->isLocalFile())
        throw undrawable(url->toString());
    QString path = QDir::cleanPath(url->toLocalFile());

    // Our own image, drawn a moment ago: its pixels, not its file.
    if (const RasterImage* drawn = drawnPixels(picture, dark))
        return drawPixels(painter, target, *drawn);

    if (!QFileInfo::exists(path)) {
        // An image of ours drawn only into the composite on display: taken from there.
        if (picture.region) {
            const QImage& composite = shownComposite();
            if (!composite.isNull() && composite.rect().contains(*picture.region)) {
                painter.save();
                painter.setCompositionMode(QPainter::CompositionMode_Source);
                painter.drawImage(target, composite, *picture.region);
                painter.restore();
                return;
            }
        }
        // A picture that is gone shows the desktop's colour, as GNOME itself does.
        return plain();
    }
    if (isGnomeBackgroundXml(path)) {
        const auto file =
            gnomeBackgroundFile(path, target.size().toSize(), QDateTime::currentDateTime());
        if (!file)
            throw undrawable(path);
        path = *file;
        if (!QFileInfo::exists(path))
            return plain();
    }

    const PictureFile file = PictureFile::load(path);
    painter.save();
    painter.setClipRect(target);
    placePicture(painter, target, mode, file, plain);
    painter.restore();
}

QUrl GSettingsDesktopPictures::writeComposite(const std::vector<ConnectedScreen>& screens,
                                              const Composite& state, const QColor& fill) {
    // One scale for the whole picture: the sharpest monitor's, so that none is blurred
    // (on X11 the layout is in device pixels already).
    const Layout layout = Layout::of(screens);
    // Drawn straight into the pixels the fast PNG encoder reads (Cairo's ARGB32 is Qt's
    // premultiplied ARGB32); the batch's own composite when its images were drawn into it.
    Composite written = state; // as the sidecar will remember it
    std::shared_ptr<RasterImage> raster;
    if (canvas_ && canvas_->layout == layout)
        raster = canvas_->raster;
    else
        raster = RasterImage::create(layout.pixels().width(), layout.pixels().height());
    if (!raster)
        throw tooLargeComposite();
    {
        const StageCost::Measure cost("compose");
        compose(*raster, layout, screens, state, fill, written);
    }
    raster->markChanged();
    return saveComposite(*raster, compositeDirectory(screens, state), written);
}

void GSettingsDesktopPictures::compose(RasterImage& raster, const Layout& layout,
                                       const std::vector<ConnectedScreen>& screens,
                                       const Composite& state, const QColor& fill,
                                       Composite& written) const {
    QImage image(raster.data(), raster.pixelWidth(), raster.pixelHeight(),
                 qsizetype(raster.stride()), QImage::Format_ARGB32_Premultiplied);
    const bool dark = darkStyle();
    auto pictureOn = [&](const ConnectedScreen& s) -> const Picture& {
        auto it = state.screens.find(s.id);
        return it != state.screens.end() ? it->second : state.desktop;
    };
    // An image drawn into its very place here needs nothing more; everything else starts
    // from the desktop's colour.
    std::vector<bool> inPlace;
    QRegion open(image.rect());
    for (const ConnectedScreen& s : screens) {
        const QRect target = layout.target(s).toRect();
        const RasterImage* pixels = drawnPixels(pictureOn(s), dark);
        inPlace.push_back(
            pixels && QRectF(target) == layout.target(s) && pixels->stride() == raster.stride() &&
            pixels->pixelWidth() == target.width() && pixels->pixelHeight() == target.height() &&
            pixels->data() ==
                raster.data() + raster.stride() * target.y() + 4 * std::size_t(target.x()));
        if (inPlace.back())
            open -= target;
    }
    QPainter painter(&image);
    painter.setClipRegion(open);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.fillRect(image.rect(), QColor(fill.rgb()));
    painter.setClipping(false);
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    // Read only when an image of ours has no file: it lives in the composite on display.
    std::optional<QImage> shown;
    const auto shownComposite = [&]() -> const QImage& {
        if (!shown)
            shown = isComposite(state.url) ? QImage(state.url.toLocalFile()) : QImage();
        return *shown;
    };
    for (std::size_t i = 0; i < screens.size(); ++i) {
        const ConnectedScreen& s = screens[i];
        const QRectF target = layout.target(s);
        if (!inPlace[i])
            drawPicture(painter, target, pictureOn(s), dark, shownComposite);
        if (state.screens.count(s.id))
            written.screens[s.id].region = target.toAlignedRect();
    }
}

// Beside our own images; the composite goes when the desktop stops showing it.
QString GSettingsDesktopPictures::compositeDirectory(const std::vector<ConnectedScreen>& screens,
                                                     const Composite& state) const {
    QString directory;
    for (const ConnectedScreen& s : screens) {
        auto it = state.screens.find(s.id);
        if (it == state.screens.end() || !it->second.url || !it->second.url->isLocalFile())
            continue;
        const QFileInfo info(it->second.url->toLocalFile());
        if (info.fileName().startsWith(QLatin1String("agenda-"))) {
            directory = info.absolutePath();
            break;
        }
    }
    if (directory.isEmpty() && isComposite(state.url))
        directory = QFileInfo(state.url.toLocalFile()).absolutePath();
    if (directory.isEmpty())
        directory = fallbackDirectory_.isEmpty()
                        ? QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) +
                              QStringLiteral("/pellora")
                        : fallbackDirectory_;
    QDir().mkpath(directory);
    return directory;
}

QUrl GSettingsDesktopPictures::saveComposite(const RasterImage& raster, const QString& directory,
                                             const Composite& written) {
    std::optional<std::vector<std::uint8_t>> encoded;
    {
        const StageCost::Measure cost("encode",
                                      StageCost::size(raster.pixelWidth(), raster.pixelHeight()));
        encoded = encoder_.encode(raster);
    }
    if (!encoded)
        throw tooLargeComposite();
    const QByteArray png(reinterpret_cast<const char*>(encoded->data()),
                         qsizetype(encoded->size()));
    const QString base = directory + QLatin1Char('/') + QLatin1String(compositePrefix) +
                         QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    const QUrl url = QUrl::fromLocalFile(base + QStringLiteral(".png"));

    nlohmann::json sidecar = {{"desktop", pictureToJson(written.desktop)},
                              {"screens", nlohmann::json::object()}};
    for (const auto& [id, picture] : written.screens)
        sidecar["screens"][id] = pictureToJson(picture);
    const auto owner = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
    const StageCost::Measure cost("write");
    try {
        // The sidecar first: a composite on display always has its memory.
        writeFileAtomically(base + QStringLiteral(".json"),
                            QByteArray::fromStdString(sidecar.dump()), owner);
        writeFileAtomically(base + QStringLiteral(".png"), png, owner);
    } catch (const FileWriteError& e) {
        QFile::remove(base + QStringLiteral(".json"));
        QFile::remove(base + QStringLiteral(".png"));
        throw DesktopPictureError(e.what());
    }
    encoder_.keptIn(QFile::encodeName(base + QStringLiteral(".png")).toStdString());
    return url;
}

} // namespace brivane

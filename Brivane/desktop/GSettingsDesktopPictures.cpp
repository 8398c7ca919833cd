#include "Brivane/desktop/GSettingsDesktopPictures.h"

#include "Brivane/AtomicWrite.h"
#include "Brivane/render/PngEncoding.h"
#include "Brivane/render/WallpaperPainter.h"
#include "BrivaneCore/AgendaLanguage.h"

#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QPainter>
#include <QStandardPaths>
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
    return j;
}

GSettingsDesktopPictures::Picture pictureFromJson(const nlohmann::json& j) {
    GSettingsDesktopPictures::Picture p;
    if (auto it = j.find("url"); it != j.end() && it->is_string())
        p.url = QUrl(QString::fromStdString(it->get<std::string>()), QUrl::StrictMode);
    if (auto it = j.find("options"); it != j.end() && it->is_object())
        p.options = *it;
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

// Draws one screen's picture into its place, the way the desktop would show it alone.
void drawPicture(QPainter& painter, const QRectF& target,
                 const GSettingsDesktopPictures::Picture& picture) {
    if (!picture.url || !picture.url->isLocalFile())
        return;
    QImageReader reader(picture.url->toLocalFile());
    reader.setAutoTransform(true);
    const QImage image = reader.read();
    if (image.isNull())
        return;
    const std::string mode = picture.options.value("picture-options", std::string("zoom"));
    const QSizeF size = image.size();
    if (mode == "stretched" || mode == "spanned") {
        // A whole multiple of the image (a 1× screen in a 2× picture) is copied pixel by
        // pixel: the monitor samples it back to the very same pixels, and it is much faster.
        const double ratio = target.width() / size.width();
        const bool whole =
            ratio >= 1 && ratio == std::floor(ratio) && target.height() == size.height() * ratio;
        painter.save();
        painter.setRenderHint(QPainter::SmoothPixmapTransform, !whole);
        painter.drawImage(target, image);
        painter.restore();
        return;
    }
    QSizeF fitted = size.scaled(target.size(), mode == "scaled" ? Qt::KeepAspectRatio
                                                                : Qt::KeepAspectRatioByExpanding);
    QRectF placed(QPointF(), fitted);
    placed.moveCenter(target.center());
    painter.save();
    painter.setClipRect(target);
    painter.drawImage(placed, image);
    painter.restore();
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
};

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
    if (s.has(k.picture)) {
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
        if (g_variant_is_of_type(value, G_VARIANT_TYPE_STRING))
            picture.options[key] = g_variant_get_string(value, nullptr);
        g_variant_unref(value);
    }
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
    if (!pending_)
        return;
    Pending pending = std::move(*pending_);
    pending_.reset();
    show(std::move(pending.state), pending.changed, pending.previous, pending.latest);
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
    show(std::move(state), {screen}, shown.url, given);
}

void GSettingsDesktopPictures::show(Composite state, const std::vector<ConnectedScreen>& changed,
                                    const std::optional<QUrl>& previous,
                                    const DesktopOptions& latest) {
    std::vector<ConnectedScreen> screens = screens_();
    // A screen just set counts even when the system's list does not have it (yet).
    for (const ConnectedScreen& s : changed)
        if (std::none_of(screens.begin(), screens.end(),
                         [&](const ConnectedScreen& known) { return known.id == s.id; }))
            screens.push_back(s);
    auto effective = [&](const ConnectedScreen& s) -> const Picture& {
        auto it = state.screens.find(s.id);
        return it != state.screens.end() ? it->second : state.desktop;
    };
    const Picture& first = effective(screens.front());
    const bool same = std::all_of(screens.begin(), screens.end(),
                                  [&](const ConnectedScreen& s) { return effective(s) == first; });
    if (same) {
        // Every monitor shows the same picture: the desktop shows it directly.
        writeDesktop(first);
        if (previous)
            removeComposites(*previous, first.url.value_or(QUrl()));
        return;
    }
    QColor fill(QString::fromStdString(latest.value("primary-color", std::string())));
    if (!fill.isValid())
        fill = QColor(QString::fromStdString(
            state.desktop.options.value("primary-color", std::string("#000000"))));
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

QUrl GSettingsDesktopPictures::writeComposite(const std::vector<ConnectedScreen>& screens,
                                              const Composite& state, const QColor& fill) {
    QRect bounds;
    double scale = 1.0;
    for (const ConnectedScreen& s : screens) {
        bounds = bounds.united(s.layoutRect());
        scale = std::max(scale, s.layoutPixelScale());
    }
    // One scale for the whole picture: the sharpest monitor's, so that none is blurred
    // (on X11 the layout is in device pixels already).
    // Drawn straight into the pixels the fast PNG encoder reads (Cairo's ARGB32 is Qt's
    // premultiplied ARGB32).
    const auto raster =
        RasterImage::create(qRound(bounds.width() * scale), qRound(bounds.height() * scale));
    if (!raster)
        throw DesktopPictureError(
            AgendaLanguage::text("L’immagine unica per tutti gli schermi non entra in memoria.",
                                 "The combined image for all screens does not fit in memory."));
    {
        QImage image(raster->data(), raster->pixelWidth(), raster->pixelHeight(),
                     qsizetype(raster->stride()), QImage::Format_ARGB32_Premultiplied);
        image.fill(fill.rgb());
        QPainter painter(&image);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        for (const ConnectedScreen& s : screens) {
            const QRect place = s.layoutRect();
            const QRectF target((place.x() - bounds.x()) * scale, (place.y() - bounds.y()) * scale,
                                place.width() * scale, place.height() * scale);
            auto it = state.screens.find(s.id);
            drawPicture(painter, target, it != state.screens.end() ? it->second : state.desktop);
        }
    }
    raster->markChanged();

    // Beside our own images; the composite goes when the desktop stops showing it.
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

    const auto encoded = PngEncoding::encode(*raster);
    if (!encoded)
        throw DesktopPictureError(
            AgendaLanguage::text("L’immagine unica per tutti gli schermi non entra in memoria.",
                                 "The combined image for all screens does not fit in memory."));
    const QByteArray png(reinterpret_cast<const char*>(encoded->data()),
                         qsizetype(encoded->size()));
    const QString base = directory + QLatin1Char('/') + QLatin1String(compositePrefix) +
                         QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    const QUrl url = QUrl::fromLocalFile(base + QStringLiteral(".png"));

    nlohmann::json sidecar = {{"desktop", pictureToJson(state.desktop)},
                              {"screens", nlohmann::json::object()}};
    for (const auto& [id, picture] : state.screens)
        sidecar["screens"][id] = pictureToJson(picture);
    const auto owner = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
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
    return url;
}

} // namespace brivane

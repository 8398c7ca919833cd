#include "Brivane/desktop/WallpaperService.h"

#include "Brivane/AtomicWrite.h"
#include "Brivane/Logging.h"
#include "Brivane/render/StageCost.h"
#include "Brivane/render/WallpaperRenderer.h"
#include "BrivaneCore/AgendaDates.h"
#include "BrivaneCore/AgendaLanguage.h"
#include "BrivaneCore/DesktopRecovery.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUuid>
#include <algorithm>
#include <filesystem>
#include <system_error>

namespace brivane {

namespace {

constexpr auto ownerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

QString standardized(const QUrl& url) {
    return QDir::cleanPath(url.toLocalFile());
}

std::string line(const ConnectedScreen& screen, const char* description) {
    return screen.name.toStdString() + ": " + description;
}

} // namespace

WallpaperService::WallpaperService(const QString& directory,
                                   std::shared_ptr<DesktopPictures> pictures,
                                   WallpaperImageSource painter)
    : directory_(QDir::cleanPath(QFileInfo(directory).absoluteFilePath())),
      pictures_(std::move(pictures)), painter_(std::move(painter)) {
    namespace fs = std::filesystem;
    const fs::path path = directory_.toStdString();
    std::error_code error;
    fs::create_directories(path, error);
    if (!error && !fs::is_directory(path, error) && !error)
        error = std::make_error_code(std::errc::not_a_directory);
    if (!error)
        fs::permissions(path, fs::perms::owner_all, fs::perm_options::replace, error);
    if (error)
        throw std::system_error(error, directory_.toStdString());

    QFile file(directory_ + QLatin1Char('/') + QLatin1String(recoveryFileName));
    if (file.exists()) {
        if (!file.open(QIODevice::ReadOnly))
            throw std::runtime_error(file.fileName().toStdString() + ": " +
                                     file.errorString().toStdString());
        originals_ = decodeOriginalDesktops(file.readAll());
    }
}

WallpaperRenderer WallpaperService::renderer(const WallpaperRequest& request) {
    const Preferences& preferences = request.preferences;
    const auto [startHour, endHour] = preferences.timelineHours();
    return {request.snapshot,
            AgendaDates::calendar(),
            request.screen,
            preferences.effectiveBackgroundStyle(),
            preferences.effectiveReminderGrouping(),
            preferences.reminderListIDs.value_or(ReminderListIDs{}),
            preferences.groupNames.value_or(std::map<std::string, std::string>{}),
            startHour,
            endHour};
}

WallpaperImage WallpaperService::render(const WallpaperRequest& request) {
    const WallpaperRenderer renderer = WallpaperService::renderer(request);
    const WallpaperStyle style = renderer.style;
    const Size size{double(request.size.width()), double(request.size.height())};
    std::shared_ptr<RasterImage> image;
    if (request.canvas && request.canvas->pixelWidth() == int(size.width * request.scale) &&
        request.canvas->pixelHeight() == int(size.height * request.scale)) {
        renderer.paint(*request.canvas, size);
        image = request.canvas;
    } else {
        image = renderer.image(size, request.scale);
    }
    const Color fill =
        style == WallpaperStyle::paper ? Palette::background : Color::rgb(0.95, 0.95, 0.95);
    // The PNG is made when its file is written (WallpaperService::apply).
    return {QByteArray(), QColor::fromRgbF(float(fill.red), float(fill.green), float(fill.blue)),
            std::move(image)};
}

QString WallpaperService::imagePath(const ConnectedScreen& screen) const {
    // The id is the system's text (an EDID name, a connector): kept to a safe alphabet.
    return directory_ + QStringLiteral("/agenda-") +
           QString::fromStdString(DesktopRecovery::fileNameComponent(screen.id)) +
           QLatin1Char('-') + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper() +
           QStringLiteral(".png");
}

void WallpaperService::saveOriginals() {
    writeFileAtomically(directory_ + QLatin1Char('/') + QLatin1String(recoveryFileName),
                        encodeOriginalDesktops(originals_), ownerOnly);
}

void WallpaperService::record(const ConnectedScreen& screen) {
    const std::optional<QUrl> current = pictures_->desktopImageURL(screen);
    if (!current)
        throw WallpaperError();
    if (current->isLocalFile() &&
        standardized(*current).startsWith(directory_ + QLatin1Char('/'))) {
        // Left by a run that ended without restoring: the record of the screen it was made for
        // still names the user's wallpaper.
        std::set<std::string> knownIDs;
        for (const auto& entry : originals_)
            knownIDs.insert(entry.first);
        const auto source = DesktopRecovery::sourceDisplay(
            current->fileName(QUrl::FullyDecoded).toStdString(), knownIDs);
        if (!source || !originals_.count(*source))
            throw WallpaperError();
        originals_[screen.id] = originals_.at(*source);
    } else {
        const DesktopOptions options = pictures_->desktopImageOptions(screen);
        originals_[screen.id] =
            OriginalDesktop{*current, QByteArray::fromStdString(options.dump())};
    }
    try {
        saveOriginals();
    } catch (...) {
        originals_.erase(screen.id);
        throw;
    }
}

// Switched-off screens first and one by one: a record goes only once its screen is back. Gives
// each screen's settings.
std::vector<ScreenPreferences>
WallpaperService::restoreSwitchedOff(const Preferences& preferences,
                                     const std::vector<ConnectedScreen>& screens,
                                     std::vector<std::optional<std::string>>& errors) {
    std::vector<ScreenPreferences> settings(screens.size());
    for (std::size_t i = 0; i < screens.size(); ++i) {
        const auto it = preferences.screens.find(screens[i].id);
        if (it == preferences.screens.end())
            continue;
        settings[i] = it->second;
        if (settings[i].enabled)
            continue;
        try {
            restore(screens[i], nullptr);
        } catch (const std::exception& e) {
            errors[i] = line(screens[i], e.what());
        }
    }
    return settings;
}

QString WallpaperService::setAgenda(const AgendaSnapshot& snapshot, const Preferences& preferences,
                                    const ScreenPreferences& settings,
                                    const ConnectedScreen& screen) {
    if (!originals_.count(screen.id))
        record(screen);
    const QSize pixels(int(screen.size().width() * screen.scale),
                       int(screen.size().height() * screen.scale));
    WallpaperImage image;
    {
        const StageCost::Measure cost("render", StageCost::size(pixels.width(), pixels.height()));
        image = painter_(WallpaperRequest{snapshot, preferences, settings, screen.size(),
                                          screen.scale, pictures_->canvas(screen, pixels)});
    }
    const QString path = imagePath(screen);
    // Encoded only when the file is needed: a desktop that composes the screens
    // encodes the composed picture alone.
    auto write = [path, png = image.png, pixels = image.pixels, encoder = &encoders_[screen.id]] {
        QByteArray bytes = png;
        const bool encoded = bytes.isEmpty() && pixels;
        if (encoded) {
            const StageCost::Measure cost(
                "encode", StageCost::size(pixels->pixelWidth(), pixels->pixelHeight()));
            const std::vector<std::uint8_t> data = WallpaperRenderer::png(*pixels, *encoder);
            bytes = QByteArray(reinterpret_cast<const char*>(data.data()), qsizetype(data.size()));
        }
        const StageCost::Measure cost("write");
        writeFileAtomically(path, bytes, ownerOnly);
        // The next picture of this screen reads its unchanged bands from the file just written.
        if (encoded)
            encoder->keptIn(QFile::encodeName(path).toStdString());
    };
    pictures_->setDrawnImage({QUrl::fromLocalFile(path), image.pixels, std::move(write)}, screen,
                             pictures_->stretchedOptions(image.fill));
    return path;
}

void WallpaperService::keepOnly(const std::map<std::string, QString>& applied,
                                const std::vector<ConnectedScreen>& screens,
                                const std::vector<std::optional<std::string>>& errors) {
    // Images of the previous call stay one more call; so does, for a screen that failed, the
    // image it may still show. Everything else of ours goes now, also when screens failed: a
    // screen that fails on every apply must not fill the disk.
    std::map<std::string, std::set<QString>> retained;
    for (const auto& [id, path] : applied)
        retained[id].insert(path);
    for (std::size_t i = 0; i < screens.size(); ++i)
        if (errors[i])
            if (auto it = retained_.find(screens[i].id); it != retained_.end())
                retained[screens[i].id].insert(it->second.begin(), it->second.end());
    std::set<QString> keep;
    for (const auto* map : {&retained_, &retained})
        for (const auto& entry : *map)
            keep.insert(entry.second.begin(), entry.second.end());
    // A desktop that does not answer: what it was last given is retained above.
    for (const ConnectedScreen& screen : screens)
        keepShown(screen, keep);
    for (const auto& entry : originals_)
        if (entry.second.url.isLocalFile())
            keep.insert(standardized(entry.second.url));
    cleanup(keep);
    retained_ = std::move(retained);
    // A screen no longer connected does not keep its last image in memory.
    std::erase_if(encoders_, [&](const auto& entry) {
        return std::none_of(screens.begin(), screens.end(),
                            [&](const ConnectedScreen& s) { return s.id == entry.first; });
    });
}

WallpaperService::ApplyResult WallpaperService::apply(const AgendaSnapshot& snapshot,
                                                      const Preferences& preferences,
                                                      const std::vector<ConnectedScreen>& screens) {
    std::vector<std::optional<std::string>> errors(screens.size());
    std::vector<bool> set(screens.size(), false);
    std::map<std::string, QString> applied; // screen id → image set by this call

    const std::vector<ScreenPreferences> settings =
        restoreSwitchedOff(preferences, screens, errors);

    // One batch: a desktop with one picture for all monitors composes them once.
    pictures_->beginBatch();
    for (std::size_t i = 0; i < screens.size(); ++i) {
        const ConnectedScreen& screen = screens[i];
        if (!settings[i].enabled)
            continue;
        try {
            const QString path = setAgenda(snapshot, preferences, settings[i], screen);
            applied[screen.id] = path;
            set[i] = true;
        } catch (const std::exception& e) {
            errors[i] = line(screen, e.what());
        }
    }
    try {
        pictures_->endBatch();
    } catch (const std::exception& e) {
        for (std::size_t i = 0; i < screens.size(); ++i)
            if (set[i]) {
                set[i] = false;
                applied.erase(screens[i].id);
                errors[i] = line(screens[i], e.what());
            }
    }

    ApplyResult result;
    for (std::size_t i = 0; i < screens.size(); ++i) {
        if (set[i])
            result.names.push_back(screens[i].name.toStdString());
        if (errors[i])
            result.errors.push_back(*errors[i]);
    }

    keepOnly(applied, screens, errors);
    return result;
}

std::set<QString> WallpaperService::retainedURLs() const {
    std::set<QString> urls;
    for (const auto& entry : retained_)
        urls.insert(entry.second.begin(), entry.second.end());
    return urls;
}

void WallpaperService::cleanup(const std::set<QString>& keep) const {
    const QDir dir(directory_);
    if (!dir.exists())
        return;
    for (const QString& name : dir.entryList(QDir::Files | QDir::Hidden | QDir::System)) {
        // Also the temporary file of a write that a crash interrupted ("….png.XXXXXX").
        if (!name.startsWith(QLatin1String("agenda-")) ||
            (QFileInfo(name).suffix() != "png" && !name.contains(QLatin1String(".png."))))
            continue;
        const QString path = directory_ + QLatin1Char('/') + name;
        if (!keep.count(path) && !QFile::remove(path) && QFile::exists(path))
            warnOnce(lcDesktop(), QStringLiteral("Could not remove the old image %1").arg(path));
    }
}

void WallpaperService::restore(const ConnectedScreen& screen, const OriginalDesktops* recovery) {
    const auto it = originals_.find(screen.id);
    if (it == originals_.end())
        return;
    const auto chosen = OriginalDesktop::recover(it->second, recovery ? *recovery : originals_);
    if (!chosen) {
        const QUrl& url = it->second.url;
        if (url.isLocalFile() && !QFileInfo::exists(url.toLocalFile())) {
            const std::string path = url.toLocalFile().toStdString();
            throw WallpaperError(
                WallpaperError::Kind::originalUnavailable,
                AgendaLanguage::text("Lo sfondo precedente «" + path +
                                         "» non esiste più. Scegli un’immagine nelle "
                                         "impostazioni del desktop.",
                                     "The previous wallpaper “" + path +
                                         "” no longer exists. Choose an image in the desktop's "
                                         "settings."));
        }
        throw WallpaperError();
    }
    DesktopOptions options = DesktopOptions::object();
    if (chosen->options) {
        try {
            options = nlohmann::json::parse(chosen->options->begin(), chosen->options->end());
        } catch (const nlohmann::json::exception& e) {
            throw RecoveryDataError(AgendaLanguage::text(
                std::string("Le opzioni registrate dello sfondo non sono leggibili: ") + e.what(),
                std::string("The recorded wallpaper options cannot be read: ") + e.what()));
        }
        if (!options.is_object())
            options = DesktopOptions::object();
    }
    pictures_->setDesktopImageURL(chosen->url, screen, options);
    const OriginalDesktop removed = it->second;
    originals_.erase(it);
    try {
        saveOriginals();
    } catch (...) {
        originals_[screen.id] = removed;
        throw;
    }
}

std::vector<std::string> WallpaperService::restoreAll(const std::vector<ConnectedScreen>& screens) {
    const OriginalDesktops recovery = originals_;
    std::vector<std::string> failures;
    std::set<std::string> failed;
    for (const ConnectedScreen& screen : screens) {
        try {
            restore(screen, &recovery);
        } catch (const std::exception& e) {
            failures.push_back(line(screen, e.what()));
            failed.insert(screen.id);
        }
    }
    // Our images go with the restore: only those a screen still shows (one that could not be
    // put back) and those a record names stay.
    std::set<QString> keep;
    for (const ConnectedScreen& screen : screens) {
        if (keepShown(screen, keep))
            continue;
        if (auto it = retained_.find(screen.id); it != retained_.end())
            keep.insert(it->second.begin(), it->second.end());
    }
    for (const auto& entry : originals_)
        if (entry.second.url.isLocalFile())
            keep.insert(standardized(entry.second.url));
    cleanup(keep);
    std::erase_if(retained_, [&](const auto& entry) { return !failed.count(entry.first); });
    return failures;
}

bool WallpaperService::keepShown(const ConnectedScreen& screen, std::set<QString>& keep) const {
    try {
        if (auto shown = pictures_->desktopImageURL(screen); shown && shown->isLocalFile())
            keep.insert(standardized(*shown));
        return true;
    } catch (const std::exception& e) {
        warnOnce(lcDesktop(), QStringLiteral("Could not read the wallpaper of screen %1: %2")
                                  .arg(QString::fromStdString(screen.id), e.what()));
        return false;
    }
}

} // namespace brivane

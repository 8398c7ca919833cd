#include "Brivane/desktop/OriginalDesktop.h"

#include "BrivaneCore/AgendaLanguage.h"
#include "BrivaneCore/DesktopRecovery.h"

#include <QDir>
#include <QFileInfo>
#include <vector>

namespace brivane {

WallpaperError::WallpaperError(Kind kind)
    : std::runtime_error(AgendaLanguage::text(
          "Lo sfondo precedente non è recuperabile. Scegli un’immagine nelle Impostazioni di "
          "Sistema e riprova.",
          "The previous wallpaper cannot be recovered. Choose an image in System Settings and "
          "try again.")),
      kind_(kind) {}

WallpaperError::WallpaperError(Kind kind, const std::string& description)
    : std::runtime_error(description), kind_(kind) {}

namespace {

std::set<std::string> keysOf(const OriginalDesktops& map) {
    std::set<std::string> keys;
    for (const auto& entry : map)
        keys.insert(entry.first);
    return keys;
}

std::string fileName(const QUrl& url) {
    return url.fileName(QUrl::FullyDecoded).toStdString();
}

QString standardized(const QUrl& url) {
    return QDir::cleanPath(url.toLocalFile());
}

} // namespace

bool OriginalDesktop::isOriginalFile(const OriginalDesktop& desktop,
                                     const std::set<std::string>& knownIDs) {
    if (!desktop.url.isLocalFile())
        return false;
    if (DesktopRecovery::sourceDisplay(fileName(desktop.url), knownIDs))
        return false;
    const QFileInfo info(desktop.url.toLocalFile());
    return info.exists() && !info.isDir();
}

std::optional<OriginalDesktop> OriginalDesktop::recover(const OriginalDesktop& desktop,
                                                        const OriginalDesktops& recovery) {
    const std::set<std::string> knownIDs = keysOf(recovery);
    const auto source = DesktopRecovery::sourceDisplay(fileName(desktop.url), knownIDs);
    if (!source) {
        if (isOriginalFile(desktop, knownIDs))
            return desktop;
        return std::nullopt;
    }
    if (auto it = recovery.find(*source);
        it != recovery.end() && isOriginalFile(it->second, knownIDs))
        return it->second;
    // The map is ordered by id, ascending: the first usable record wins when all agree.
    std::vector<const OriginalDesktop*> usable;
    for (const auto& [id, record] : recovery)
        if (isOriginalFile(record, knownIDs))
            usable.push_back(&record);
    if (usable.empty())
        return std::nullopt;
    const QString first = standardized(usable.front()->url);
    for (const OriginalDesktop* record : usable)
        if (standardized(record->url) != first)
            return std::nullopt; // never guess between different wallpapers
    return *usable.front();
}

QByteArray encodeOriginalDesktops(const OriginalDesktops& originals) {
    nlohmann::json document = nlohmann::json::object();
    for (const auto& [id, record] : originals) {
        nlohmann::json entry = {{"url", record.url.toString(QUrl::FullyEncoded).toStdString()}};
        if (record.options)
            entry["options"] = record.options->toBase64().toStdString();
        document[id] = std::move(entry);
    }
    return QByteArray::fromStdString(document.dump());
}

OriginalDesktops decodeOriginalDesktops(const QByteArray& data) {
    auto damaged = [](const std::string& detail) {
        return RecoveryDataError(AgendaLanguage::text(
            "I dati di ripristino \"original-desktops.json\" sono danneggiati: " + detail,
            "The recovery data \"original-desktops.json\" is damaged: " + detail));
    };
    const auto document = nlohmann::json::parse(data.begin(), data.end(), nullptr, false);
    if (document.is_discarded())
        throw damaged(AgendaLanguage::text("non è JSON", "not JSON"));
    if (!document.is_object())
        throw damaged(AgendaLanguage::text("non è un oggetto JSON", "not a JSON object"));
    OriginalDesktops originals;
    for (const auto& [id, entry] : document.items()) {
        if (!entry.is_object() || !entry.contains("url") || !entry.at("url").is_string())
            throw damaged(
                AgendaLanguage::text("manca \"url\" per " + id, "\"url\" missing for " + id));
        OriginalDesktop record;
        record.url =
            QUrl(QString::fromStdString(entry.at("url").get<std::string>()), QUrl::StrictMode);
        if (!record.url.isValid() || record.url.isRelative())
            throw damaged(
                AgendaLanguage::text("\"url\" non valido per " + id, "invalid \"url\" for " + id));
        if (entry.contains("options")) {
            const nlohmann::json& options = entry.at("options");
            auto decoded = QByteArray::fromBase64Encoding(
                options.is_string() ? QByteArray::fromStdString(options.get<std::string>())
                                    : QByteArray(),
                QByteArray::AbortOnBase64DecodingErrors);
            if (!options.is_string() || !decoded)
                throw damaged(AgendaLanguage::text("\"options\" non valido per " + id,
                                                   "invalid \"options\" for " + id));
            record.options = *decoded;
        }
        originals.emplace(id, std::move(record));
    }
    return originals;
}

} // namespace brivane

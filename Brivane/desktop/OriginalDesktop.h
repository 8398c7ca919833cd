#pragma once

#include <QByteArray>
#include <QUrl>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>

namespace brivane {

// No usable previous wallpaper for a screen.
class WallpaperError : public std::runtime_error {
public:
    enum class Kind { originalUnavailable };
    explicit WallpaperError(Kind kind = Kind::originalUnavailable);
    // With a description of its own (what exactly cannot be recovered).
    WallpaperError(Kind kind, const std::string& description);
    Kind kind() const { return kind_; }
    bool operator==(const WallpaperError& other) const { return kind_ == other.kind_; }

private:
    Kind kind_;
};

// The recovery data "original-desktops.json" cannot be read; nothing was changed.
class RecoveryDataError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The wallpaper a screen showed before the program first changed it.
struct OriginalDesktop {
    QUrl url;
    // The desktop's own option values at that time, as our own JSON document.
    std::optional<QByteArray> options;

    bool operator==(const OriginalDesktop&) const = default;

    // A record that names an existing file (not a folder) that is not one of our own images.
    static bool isOriginalFile(const OriginalDesktop& desktop,
                               const std::set<std::string>& knownIDs);
    // The wallpaper to put back for `desktop`; records that name our own images are resolved
    // through `recovery`, and when that fails the one file all usable records agree on.
    static std::optional<OriginalDesktop>
    recover(const OriginalDesktop& desktop, const std::map<std::string, OriginalDesktop>& recovery);
};

using OriginalDesktops = std::map<std::string, OriginalDesktop>;

// The recovery data file: screen id → {"url": absolute URL, "options": Base64}.
QByteArray encodeOriginalDesktops(const OriginalDesktops& originals);
// Throws RecoveryDataError.
OriginalDesktops decodeOriginalDesktops(const QByteArray& data);

} // namespace brivane

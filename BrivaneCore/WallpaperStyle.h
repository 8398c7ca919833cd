#pragma once

#include "BrivaneCore/AgendaDates.h"
#include "BrivaneCore/RawValue.h"

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace brivane {

enum class WallpaperStyle { glass, paper };

inline constexpr EnumNames<WallpaperStyle, 2> wallpaperStyleNames{{
    {WallpaperStyle::glass, "glass", "Vetro opaco", "Frosted glass"},
    {WallpaperStyle::paper, "paper", "Carta", "Paper"},
}};
constexpr std::array<WallpaperStyle, 2> allWallpaperStyles = wallpaperStyleNames.all();

std::string_view rawValue(WallpaperStyle style);
std::optional<WallpaperStyle> wallpaperStyleFromRawValue(std::string_view raw);
std::string title(WallpaperStyle style);

// One palette of the six-step cycle; it changes at every even UTC hour.
struct GlassHarmony {
    int index = 0;
    double baseHue = 0;
    std::string name;

    static constexpr int paletteCount = 6;
    static constexpr std::int64_t slotSeconds = 7200;

    static GlassHarmony at(Date instant);
    static Date nextChange(Date instant);

    double accentHue() const;
    std::array<double, 3> hues() const;
    bool operator==(const GlassHarmony&) const = default;
};

} // namespace brivane

#include "BrivaneCore/WallpaperStyle.h"

#include "BrivaneCore/AgendaLanguage.h"

#include <cmath>

namespace brivane {

std::string_view rawValue(WallpaperStyle style) {
    return wallpaperStyleNames.rawValue(style);
}

std::optional<WallpaperStyle> wallpaperStyleFromRawValue(std::string_view raw) {
    return wallpaperStyleNames.fromRawValue(raw);
}

std::string title(WallpaperStyle style) {
    return wallpaperStyleNames.title(style);
}

namespace {

struct PaletteEntry {
    double hue;
    const char* english;
    const char* italian;
};

constexpr PaletteEntry palettes[GlassHarmony::paletteCount] = {
    {0.55, "Ocean · coral", "Oceano · corallo"},
    {0.66, "Sage · orchid", "Salvia · orchidea"},
    {0.43, "Apricot · lagoon", "Albicocca · laguna"},
    {0.76, "Iris · amber", "Iris · ambra"},
    {0.08, "Jade · rose", "Giada · rosa"},
    {0.92, "Berry · sky", "Bacca · cielo"},
};

std::int64_t slotOf(Date instant) {
    const auto ms = instant.time_since_epoch().count();
    const std::int64_t slotMs = GlassHarmony::slotSeconds * 1000;
    // Rounded down, also before 1970.
    return ms >= 0 ? ms / slotMs : -((-ms + slotMs - 1) / slotMs);
}

} // namespace

GlassHarmony GlassHarmony::at(Date instant) {
    int index = static_cast<int>(slotOf(instant) % paletteCount);
    if (index < 0)
        index += paletteCount;
    const auto& p = palettes[index];
    return {index, p.hue, AgendaLanguage::text(p.italian, p.english)};
}

Date GlassHarmony::nextChange(Date instant) {
    return dateFromSeconds((slotOf(instant) + 1) * slotSeconds);
}

double GlassHarmony::accentHue() const {
    return std::fmod(baseHue + 0.5, 1.0);
}

std::array<double, 3> GlassHarmony::hues() const {
    return {baseHue, std::fmod(baseHue + 5.0 / 12.0, 1.0), std::fmod(baseHue + 7.0 / 12.0, 1.0)};
}

} // namespace brivane

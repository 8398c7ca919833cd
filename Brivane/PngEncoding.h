#pragma once

#include "Brivane/WallpaperPainter.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace brivane {

// PNG encoding tuned for speed: encoding dominates the time of a refresh.
struct PngEncoding {
    enum class Filter { none, sub, up };

    // Opaque images are written as RGB, others as RGBA (straight alpha). Absent when memory runs
    // out or the image is too large for one PNG.
    static std::optional<std::vector<std::uint8_t>>
    encode(const RasterImage& image, Filter filter = Filter::up, int level = 1);
};

} // namespace brivane

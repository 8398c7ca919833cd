#pragma once

#include "Brivane/render/WallpaperPainter.h"

#include <memory>
#include <string>

namespace brivane {

// The soft field of five pastel blobs behind the glass style, computed at a width of 1200
// pixels, cached per aspect ratio and palette, and stretched over the canvas.
struct FrostedBackground {
    static constexpr int imageWidth = 1200;
    static constexpr int cacheLimit = 8;

    // Paints `rect` with the background of palette `palette` (0…5); nothing when it is empty.
    static void draw(Painter& painter, const Rect& rect, int palette);

    // The W × H image of palette `palette`; null when it cannot be allocated.
    static std::shared_ptr<RasterImage> makeImage(int width, int height, int palette);

    // The cache key of a rectangle of `width` × `height` points, e.g. "1200x750-2".
    static std::string cacheKey(double width, double height, int palette);
    static std::size_t cacheSize();
    static void clearCache();
};

} // namespace brivane

#pragma once

#include "Brivane/render/WallpaperPainter.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace brivane {

// PNG encoding tuned for speed: encoding dominates the time of a refresh.
struct PngEncoding {
    enum class Filter { none, sub, up };

    // Chooses the compression level from the image: the fastest level for busy images (the
    // frosted background), the next one for flat images, where it is faster still.
    static constexpr int automaticLevel = -1;

    // Both cores: about a third of the rows is compressed with zlib on a second thread while
    // libdeflate compresses the rest. Faster when a core is free, slower and dearer in CPU time
    // when none is; `automatic` splits only when the load average leaves a core idle.
    enum class Cores { automatic, one, both };

    // Opaque images are written as RGB, others as RGBA (straight alpha). Absent when memory runs
    // out or the image is too large for one PNG.
    static std::optional<std::vector<std::uint8_t>> encode(const RasterImage& image,
                                                           Filter filter = Filter::up,
                                                           int level = automaticLevel,
                                                           Cores cores = Cores::automatic);
};

} // namespace brivane

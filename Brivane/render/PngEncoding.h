#pragma once

#include "Brivane/render/WallpaperPainter.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace brivane {

// PNG encoding tuned for speed: encoding dominates the time of a refresh.
struct PngEncoding {
    enum class Filter { none, sub, up };

    // Chooses the compression per band of rows: run-length matching for busy rows (the frosted
    // background), zlib's fastest level for flat ones (paper), where it packs runs far tighter.
    static constexpr int automaticLevel = -1;

    // Both cores: the bands to compress are shared by two threads. Faster when a core is free;
    // `automatic` uses the second only when the load average leaves a core idle.
    enum class Cores { automatic, one, both };

    // Opaque images are written as RGB, others as RGBA (straight alpha). Absent when memory runs
    // out or the image is too large for one PNG. `level` is zlib's (0–9) or automaticLevel.
    static std::optional<std::vector<std::uint8_t>> encode(const RasterImage& image,
                                                           Filter filter = Filter::up,
                                                           int level = automaticLevel,
                                                           Cores cores = Cores::automatic);
};

// An encoder that remembers the last image it encoded, compressed band by band: the next image
// compresses only the bands whose pixels changed. A wallpaper drawn again five minutes later
// differs in a few rows (the now line, a clock), so it costs a fraction of a first encoding.
// Holds about the size of the last PNG. One thread at a time.
class PngEncoder {
public:
    static constexpr int bandRows = 8;

    explicit PngEncoder(PngEncoding::Filter filter = PngEncoding::Filter::up,
                        int level = PngEncoding::automaticLevel);

    // As PngEncoding::encode; the bytes are a complete PNG whatever was encoded before.
    std::optional<std::vector<std::uint8_t>>
    encode(const RasterImage& image, PngEncoding::Cores cores = PngEncoding::Cores::automatic);

    // Of the last encode: bands compressed anew and bands in all.
    int compressedBands() const { return compressed_; }
    int bandCount() const { return static_cast<int>(bands_.size()); }
    // Bytes kept in memory for the next encode.
    std::size_t memory() const;
    void forget();

    // The last PNG now lies whole in the file at `path`: its bands leave memory and are read back
    // from there when the next image keeps them. A file changed or gone since costs a full
    // encode, never a different PNG.
    void keptIn(const std::string& path);

    // The pieces of one band: its rows' pixels (as a 128-bit digest, with the row above when the
    // filter reads it), their Adler-32, and deflate blocks that end on a byte boundary.
    struct Band {
        std::array<std::uint64_t, 2> digest{};
        std::uint32_t adler = 1;
        std::size_t filteredSize = 0;
        std::vector<std::uint8_t> deflated;
        // While the blocks lie in the kept file instead: their size and their bytes' hash.
        std::size_t storedSize = 0;
        std::uint64_t storedHash = 0;
    };

private:
    // Moves the kept bands whose pixels are unchanged into `next`; the indices of the others.
    std::vector<std::size_t> takeUnchanged(std::vector<Band>& next, int width, int height,
                                           bool withAlpha);

    PngEncoding::Filter filter_;
    int level_;
    // What the kept bands were made for.
    int width_ = 0;
    int height_ = 0;
    bool withAlpha_ = false;
    std::vector<Band> bands_;
    // The file holding the kept bands' blocks (empty: they are in memory) and its size.
    std::string storedIn_;
    std::size_t pngSize_ = 0;
    int compressed_ = 0;
};

} // namespace brivane

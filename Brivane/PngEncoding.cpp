#include "Brivane/PngEncoding.h"

#include <algorithm>
#include <cstring>
#include <libdeflate.h>
#include <limits>
#include <memory>
#include <new>

namespace brivane {

namespace {

void putU32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    out.push_back(static_cast<std::uint8_t>(value >> 24));
    out.push_back(static_cast<std::uint8_t>(value >> 16));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
}

void chunk(std::vector<std::uint8_t>& out, const char* type, const std::uint8_t* data,
           std::size_t size) {
    putU32(out, static_cast<std::uint32_t>(size));
    const std::size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    if (size > 0)
        out.insert(out.end(), data, data + size);
    putU32(out, libdeflate_crc32(0, out.data() + start, size + 4));
}

// One row of Cairo's native-endian premultiplied ARGB as PNG samples. Without alpha, returns
// false as soon as a pixel is not opaque.
bool unpack(const std::uint32_t* row, int width, bool withAlpha, std::uint8_t* out) {
    if (!withAlpha) {
        for (int x = 0; x < width; ++x) {
            const std::uint32_t p = row[x];
            if ((p >> 24) != 255)
                return false;
            out[0] = static_cast<std::uint8_t>(p >> 16);
            out[1] = static_cast<std::uint8_t>(p >> 8);
            out[2] = static_cast<std::uint8_t>(p);
            out += 3;
        }
        return true;
    }
    for (int x = 0; x < width; ++x) {
        const std::uint32_t p = row[x];
        const std::uint32_t a = p >> 24;
        auto straight = [a](std::uint32_t v) {
            v &= 0xFF;
            if (a == 255)
                return static_cast<std::uint8_t>(v);
            return static_cast<std::uint8_t>(
                a == 0 ? 0 : std::min<std::uint32_t>(255, (v * 255 + a / 2) / a));
        };
        out[0] = straight(p >> 16);
        out[1] = straight(p >> 8);
        out[2] = straight(p);
        out[3] = static_cast<std::uint8_t>(a);
        out += 4;
    }
    return true;
}

// The filtered scanlines of the image; absent when `withAlpha` is false and a pixel is not
// opaque.
std::optional<std::vector<std::uint8_t>> scanlines(const RasterImage& image, bool withAlpha,
                                                   PngEncoding::Filter filter) {
    const int width = image.pixelWidth();
    const int height = image.pixelHeight();
    const std::size_t channels = withAlpha ? 4 : 3;
    const std::size_t rowBytes = channels * static_cast<std::size_t>(width);
    std::vector<std::uint8_t> filtered((rowBytes + 1) * static_cast<std::size_t>(height));
    std::vector<std::uint8_t> previous(rowBytes, 0);
    std::vector<std::uint8_t> current(rowBytes);
    const std::uint8_t* pixels = image.data();
    for (int y = 0; y < height; ++y) {
        const auto* row = reinterpret_cast<const std::uint32_t*>(
            pixels + image.stride() * static_cast<std::size_t>(y));
        std::uint8_t* out = filtered.data() + (rowBytes + 1) * static_cast<std::size_t>(y);
        if (filter == PngEncoding::Filter::none) {
            *out++ = 0;
            if (!unpack(row, width, withAlpha, out))
                return std::nullopt;
            continue;
        }
        if (!unpack(row, width, withAlpha, current.data()))
            return std::nullopt;
        const std::uint8_t* cur = current.data();
        const std::uint8_t* prev = previous.data();
        if (filter == PngEncoding::Filter::sub) {
            *out++ = 1;
            std::memcpy(out, cur, channels);
            for (std::size_t i = channels; i < rowBytes; ++i)
                out[i] = static_cast<std::uint8_t>(cur[i] - cur[i - channels]);
        } else {
            *out++ = 2;
            for (std::size_t i = 0; i < rowBytes; ++i)
                out[i] = static_cast<std::uint8_t>(cur[i] - prev[i]);
        }
        std::swap(previous, current);
    }
    return filtered;
}

} // namespace

std::optional<std::vector<std::uint8_t>> PngEncoding::encode(const RasterImage& image,
                                                             Filter filter, int level) {
    const int width = image.pixelWidth();
    const int height = image.pixelHeight();
    if (static_cast<double>(width) * height * 4 > std::numeric_limits<std::uint32_t>::max() / 2)
        return std::nullopt;

    try {
        // Wallpapers are opaque: three samples per pixel unless a pixel says otherwise.
        bool withAlpha = false;
        auto rows = scanlines(image, false, filter);
        if (!rows) {
            withAlpha = true;
            rows = scanlines(image, true, filter);
        }
        std::vector<std::uint8_t> filtered = std::move(*rows);

        std::unique_ptr<libdeflate_compressor, decltype(&libdeflate_free_compressor)> compressor(
            libdeflate_alloc_compressor(std::clamp(level, 0, 12)), &libdeflate_free_compressor);
        if (!compressor)
            return std::nullopt;
        std::vector<std::uint8_t> compressed(
            libdeflate_zlib_compress_bound(compressor.get(), filtered.size()));
        const std::size_t compressedSize =
            libdeflate_zlib_compress(compressor.get(), filtered.data(), filtered.size(),
                                     compressed.data(), compressed.size());
        if (compressedSize == 0)
            return std::nullopt;
        filtered = {};

        std::vector<std::uint8_t> png;
        png.reserve(compressedSize + 64);
        static constexpr std::uint8_t signature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
        png.insert(png.end(), std::begin(signature), std::end(signature));
        std::vector<std::uint8_t> header;
        putU32(header, static_cast<std::uint32_t>(width));
        putU32(header, static_cast<std::uint32_t>(height));
        header.push_back(8);                 // bit depth
        header.push_back(withAlpha ? 6 : 2); // RGBA or RGB
        header.push_back(0);                 // deflate
        header.push_back(0);                 // adaptive filtering
        header.push_back(0);                 // not interlaced
        chunk(png, "IHDR", header.data(), header.size());
        chunk(png, "IDAT", compressed.data(), compressedSize);
        chunk(png, "IEND", nullptr, 0);
        return png;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

} // namespace brivane

#include "Brivane/PngEncoding.h"

#include <algorithm>
#include <cstring>
#include <libdeflate.h>
#include <limits>
#include <memory>
#include <new>
#include <system_error>
#include <thread>

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

// Large buffers stay uninitialised: every byte is written before it is read.
struct Buffer {
    std::unique_ptr<std::uint8_t[]> bytes;
    std::size_t size = 0;
    explicit Buffer(std::size_t n) : bytes(new std::uint8_t[n]), size(n) {}
    std::uint8_t* data() { return bytes.get(); }
};

// Filters rows [first, end) of the image into `out` (laid out for the whole image). False when
// `withAlpha` is false and a pixel is not opaque.
bool filterRows(const RasterImage& image, bool withAlpha, PngEncoding::Filter filter, int first,
                int end, std::uint8_t* out) {
    const int width = image.pixelWidth();
    const std::size_t channels = withAlpha ? 4 : 3;
    const std::size_t rowBytes = channels * static_cast<std::size_t>(width);
    const std::uint8_t* pixels = image.data();
    auto row = [&](int y) {
        return reinterpret_cast<const std::uint32_t*>(pixels +
                                                      image.stride() * static_cast<std::size_t>(y));
    };
    std::vector<std::uint8_t> previous(rowBytes, 0);
    std::vector<std::uint8_t> current(rowBytes);
    if (first > 0 && filter == PngEncoding::Filter::up &&
        !unpack(row(first - 1), width, withAlpha, previous.data()))
        return false;
    for (int y = first; y < end; ++y) {
        std::uint8_t* line = out + (rowBytes + 1) * static_cast<std::size_t>(y);
        if (filter == PngEncoding::Filter::none) {
            *line++ = 0;
            if (!unpack(row(y), width, withAlpha, line))
                return false;
            continue;
        }
        if (!unpack(row(y), width, withAlpha, current.data()))
            return false;
        const std::uint8_t* cur = current.data();
        const std::uint8_t* prev = previous.data();
        if (filter == PngEncoding::Filter::sub) {
            *line++ = 1;
            std::memcpy(line, cur, channels);
            for (std::size_t i = channels; i < rowBytes; ++i)
                line[i] = static_cast<std::uint8_t>(cur[i] - cur[i - channels]);
        } else {
            *line++ = 2;
            for (std::size_t i = 0; i < rowBytes; ++i)
                line[i] = static_cast<std::uint8_t>(cur[i] - prev[i]);
        }
        std::swap(previous, current);
    }
    return true;
}

// The filtered scanlines of the image, the lower half on a second core; absent when
// `withAlpha` is false and a pixel is not opaque.
std::optional<Buffer> scanlines(const RasterImage& image, bool withAlpha,
                                PngEncoding::Filter filter) {
    const int height = image.pixelHeight();
    const std::size_t rowBytes =
        (withAlpha ? 4 : 3) * static_cast<std::size_t>(image.pixelWidth()) + 1;
    Buffer filtered(rowBytes * static_cast<std::size_t>(height));
    const int middle = height / 2;
    bool lower = true;
    std::thread worker;
    if (middle >= 32) {
        try {
            worker = std::thread([&] {
                lower = filterRows(image, withAlpha, filter, middle, height, filtered.data());
            });
        } catch (const std::system_error&) {
            // No thread to be had: this core does all the rows.
        }
    }
    const int upperEnd = worker.joinable() ? middle : height;
    const bool upper = filterRows(image, withAlpha, filter, 0, upperEnd, filtered.data());
    if (worker.joinable())
        worker.join();
    if (!upper || !lower)
        return std::nullopt;
    return filtered;
}

// libdeflate's fastest level is slow on long runs of equal bytes, which flat images (the paper
// style) are made of after filtering; level 2 takes about half the time there, while on the
// frosted background level 1 is about half as costly as level 2. A sample of rows decides.
int levelFor(const Buffer& filtered, std::size_t rowBytes) {
    const std::size_t rows = filtered.size / rowBytes;
    std::size_t zeros = 0;
    std::size_t seen = 0;
    for (std::size_t row = 0; row < rows; row += 16) {
        const std::uint8_t* line = filtered.bytes.get() + row * rowBytes;
        for (std::size_t i = 1; i < rowBytes; ++i)
            zeros += line[i] == 0;
        seen += rowBytes - 1;
    }
    return seen > 0 && zeros * 10 >= seen * 9 ? 2 : 1;
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
        Buffer filtered = std::move(*rows);

        std::unique_ptr<libdeflate_compressor, decltype(&libdeflate_free_compressor)> compressor(
            libdeflate_alloc_compressor(
                level == automaticLevel
                    ? levelFor(filtered, filtered.size / static_cast<std::size_t>(height))
                    : std::clamp(level, 0, 12)),
            &libdeflate_free_compressor);
        if (!compressor)
            return std::nullopt;
        Buffer compressed(libdeflate_zlib_compress_bound(compressor.get(), filtered.size));
        const std::size_t compressedSize = libdeflate_zlib_compress(
            compressor.get(), filtered.data(), filtered.size, compressed.data(), compressed.size);
        if (compressedSize == 0)
            return std::nullopt;
        filtered.bytes.reset();

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

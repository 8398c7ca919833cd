#include "Brivane/render/PngEncoding.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <libdeflate.h>
#include <limits>
#include <memory>
#include <new>
#include <system_error>
#include <thread>
#include <zlib.h>

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

// libdeflate's fastest level is slow on long runs of equal bytes, which flat images (the paper
// style) are made of after filtering; level 2 takes about half the time there, while on the
// frosted background level 1 is about half as costly as level 2. A sample of rows decides.
int levelFor(const std::uint8_t* filtered, std::size_t rows, std::size_t rowBytes) {
    std::size_t zeros = 0;
    std::size_t seen = 0;
    for (std::size_t row = 0; row < rows; row += 16) {
        const std::uint8_t* line = filtered + row * rowBytes;
        for (std::size_t i = 1; i < rowBytes; ++i)
            zeros += line[i] == 0;
        seen += rowBytes - 1;
    }
    return seen > 0 && zeros * 10 >= seen * 9 ? 2 : 1;
}

// A piece of raw deflate data and the Adler-32 of what it holds.
struct Piece {
    Buffer data{0};
    std::size_t size = 0;
    std::uint32_t adler = 1;
    bool ok = true;
};

// zlib ends its piece with a sync flush: byte-aligned and not final, so the stream goes on.
Piece zlibPiece(const std::uint8_t* input, std::size_t length) {
    Piece piece;
    if (length == 0)
        return piece;
    z_stream stream{};
    if (deflateInit2(&stream, 1, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        piece.ok = false;
        return piece;
    }
    piece.data = Buffer(deflateBound(&stream, length) + 64);
    stream.next_in = const_cast<Bytef*>(input);
    stream.avail_in = static_cast<uInt>(length);
    stream.next_out = piece.data.data();
    stream.avail_out = static_cast<uInt>(piece.data.size);
    const int status = deflate(&stream, Z_SYNC_FLUSH);
    piece.ok =
        (status == Z_OK || status == Z_BUF_ERROR) && stream.avail_in == 0 && stream.avail_out > 0;
    piece.size = stream.total_out;
    deflateEnd(&stream);
    piece.adler = static_cast<std::uint32_t>(adler32(1, input, static_cast<uInt>(length)));
    return piece;
}

// libdeflate writes the final piece.
Piece libdeflatePiece(const std::uint8_t* input, std::size_t length, int level) {
    Piece piece;
    std::unique_ptr<libdeflate_compressor, decltype(&libdeflate_free_compressor)> compressor(
        libdeflate_alloc_compressor(level), &libdeflate_free_compressor);
    if (!compressor) {
        piece.ok = false;
        return piece;
    }
    piece.data = Buffer(libdeflate_deflate_compress_bound(compressor.get(), length));
    piece.size = libdeflate_deflate_compress(compressor.get(), input, length, piece.data.data(),
                                             piece.data.size);
    piece.ok = piece.size > 0;
    piece.adler = libdeflate_adler32(1, input, length);
    return piece;
}

// The image data of the PNG: filtered scanlines in one zlib stream. With both cores, the first
// third of the rows goes through zlib, the rest through libdeflate, which is about twice as fast
// per byte, so both finish together. Absent when `withAlpha` is false and a pixel
// is not opaque, or when compression fails.
struct ImageData {
    std::vector<std::uint8_t> bytes;
    bool needsAlpha = false;
};

std::optional<ImageData> imageData(const RasterImage& image, bool withAlpha,
                                   PngEncoding::Filter filter, int level,
                                   PngEncoding::Cores cores) {
    const int height = image.pixelHeight();
    const std::size_t rowBytes =
        (withAlpha ? 4 : 3) * static_cast<std::size_t>(image.pixelWidth()) + 1;
    Buffer filtered(rowBytes * static_cast<std::size_t>(height));
    // zlib is about half as fast as libdeflate per byte.
    const int split =
        cores == PngEncoding::Cores::both && height >= 64 ? static_cast<int>(height * 0.34) : 0;
    const std::size_t headLength = rowBytes * static_cast<std::size_t>(split);

    bool headFiltered = true;
    Piece head;
    std::thread worker;
    if (split > 0) {
        try {
            worker = std::thread([&] {
                headFiltered = filterRows(image, withAlpha, filter, 0, split, filtered.data());
                if (headFiltered)
                    head = zlibPiece(filtered.data(), headLength);
            });
        } catch (const std::system_error&) {
            // No second thread to be had: this one does the head too.
            headFiltered = filterRows(image, withAlpha, filter, 0, split, filtered.data());
            if (headFiltered)
                head = zlibPiece(filtered.data(), headLength);
        }
    }
    const bool tailFiltered = filterRows(image, withAlpha, filter, split, height, filtered.data());
    Piece tail;
    if (tailFiltered) {
        const std::uint8_t* start = filtered.data() + headLength;
        const auto rows = static_cast<std::size_t>(height - split);
        tail =
            libdeflatePiece(start, filtered.size - headLength,
                            level == PngEncoding::automaticLevel ? levelFor(start, rows, rowBytes)
                                                                 : std::clamp(level, 0, 12));
    }
    if (worker.joinable())
        worker.join();
    if (!headFiltered || !tailFiltered)
        return ImageData{{}, true};
    if (!head.ok || !tail.ok)
        return std::nullopt;

    ImageData result;
    result.bytes.reserve(2 + head.size + tail.size + 4);
    result.bytes.push_back(0x78); // deflate, 32 KiB window
    result.bytes.push_back(0x01); // fastest; header check bits
    result.bytes.insert(result.bytes.end(), head.data.data(), head.data.data() + head.size);
    result.bytes.insert(result.bytes.end(), tail.data.data(), tail.data.data() + tail.size);
    const auto adler = static_cast<std::uint32_t>(
        adler32_combine(head.adler, tail.adler, static_cast<z_off_t>(filtered.size - headLength)));
    putU32(result.bytes, adler);
    return result;
}

// Whether the last minute's load average leaves at least one core idle.
bool spareCore() {
    const unsigned count = std::thread::hardware_concurrency();
    double load = 0;
    if (count < 2 || getloadavg(&load, 1) != 1)
        return false;
    return load <= count - 1.0;
}

} // namespace

std::optional<std::vector<std::uint8_t>>
PngEncoding::encode(const RasterImage& image, Filter filter, int level, Cores cores) {
    const int width = image.pixelWidth();
    const int height = image.pixelHeight();
    if (static_cast<double>(width) * height * 4 > std::numeric_limits<std::uint32_t>::max() / 2)
        return std::nullopt;

    if (cores == Cores::automatic)
        cores = spareCore() ? Cores::both : Cores::one;

    try {
        // Wallpapers are opaque: three samples per pixel unless a pixel says otherwise.
        bool withAlpha = false;
        auto data = imageData(image, false, filter, level, cores);
        if (data && data->needsAlpha) {
            withAlpha = true;
            data = imageData(image, true, filter, level, cores);
        }
        if (!data || data->needsAlpha)
            return std::nullopt;

        std::vector<std::uint8_t> png;
        png.reserve(data->bytes.size() + 64);
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
        chunk(png, "IDAT", data->bytes.data(), data->bytes.size());
        chunk(png, "IEND", nullptr, 0);
        return png;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

} // namespace brivane

#include "Brivane/render/PngEncoding.h"

#include "Brivane/render/RunLengthDeflate.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <libdeflate.h>
#include <limits>
#include <memory>
#include <new>
#include <numeric>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <xxhash.h>
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

// One row of Cairo's native-endian premultiplied ARGB as PNG samples (RGB only when every pixel
// is opaque, which the caller has checked).
void unpack(const std::uint32_t* row, int width, bool withAlpha, std::uint8_t* out) {
    if (!withAlpha) {
        for (int x = 0; x < width; ++x) {
            const std::uint32_t p = row[x];
            out[0] = static_cast<std::uint8_t>(p >> 16);
            out[1] = static_cast<std::uint8_t>(p >> 8);
            out[2] = static_cast<std::uint8_t>(p);
            out += 3;
        }
        return;
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
}

// An opaque row up-filtered straight from the pixels (`above` null for the first row): each
// sample less the one above it, four at a time, written as four bytes of which the last (alpha)
// is overwritten by the next pixel: `out` needs a byte to spare.
void upFilterOpaque(const std::uint32_t* row, const std::uint32_t* above, int width,
                    std::uint8_t* out) {
    constexpr std::uint32_t high = 0x80808080u;
    for (int x = 0; x < width; ++x) {
        const std::uint32_t a = row[x];
        const std::uint32_t b = above != nullptr ? above[x] : 0;
        const std::uint32_t difference = ((a | high) - (b & ~high)) ^ ((a ^ ~b) & high);
        const std::uint32_t samples = __builtin_bswap32(difference) >> 8; // R, G, B in memory
        std::memcpy(out + 3 * static_cast<std::size_t>(x), &samples, sizeof samples);
    }
}

// The image's rows, read once from Cairo on the calling thread: reaching the pixels flushes the
// surface, which is not for two threads at once.
struct Rows {
    explicit Rows(const RasterImage& image)
        : base(image.data()), stride(image.stride()), width(image.pixelWidth()) {}
    const std::uint32_t* operator()(int y) const {
        return reinterpret_cast<const std::uint32_t*>(base + stride * static_cast<std::size_t>(y));
    }
    const std::uint8_t* base;
    std::size_t stride;
    int width;
};

// Large buffers stay uninitialised: every byte is written before it is read.
struct Buffer {
    std::unique_ptr<std::uint8_t[]> bytes;
    std::size_t size = 0;
    Buffer() = default;
    explicit Buffer(std::size_t n) : bytes(new std::uint8_t[n]), size(n) {}
    std::uint8_t* data() { return bytes.get(); }
};

// Filters rows [first, end) of the image into `out` (the band's own filtered scanlines, and a
// byte to spare); the row above `first` is read for the up filter.
void filterRows(const Rows& row, bool withAlpha, PngEncoding::Filter filter, int first, int end,
                std::uint8_t* out, std::uint8_t* previous, std::uint8_t* current) {
    const int width = row.width;
    const std::size_t channels = withAlpha ? 4 : 3;
    const std::size_t rowBytes = channels * static_cast<std::size_t>(width);
    if (filter == PngEncoding::Filter::up && !withAlpha &&
        std::endian::native == std::endian::little) {
        for (int y = first; y < end; ++y) {
            std::uint8_t* line = out + (rowBytes + 1) * static_cast<std::size_t>(y - first);
            *line++ = 2;
            upFilterOpaque(row(y), y > 0 ? row(y - 1) : nullptr, width, line);
        }
        return;
    }
    if (filter == PngEncoding::Filter::up) {
        if (first > 0)
            unpack(row(first - 1), width, withAlpha, previous);
        else
            std::memset(previous, 0, rowBytes);
    }
    for (int y = first; y < end; ++y) {
        std::uint8_t* line = out + (rowBytes + 1) * static_cast<std::size_t>(y - first);
        if (filter == PngEncoding::Filter::none) {
            *line++ = 0;
            unpack(row(y), width, withAlpha, line);
            continue;
        }
        unpack(row(y), width, withAlpha, current);
        if (filter == PngEncoding::Filter::sub) {
            *line++ = 1;
            std::memcpy(line, current, channels);
            for (std::size_t i = channels; i < rowBytes; ++i)
                line[i] = static_cast<std::uint8_t>(current[i] - current[i - channels]);
        } else {
            *line++ = 2;
            for (std::size_t i = 0; i < rowBytes; ++i)
                line[i] = static_cast<std::uint8_t>(current[i] - previous[i]);
            std::swap(previous, current);
        }
    }
}

// zlib's fastest level finds long matches that run-length matching cannot, which makes flat
// bands (paper: long runs of zeros once filtered) about half the size; on busy bands (the
// frosted background's noise) run-length matching is faster and a little smaller.
bool flat(const std::uint8_t* filtered, std::size_t size) {
    // Counted in stretches, so that a busy band is told apart after its first few.
    constexpr std::size_t stretch = 4096;
    const std::size_t allowed = size - (size * 9 + 9) / 10; // nonzero bytes a flat band may have
    std::size_t nonzero = 0;
    for (std::size_t at = 0; at < size; at += stretch) {
        const std::size_t end = std::min(size, at + stretch);
        unsigned count = 0;
        for (std::size_t i = at; i < end; ++i)
            count += filtered[i] != 0;
        nonzero += count;
        if (nonzero > allowed)
            return false;
    }
    return true;
}

// zlib's fastest level for flat bands (and for a level asked for), reset for every band.
class Deflater {
public:
    explicit Deflater(int level) {
        if (deflateInit2(&stream_, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
            throw std::bad_alloc();
    }
    ~Deflater() { deflateEnd(&stream_); }
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;

    // Deflate blocks of `input`, none final, ending byte-aligned (a sync flush), so that the
    // pieces of all bands follow one another in one stream. The size written into `out` (at
    // least bound() bytes), or 0 when zlib fails.
    std::size_t compress(const std::uint8_t* input, std::size_t length, std::uint8_t* out,
                         std::size_t room) {
        if (deflateReset(&stream_) != Z_OK)
            return 0;
        stream_.next_in = const_cast<Bytef*>(input);
        stream_.avail_in = static_cast<uInt>(length);
        stream_.next_out = out;
        stream_.avail_out = static_cast<uInt>(room);
        const int status = deflate(&stream_, Z_SYNC_FLUSH);
        if ((status != Z_OK && status != Z_BUF_ERROR) || stream_.avail_in != 0 ||
            stream_.avail_out == 0)
            return 0;
        return room - stream_.avail_out;
    }
    std::size_t bound(std::size_t length) { return deflateBound(&stream_, length) + 64; }

private:
    z_stream stream_{};
};

// What one thread needs to compress bands.
struct Worker {
    Worker(std::size_t rowBytes, int chosenLevel)
        : filtered((rowBytes + 1) * PngEncoder::bandRows + 1), previous(rowBytes),
          current(rowBytes), level(chosenLevel) {}
    Buffer filtered;
    Buffer previous;
    Buffer current;
    Buffer deflated;
    int level;
    std::unique_ptr<RunLengthDeflate> busy;
    std::unique_ptr<Deflater> even;

    // Compresses `size` filtered bytes into `out`; false when zlib fails.
    bool compress(const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>& out) {
        const bool runLength = level == PngEncoding::automaticLevel && !flat(data, size);
        if (!runLength && !even)
            even = std::make_unique<Deflater>(
                level == PngEncoding::automaticLevel ? 1 : std::clamp(level, 0, 9));
        if (runLength && !busy)
            busy = std::make_unique<RunLengthDeflate>();
        const std::size_t room = runLength ? RunLengthDeflate::bound(size) : even->bound(size);
        if (deflated.size < room)
            deflated = Buffer(room);
        const std::size_t written = runLength ? busy->compress(data, size, deflated.data())
                                              : even->compress(data, size, deflated.data(), room);
        if (written == 0)
            return false;
        out.assign(deflated.data(), deflated.data() + written);
        return true;
    }
};

// Whether the last minute's load average leaves at least one core idle.
bool spareCore() {
    const unsigned count = std::thread::hardware_concurrency();
    double load = 0;
    if (count < 2 || getloadavg(&load, 1) != 1)
        return false;
    return load <= count - 1.0;
}

struct StateDeleter {
    void operator()(XXH3_state_t* state) const { XXH3_freeState(state); }
};

// Calls `each(worker, i)` for i in [0, count), on this thread and, with both cores, on a second
// one, each taking the next index in turn; `worker` is made once per thread. False when a call
// failed or threw (out of memory, most likely: an exception must not leave a thread).
template <typename MakeWorker, typename Each>
bool shareOut(bool bothCores, std::size_t count, MakeWorker makeWorker, Each each) {
    std::atomic<std::size_t> taken{0};
    std::atomic<bool> failed{false};
    auto work = [&] {
        try {
            auto worker = makeWorker();
            for (std::size_t i = taken++; i < count && !failed; i = taken++) {
                if (!each(worker, i))
                    failed = true;
            }
        } catch (...) {
            failed = true;
        }
    };
    std::thread helper;
    if (bothCores && count >= 2) {
        try {
            helper = std::thread(work);
        } catch (const std::system_error&) {
            // No second thread to be had: this one does all the work.
        }
    }
    work();
    if (helper.joinable())
        helper.join();
    return !failed;
}

using Band = PngEncoder::Band;

// Each band's digest, and whether every pixel is opaque (then three samples per pixel).
struct Digests {
    std::vector<Band> bands;
    bool withAlpha = false;
};

Digests digestBands(const RasterImage& image, PngEncoding::Filter filter, bool bothCores) {
    const int width = image.pixelWidth();
    const int height = image.pixelHeight();
    const int count = (height + PngEncoder::bandRows - 1) / PngEncoder::bandRows;
    Digests digests;
    std::vector<Band>& next = digests.bands;
    next.resize(static_cast<std::size_t>(count));
    const Rows row(image);
    const std::size_t pixelBytes = 4 * static_cast<std::size_t>(width);
    std::atomic<std::uint32_t> opaque{0xFF000000u};
    const bool digested = shareOut(
        bothCores, next.size(),
        [] {
            std::unique_ptr<XXH3_state_t, StateDeleter> state(XXH3_createState());
            if (!state)
                throw std::bad_alloc();
            return state;
        },
        [&](auto& state, std::size_t b) {
            const int first = static_cast<int>(b) * PngEncoder::bandRows;
            const int end = std::min(height, first + PngEncoder::bandRows);
            XXH3_128bits_reset(state.get());
            if (filter == PngEncoding::Filter::up && first > 0)
                XXH3_128bits_update(state.get(), row(first - 1), pixelBytes);
            std::uint32_t all = 0xFFFFFFFFu;
            for (int y = first; y < end; ++y) {
                const std::uint32_t* pixels = row(y);
                XXH3_128bits_update(state.get(), pixels, pixelBytes);
                for (int x = 0; x < width; ++x)
                    all &= pixels[x];
            }
            opaque.fetch_and(all);
            const XXH128_hash_t digest = XXH3_128bits_digest(state.get());
            next[b].digest = {digest.low64, digest.high64};
            return true;
        });
    if (!digested)
        throw std::bad_alloc();
    digests.withAlpha = (opaque.load() >> 24) != 0xFF;
    return digests;
}

// Filters and compresses the bands at `changed`, each into its own deflate blocks.
bool compressBands(const RasterImage& image, PngEncoding::Filter filter, int level, bool withAlpha,
                   bool bothCores, std::vector<Band>& bands,
                   const std::vector<std::size_t>& changed) {
    const int height = image.pixelHeight();
    const Rows row(image);
    const std::size_t rowBytes = (withAlpha ? 4 : 3) * static_cast<std::size_t>(image.pixelWidth());
    return shareOut(
        bothCores, changed.size(), [&] { return Worker(rowBytes, level); },
        [&](Worker& worker, std::size_t i) {
            Band& band = bands[changed[i]];
            const int first = static_cast<int>(changed[i]) * PngEncoder::bandRows;
            const int end = std::min(height, first + PngEncoder::bandRows);
            filterRows(row, withAlpha, filter, first, end, worker.filtered.data(),
                       worker.previous.data(), worker.current.data());
            band.filteredSize = (rowBytes + 1) * static_cast<std::size_t>(end - first);
            band.adler = libdeflate_adler32(1, worker.filtered.data(), band.filteredSize);
            return worker.compress(worker.filtered.data(), band.filteredSize, band.deflated);
        });
}

// Where the first band's blocks start in the file: signature, header chunk, the image data
// chunk's length and type, the zlib header.
constexpr std::size_t firstBandOffset = 8 + (4 + 4 + 13 + 4) + (4 + 4) + 2;

// The file an encoder's last PNG was written to, open only while it has that PNG's size and is a
// regular file (never a FIFO put in its place, which would block the read).
class StoredPng {
public:
    StoredPng(const std::string& path, std::size_t size) {
        if (path.empty())
            return;
        fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
        struct stat st {};
        if (fd_ >= 0 && (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) ||
                         static_cast<std::size_t>(st.st_size) != size)) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    StoredPng(const StoredPng&) = delete;
    StoredPng& operator=(const StoredPng&) = delete;
    ~StoredPng() {
        if (fd_ >= 0)
            ::close(fd_);
    }

    // The band's blocks at `offset`; false when the file no longer holds them.
    bool read(std::size_t offset, Band& band) const {
        if (fd_ < 0)
            return false;
        band.deflated.resize(band.storedSize);
        std::size_t done = 0;
        while (done < band.storedSize) {
            const ssize_t n = ::pread(fd_, band.deflated.data() + done, band.storedSize - done,
                                      static_cast<off_t>(offset + done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            done += static_cast<std::size_t>(n);
        }
        return XXH3_64bits(band.deflated.data(), band.storedSize) == band.storedHash;
    }

private:
    int fd_ = -1;
};

// The whole file: signature, header, the bands' blocks as one image data chunk, end.
std::vector<std::uint8_t> assemble(const std::vector<Band>& bands, int width, int height,
                                   bool withAlpha) {
    std::size_t deflatedSize = 0;
    for (const Band& band : bands)
        deflatedSize += band.deflated.size();
    std::vector<std::uint8_t> png;
    png.reserve(deflatedSize + 64);
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

    // The image data, written in place: one zlib stream of header, every band's blocks, an
    // empty final block and the Adler-32.
    const std::size_t idat = png.size();
    putU32(png, 0); // the length, once known
    png.insert(png.end(), {'I', 'D', 'A', 'T'});
    png.push_back(0x78); // deflate, 32 KiB window
    png.push_back(0x01); // fastest; header check bits
    uLong adler = 1;
    for (const Band& band : bands) {
        png.insert(png.end(), band.deflated.begin(), band.deflated.end());
        adler = adler32_combine(adler, band.adler, static_cast<z_off_t>(band.filteredSize));
    }
    png.push_back(0x03); // final fixed-Huffman block holding only its end code
    png.push_back(0x00);
    putU32(png, static_cast<std::uint32_t>(adler));
    const std::size_t length = png.size() - idat - 8;
    for (int i = 0; i < 4; ++i)
        png[idat + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(length >> (24 - 8 * i));
    putU32(png, libdeflate_crc32(0, png.data() + idat + 4, length + 4));
    chunk(png, "IEND", nullptr, 0);
    return png;
}

} // namespace

std::optional<std::vector<std::uint8_t>>
PngEncoding::encode(const RasterImage& image, Filter filter, int level, Cores cores) {
    return PngEncoder(filter, level).encode(image, cores);
}

PngEncoder::PngEncoder(PngEncoding::Filter filter, int level) : filter_(filter), level_(level) {}

std::size_t PngEncoder::memory() const {
    std::size_t total = bands_.capacity() * sizeof(Band);
    for (const Band& band : bands_)
        total += band.deflated.capacity();
    return total;
}

void PngEncoder::forget() {
    bands_.clear();
    bands_.shrink_to_fit();
    width_ = height_ = 0;
    storedIn_.clear();
}

void PngEncoder::keptIn(const std::string& path) {
    if (bands_.empty())
        return;
    if (storedIn_.empty())
        for (Band& band : bands_) {
            band.storedSize = band.deflated.size();
            band.storedHash = XXH3_64bits(band.deflated.data(), band.deflated.size());
            std::vector<std::uint8_t>().swap(band.deflated);
        }
    storedIn_ = path;
}

std::vector<std::size_t> PngEncoder::takeUnchanged(std::vector<Band>& next, int width, int height,
                                                   bool withAlpha) {
    // Bands with the same pixels as the last image's keep their pieces.
    const bool comparable = width == width_ && height == height_ && withAlpha == withAlpha_ &&
                            bands_.size() == next.size();
    // Kept in a file: the blocks are read back, and all are made anew if it lost any.
    const StoredPng stored(comparable ? storedIn_ : std::string(), pngSize_);
    bool lost = false;
    std::size_t offset = firstBandOffset;
    std::vector<std::size_t> changed;
    for (std::size_t b = 0; b < next.size(); ++b) {
        const std::size_t storedSize = comparable ? bands_[b].storedSize : 0;
        if (comparable && bands_[b].digest == next[b].digest) {
            next[b] = std::move(bands_[b]);
            if (!storedIn_.empty() && !lost)
                lost = !stored.read(offset, next[b]);
        } else {
            changed.push_back(b);
        }
        offset += storedSize;
    }
    if (lost) {
        changed.resize(next.size());
        std::iota(changed.begin(), changed.end(), std::size_t{0});
    }
    return changed;
}

std::optional<std::vector<std::uint8_t>> PngEncoder::encode(const RasterImage& image,
                                                            PngEncoding::Cores cores) {
    const int width = image.pixelWidth();
    const int height = image.pixelHeight();
    compressed_ = 0;
    if (width <= 0 || height <= 0 ||
        static_cast<double>(width) * height * 4 > std::numeric_limits<std::uint32_t>::max() / 2) {
        forget();
        return std::nullopt;
    }
    if (cores == PngEncoding::Cores::automatic)
        cores = spareCore() ? PngEncoding::Cores::both : PngEncoding::Cores::one;

    try {
        const bool bothCores = cores == PngEncoding::Cores::both;
        Digests next = digestBands(image, filter_, bothCores);
        const bool withAlpha = next.withAlpha;
        const std::vector<std::size_t> changed =
            takeUnchanged(next.bands, width, height, withAlpha);
        forget(); // what was not taken over is stale now
        if (!compressBands(image, filter_, level_, withAlpha, bothCores, next.bands, changed))
            return std::nullopt;
        std::vector<std::uint8_t> png = assemble(next.bands, width, height, withAlpha);

        compressed_ = static_cast<int>(changed.size());
        pngSize_ = png.size();
        bands_ = std::move(next.bands);
        width_ = width;
        height_ = height;
        withAlpha_ = withAlpha;
        return png;
    } catch (const std::bad_alloc&) {
        forget();
        return std::nullopt;
    }
}

} // namespace brivane

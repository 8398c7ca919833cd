#include "Brivane/AppIdentity.h"
#include "Brivane/render/CairoPainter.h"
#include "Brivane/render/DemoData.h"
#include "Brivane/render/PngEncoding.h"
#include "Brivane/render/RunLengthDeflate.h"
#include "Brivane/render/WallpaperText.h"
#include "RenderTestSupport.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <png.h>
#include <random>
#include <set>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

namespace brivane {
namespace {

namespace fs = std::filesystem;

// Decodes a PNG; the number of pixels that differ from `image`, or -1 when it does not decode.
int decodedDifferences(const std::vector<std::uint8_t>& bytes, const RasterImage& image,
                       bool* withAlpha = nullptr) {
    png_image decoded{};
    decoded.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&decoded, bytes.data(), bytes.size()))
        return -1;
    if (withAlpha)
        *withAlpha = decoded.format & PNG_FORMAT_FLAG_ALPHA;
    if (int(decoded.width) != image.pixelWidth() || int(decoded.height) != image.pixelHeight())
        return -1;
    decoded.format = PNG_FORMAT_RGBA;
    std::vector<std::uint8_t> pixels(PNG_IMAGE_SIZE(decoded));
    if (!png_image_finish_read(&decoded, nullptr, pixels.data(), 0, nullptr))
        return -1;
    int differences = 0;
    for (int y = 0; y < image.pixelHeight(); ++y)
        for (int x = 0; x < image.pixelWidth(); ++x) {
            const std::uint8_t* p =
                &pixels[4 * (std::size_t(y) * std::size_t(image.pixelWidth()) + std::size_t(x))];
            differences += (std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 |
                            std::uint32_t(p[2]) << 8 | p[3]) != image.rgba(x, y);
        }
    return differences;
}

// A busy opaque image, like the frosted background: every pixel its own.
std::shared_ptr<RasterImage> noise(int width, int height) {
    auto image = RasterImage::create(width, height);
    for (int y = 0; y < height; ++y) {
        auto* row = reinterpret_cast<std::uint32_t*>(image->data() + image->stride() * y);
        for (int x = 0; x < width; ++x)
            row[x] = 0xFF000000u | ((std::uint32_t(x * 73 + y * 151) * 2654435761u) >> 8);
    }
    image->markChanged();
    return image;
}

void setPixel(RasterImage& image, int x, int y, std::uint32_t argb) {
    reinterpret_cast<std::uint32_t*>(image.data() + image.stride() * y)[x] = argb;
    image.markChanged();
}

TEST(ImageOutput, EmptySizesFailWithTheAllocationError) {
    auto renderer = testing::testRenderer();
    for (auto [size, scale] : {std::pair{Size{0.4, 100}, 2.0}, std::pair{Size{100, 100}, 0.0},
                               std::pair{Size{100, -5}, 1.0}}) {
        try {
            renderer.image(size, scale);
            ADD_FAILURE() << "no error for " << size.width << "x" << size.height;
        } catch (const RenderError& error) {
            EXPECT_EQ(error.kind(), RenderError::Kind::allocation);
            EXPECT_EQ(error.description(), "Could not generate the wallpaper image.");
        }
    }
}

TEST(ImageOutput, PngDecodesToTheRenderedPixels) {
    auto renderer = testing::testRenderer();
    auto image = renderer.image(Size{400, 300}, 2);
    ASSERT_EQ(image->pixelWidth(), 800);
    ASSERT_EQ(image->pixelHeight(), 600);
    const auto bytes = WallpaperRenderer::png(*image);

    png_image decoded{};
    decoded.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_memory(&decoded, bytes.data(), bytes.size()));
    EXPECT_EQ(decoded.width, 800u);
    EXPECT_EQ(decoded.height, 600u);
    decoded.format = PNG_FORMAT_RGBA;
    std::vector<std::uint8_t> pixels(PNG_IMAGE_SIZE(decoded));
    ASSERT_TRUE(png_image_finish_read(&decoded, nullptr, pixels.data(), 0, nullptr));
    for (auto [x, y] :
         {std::pair{0, 0}, std::pair{799, 599}, std::pair{400, 300}, std::pair{123, 77}}) {
        const std::size_t at =
            4 * (static_cast<std::size_t>(y) * 800 + static_cast<std::size_t>(x));
        const std::uint32_t rgba = static_cast<std::uint32_t>(pixels[at]) << 24 |
                                   static_cast<std::uint32_t>(pixels[at + 1]) << 16 |
                                   static_cast<std::uint32_t>(pixels[at + 2]) << 8 | pixels[at + 3];
        EXPECT_EQ(rgba, image->rgba(x, y)) << x << "," << y;
    }
}

TEST(ImageOutput, TranslucentImagesKeepTheirAlphaWithEveryFilter) {
    auto image = RasterImage::create(90, 70);
    ASSERT_TRUE(image);
    {
        CairoPainter painter(*image);
        painter.fillRect(Rect{0, 0, 90, 35}, Color::rgb(0.2, 0.5, 0.9).withAlpha(0.5));
        painter.fillEllipse(Rect{10, 20, 60, 40}, Color::rgb(0.9, 0.3, 0.1).withAlpha(0.8));
    }
    for (int variant = 0; variant < 6; ++variant) {
        const auto filter = static_cast<PngEncoding::Filter>(variant % 3);
        const auto cores = variant < 3 ? PngEncoding::Cores::both : PngEncoding::Cores::one;
        const auto bytes = PngEncoding::encode(*image, filter, PngEncoding::automaticLevel, cores);
        ASSERT_TRUE(bytes);
        bool alpha = false;
        EXPECT_EQ(decodedDifferences(*bytes, *image, &alpha), 0) << "variant " << variant;
        EXPECT_TRUE(alpha);
    }
}

// The encoder that remembers compresses only the bands whose pixels changed (with the band under
// a changed last row, which the up filter reads), and its PNG is always the whole image, byte for
// byte what a fresh encoder writes.
TEST(ImageOutput, AnEncoderCompressesOnlyTheBandsThatChanged) {
    constexpr int band = PngEncoder::bandRows;
    for (const auto cores : {PngEncoding::Cores::one, PngEncoding::Cores::both}) {
        SCOPED_TRACE(cores == PngEncoding::Cores::one ? "one core" : "both cores");
        auto image = noise(100, 4 * band + band / 2); // four bands and a short one
        PngEncoder encoder;
        auto step = [&](const char* what, int expectedBands, bool expectedAlpha) {
            SCOPED_TRACE(what);
            const auto bytes = encoder.encode(*image, cores);
            ASSERT_TRUE(bytes);
            EXPECT_EQ(encoder.compressedBands(), expectedBands);
            bool alpha = false;
            EXPECT_EQ(decodedDifferences(*bytes, *image, &alpha), 0);
            EXPECT_EQ(alpha, expectedAlpha);
            EXPECT_EQ(*bytes, *PngEncoding::encode(*image, PngEncoding::Filter::up,
                                                   PngEncoding::automaticLevel, cores));
        };
        step("first", 5, false);
        EXPECT_EQ(encoder.bandCount(), 5);
        step("the same again", 0, false);
        setPixel(*image, 50, band + band / 2, 0xFF102030u);
        step("one pixel inside a band", 1, false);
        setPixel(*image, 0, 2 * band - 1, 0xFF405060u);
        step("the last row of a band", 2, false);
        setPixel(*image, 99, image->pixelHeight() - 1, 0xFF708090u);
        step("the short last band", 1, false);
        setPixel(*image, 3, 3, 0x80402010u); // premultiplied, half transparent
        step("a translucent pixel: all bands as RGBA", 5, true);
        setPixel(*image, 3, 3, 0xFF000000u);
        step("opaque again: all bands as RGB", 5, false);
        image = noise(100, 3 * band);
        step("another size", 3, false);
    }

    // Without the up filter a band reads only its own rows.
    auto image = noise(64, 3 * band);
    PngEncoder sub(PngEncoding::Filter::sub);
    ASSERT_TRUE(sub.encode(*image));
    setPixel(*image, 10, band - 1, 0xFF000000u);
    const auto bytes = sub.encode(*image);
    ASSERT_TRUE(bytes);
    EXPECT_EQ(sub.compressedBands(), 1);
    EXPECT_EQ(decodedDifferences(*bytes, *image), 0);
}

// Bands kept in the file the PNG was written to: read back while it holds them; a file changed,
// gone or replaced by a FIFO costs a full encode of the same bytes, never a stall.
TEST(ImageOutput, AnEncoderReadsItsBandsBackFromTheWrittenFile) {
    constexpr int band = PngEncoder::bandRows;
    char pattern[] = "/tmp/pellora-bands-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const fs::path folder = fs::path(pattern) / "it's \"$HOME\"";
    fs::create_directories(folder);
    const std::string path = (folder / "agenda.png").string();
    auto image = noise(100, 6 * band);
    PngEncoder encoder;
    auto step = [&](const char* what, int changedRow, int expectedBands) {
        SCOPED_TRACE(what);
        if (changedRow >= 0)
            setPixel(*image, 7, changedRow, 0xFF000000u | static_cast<std::uint32_t>(changedRow));
        const auto bytes = encoder.encode(*image, PngEncoding::Cores::one);
        ASSERT_TRUE(bytes);
        EXPECT_EQ(encoder.compressedBands(), expectedBands);
        EXPECT_EQ(*bytes,
                  *PngEncoding::encode(*image, PngEncoding::Filter::up, PngEncoding::automaticLevel,
                                       PngEncoding::Cores::one));
        fs::remove(path);
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes->data()), std::streamsize(bytes->size()));
        encoder.keptIn(path);
        EXPECT_LT(encoder.memory(), 6 * sizeof(PngEncoder::Band) + 1);
    };
    step("first", -1, 6);
    step("the same again", -1, 0);
    step("one pixel", 2 * band + 1, 1);
    {
        std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
        const auto middle = std::streamoff(fs::file_size(path) / 2);
        file.seekg(middle);
        const char byte = static_cast<char>(file.get() ^ 0xFF);
        file.seekp(middle);
        file.put(byte);
    }
    step("a byte of an unchanged band changed in the file", 0, 6);
    fs::remove(path);
    encoder.keptIn(path);
    step("the file gone", band, 6);
    fs::remove(path);
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    encoder.keptIn(path);
    step("a FIFO in its place", 3 * band, 6);
    fs::remove_all(pattern);
}

// A wallpaper-like frame: a band of paper (flat), then a dithered gradient like the frosted
// background (busy, small differences once filtered), with a translucent corner when asked.
std::shared_ptr<RasterImage> frame(int width, int height, bool translucent) {
    auto image = RasterImage::create(width, height);
    std::uint32_t seed = 12345;
    for (int y = 0; y < height; ++y) {
        auto* row = reinterpret_cast<std::uint32_t*>(image->data() + image->stride() * y);
        for (int x = 0; x < width; ++x) {
            seed = seed * 1664525u + 1013904223u;
            const std::uint32_t dither = (seed >> 29) % 5;
            const std::uint32_t r = (x * 200 / width + dither) & 0xFF;
            const std::uint32_t g = (y * 180 / height + 40 + dither) & 0xFF;
            const std::uint32_t b = (150 + (x + y) % 64 / 16 + dither) & 0xFF;
            row[x] = y < height / 4 ? 0xFFF4F1EAu : 0xFF000000u | r << 16 | g << 8 | b;
            if (translucent && x < width / 8 && y > height / 2)
                row[x] = 0x80402010u + (dither << 8);
        }
    }
    image->markChanged();
    return image;
}

// What the encoder wrote before it was made faster: the same pixels must give the same file.
TEST(ImageOutput, EncodingWritesTheSameBytesAsBefore) {
    enum class Kind { opaque, translucent, noise };
    struct Case {
        int width, height;
        Kind kind;
        std::size_t size;
        uLong crc;
    };
    const Case cases[] = {{1203, 157, Kind::opaque, 166768, 0xe6a7d5b1u},
                          {640, 480, Kind::translucent, 316585, 0x4fc62f45u},
                          {517, 41, Kind::noise, 22258, 0x5ef80640u},
                          {3, 2, Kind::opaque, 92, 0xad22789fu}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        const auto image = c.kind == Kind::noise
                               ? noise(c.width, c.height)
                               : frame(c.width, c.height, c.kind == Kind::translucent);
        for (const auto cores : {PngEncoding::Cores::one, PngEncoding::Cores::both}) {
            const auto bytes = PngEncoding::encode(*image, PngEncoding::Filter::up,
                                                   PngEncoding::automaticLevel, cores);
            ASSERT_TRUE(bytes);
            EXPECT_EQ(decodedDifferences(*bytes, *image), 0);
            EXPECT_EQ(bytes->size(), c.size);
            EXPECT_EQ(crc32(0, bytes->data(), static_cast<uInt>(bytes->size())), c.crc);
        }
    }
}

// Bands compressed by the run-length deflater sit beside bands zlib compressed (kept from
// before, or flat ones), so its bytes must be zlib's own for the same settings: block
// boundaries, trees, the choice of stored, fixed or dynamic blocks, at the window's edges too.
TEST(ImageOutput, RunLengthDeflateWritesZlibsOwnBytes) {
    auto zlib = [](const std::vector<std::uint8_t>& in) {
        z_stream stream{};
        EXPECT_EQ(deflateInit2(&stream, 1, Z_DEFLATED, -15, 8, Z_RLE), Z_OK);
        std::vector<std::uint8_t> out(deflateBound(&stream, in.size()) + 64);
        stream.next_in = const_cast<Bytef*>(in.data());
        stream.avail_in = static_cast<uInt>(in.size());
        stream.next_out = out.data();
        stream.avail_out = static_cast<uInt>(out.size());
        EXPECT_EQ(deflate(&stream, Z_SYNC_FLUSH), Z_OK);
        out.resize(out.size() - stream.avail_out);
        deflateEnd(&stream);
        return out;
    };
    std::mt19937 random(7);
    RunLengthDeflate deflater; // reused, as the encoder's threads do
    const std::size_t sizes[] = {0, 1, 3, 4, 258, 262, 16383, 16384, 65536, 65537, 69128, 400000};
    for (const std::size_t size : sizes) {
        for (int kind = 0; kind < 7; ++kind) {
            SCOPED_TRACE("size " + std::to_string(size) + ", kind " + std::to_string(kind));
            std::vector<std::uint8_t> in(size);
            for (std::size_t i = 0; i < size; ++i) {
                const std::uint8_t last = i > 0 ? in[i - 1] : 0;
                const auto r = static_cast<std::uint8_t>(random());
                switch (kind) {
                case 0:
                    in[i] = r;
                    break; // noise: stored blocks
                case 1:
                    in[i] = 0;
                    break; // one long run
                case 2:
                    in[i] = random() % 8 == 0 ? r : last;
                    break; // short runs
                case 3:
                    in[i] = r % 3;
                    break; // few symbols
                case 4:
                    in[i] = random() % 400 == 0 ? r : last;
                    break; // long runs
                case 5:
                    in[i] = (i / 1000) % 2 ? r : 7;
                    break; // noise and runs by turns
                default:
                    in[i] = i % 13 < (i / 13) % 7 ? last : r;
                    break; // runs of up to six bytes at every offset after a few literals
                }
            }
            std::vector<std::uint8_t> ours(RunLengthDeflate::bound(size));
            ours.resize(deflater.compress(in.data(), size, ours.data()));
            EXPECT_EQ(ours, zlib(in));
        }
    }
}

// What is drawn into a region is drawn into its parent's pixels, in place.
TEST(ImageOutput, ARegionDrawsIntoItsParent) {
    auto parent = RasterImage::create(300, 100);
    auto region = RasterImage::region(parent, 100, 20, 150, 60, 2);
    ASSERT_TRUE(region);
    EXPECT_EQ(region->pointWidth(), 75);
    {
        CairoPainter painter(*region);
        painter.fillRect(Rect{0, 0, 75, 30}, Color::rgb(1, 0, 0));
    }
    region->markChanged();
    EXPECT_EQ(parent->rgba(100, 20), 0xFF0000FFu);
    EXPECT_EQ(parent->rgba(249, 79), 0xFF0000FFu);
    EXPECT_EQ(parent->rgba(99, 20), 0u) << "nothing outside the region";
    EXPECT_EQ(parent->rgba(250, 79), 0u);
    EXPECT_EQ(parent->rgba(100, 80), 0u);
    EXPECT_FALSE(RasterImage::region(parent, 200, 0, 101, 10)) << "past the parent's edge";
    EXPECT_FALSE(RasterImage::region(parent, -1, 0, 10, 10));
    const std::weak_ptr<RasterImage> watched = parent;
    parent.reset();
    EXPECT_FALSE(watched.expired()) << "the region keeps its parent's pixels";
    region.reset();
    EXPECT_TRUE(watched.expired());
}

TEST(WallpaperTextRules, LineBreaksBecomeSpaces) {
    EXPECT_EQ(WallpaperText::singleParagraph("a\nb\r\nc\rd\te\u2028f"), "a b c d e f");
    TextStyle wrapped;
    wrapped.size = 13;
    wrapped.wraps = true;
    EXPECT_FALSE(WallpaperText::showsAnyLine(Rect{0, 0, 100, 15}, wrapped));
    EXPECT_TRUE(WallpaperText::showsAnyLine(Rect{0, 0, 100, 13 * 1.18}, wrapped));
    wrapped.wraps = false;
    EXPECT_TRUE(WallpaperText::showsAnyLine(Rect{0, 0, 100, 5}, wrapped));
}

TEST(DemoData, VariantsAndEventIds) {
    setenv("LANGUAGE", "en", 1);
    const auto normal = DemoData::snapshot("normal");
    EXPECT_EQ(DemoData::snapshot("something else"), normal);
    EXPECT_TRUE(normal.demonstration);
    ASSERT_EQ(normal.events.size(), 9u);
    EXPECT_EQ(normal.events[0].id,
              "Team sync" +
                  std::to_string(std::chrono::duration_cast<std::chrono::seconds>(
                                     normal.events[0].start.time_since_epoch())
                                     .count()) +
                  ".0");
    EXPECT_EQ(normal.reminders.items.size(), 5u);

    const auto partial = DemoData::snapshot("partial");
    EXPECT_EQ(partial.events.size(), 6u);
    EXPECT_EQ(partial.availability.at(AgendaGroup::personal), GroupAvailability::unavailable());

    const auto dense = DemoData::snapshot("dense");
    ASSERT_EQ(dense.events.size(), 32u);
    const Calendar calendar = AgendaDates::calendar();
    const auto& trip = dense.events.back();
    EXPECT_EQ(trip.title, "Project trip");
    EXPECT_TRUE(trip.continues(dense.date, calendar));

    const auto unavailable = DemoData::snapshot("unavailable");
    EXPECT_FALSE(unavailable.fetchedAt);
    EXPECT_FALSE(unavailable.reminders.fetchedAt);
    EXPECT_EQ(unavailable.reminders.state, ReminderAvailability::notAuthorized);
    EXPECT_EQ(DemoData::secondsDescription(dateFromSeconds(12)), "12.0");
}

TEST(AppIdentity, NameAndVersionFallBackWhenMissingOrNotText) {
    const auto info = nlohmann::json::parse(
        R"({"CFBundleDisplayName": "Pellora Beta", "CFBundleShortVersionString": "1.2.3"})");
    EXPECT_EQ(AppIdentity::name(info), "Pellora Beta");
    EXPECT_EQ(AppIdentity::version(info), "1.2.3");
    const auto odd = nlohmann::json::parse(R"({"CFBundleDisplayName": 7})");
    EXPECT_EQ(AppIdentity::name(odd), "Pellora");
    EXPECT_EQ(AppIdentity::version(odd), "");
    EXPECT_EQ(AppIdentity::version(nlohmann::json::array()), "");
}

} // namespace
} // namespace brivane

#include "Brivane/AppIdentity.h"
#include "Brivane/render/CairoPainter.h"
#include "Brivane/render/DemoData.h"
#include "Brivane/render/PngEncoding.h"
#include "Brivane/render/WallpaperText.h"
#include "RenderTestSupport.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <png.h>
#include <set>
#include <unistd.h>

namespace brivane {
namespace {

namespace fs = std::filesystem;

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
        png_image decoded{};
        decoded.version = PNG_IMAGE_VERSION;
        ASSERT_TRUE(png_image_begin_read_from_memory(&decoded, bytes->data(), bytes->size()));
        EXPECT_TRUE(decoded.format & PNG_FORMAT_FLAG_ALPHA);
        decoded.format = PNG_FORMAT_RGBA;
        std::vector<std::uint8_t> pixels(PNG_IMAGE_SIZE(decoded));
        ASSERT_TRUE(png_image_finish_read(&decoded, nullptr, pixels.data(), 0, nullptr));
        int differences = 0;
        for (int y = 0; y < 70; ++y) {
            for (int x = 0; x < 90; ++x) {
                const std::size_t at =
                    4 * (static_cast<std::size_t>(y) * 90 + static_cast<std::size_t>(x));
                const std::uint32_t rgba = static_cast<std::uint32_t>(pixels[at]) << 24 |
                                           static_cast<std::uint32_t>(pixels[at + 1]) << 16 |
                                           static_cast<std::uint32_t>(pixels[at + 2]) << 8 |
                                           pixels[at + 3];
                differences += rgba != image->rgba(x, y);
            }
        }
        EXPECT_EQ(differences, 0) << "variant " << variant;
    }
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

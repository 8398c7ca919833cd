#include "Brivane/render/FrostedBackground.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <gtest/gtest.h>

namespace brivane {
namespace {

std::uint32_t rgba(int r, int g, int b, int a) {
    return static_cast<std::uint32_t>(r) << 24 | static_cast<std::uint32_t>(g) << 16 |
           static_cast<std::uint32_t>(b) << 8 | static_cast<std::uint32_t>(a);
}

TEST(FrostedBackground, ReferencePixelsOfPaletteZero) {
    auto image = FrostedBackground::makeImage(1200, 750, 0);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->rgba(0, 0), rgba(242, 236, 229, 255));
    EXPECT_EQ(image->rgba(600, 375), rgba(188, 184, 222, 255));
}

} // namespace
} // namespace brivane

namespace brivane {
namespace {

// The formula as written, one exponential per blob and pixel.
std::uint32_t directPixel(int r, int c, int width, int height, int palette) {
    static const double colours[6][5][3] = {{{0.39, 0.68, 0.91},
                                             {0.76, 0.72, 0.94},
                                             {0.99, 0.64, 0.54},
                                             {0.45, 0.82, 0.83},
                                             {0.99, 0.84, 0.67}},
                                            {{0.55, 0.81, 0.66},
                                             {0.74, 0.67, 0.93},
                                             {0.95, 0.70, 0.80},
                                             {0.74, 0.87, 0.65},
                                             {0.98, 0.84, 0.69}},
                                            {{0.99, 0.68, 0.47},
                                             {0.98, 0.76, 0.68},
                                             {0.42, 0.78, 0.79},
                                             {0.66, 0.83, 0.95},
                                             {0.96, 0.62, 0.66}},
                                            {{0.64, 0.59, 0.91},
                                             {0.49, 0.68, 0.95},
                                             {0.99, 0.77, 0.49},
                                             {0.79, 0.70, 0.92},
                                             {0.95, 0.85, 0.69}},
                                            {{0.37, 0.76, 0.71},
                                             {0.68, 0.87, 0.78},
                                             {0.98, 0.64, 0.70},
                                             {0.99, 0.81, 0.65},
                                             {0.70, 0.79, 0.94}},
                                            {{0.79, 0.58, 0.76},
                                             {0.95, 0.67, 0.67},
                                             {0.52, 0.75, 0.95},
                                             {0.73, 0.79, 0.97},
                                             {0.99, 0.83, 0.64}}};
    static const double blobs[5][4] = {{0.18, 0.76, 0.34, 0.38},
                                       {0.48, 0.46, 0.31, 0.37},
                                       {0.82, 0.69, 0.35, 0.41},
                                       {0.68, 0.20, 0.38, 0.34},
                                       {0.18, 0.22, 0.40, 0.32}};
    const double base[3] = {0.951, 0.959, 0.967};
    const double fx = static_cast<double>(c) / width;
    const double fy = static_cast<double>(r) / height;
    double value[3] = {base[0], base[1], base[2]};
    for (int j = 0; j < 5; ++j) {
        const double dx = (fx - blobs[j][0]) / blobs[j][2];
        const double dy = (fy - blobs[j][1]) / blobs[j][3];
        const double w = 0.72 * std::exp(-1.9 * (dx * dx + dy * dy));
        for (int k = 0; k < 3; ++k)
            value[k] += w * (colours[palette % 6][(palette + j) % 5][k] - base[k]);
    }
    const std::uint32_t h32 =
        static_cast<std::uint32_t>(r) * 668265263u + static_cast<std::uint32_t>(c) * 374761393u;
    const std::uint32_t k8 = ((h32 ^ (h32 >> 13)) * 97u) & 255u;
    const double noise = (k8 / 255.0 - 0.5) * 0.016;
    std::uint32_t out = 255;
    for (int k = 0; k < 3; ++k)
        out |= static_cast<std::uint32_t>(std::clamp((value[k] + noise) * 255.0, 0.0, 255.0))
               << (24 - 8 * k);
    return out;
}

TEST(FrostedBackground, SeparableFormMatchesTheFormulaAndTheGoldenHash) {
    for (int palette : {0, 3}) {
        auto image = FrostedBackground::makeImage(1200, 750, palette);
        ASSERT_TRUE(image);
        std::uint64_t hash = 1469598103934665603ull; // FNV-1a over the RGBA bytes
        int mismatches = 0;
        for (int r = 0; r < 750; ++r) {
            for (int c = 0; c < 1200; ++c) {
                const std::uint32_t pixel = image->rgba(c, r);
                if (pixel != directPixel(r, c, 1200, 750, palette))
                    ++mismatches;
                for (int shift = 24; shift >= 0; shift -= 8) {
                    hash ^= (pixel >> shift) & 0xFF;
                    hash *= 1099511628211ull;
                }
            }
        }
        EXPECT_EQ(mismatches, 0) << "palette " << palette;
        if (palette == 0) {
            EXPECT_EQ(hash, 0x15d51b616376911cull) << std::hex << hash;
        }
    }
}

// Counts what reaches the painter.
struct CountingPainter : Painter {
    int fills = 0;
    int images = 0;
    void fillRect(const Rect&, const Color&) override { ++fills; }
    void fillRoundedRect(const Rect&, double, const Color&) override {}
    void fillEllipse(const Rect&, const Color&) override {}
    void dashedLine(Point, Point, double, double, double, const Color&) override {}
    void text(std::string_view, const Rect&, const TextStyle&) override {}
    void image(const RasterImage&, const Rect&, Blend) override { ++images; }
    void pushRoundedClip(const Rect&, double) override {}
    void popClip() override {}
};

TEST(FrostedBackground, CacheKeysAndTheEmptyingRule) {
    EXPECT_EQ(FrostedBackground::cacheKey(1440, 900, 2), "1200x750-2");
    EXPECT_EQ(FrostedBackground::cacheKey(2560, 1440, 0), "1200x675-0");

    FrostedBackground::clearCache();
    CountingPainter painter;
    FrostedBackground::draw(painter, Rect{0, 0, 100, 0}, 0);
    EXPECT_EQ(painter.fills + painter.images, 0);
    EXPECT_EQ(FrostedBackground::cacheSize(), 0u);

    for (int i = 0; i < 8; ++i)
        FrostedBackground::draw(painter, Rect{0, 0, 1200, 100.0 + i}, 0);
    EXPECT_EQ(FrostedBackground::cacheSize(), 8u);
    FrostedBackground::draw(painter, Rect{0, 0, 1200, 100}, 0); // cached: nothing made
    EXPECT_EQ(FrostedBackground::cacheSize(), 8u);
    FrostedBackground::draw(painter, Rect{0, 0, 1200, 200}, 0);
    EXPECT_EQ(FrostedBackground::cacheSize(), 1u);
    EXPECT_EQ(painter.fills, 10);
    EXPECT_EQ(painter.images, 10);
    FrostedBackground::clearCache();
}

} // namespace
} // namespace brivane

#include "Brivane/FrostedBackground.h"

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

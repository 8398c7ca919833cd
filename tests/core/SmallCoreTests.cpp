#include "BrivaneCore/DesktopRecovery.h"
#include "BrivaneCore/PelloraRelease.h"
#include "BrivaneCore/WallpaperStyle.h"
#include "TestSupport.h"

#include <cmath>
#include <cstdint>
#include <gtest/gtest.h>

using namespace brivane;
using namespace brivane::testing;

TEST(GlassHarmonyTest, SlotsAndNames) {
    ScopedEnvironment env;
    env.locale("en", "UTC");
    EXPECT_EQ(GlassHarmony::at(dateFromSeconds(0)), (GlassHarmony{0, 0.55, "Ocean · coral"}));
    EXPECT_EQ(GlassHarmony::at(dateFromSeconds(7199)).index, 0);
    EXPECT_EQ(GlassHarmony::at(dateFromSeconds(7200)).index, 1);
    EXPECT_EQ(GlassHarmony::at(dateFromSeconds(6 * 7200)).index, 0);
    EXPECT_EQ(GlassHarmony::at(dateFromSeconds(-1)).index, 5);
    EXPECT_EQ(GlassHarmony::nextChange(dateFromSeconds(7200)), dateFromSeconds(14400));
    EXPECT_EQ(GlassHarmony::nextChange(dateFromSeconds(-1)), dateFromSeconds(0));
    env.set("LANGUAGE", "it_IT");
    EXPECT_EQ(GlassHarmony::at(dateFromSeconds(3 * 7200)).name, "Iris · ambra");
}

TEST(GlassHarmonyTest, DerivedHues) {
    const GlassHarmony four = GlassHarmony::at(dateFromSeconds(4 * 7200));
    EXPECT_NEAR(four.accentHue(), 0.58, 1e-12);
    EXPECT_NEAR(four.hues()[1], 0.08 + 5.0 / 12, 1e-12);
    EXPECT_NEAR(four.hues()[2], 0.08 + 7.0 / 12, 1e-12);
    const GlassHarmony five = GlassHarmony::at(dateFromSeconds(5 * 7200));
    EXPECT_NEAR(five.accentHue(), 0.42, 1e-12);
    EXPECT_NEAR(five.hues()[1], 0.3367, 1e-4);
    EXPECT_NEAR(five.hues()[2], 0.5033, 1e-4);
}

TEST(WallpaperStyleTest, RawValues) {
    EXPECT_EQ(wallpaperStyleFromRawValue("paper"), WallpaperStyle::paper);
    EXPECT_FALSE(wallpaperStyleFromRawValue("Glass"));
    ScopedEnvironment env;
    env.locale("it", "UTC");
    EXPECT_EQ(title(WallpaperStyle::glass), "Vetro opaco");
}

TEST(PelloraReleaseTest, VersionComparison) {
    auto release = [](std::string version, std::int64_t build) {
        return PelloraRelease{std::move(version), build, {}, {}};
    };
    EXPECT_TRUE(release("1.10", 1).isNewer("1.9", 99));
    EXPECT_FALSE(release("1.4.0", 12).isNewer("1.4", 12));
    EXPECT_TRUE(release("1.4", 13).isNewer("1.4", 12));
    EXPECT_FALSE(release("1.4-beta", 99).isNewer("1.0", 1));
    EXPECT_TRUE(release("0.0.1", 1).isNewer("0", 0));
    EXPECT_FALSE(release("2.0", 1).isNewer("", 0));
    EXPECT_FALSE(release("..", 5).hasValidVersion());
    EXPECT_TRUE(release("1..2", 5).hasValidVersion());
    EXPECT_FALSE(release("1.2", 5).isNewer("1.x", 0));
    EXPECT_FALSE(release("99999999999999999999", 5).hasValidVersion());
    // Date-stamped builds need more than 32 bits.
    EXPECT_TRUE(release("1.4", 20260315002).isNewer("1.4", 20260315001));
    EXPECT_FALSE(release("1.4", 20260315001).isNewer("1.4", 20260315001));
}

TEST(PelloraReleaseTest, Decoding) {
    const auto r = PelloraRelease::fromJsonText(
        R"({"version":"1.4.2","build":42,"download_url":"https://example.org/p.pkg","release_notes":"Fixes","x":1})");
    EXPECT_EQ(r, (PelloraRelease{"1.4.2", 42, "https://example.org/p.pkg", "Fixes"}));
    EXPECT_EQ(PelloraRelease::fromJson(r.toJson()), r);
    EXPECT_FALSE(PelloraRelease::fromJsonText(R"({"version":"1","build":1,"download_url":null})")
                     .downloadURL);
    EXPECT_THROW(PelloraRelease::fromJsonText(R"({"version":"1"})"), ReleaseDecodingError);
    EXPECT_THROW(PelloraRelease::fromJsonText(R"({"version":1,"build":1})"), ReleaseDecodingError);
    EXPECT_THROW(PelloraRelease::fromJsonText(R"({"version":"1","build":"1"})"),
                 ReleaseDecodingError);
    EXPECT_THROW(PelloraRelease::fromJsonText(R"({"version":"1","build":1.5})"),
                 ReleaseDecodingError);
    EXPECT_THROW(PelloraRelease::fromJsonText(R"({"version":"1","build":1,"release_notes":3})"),
                 ReleaseDecodingError);
    EXPECT_THROW(PelloraRelease::fromJsonText(R"([1])"), ReleaseDecodingError);
    EXPECT_THROW(PelloraRelease::fromJsonText("not json"), ReleaseDecodingError);

    EXPECT_EQ(PelloraRelease::fromJsonText(R"({"version":"1","build":20260315001})").build,
              20260315001);
    EXPECT_EQ(PelloraRelease::fromJsonText(R"({"version":"1","build":9223372036854775807})").build,
              INT64_MAX);
    EXPECT_EQ(PelloraRelease::fromJsonText(R"({"version":"1","build":2.0260315001e10})").build,
              20260315001);
    EXPECT_THROW(PelloraRelease::fromJsonText(R"({"version":"1","build":9223372036854775808})"),
                 ReleaseDecodingError);
    EXPECT_THROW(PelloraRelease::fromJsonText(R"({"version":"1","build":1e19})"),
                 ReleaseDecodingError);
}

TEST(DesktopRecoveryTest, SourceDisplayPrefersTheLongestId) {
    const std::set<std::string> ids{"A", "A-B"};
    EXPECT_EQ(DesktopRecovery::sourceDisplay("agenda-A-B-1234.png", ids), "A-B");
    EXPECT_EQ(DesktopRecovery::sourceDisplay("agenda-A-1234.png", ids), "A");
    EXPECT_FALSE(DesktopRecovery::sourceDisplay("agenda-A-1234.jpg", ids));
    EXPECT_FALSE(DesktopRecovery::sourceDisplay("Agenda-A-1234.png", ids));
    EXPECT_FALSE(DesktopRecovery::sourceDisplay("agenda-C-1234.png", ids));
    EXPECT_FALSE(DesktopRecovery::sourceDisplay("agenda-A.png", ids));
    EXPECT_EQ(DesktopRecovery::sourceDisplay("agenda-A-.png", ids), "A");
    EXPECT_FALSE(DesktopRecovery::sourceDisplay("beach.png", {}));
}

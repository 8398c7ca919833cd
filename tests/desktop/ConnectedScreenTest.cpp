#include "Brivane/desktop/ConnectedScreen.h"

#include "TestSession.h"

#include <QGuiApplication>
#include <QRegularExpression>
#include <gtest/gtest.h>

namespace brivane {
namespace {

TEST(ConnectedScreen, IdComesFromTheEdidAndFallsBackToTheConnector) {
    const std::string dell = ConnectedScreen::stableID("DEL", "DELL U2720Q", "8CX1234", "DP-1");
    EXPECT_TRUE(
        QRegularExpression("^[0-9A-F]{8}-[0-9A-F]{4}-5[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}$")
            .match(QString::fromStdString(dell))
            .hasMatch())
        << dell;
    EXPECT_EQ(dell, ConnectedScreen::stableID("DEL", "DELL U2720Q", "8CX1234", "HDMI-2"))
        << "the same monitor on another port keeps its id";
    EXPECT_NE(dell, ConnectedScreen::stableID("DEL", "DELL U2720Q", "8CX9999", "DP-1"));
    // Twins without serial numbers stay apart through their connectors.
    EXPECT_NE(ConnectedScreen::stableID("AOC", "24G2", "", "DP-1"),
              ConnectedScreen::stableID("AOC", "24G2", "", "DP-2"));
    EXPECT_EQ(ConnectedScreen::stableID("", "", "", "eDP-1"), "eDP-1");
    EXPECT_EQ(ConnectedScreen::localizedName("DEL", "DELL U2720Q", "DP-1"), "DEL DELL U2720Q");
    EXPECT_EQ(ConnectedScreen::localizedName(" ", "", "DP-1"), "DP-1");
}

TEST(ConnectedScreen, ListsTheMonitorsOfTheDisplayInOrder) {
    PELLORA_REQUIRE("display", test::haveDisplay(),
                    "needs the two-monitor display of scripts/with-session");
    const auto screens = ConnectedScreen::all();
    ASSERT_EQ(screens.size(), 2u);
    // Xvfb's monitors have no EDID: the connector names are the ids.
    EXPECT_EQ(screens[0].id, "A");
    EXPECT_EQ(screens[0].name, "A");
    EXPECT_EQ(screens[0].geometry, QRect(0, 0, 1920, 1080));
    EXPECT_EQ(screens[1].id, "B");
    EXPECT_EQ(screens[1].geometry, QRect(1920, 0, 1920, 1200));
    EXPECT_EQ(screens[1].scale, 1.0);
    EXPECT_EQ(screens[0].screen, QGuiApplication::primaryScreen());
}

} // namespace
} // namespace brivane

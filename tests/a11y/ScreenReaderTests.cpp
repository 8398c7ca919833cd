#include "AccessibilityTree.h"
#include "Brivane/ui/AboutView.h"
#include "Brivane/ui/MenuPanel.h"
#include "Brivane/ui/PreferencesView.h"
#include "Brivane/ui/WizardState.h"
#include "ControllerTestSupport.h"
#include "WindowsFixture.h"

#include <QAccessible>
#include <gtest/gtest.h>

namespace brivane {
namespace {

// What a screen reader could not say: "role at path", one per line.
std::string unnamedControls(const std::vector<test::AccessibleNode>& nodes) {
    std::string found;
    for (const auto& node : nodes)
        if (test::actionable(node.role) && !test::identified(node))
            found += node.role.toStdString() + " at " + node.path.toStdString() + "\n";
    return found;
}

// Reads the tree while only `window` is shown, and checks it names every control.
std::vector<test::AccessibleNode> expectEveryControlNamed(QWidget& window, const QString& bus,
                                                          const std::string& what) {
    window.show();
    test::ManualTimerSource::settle();
    std::vector<test::AccessibleNode> nodes = test::readOwnAccessibilityTree(bus);
    EXPECT_FALSE(nodes.empty()) << what << ": the window never reached the registry";
    EXPECT_EQ(unnamedControls(nodes), "") << what;
    window.hide();
    return nodes;
}

TEST(ScreenReaders, EveryControlOfThePanelTheStepsAndAboutHasANameInBothLanguages) {
    const std::optional<QString> bus = test::startAccessibilityBus();
    PELLORA_REQUIRE("atspi", bus.has_value(),
                    "no accessibility bus (at-spi2-core) on the session bus");
    ASSERT_TRUE(test::waitUntil([] { return QAccessible::isActive(); }, 10000))
        << "Qt's AT-SPI bridge never connected to the accessibility bus";
    for (const char* language : {"en_GB", "it_IT"}) {
        test::Language chosen(language);
        // A first run (every setup command shows) and a set-up one (every step has its controls).
        for (const bool setUp : {false, true}) {
            test::WindowsFixture fixture(setUp);
            const std::string where = std::string(language) + (setUp ? " set up" : " first run");
            ui::MenuPanel panel(*fixture.model, fixture.wizard(), ui::MenuPanel::tallestPanel);
            expectEveryControlNamed(panel, *bus, "panel, " + where);
            ui::PreferencesView view(*fixture.model, fixture.wizard());
            view.resize(820, 1500);
            for (int step = 0; step < 4; ++step) {
                fixture.wizard().setStep(step);
                view.flush();
                const auto nodes = expectEveryControlNamed(
                    view, *bus, "step " + std::to_string(step) + ", " + where);
                // The steps read as the tabs they are, not as four unticked boxes.
                QStringList tabs;
                for (const auto& node : nodes)
                    if (node.role == QStringLiteral("page tab"))
                        tabs << node.name;
                EXPECT_EQ(tabs.size(), 4) << where << " step " << step;
            }
            ui::AboutView about(*fixture.model);
            expectEveryControlNamed(about, *bus, "about, " + where);
        }
    }
}

} // namespace
} // namespace brivane

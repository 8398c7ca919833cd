#include "Brivane/ui/AppDelegate.h"
#include "Brivane/ui/MenuPanel.h"
#include "Brivane/ui/PreferencesView.h"
#include "ControllerTestSupport.h"
#include "WindowsFixture.h"

#include <QAbstractButton>
#include <QAbstractSlider>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <gtest/gtest.h>

namespace brivane {
namespace {

void press(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QWidget* target = QApplication::focusWidget();
    ASSERT_NE(target, nullptr);
    QKeyEvent down(QEvent::KeyPress, key, modifiers);
    QApplication::sendEvent(target, &down);
    QKeyEvent up(QEvent::KeyRelease, key, modifiers);
    QApplication::sendEvent(target, &up);
}

// The controls of `window` a user acts on, as the window shows them now.
std::vector<QWidget*> controls(QWidget* window) {
    std::vector<QWidget*> found;
    for (QWidget* widget : window->findChildren<QWidget*>()) {
        const bool control =
            qobject_cast<QAbstractButton*>(widget) || qobject_cast<QComboBox*>(widget) ||
            qobject_cast<QLineEdit*>(widget) ||
            (qobject_cast<QAbstractSlider*>(widget) && !qobject_cast<QScrollBar*>(widget)) ||
            qobject_cast<QAbstractSpinBox*>(widget);
        if (control && widget->isVisibleTo(window) && widget->isEnabled())
            found.push_back(widget);
    }
    return found;
}

std::string describe(QWidget* widget) {
    const auto* button = qobject_cast<QAbstractButton*>(widget);
    return (QString::fromLatin1(widget->metaObject()->className()) + QStringLiteral(" ") +
            widget->objectName() + QStringLiteral(" ") + (button ? button->text() : QString()) +
            QStringLiteral(" ") + widget->accessibleName())
        .toStdString();
}

// Tabs (or shift-tabs) once round the window, from the focused control back to it.
std::vector<QWidget*> tabRound(QWidget* window, bool backwards) {
    QWidget* first = QApplication::focusWidget();
    std::vector<QWidget*> reached{first};
    for (int presses = 0; presses < 200; ++presses) {
        press(Qt::Key_Tab, backwards ? Qt::ShiftModifier : Qt::NoModifier);
        QWidget* now = QApplication::focusWidget();
        if (!now || now == first || now->window() != window)
            break;
        reached.push_back(now);
    }
    return reached;
}

// The page (scroll area) a control is on, if any.
QScrollArea* pageOf(QWidget* control) {
    for (QWidget* above = control->parentWidget(); above; above = above->parentWidget())
        if (auto* page = qobject_cast<QScrollArea*>(above))
            return page;
    return nullptr;
}

// Where a user reads a control: rows top to bottom, left to right within a row. Tab scrolls a
// page, which moves the controls already passed: on one page they are compared as laid out,
// and a page as a whole against what lies outside it.
bool readsBefore(QWidget* window, QWidget* a, QWidget* b) {
    QScrollArea* pageA = pageOf(a);
    QScrollArea* pageB = pageOf(b);
    QRect ra, rb;
    if (pageA == pageB) {
        QWidget* frame = pageA ? pageA->widget() : window;
        ra = QRect(a->mapTo(frame, QPoint()), a->size());
        rb = QRect(b->mapTo(frame, QPoint()), b->size());
    } else {
        QWidget* outerA = pageA ? static_cast<QWidget*>(pageA) : a;
        QWidget* outerB = pageB ? static_cast<QWidget*>(pageB) : b;
        ra = QRect(outerA->mapTo(window, QPoint()), outerA->size());
        rb = QRect(outerB->mapTo(window, QPoint()), outerB->size());
    }
    const bool sameRow = ra.top() < rb.bottom() && rb.top() < ra.bottom();
    return sameRow ? ra.left() < rb.left() : ra.top() < rb.top();
}

// Every control is reached by Tab in reading order, and Shift+Tab walks the same way back.
void expectTabReachesEveryControlInReadingOrder(QWidget* window, const std::string& what) {
    const std::vector<QWidget*> expected = controls(window);
    ASSERT_FALSE(expected.empty()) << what;
    ASSERT_TRUE(test::focusByKeyboard(expected.front())) << what;
    // Start from the control read first, so that one round is reading order throughout.
    QWidget* top = *std::min_element(expected.begin(), expected.end(), [&](QWidget* a, QWidget* b) {
        return readsBefore(window, a, b);
    });
    top->setFocus(Qt::TabFocusReason);
    const std::vector<QWidget*> forward = tabRound(window, false);
    for (QWidget* control : expected)
        EXPECT_NE(std::find(forward.begin(), forward.end(), control), forward.end())
            << what << ": Tab never reaches " << describe(control);
    for (QWidget* stop : forward)
        EXPECT_NE(std::find(expected.begin(), expected.end(), stop), expected.end())
            << what << ": Tab stops on " << describe(stop) << ", which is no control";
    for (std::size_t i = 1; i < forward.size(); ++i)
        EXPECT_TRUE(readsBefore(window, forward[i - 1], forward[i]))
            << what << ": " << describe(forward[i]) << " comes after " << describe(forward[i - 1]);
    std::vector<QWidget*> backward = tabRound(window, true);
    std::reverse(backward.begin() + 1, backward.end());
    EXPECT_EQ(backward, forward) << what << ": Shift+Tab does not retrace Tab";
}

// Each control looks different once Tab has focused it: no focus a sighted user cannot see.
void expectVisibleFocus(QWidget* window, const std::string& what) {
    const std::vector<QWidget*> all = controls(window);
    for (std::size_t i = 0; i < all.size(); ++i) {
        all[(i + 1) % all.size()]->setFocus(Qt::TabFocusReason);
        // In view, as Tab would scroll it.
        for (QWidget* above = all[i]->parentWidget(); above; above = above->parentWidget())
            if (auto* page = qobject_cast<QScrollArea*>(above))
                page->ensureWidgetVisible(all[i]);
        // With a margin: some styles draw the ring just outside the control.
        const QRect around =
            QRect(all[i]->mapTo(window, QPoint()), all[i]->size()).adjusted(-4, -4, 4, 4);
        const QImage before = window->grab(around).toImage();
        all[i]->setFocus(Qt::TabFocusReason);
        window->setAttribute(Qt::WA_KeyboardFocusChange); // as a Tab press marks it
        ASSERT_TRUE(test::focusByKeyboard(all[i])) << what;
        EXPECT_NE(window->grab(around).toImage(), before)
            << what << ": no visible focus on " << describe(all[i]);
    }
}

TEST(Keyboard, TabReachesEveryControlOfThePanelAndEachStepInReadingOrderAndShowsFocus) {
    for (const bool setUp : {false, true}) {
        test::WindowsFixture fixture(setUp);
        const std::string where = setUp ? " (set up)" : " (first run)";
        ui::MenuPanel panel(*fixture.model, fixture.wizard(), ui::MenuPanel::tallestPanel);
        panel.show();
        panel.activateWindow();
        test::ManualTimerSource::settle();
        expectTabReachesEveryControlInReadingOrder(&panel, "panel" + where);
        expectVisibleFocus(&panel, "panel" + where);
        panel.hide();

        ui::PreferencesView view(*fixture.model, fixture.wizard());
        view.resize(820, 780);
        view.show();
        view.activateWindow();
        for (int step = 0; step < 4; ++step) {
            fixture.wizard().setStep(step);
            view.flush();
            test::ManualTimerSource::settle();
            const std::string what = "step " + std::to_string(step) + where;
            expectTabReachesEveryControlInReadingOrder(&view, what);
            expectVisibleFocus(&view, what);
        }
    }
}

TEST(Keyboard, TheTrayMenuOpensThePanelAndEscapeClosesIt) {
    test::WindowsFixture fixture(true);
    ui::AppDelegate delegate;
    delegate.launch(std::move(fixture.model));
    delegate.closePanel();
    QAction* summary = delegate.menu()->actions().value(0);
    ASSERT_NE(summary, nullptr);
    EXPECT_EQ(summary->text(), "Summary");
    summary->trigger();
    ASSERT_NE(delegate.panel(), nullptr);
    auto* panel = delegate.panel()->findChild<ui::MenuPanel*>();
    ASSERT_NE(panel, nullptr);
    // The panel opens with its first command focused, ready for the keyboard.
    ASSERT_TRUE(test::waitUntil([&] { return panel->refreshButton()->hasFocus(); }, 2000));
    // Triggered again while open, the entry leaves it open.
    summary->trigger();
    EXPECT_NE(delegate.panel(), nullptr);
    press(Qt::Key_Down);
    press(Qt::Key_Escape);
    EXPECT_TRUE(test::waitUntil([&] { return delegate.panel() == nullptr; }, 2000));
}

TEST(Keyboard, EnterPressesTheFocusedButtonOfThePanelAndTheSettings) {
    test::WindowsFixture fixture(true);
    ui::AppDelegate delegate;
    delegate.launch(std::move(fixture.model));
    delegate.showPanelWindow();
    QWidget* host = delegate.panel();
    ASSERT_NE(host, nullptr);
    auto* panel = host->findChild<ui::MenuPanel*>();
    ASSERT_NE(panel, nullptr);
    QPushButton* about = nullptr;
    for (auto* button : panel->findChildren<QPushButton*>())
        if (button->text() == "About")
            about = button;
    ASSERT_NE(about, nullptr);
    about->setFocus(Qt::TabFocusReason);
    ASSERT_TRUE(test::waitUntil([&] { return about->hasFocus(); }, 2000));
    press(Qt::Key_Return);
    EXPECT_TRUE(test::waitUntil(
        [&] {
            QWidget* shown = delegate.aboutWindow();
            return shown && shown->isVisible();
        },
        2000));

    delegate.wizard()->setStep(0);
    delegate.showPreferences();
    QWidget* window = delegate.preferencesWindow();
    ASSERT_NE(window, nullptr);
    auto* view = window->findChild<ui::PreferencesView*>();
    ASSERT_NE(view, nullptr);
    view->flush();
    if (QWidget* shown = delegate.aboutWindow())
        shown->close();
    window->activateWindow();
    view->forwardButton()->setFocus(Qt::TabFocusReason);
    ASSERT_TRUE(test::waitUntil([&] { return view->forwardButton()->hasFocus(); }, 2000));
    press(Qt::Key_Enter);
    EXPECT_EQ(delegate.wizard()->step(), 1);
}

} // namespace
} // namespace brivane

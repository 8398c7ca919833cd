#include "Brivane/desktop/WallpaperService.h"
#include "Brivane/ui/AboutView.h"
#include "Brivane/ui/MenuPanel.h"
#include "Brivane/ui/PreferencesView.h"
#include "Brivane/ui/WallpaperPreview.h"
#include "ControllerTestSupport.h"
#include "WindowsFixture.h"

#include <QApplication>
#include <QDir>
#include <QPushButton>
#include <gtest/gtest.h>

namespace brivane {
namespace {

// A dark desktop theme as Qt's platform themes hand it to applications: every role and the
// disabled group, so that nothing falls back to a light colour.
QPalette darkPalette() {
    QPalette dark;
    const auto set = [&](QPalette::ColorRole role, QColor active, QColor disabled) {
        dark.setColor(QPalette::Active, role, active);
        dark.setColor(QPalette::Inactive, role, active);
        dark.setColor(QPalette::Disabled, role, disabled);
    };
    set(QPalette::Window, QColor(0x2b, 0x2b, 0x2b), QColor(0x2b, 0x2b, 0x2b));
    set(QPalette::WindowText, QColor(0xee, 0xee, 0xee), QColor(0x80, 0x80, 0x80));
    set(QPalette::Base, QColor(0x1e, 0x1e, 0x1e), QColor(0x24, 0x24, 0x24));
    set(QPalette::AlternateBase, QColor(0x33, 0x33, 0x33), QColor(0x33, 0x33, 0x33));
    set(QPalette::Text, QColor(0xee, 0xee, 0xee), QColor(0x80, 0x80, 0x80));
    set(QPalette::PlaceholderText, QColor(0x9a, 0x9a, 0x9a), QColor(0x70, 0x70, 0x70));
    set(QPalette::Button, QColor(0x3a, 0x3a, 0x3a), QColor(0x30, 0x30, 0x30));
    set(QPalette::ButtonText, QColor(0xee, 0xee, 0xee), QColor(0x80, 0x80, 0x80));
    set(QPalette::BrightText, QColor(0xff, 0x6b, 0x6b), QColor(0xff, 0x6b, 0x6b));
    set(QPalette::Highlight, QColor(0x3d, 0x8e, 0xe9), QColor(0x44, 0x44, 0x44));
    set(QPalette::HighlightedText, QColor(0xff, 0xff, 0xff), QColor(0x80, 0x80, 0x80));
    set(QPalette::Link, QColor(0x6c, 0xb4, 0xee), QColor(0x50, 0x70, 0x90));
    set(QPalette::ToolTipBase, QColor(0x3a, 0x3a, 0x3a), QColor(0x3a, 0x3a, 0x3a));
    set(QPalette::ToolTipText, QColor(0xee, 0xee, 0xee), QColor(0xee, 0xee, 0xee));
    for (auto role : {QPalette::Light, QPalette::Midlight})
        set(role, QColor(0x4a, 0x4a, 0x4a), QColor(0x4a, 0x4a, 0x4a));
    for (auto role : {QPalette::Mid, QPalette::Dark, QPalette::Shadow})
        set(role, QColor(0x18, 0x18, 0x18), QColor(0x18, 0x18, 0x18));
    return dark;
}

// build/screenshots/every-screen/<name>-<scale>x.png, with `focus` focused so that the picture
// also shows the focus indicator.
void take(QWidget* window, QWidget* focus, const QString& name) {
    window->show();
    window->activateWindow();
    if (focus) {
        focus->setFocus(Qt::TabFocusReason);
        // What a Tab press marks, and what styles draw the focus ring for.
        window->setAttribute(Qt::WA_KeyboardFocusChange);
        EXPECT_TRUE(test::focusByKeyboard(focus)) << name.toStdString();
    }
    test::ManualTimerSource::settle();
    const QString folder = QStringLiteral(PELLORA_SCREENSHOTS "/every-screen");
    QDir().mkpath(folder);
    const QImage picture = window->grab().toImage();
    EXPECT_EQ(picture.size(), window->size() * window->devicePixelRatio()) << name.toStdString();
    EXPECT_TRUE(picture.save(folder + QLatin1Char('/') + name +
                             QStringLiteral("-%1x.png").arg(window->devicePixelRatio())));
}

// The wallpaper of the applied settings as the renderer draws it for a 1440 × 900 screen:
// build/screenshots/every-screen/<name>.png.
void saveWallpaper(AgendaModel& model, const QString& name) {
    const auto image = WallpaperService::render(
        {model.snapshot(), model.preferences(), ScreenPreferences{}, QSize(1440, 900), 1});
    ASSERT_NE(image.pixels, nullptr);
    const QImage picture(image.pixels->data(), image.pixels->pixelWidth(),
                         image.pixels->pixelHeight(), qsizetype(image.pixels->stride()),
                         QImage::Format_ARGB32_Premultiplied);
    const QString folder = QStringLiteral(PELLORA_SCREENSHOTS "/every-screen");
    QDir().mkpath(folder);
    EXPECT_TRUE(picture.save(folder + QLatin1Char('/') + name + QStringLiteral(".png")));
}

// The first control of the step, for its focus ring.
QWidget* firstControl(ui::PreferencesView& view) {
    for (QWidget* widget = view.body()->nextInFocusChain(); widget != view.body();
         widget = widget->nextInFocusChain())
        if (view.body()->isAncestorOf(widget) && widget->focusPolicy() & Qt::TabFocus &&
            widget->isVisibleTo(&view) && widget->isEnabled())
            return widget;
    return view.forwardButton();
}

// Every screen in both languages, light and dark; the 2× run sets QT_SCALE_FACTOR=2.
TEST(Screenshots, EveryScreenInBothLanguagesLightAndDark) {
    const QPalette light = QApplication::palette();
    for (const bool dark : {false, true}) {
        QApplication::setPalette(dark ? darkPalette() : light);
        for (const char* language : {"en", "it"}) {
            test::Language chosen(language[0] == 'i' ? "it_IT" : "en_GB");
            const QString suffix = QStringLiteral("-%1-%2").arg(language, dark ? "dark" : "light");
            test::WindowsFixture fixture(true);
            {
                ui::MenuPanel panel(*fixture.model, fixture.wizard(), ui::MenuPanel::tallestPanel);
                take(&panel, panel.refreshButton(), QStringLiteral("panel") + suffix);
            }
            ui::PreferencesView view(*fixture.model, fixture.wizard());
            view.resize(820, 780);
            const auto drawn = [&] {
                for (const auto& preview : view.previews())
                    if (!preview || preview->image().isNull())
                        return false;
                return !view.previews().empty();
            };
            for (int step = 0; step < 4; ++step) {
                fixture.wizard().setStep(step);
                view.flush();
                take(&view, firstControl(view), QStringLiteral("step%1").arg(step) + suffix);
                // The flat link-like button draws its own focus too.
                if (auto* sample = view.body()->findChild<QPushButton*>(QStringLiteral("sample")))
                    take(&view, sample, QStringLiteral("step0-sample-focused") + suffix);
            }
            // The calendar by address in a group: its events on the wallpaper and the preview.
            fixture.model->assign(fixture.subscription, AgendaGroup::ostrid);
            fixture.model->apply();
            EXPECT_TRUE(test::waitForIdle(*fixture.model));
            if (!dark)
                saveWallpaper(*fixture.model, QStringLiteral("wallpaper-subscription-") + language);
            fixture.wizard().setStep(3);
            view.flush();
            EXPECT_TRUE(test::waitUntil(drawn, 5000));
            take(&view, firstControl(view), QStringLiteral("step3-subscription") + suffix);

            fixture.model->setDemonstration(true);
            fixture.wizard().setStep(3);
            view.show();
            view.flush();
            EXPECT_TRUE(test::waitUntil(drawn, 5000));
            take(&view, firstControl(view), QStringLiteral("sample-preview") + suffix);
            view.hide();
            ui::AboutView about(*fixture.model);
            about.resize(460, 540);
            take(&about, nullptr, QStringLiteral("about") + suffix);
        }
    }
    QApplication::setPalette(light);
}

} // namespace
} // namespace brivane

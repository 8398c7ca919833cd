#include "Brivane/AppIdentity.h"
#include "Brivane/calendar/ReminderService.h"
#include "Brivane/desktop/WallpaperService.h"
#include "Brivane/render/DemoData.h"
#include "Brivane/render/FrostedBackground.h"
#include "Brivane/ui/AboutView.h"
#include "Brivane/ui/AppDelegate.h"
#include "Brivane/ui/MenuPanel.h"
#include "Brivane/ui/PreferencesView.h"
#include "Brivane/ui/UiSupport.h"
#include "Brivane/ui/WallpaperPreview.h"
#include "Brivane/ui/WizardState.h"
#include "Brivane/updates/UpdateManager.h"
#include "ControllerTestSupport.h"
#include "RecordingPainter.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSlider>
#include <QStandardItemModel>
#include <QSvgRenderer>
#include <QSystemTrayIcon>
#include <QWheelEvent>
#include <QWindow>
#include <cmath>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <xcb/xcb.h>

namespace brivane {
namespace {

using test::ModelSetup;
using test::utc;

const Date monday = utc(2026, 12, 7, 9, 0); // 10:00 in Rome

std::string calendarEvent(const std::string& uid, const std::string& summary) {
    return "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//test//EN\r\nBEGIN:VEVENT\r\nUID:" + uid +
           "\r\nSUMMARY:" + summary +
           "\r\nDTSTART:20261207T100000Z\r\nDTEND:20261207T110000Z\r\nEND:VEVENT\r\n"
           "END:VCALENDAR\r\n";
}

std::string task(const std::string& uid, const std::string& summary) {
    return "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//test//EN\r\nBEGIN:VTODO\r\nUID:" + uid +
           "\r\nSUMMARY:" + summary + "\r\nEND:VTODO\r\nEND:VCALENDAR\r\n";
}

// Texts follow the language of the moment; each test picks one.
struct Language {
    explicit Language(const char* value) : previous(qgetenv("LANGUAGE")) {
        qputenv("LANGUAGE", value);
    }
    ~Language() { qputenv("LANGUAGE", previous); }
    QByteArray previous;
};

QString tx(bool italian, const char* it, const char* en) {
    return QString::fromUtf8(italian ? it : en);
}

template <typename T>
T* named(QWidget* root, const QString& name) {
    return root->findChild<T*>(name);
}

QStringList visibleTexts(QWidget* root) {
    QStringList texts;
    for (auto* label : root->findChildren<QLabel*>())
        if (label->isVisibleTo(root))
            texts << label->text();
    for (auto* button : root->findChildren<QAbstractButton*>())
        if (button->isVisibleTo(root))
            texts << button->text();
    return texts;
}

bool shows(QWidget* root, const QString& text) {
    return visibleTexts(root).contains(text);
}

// Screenshots for people to look at: build/screenshots/<name>.png.
void screenshot(QWidget* widget, const QString& name) {
    const QString folder = QStringLiteral(PELLORA_SCREENSHOTS);
    QDir().mkpath(folder);
    // Layouts and previews settle first, as they do before the window is painted.
    test::ManualTimerSource::settle();
    widget->grab().save(folder + QLatin1Char('/') + name + QStringLiteral(".png"));
}

struct Fixture {
    explicit Fixture(bool withCalendars = true, bool consent = true)
        : setup(monday, QStringLiteral("ui")) {
        setup.consent = consent;
        // Real screen sizes, so that the previews look like what users see.
        setup.screens = {test::screen("A", QRect(0, 0, 1440, 900), 1),
                         test::screen("B", QRect(1440, 0, 1920, 1080), 1)};
        if (withCalendars) {
            work = setup.addCalendar("work", "Work", {calendarEvent("a", "Planning")});
            home = setup.addCalendar("home", "Home", {calendarEvent("b", "Dentist")});
            for (const char* name : {"Errands", "Office", "Garden", "Reading"})
                setup.addCalendar(std::string("tasks-") + name, name,
                                  {task(std::string("t-") + name, "Something")});
        }
        model = setup.build();
        wizardState = std::make_unique<ui::WizardState>(*model);
        model->start();
        test::waitForIdle(*model);
    }
    ui::WizardState& wizard() { return *wizardState; }
    ModelSetup setup;
    std::string work;
    std::string home;
    std::unique_ptr<AgendaModel> model;
    std::unique_ptr<ui::WizardState> wizardState;
};

// --- the panel -----------------------------------------------------------------------------

TEST(MenuPanel, HeightFollowsTheScreenUpToTheTallestPanel) {
    EXPECT_EQ(ui::MenuPanel::panelHeight(400), 376);
    EXPECT_EQ(ui::MenuPanel::panelHeight(1200), 510);
    EXPECT_EQ(ui::MenuPanel::panelHeight(std::nullopt), 510);
    EXPECT_EQ(ui::MenuPanel::panelHeight(10), 1);
}

TEST(MenuPanel, SetUpAccessShowsUntilACalendarSourceAndFullTaskAccessExist) {
    // A calendar source without task access: still to set up.
    EXPECT_TRUE(ui::MenuPanel::needsSetup(true, false));
    EXPECT_FALSE(ui::MenuPanel::needsSetup(true, true));
    EXPECT_TRUE(ui::MenuPanel::needsSetup(false, true));
}

TEST(MenuPanel, RefreshRowFollowsARunningRefreshInBothLanguages) {
    for (const char* language : {"en_GB", "it_IT"}) {
        Language chosen(language);
        const bool italian = language[0] == 'i';
        Fixture fixture;
        ui::MenuPanel panel(*fixture.model, fixture.wizard(), 510);
        EXPECT_EQ(panel.width(), 360);
        EXPECT_EQ(panel.refreshButton()->text(),
                  italian ? QStringLiteral("Aggiorna ora") : QStringLiteral("Update now"));
        fixture.model->refresh();
        if (fixture.model->refreshing()) {
            EXPECT_EQ(panel.refreshButton()->text(),
                      italian ? QStringLiteral("Aggiornamento…") : QStringLiteral("Updating…"));
        }
        ASSERT_TRUE(test::waitForIdle(*fixture.model));
        EXPECT_EQ(panel.refreshButton()->text(),
                  italian ? QStringLiteral("Aggiorna ora") : QStringLiteral("Update now"));
        // Consent covers calendars and tasks here: nothing left to set up.
        EXPECT_FALSE(panel.setupButton()->isVisibleTo(&panel));
        EXPECT_EQ(panel.quitButton()->text(), italian
                                                  ? QStringLiteral("Esci e ripristina lo sfondo")
                                                  : QStringLiteral("Quit and restore wallpaper"));
        panel.show();
        screenshot(&panel, QStringLiteral("panel-") + (italian ? "it" : "en"));
    }
}

TEST(MenuPanel, EveryRowKeepsItsHeightOnAShortScreen) {
    Language chosen("it_IT");
    // Nothing set up yet: every row shows, and the status line says what is missing.
    Fixture fixture(false, false);
    ui::MenuPanel panel(*fixture.model, fixture.wizard(), ui::MenuPanel::panelHeight(400));
    panel.show();
    test::ManualTimerSource::settle();
    ASSERT_TRUE(panel.setupButton()->isVisible());
    // No row is squeezed (the commands scroll instead) and quitting is always in view.
    for (auto* button : panel.findChildren<QAbstractButton*>()) {
        if (button->isVisible()) {
            EXPECT_GE(button->height(), button->sizeHint().height())
                << button->text().toStdString();
        }
    }
    for (QWidget* footer :
         {static_cast<QWidget*>(panel.quitButton()), static_cast<QWidget*>(panel.loginSwitch())})
        EXPECT_TRUE(panel.rect().contains(QRect(footer->mapTo(&panel, QPoint()), footer->size())));
    screenshot(&panel, QStringLiteral("panel-short-it"));
}

TEST(MenuPanel, AnApplicationThatFailsToOpenSaysWhyOnTheStatusLine) {
    // The user's chosen calendar and task applications end at once with an error, as a broken
    // install does; their program lies in a folder with a quote and a dollar sign.
    const std::string data = qgetenv("XDG_DATA_HOME").toStdString();
    const std::string bin = data + "/it's $HOME";
    test::writeFile(bin + "/broken", "#!/bin/sh\nexit 4\n");
    std::filesystem::permissions(bin + "/broken", std::filesystem::perms::owner_exec,
                                 std::filesystem::perm_options::add);
    QString exec = QString::fromStdString(bin + "/broken");
    exec.replace('$', QLatin1String("\\\\$"));
    for (const char* app : {"Agenda", "Lists"})
        test::writeFile(data + "/applications/" + app + ".desktop",
                        std::string("[Desktop Entry]\nType=Application\nName=") + app +
                            "\nMimeType=text/calendar;\nExec=\"" + exec.toStdString() + "\"\n");
    test::writeFile(qgetenv("XDG_CONFIG_HOME").toStdString() + "/mimeapps.list",
                    "[Default Applications]\ntext/calendar=Agenda.desktop\n"
                    "text/x-vtodo=Lists.desktop\n");

    for (const char* language : {"en_GB", "it_IT"}) {
        Language chosen(language);
        const bool italian = language[0] == 'i';
        Fixture fixture;
        ui::MenuPanel panel(*fixture.model, fixture.wizard(), 510);
        panel.show();
        auto* status = named<QLabel>(&panel, "status");
        ASSERT_NE(status, nullptr);
        const auto said = [&](const char* app) {
            return italian ? QStringLiteral("L’applicazione %1 si è chiusa subito (codice di "
                                            "uscita 4).")
                                 .arg(app)
                           : QStringLiteral("%1 closed at once (exit status 4).").arg(app);
        };
        for (const auto& [command, app] :
             {std::pair{tx(italian, "Apri Calendario", "Open Calendar"), "Agenda"},
              std::pair{tx(italian, "Apri le attività", "Open task lists"), "Lists"}}) {
            QPushButton* button = nullptr;
            for (auto* candidate : panel.findChildren<QPushButton*>())
                if (candidate->text() == command)
                    button = candidate;
            ASSERT_NE(button, nullptr) << command.toStdString();
            button->click();
            EXPECT_TRUE(test::waitUntil([&] { return status->text() == said(app); }))
                << command.toStdString() << ": " << status->text().toStdString();
            EXPECT_TRUE(status->isVisibleTo(&panel));
            EXPECT_TRUE(panel.isVisible()) << "the panel stays open to show why";
        }
        screenshot(&panel, QStringLiteral("panel-launch-failed-") + language);
    }
}

// A subscription whose host stopped answering: the panel says which calendar, since when (the
// local time) and why, naming the host and never the address; its row on the open calendars
// step says so too.
TEST(MenuPanel, AFailingSubscriptionSaysSinceWhenNamingOnlyItsHost) {
    test::CalendarHost host;
    Fixture fixture(false, false);
    const auto added = QCoro::waitFor(fixture.model->subscribe(host.address()));
    ASSERT_FALSE(added.error) << *added.error;
    fixture.wizard().setStep(1);
    ui::PreferencesView view(*fixture.model, fixture.wizard());
    view.flush();
    const auto rowSays = [&](const QString& text) {
        for (auto* label : view.body()->findChildren<QLabel*>())
            if (label->text().startsWith(text))
                return true;
        return false;
    };
    EXPECT_FALSE(rowSays(QString::fromStdString(host.host() + " unreachable")));
    host.stop();
    fixture.setup.timers->advance(std::chrono::minutes(20));
    fixture.model->refresh(KeyringAccess::userAction);
    ASSERT_TRUE(test::waitForIdle(*fixture.model, 20000));
    view.flush();
    EXPECT_TRUE(rowSays(QString::fromStdString(host.host() + " unreachable.")));
    for (const char* language : {"en_GB", "it_IT"}) {
        Language chosen(language);
        const bool italian = language[0] == 'i';
        ui::MenuPanel panel(*fixture.model, fixture.wizard(), 510);
        panel.show();
        auto* line = named<QLabel>(&panel, "subscriptionStatus");
        ASSERT_NE(line, nullptr);
        EXPECT_TRUE(line->isVisibleTo(&panel));
        // 09:20 UTC is 10:20 in Rome.
        EXPECT_TRUE(line->text().startsWith(
            tx(italian, "Iscrizioni: School year non si aggiorna dalle 10:20 — ",
               "Subscriptions: School year not updated since 10:20 — ")))
            << line->text().toStdString();
        EXPECT_TRUE(line->text().contains(QString::fromStdString(host.host())));
        EXPECT_FALSE(line->text().contains(QLatin1String(test::CalendarHost::token)));
        screenshot(&panel, QStringLiteral("panel-subscription-failing-") + language);
    }
}

TEST(MenuPanel, SymbolsAreNotControlsAndTheCommandsLeaveNoEmptyGap) {
    for (const char* language : {"en_GB", "it_IT"}) {
        Language chosen(language);
        Fixture fixture;
        ui::MenuPanel panel(*fixture.model, fixture.wizard(), 510);
        panel.show();
        test::ManualTimerSource::settle();
        auto* scroll = panel.findChild<QScrollArea*>();
        ASSERT_NE(scroll, nullptr);
        int lastRow = 0;
        for (auto* row : scroll->widget()->findChildren<QPushButton*>()) {
            if (!row->isVisible())
                continue;
            // Every command has a symbol, and none looks like a switch or a rating.
            EXPECT_FALSE(row->icon().pixmap(16, 16).toImage().isNull())
                << row->text().toStdString();
            for (const char* control : {"checkbox", "radio", "starred", "non-starred", "star"})
                EXPECT_FALSE(row->icon().name().startsWith(QLatin1String(control)))
                    << row->text().toStdString() << ": " << row->icon().name().toStdString();
            lastRow = std::max(lastRow, row->geometry().bottom());
        }
        // As tall as its commands: no band of empty panel under the last one.
        EXPECT_FALSE(scroll->verticalScrollBar()->isVisible());
        EXPECT_LE(scroll->viewport()->height() - lastRow, 12);
        EXPECT_LT(panel.height(), 510);
        screenshot(&panel, QStringLiteral("panel-fitted-") + language);
    }
}

// WCAG contrast ratio of two colours.
double contrast(const QColor& a, const QColor& b) {
    const auto luminance = [](const QColor& c) {
        const auto channel = [](double v) {
            return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) +
               0.0722 * channel(c.blueF());
    };
    const double la = luminance(a) + 0.05;
    const double lb = luminance(b) + 0.05;
    return std::max(la, lb) / std::min(la, lb);
}

TEST(MenuPanel, TextStaysReadableOnADarkDesktopTheme) {
    Fixture fixture;
    const QPalette before = QApplication::palette();
    QPalette dark = before;
    for (auto [role, color] : {std::pair{QPalette::Window, QColor(0x2b, 0x2b, 0x2b)},
                               std::pair{QPalette::WindowText, QColor(0xee, 0xee, 0xee)},
                               std::pair{QPalette::Button, QColor(0x3a, 0x3a, 0x3a)},
                               std::pair{QPalette::ButtonText, QColor(0xee, 0xee, 0xee)},
                               std::pair{QPalette::Base, QColor(0x1e, 0x1e, 0x1e)},
                               std::pair{QPalette::Text, QColor(0xee, 0xee, 0xee)}})
        dark.setColor(role, color);
    QApplication::setPalette(dark);
    {
        // The panel keeps the agenda's own colours: every button reads on its background, as
        // shown (a style sheet recolours what it styles when the widget is polished).
        ui::MenuPanel panel(*fixture.model, fixture.wizard(), 510);
        panel.show();
        test::ManualTimerSource::settle();
        for (auto* button : panel.findChildren<QAbstractButton*>()) {
            // A flat row shows the panel behind its text; a bordered button its own face.
            const auto* push = qobject_cast<QPushButton*>(button);
            const QPalette colours = button->palette();
            const QColor behind = push && !push->isFlat() ? colours.color(QPalette::Button)
                                                          : panel.palette().color(QPalette::Window);
            EXPECT_GE(contrast(colours.color(QPalette::ButtonText), behind), 4.5)
                << button->text().toStdString();
        }
        // The settings window follows the desktop: its secondary notes stay legible on dark.
        fixture.wizard().setStep(1);
        ui::PreferencesView view(*fixture.model, fixture.wizard());
        view.flush();
        for (auto* label : view.body()->findChildren<QLabel*>()) {
            const QPalette colours = label->palette();
            EXPECT_GE(
                contrast(colours.color(QPalette::WindowText), colours.color(QPalette::Window)), 3.0)
                << label->text().toStdString();
        }
        view.resize(820, 500);
        view.show();
        screenshot(&view, QStringLiteral("settings-step1-dark-en"));
        panel.show();
        screenshot(&panel, QStringLiteral("panel-dark-en"));
    }
    QApplication::setPalette(before);
}

TEST(MenuPanel, ALaunchAtLoginErrorUnticksTheSwitchAndLooksLikeAnError) {
    for (const char* language : {"en_GB", "it_IT"}) {
        Language chosen(language);
        // A run from a build tree: no installed desktop entry to start at login.
        ModelSetup setup(monday, QStringLiteral("ui"));
        setup.loginItem.sourceEntry.clear();
        setup.screens = {test::screen("A", QRect(0, 0, 1440, 900), 1)};
        auto model = setup.build();
        ui::WizardState wizard(*model);
        model->start();
        ASSERT_TRUE(test::waitForIdle(*model));
        ASSERT_TRUE(model->loginItemError());
        const QString error = QString::fromStdString(*model->loginItemError());
        const auto looksLikeAnError = [](QLabel* label) {
            return label->palette().color(QPalette::WindowText) ==
                   ui::AgendaColors::accentOn(label->palette());
        };
        const auto errorLabel = [&](QWidget* root) -> QLabel* {
            for (auto* label : root->findChildren<QLabel*>())
                if (label->text() == error && label->isVisibleTo(root))
                    return label;
            return nullptr;
        };

        ui::MenuPanel panel(*model, wizard, 510);
        EXPECT_FALSE(panel.loginSwitch()->isChecked());
        QLabel* shown = errorLabel(&panel);
        ASSERT_NE(shown, nullptr);
        EXPECT_TRUE(looksLikeAnError(shown));
        panel.show();
        screenshot(&panel, QStringLiteral("panel-login-error-") + language);

        wizard.setStep(3);
        ui::PreferencesView view(*model, wizard);
        view.resize(820, 780);
        view.flush();
        auto* login = named<QCheckBox>(view.body(), "launchAtLogin");
        ASSERT_NE(login, nullptr);
        EXPECT_FALSE(login->isChecked());
        shown = errorLabel(view.body());
        ASSERT_NE(shown, nullptr);
        EXPECT_TRUE(looksLikeAnError(shown));
        view.show();
        screenshot(&view, QStringLiteral("settings-step3-login-error-") + language);
    }
}

TEST(MenuPanel, SetUpAccessBringsTheSettingsWindowBackOnTheFirstStep) {
    Fixture fixture(false, false);
    ui::AppDelegate delegate;
    delegate.launch(std::move(fixture.model));
    delegate.wizard()->setStep(2);
    delegate.showPanelWindow();
    auto* panel = delegate.panel()->findChild<ui::MenuPanel*>();
    ASSERT_NE(panel, nullptr);
    ASSERT_TRUE(panel->setupButton()->isVisibleTo(panel));
    panel->setupButton()->click();
    EXPECT_EQ(delegate.wizard()->step(), 0);
    QWidget* window = delegate.preferencesWindow();
    EXPECT_TRUE(window && window->isVisible());
    EXPECT_TRUE(test::waitUntil([&] { return delegate.panel() == nullptr; }, 1000));
}

// --- the settings window -------------------------------------------------------------------

// Every window a user meets, each in its own state: the panel, the four steps, the about window.
void forEachScreen(Fixture& fixture, const std::function<void(QWidget*, const QString&)>& visit) {
    {
        ui::MenuPanel panel(*fixture.model, fixture.wizard(), 510);
        panel.show();
        test::ManualTimerSource::settle();
        visit(&panel, QStringLiteral("panel"));
    }
    for (int step = 0; step < 4; ++step) {
        fixture.wizard().setStep(step);
        ui::PreferencesView view(*fixture.model, fixture.wizard());
        view.resize(820, 780);
        view.flush();
        view.show();
        test::ManualTimerSource::settle();
        visit(&view, QStringLiteral("step%1").arg(step));
    }
    ui::AboutView about(*fixture.model);
    about.show();
    test::ManualTimerSource::settle();
    visit(&about, QStringLiteral("about"));
}

TEST(Texts, NoWindowNamesATaskApplicationThatDoesNotExist) {
    for (const char* language : {"en_GB", "it_IT"}) {
        Language chosen(language);
        for (const bool setUp : {false, true}) {
            Fixture fixture(setUp, setUp);
            forEachScreen(fixture, [&](QWidget* root, const QString& where) {
                QStringList texts = visibleTexts(root);
                for (auto* widget : root->findChildren<QWidget*>())
                    if (widget->isVisibleTo(root))
                        texts << widget->accessibleName() << widget->accessibleDescription();
                for (const QString& text : texts) {
                    // The lower-case word is the common noun; capitalised it names an app.
                    EXPECT_FALSE(text.contains(QLatin1String("Reminders")) ||
                                 text.contains(QLatin1String("Promemoria")))
                        << language << " " << where.toStdString() << ": " << text.toStdString();
                }
            });
        }
    }
}

// The settings footer says its reason again at every update: it must stay as legible as at first.
TEST(UiSupport, AReasonSaidAgainKeepsItsColour) {
    for (const bool dark : {false, true}) {
        QWidget window;
        QPalette colours = window.palette();
        colours.setColor(QPalette::Window,
                         dark ? QColor(0x2b, 0x2b, 0x2b) : QColor(0xef, 0xef, 0xef));
        colours.setColor(QPalette::WindowText,
                         dark ? QColor(0xee, 0xee, 0xee) : QColor(0x20, 0x20, 0x20));
        window.setPalette(colours);
        QPushButton command(&window);
        QLabel reason(&window);
        for (const bool fault : {false, true}) {
            ui::explainDisabled(&command, &reason, QStringLiteral("Why"), fault);
            const QColor first = reason.palette().color(QPalette::WindowText);
            for (int again = 0; again < 8; ++again)
                ui::explainDisabled(&command, &reason, QStringLiteral("Why"), fault);
            EXPECT_EQ(reason.palette().color(QPalette::WindowText), first) << dark << fault;
        }
    }
}

TEST(PreferencesView, EveryDisabledCommandSaysWhyBesideIt) {
    for (const char* language : {"en_GB", "it_IT"}) {
        Language chosen(language);
        // A fresh start: nothing allowed, nothing chosen.
        Fixture fixture(false, false);
        int disabled = 0;
        forEachScreen(fixture, [&](QWidget* root, const QString& where) {
            QStringList shown;
            for (auto* label : root->findChildren<QLabel*>())
                if (label->isVisibleTo(root) && !label->text().isEmpty())
                    shown << label->text();
            for (auto* command : root->findChildren<QAbstractButton*>()) {
                if (!command->isVisibleTo(root) || command->isEnabled())
                    continue;
                ++disabled;
                const QString why = command->accessibleDescription();
                EXPECT_FALSE(why.isEmpty())
                    << where.toStdString() << ": " << command->text().toStdString();
                EXPECT_TRUE(shown.contains(why))
                    << where.toStdString() << ": " << why.toStdString();
            }
            if (where == QLatin1String("step3"))
                screenshot(root, QStringLiteral("settings-step3-fresh-") + language);
        });
        // "Tasks" on step 2 and "Apply wallpaper" on step 4 at least.
        EXPECT_GE(disabled, 2);
    }
}

TEST(WizardState, StartsWhereTheSetupStandsAndAnAccessAnswerBringsTheWindowBack) {
    {
        ModelSetup setup(monday);
        setup.consent = false;
        auto model = setup.build();
        EXPECT_EQ(ui::WizardState(*model).step(), 0);
    }
    {
        ModelSetup setup(monday);
        auto model = setup.build();
        EXPECT_EQ(ui::WizardState(*model).step(), 1);
    }
    {
        ModelSetup setup(monday);
        Preferences stored;
        stored.assignments["cal"] = AgendaGroup::personal;
        test::writeFile((setup.data + "/preferences.json").toStdString(), stored.toJson().dump());
        auto model = setup.build();
        EXPECT_EQ(ui::WizardState(*model).step(), 3);
    }
    {
        // Calendars by address alone, known only once read: the start follows them until the
        // user goes to a step.
        test::CalendarHost host;
        ModelSetup setup(monday);
        setup.consent = false;
        auto model = setup.build();
        ui::WizardState early(*model);
        ui::WizardState moved(*model);
        moved.setStep(2);
        EXPECT_EQ(early.step(), 0);
        const auto added = QCoro::waitFor(model->subscribe(host.address()));
        ASSERT_FALSE(added.error) << *added.error;
        EXPECT_EQ(early.step(), 1);
        EXPECT_EQ(moved.step(), 2);
        EXPECT_EQ(ui::WizardState(*model).step(), 1);
    }
    // Once the desktop answered, the settings window comes back on the step the request was
    // made from, for calendars and for tasks alike.
    Fixture fixture(false, false);
    ui::WizardState& wizard = fixture.wizard();
    int shown = 0;
    wizard.showPreferences = [&] { ++shown; };
    wizard.requestCalendarAccess();
    EXPECT_TRUE(fixture.model->requestingAccess());
    wizard.setStep(2);
    ASSERT_TRUE(test::waitUntil([&] { return shown == 1; }));
    EXPECT_EQ(wizard.step(), 0);
    wizard.setStep(1);
    wizard.requestReminderAccess();
    wizard.setStep(3);
    ASSERT_TRUE(test::waitUntil([&] { return shown == 2; }));
    EXPECT_EQ(wizard.step(), 1);
}

TEST(PreferencesView, EveryStepNamesItsForwardButtonAndStepZeroHasNoBack) {
    for (const char* language : {"en_GB", "it_IT"}) {
        Language chosen(language);
        const bool italian = language[0] == 'i';
        Fixture fixture;
        ui::PreferencesView view(*fixture.model, fixture.wizard());
        view.resize(820, 780);
        const QStringList forward =
            italian ? QStringList{"Calendari", "Attività", "Schermi e anteprima", "Applica sfondo"}
                    : QStringList{"Calendars", "Tasks", "Screens and preview", "Apply wallpaper"};
        const QStringList headings =
            italian ? QStringList{"Accesso ai dati", "Gruppi di calendari", "Attività",
                                  "Schermi e anteprima"}
                    : QStringList{"Data access", "Calendar groups", "Tasks", "Screens and preview"};
        for (int step = 0; step < 4; ++step) {
            fixture.wizard().setStep(step);
            view.flush();
            EXPECT_EQ(view.forwardButton()->text(), forward[step]);
            EXPECT_EQ(view.backButton()->isVisibleTo(&view), step >= 1);
            EXPECT_TRUE(shows(view.body(), headings[step].toUpper())) << step;
            view.show();
            screenshot(&view,
                       QStringLiteral("settings-step%1-%2").arg(step).arg(italian ? "it" : "en"));
            // The whole step, below the fold too.
            view.resize(820, 1500);
            screenshot(
                &view,
                QStringLiteral("settings-step%1-whole-%2").arg(step).arg(italian ? "it" : "en"));
            view.resize(820, 780);
        }
    }
}

TEST(PreferencesView, TheAccessStepSaysThatGrantingTakesEffectAtOnce) {
    for (const char* language : {"en_GB", "it_IT"}) {
        Language chosen(language);
        const bool italian = language[0] == 'i';
        Fixture fixture(true, false);
        fixture.wizard().setStep(0);
        ui::PreferencesView view(*fixture.model, fixture.wizard());
        view.resize(820, 780);
        view.flush();
        ASSERT_NE(named<QPushButton>(view.body(), "grantCalendars"), nullptr);
        // No other platform's prompt, and no second request that never comes.
        for (const QString& text : visibleTexts(view.body())) {
            EXPECT_FALSE(text.contains("macOS")) << text.toStdString();
            EXPECT_FALSE(text.contains(italian ? "separat" : "separately")) << text.toStdString();
        }
        EXPECT_TRUE(shows(
            view.body(),
            italian
                ? QStringLiteral("Il pulsante consente subito l’accesso, senza altre richieste: "
                                 "Pellora legge i calendari di questo computer e usa solo "
                                 "quelli che selezioni.")
                : QStringLiteral("The button grants access at once, with no further prompt: "
                                 "Pellora reads this computer's calendars and uses only those "
                                 "you select.")));
        view.show();
        screenshot(&view, QStringLiteral("settings-step0-no-access-") + language);
    }
}

TEST(PreferencesView, GroupNamesMustDifferAndHoldOneToThirtyTwoCharacters) {
    Fixture fixture;
    fixture.wizard().setStep(1);
    ui::PreferencesView view(*fixture.model, fixture.wizard());
    view.flush();
    auto* first = named<QLineEdit>(view.body(), "groupName1");
    auto* second = named<QLineEdit>(view.body(), "groupName2");
    ASSERT_TRUE(first && second);
    const QString message = QStringLiteral("Use two different names, 1 to 32 characters each.");
    auto edit = [&](QLineEdit* field, const QString& text) {
        field->setText(text);
        Q_EMIT field->textEdited(text);
        view.flush();
    };
    edit(first, "Work");
    edit(second, "Home");
    EXPECT_FALSE(shows(view.body(), message));
    edit(second, "Work");
    EXPECT_TRUE(shows(view.body(), message));
    edit(second, "");
    EXPECT_TRUE(shows(view.body(), message));
    edit(second, QString(33, QLatin1Char('x')));
    EXPECT_TRUE(shows(view.body(), message));
    edit(second, QString(32, QLatin1Char('x')));
    EXPECT_FALSE(shows(view.body(), message));
    // Typing never rebuilt the step under the cursor.
    EXPECT_EQ(named<QLineEdit>(view.body(), "groupName1"), first);
}

TEST(PreferencesView, CalendarsStepMovesOnOnceACalendarIsInAGroup) {
    Fixture fixture;
    fixture.wizard().setStep(1);
    ui::PreferencesView view(*fixture.model, fixture.wizard());
    view.flush();
    EXPECT_FALSE(view.forwardButton()->isEnabled());
    EXPECT_TRUE(shows(view.body(), "Not configured yet"));
    auto* picker = named<QComboBox>(view.body(), QStringLiteral("group-") +
                                                     QString::fromStdString(fixture.work));
    ASSERT_NE(picker, nullptr);
    EXPECT_EQ(picker->accessibleName(), "Group for Work");
    picker->setCurrentIndex(0);
    Q_EMIT picker->activated(0);
    view.flush();
    EXPECT_TRUE(view.forwardButton()->isEnabled());
    EXPECT_TRUE(shows(view.body(), "Selected calendar"));
    // One group is enough to go on.
    view.forwardButton()->click();
    EXPECT_EQ(fixture.wizard().step(), 2);
}

TEST(PreferencesView, RenamedGroupsShowInEveryCalendarsDropDownAtOnce) {
    for (const char* language : {"en_GB", "it_IT"}) {
        Language chosen(language);
        Fixture fixture;
        fixture.wizard().setStep(1);
        ui::PreferencesView view(*fixture.model, fixture.wizard());
        view.resize(820, 780);
        view.flush();
        auto* first = named<QLineEdit>(view.body(), "groupName1");
        auto* second = named<QLineEdit>(view.body(), "groupName2");
        auto* picker = named<QComboBox>(view.body(), QStringLiteral("group-") +
                                                         QString::fromStdString(fixture.work));
        ASSERT_TRUE(first && second && picker);
        for (auto [field, text] : {std::pair{first, QStringLiteral("Lavoro")},
                                   std::pair{second, QStringLiteral("Casa")}}) {
            field->setText(text);
            Q_EMIT field->textEdited(text);
        }
        view.flush();
        EXPECT_EQ(picker->itemText(0), "Lavoro");
        EXPECT_EQ(picker->itemText(1), "Casa");
        // The field under the cursor stays the same one.
        EXPECT_EQ(named<QLineEdit>(view.body(), "groupName2"), second);
        view.show();
        screenshot(&view, QStringLiteral("settings-step1-renamed-") + language);
    }
}

TEST(PreferencesView, AMissingCalendarKeepsItsGroupUntilRemoved) {
    Fixture fixture;
    Preferences draft = fixture.model->draft();
    draft.assignments["gone"] = AgendaGroup::personal;
    draft.calendarNames["gone"] = "Old team";
    fixture.model->setDraft(draft);
    fixture.wizard().setStep(1);
    ui::PreferencesView view(*fixture.model, fixture.wizard());
    view.flush();
    EXPECT_TRUE(shows(view.body(), "Unavailable · selection kept"));
    auto* remove = named<QPushButton>(view.body(), "remove-gone");
    ASSERT_NE(remove, nullptr);
    remove->click();
    view.flush();
    EXPECT_EQ(fixture.model->draft().assignments.count("gone"), 0u);
    EXPECT_FALSE(shows(view.body(), "Unavailable · selection kept"));
}

// A desktop without local calendars: a calendar is added by its address on the calendars step,
// with progress while it is fetched and one line naming only the host when it cannot be; once
// added it is listed under the subscriptions like any calendar, and unsubscribing asks first.
TEST(PreferencesView, ACalendarByAddressIsAddedListedAndRemovedAfterAsking) {
    test::CalendarHost host;
    for (const char* language : {"en_GB", "it_IT"}) {
        Language chosen(language);
        const bool italian = language[0] == 'i';
        Fixture fixture(false, false);
        fixture.wizard().setStep(1);
        ui::PreferencesView view(*fixture.model, fixture.wizard());
        view.resize(820, 900);
        view.show();
        view.flush();
        const auto add = [&] { return named<QPushButton>(view.body(), "addSubscription"); };
        const auto type = [&](const QString& address) {
            auto* field = named<QLineEdit>(view.body(), "subscriptionAddress");
            ASSERT_NE(field, nullptr);
            field->setText(address);
            Q_EMIT field->textEdited(address);
        };
        const auto adding = [&] { return fixture.wizard().addressForm().adding; };
        ASSERT_NE(add(), nullptr);

        // A login page instead of a calendar.
        host.answer = [](const test::HttpRequest&) {
            test::HttpResponse page;
            page.contentType = "text/html";
            page.body = "<!DOCTYPE html><html><body>Sign in</body></html>";
            return page;
        };
        type(host.address());
        add()->click();
        EXPECT_TRUE(adding());
        EXPECT_FALSE(add()->isEnabled());
        EXPECT_EQ(add()->text(), tx(italian, "Aggiunta…", "Adding…"));
        ASSERT_TRUE(test::waitUntil([&] { return !adding(); }, 15000));
        view.flush();
        auto* error = named<QLabel>(view.body(), "subscriptionError");
        ASSERT_NE(error, nullptr);
        EXPECT_TRUE(error->isVisibleTo(&view));
        EXPECT_TRUE(error->text().contains(QString::fromStdString(host.host())))
            << error->text().toStdString();
        EXPECT_FALSE(error->text().contains(QLatin1String(test::CalendarHost::token)));
        EXPECT_TRUE(fixture.model->calendars().empty());
        EXPECT_EQ(named<QLineEdit>(view.body(), "subscriptionAddress")->text(), host.address())
            << "what was typed stays to be corrected";

        host.answer = [](const test::HttpRequest&) {
            return test::CalendarHost::calendar("School year", "Assembly");
        };
        add()->click();
        ASSERT_TRUE(test::waitUntil([&] { return !adding(); }, 15000));
        view.flush();
        ASSERT_EQ(fixture.model->calendars().size(), 1u);
        const QString id = QString::fromStdString(fixture.model->calendars()[0].id);
        auto* picker = named<QComboBox>(view.body(), "group-" + id);
        ASSERT_NE(picker, nullptr);
        EXPECT_TRUE(shows(view.body(), tx(italian, "Iscrizioni", "Subscriptions")));
        EXPECT_TRUE(shows(view.body(), "School year"));
        EXPECT_TRUE(shows(view.body(), QString::fromStdString(host.host())));
        EXPECT_TRUE(named<QLineEdit>(view.body(), "subscriptionAddress")->text().isEmpty());
        EXPECT_FALSE(named<QLabel>(view.body(), "subscriptionError")->isVisibleTo(&view));
        for (auto* label : view.body()->findChildren<QLabel*>())
            EXPECT_FALSE(label->text().contains(QLatin1String(test::CalendarHost::token)));
        picker->setCurrentIndex(0);
        Q_EMIT picker->activated(0);
        screenshot(&view, QStringLiteral("settings-step2-subscription-") + language);

        // Kept when the question is answered "Keep"; gone, group and all, after "Unsubscribe".
        for (const char* answer : {"keepSubscription", "confirmUnsubscribe"}) {
            auto* remove = named<QPushButton>(view.body(), "unsubscribe-" + id);
            ASSERT_NE(remove, nullptr);
            remove->click();
            QMessageBox* question = view.findChild<QMessageBox*>();
            ASSERT_NE(question, nullptr);
            auto* choice = question->findChild<QPushButton*>(QLatin1String(answer));
            ASSERT_NE(choice, nullptr) << answer;
            choice->click();
            test::waitUntil([&] { return view.findChild<QMessageBox*>() == nullptr; });
        }
        EXPECT_TRUE(test::waitUntil([&] { return fixture.model->calendars().empty(); }, 10000));
        view.flush();
        EXPECT_EQ(named<QComboBox>(view.body(), "group-" + id), nullptr);
        EXPECT_TRUE(fixture.model->draft().assignments.empty());
        EXPECT_TRUE(fixture.model->missingCalendars().empty());
    }
}

TEST(PreferencesView, NoCalendarsOffersTheAccessStepAndARefresh) {
    Fixture fixture(false);
    fixture.wizard().setStep(1);
    ui::PreferencesView view(*fixture.model, fixture.wizard());
    view.flush();
    auto* access = named<QPushButton>(view.body(), "goAccess");
    ASSERT_NE(access, nullptr);
    EXPECT_EQ(access->text(), "Go to Access");
    access->click();
    EXPECT_EQ(fixture.wizard().step(), 0);
}

TEST(PreferencesView, AtMostThreeListsAndNoListInTwoBlocks) {
    Fixture fixture;
    fixture.model->refreshReminderLists();
    ASSERT_TRUE(
        test::waitUntil([&] { return fixture.model->reminders().snapshot().lists.size() >= 4; }));
    Preferences draft = fixture.model->draft();
    draft.reminderGrouping = ReminderGrouping::selectedLists;
    fixture.model->setDraft(draft);
    fixture.wizard().setStep(2);
    ui::PreferencesView view(*fixture.model, fixture.wizard());
    view.flush();
    EXPECT_NE(named<QComboBox>(view.body(), "block3"), nullptr);
    EXPECT_EQ(named<QComboBox>(view.body(), "block4"), nullptr);
    auto* block1 = named<QComboBox>(view.body(), "block1");
    ASSERT_NE(block1, nullptr);
    block1->setCurrentIndex(1);
    Q_EMIT block1->activated(1);
    view.flush();
    const QString chosen = QString::fromStdString(
        fixture.model->draft().reminderListIDs.value_or(ReminderListIDs{}).at("today"));
    auto* block2 = named<QComboBox>(view.body(), "block2");
    ASSERT_NE(block2, nullptr);
    auto* items = qobject_cast<QStandardItemModel*>(block2->model());
    ASSERT_NE(items, nullptr);
    EXPECT_FALSE(items->item(block2->findData(chosen))->isEnabled());
}

// What the first preview of a shown step draws from, if it has drawn.
std::optional<ui::WallpaperPreview::Inputs> firstPreviewInputs(ui::PreferencesView& view) {
    const ui::WallpaperPreview* preview =
        view.previews().empty() ? nullptr : view.previews().front().data();
    if (preview == nullptr)
        return std::nullopt;
    return preview->inputs();
}

TEST(PreferencesView, AnUnsetTaskGroupingShowsTheOneTheWallpaperUses) {
    Fixture fixture;
    Preferences draft = fixture.model->draft();
    draft.reminderGrouping.reset();
    fixture.model->setDraft(draft);
    fixture.wizard().setStep(2);
    ui::PreferencesView view(*fixture.model, fixture.wizard());
    view.flush();
    auto* picker = named<QComboBox>(view.body(), "grouping");
    ASSERT_NE(picker, nullptr);
    EXPECT_EQ(ReminderGrouping(picker->currentData().toInt()), ReminderGrouping::selectedLists);
    // The previews get the same settings the wallpaper service draws from.
    fixture.wizard().setStep(3);
    view.show();
    view.flush();
    const std::optional<ui::WallpaperPreview::Inputs> inputs = firstPreviewInputs(view);
    ASSERT_TRUE(inputs.has_value());
    EXPECT_FALSE(inputs.value().preferences.reminderGrouping.has_value());
    EXPECT_TRUE(inputs.value().preferences.screens.empty());
    EXPECT_EQ(inputs.value().size, QSize(1440, 900));
}

TEST(PreferencesView, TheSamplePreviewShowsSampleTasks) {
    for (const char* language : {"en_GB", "it_IT"}) {
        Language chosen(language);
        const bool italian = language[0] == 'i';
        // The user's own grouping names lists the sample does not have.
        Fixture fixture;
        Preferences draft = fixture.model->draft();
        draft.reminderGrouping = ReminderGrouping::selectedLists;
        draft.reminderListIDs = ReminderListIDs{{"today", "tasks-Errands"}};
        fixture.model->setDraft(draft);
        fixture.model->setDemonstration(true);
        fixture.wizard().setStep(3);
        ui::PreferencesView view(*fixture.model, fixture.wizard());
        view.resize(820, 1500);
        view.show();
        view.flush();
        const std::optional<ui::WallpaperPreview::Inputs> inputs = firstPreviewInputs(view);
        ASSERT_TRUE(inputs.has_value());
        const ui::WallpaperPreview::Inputs& in = inputs.value();
        testing::RecordingPainter painter;
        WallpaperService::renderer({in.snapshot, in.preferences, in.screen, in.size, 1})
            .draw(painter, Size{double(in.size.width()), double(in.size.height())});
        EXPECT_FALSE(
            painter.texts(italian ? "Inviare la proposta aggiornata" : "Send the updated proposal")
                .empty());
        EXPECT_TRUE(painter.texts(italian ? "Seleziona un elenco" : "Choose a list").empty());
        EXPECT_EQ(fixture.model->draft(), draft) << "the user's own settings stay";
        screenshot(&view, QStringLiteral("settings-step3-sample-") + language);
    }
}

TEST(PreferencesView, ADisconnectedScreenKeepsItsSettingsAndSaysSo) {
    Fixture fixture;
    Preferences draft = fixture.model->draft();
    ScreenPreferences away;
    away.enabled = false;
    away.top = 0.2;
    away.name = "Projector";
    draft.screens["gone"] = away;
    fixture.model->setDraft(draft);
    fixture.wizard().setStep(3);
    ui::PreferencesView view(*fixture.model, fixture.wizard());
    view.flush();
    EXPECT_TRUE(shows(view.body(), QStringLiteral("⚠  Projector · disconnected, settings saved")));
    // Editing a connected screen leaves the other one alone.
    auto* top = named<QSlider>(view.body(), "top-A");
    ASSERT_NE(top, nullptr);
    top->setValue(10);
    EXPECT_EQ(fixture.model->draft().screens.at("gone"), away);
    EXPECT_DOUBLE_EQ(fixture.model->draft().screens.at("A").top, 0.10);
    // Every connected screen has its preview, named for screen readers.
    ASSERT_EQ(view.previews().size(), 2u);
    EXPECT_TRUE(view.previews()[0]->accessibleName().startsWith("Calendar preview for "));
}

TEST(PreferencesView, AMarginSliderTakesTheWheelOnlyOnceFocused) {
    Fixture fixture;
    fixture.wizard().setStep(3);
    ui::PreferencesView view(*fixture.model, fixture.wizard());
    view.resize(820, 780);
    view.show();
    view.flush();
    auto* bottom = named<QSlider>(view.body(), "bottom-B");
    ASSERT_NE(bottom, nullptr);
    const int before = bottom->value();
    const double stored = fixture.model->draft().screens.at("B").bottom;
    test::ManualTimerSource::settle();
    auto* scrollBar = view.findChild<QScrollArea*>()->verticalScrollBar();
    ASSERT_GT(scrollBar->maximum(), 0) << "the step is taller than the window";
    const int scrolledBefore = scrollBar->value();
    const auto wheel = [&](QWidget* target) {
        const QPointF at(target->width() / 2.0, target->height() / 2.0);
        QWheelEvent event(at, target->mapToGlobal(at), QPoint(), QPoint(0, -120), Qt::NoButton,
                          Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(target, &event);
    };
    // Scrolling the page over an unfocused slider scrolls the page and leaves the margin.
    wheel(bottom);
    EXPECT_EQ(bottom->value(), before);
    EXPECT_DOUBLE_EQ(fixture.model->draft().screens.at("B").bottom, stored);
    EXPECT_GT(scrollBar->value(), scrolledBefore);
    // Clicked or tabbed to, it takes the wheel; the wheel alone never focuses it.
    EXPECT_NE(bottom->focusPolicy() & Qt::WheelFocus, Qt::WheelFocus);
    EXPECT_TRUE(bottom->focusPolicy() & Qt::ClickFocus);
    // Another test's window on the same display may hold activation a moment: ask again.
    ASSERT_TRUE(test::waitUntil(
        [&] {
            if (!bottom->hasFocus()) {
                view.activateWindow();
                bottom->setFocus(Qt::MouseFocusReason);
            }
            return bottom->hasFocus();
        },
        10000));
    wheel(bottom);
    EXPECT_NE(bottom->value(), before);
}

// --- the live preview ----------------------------------------------------------------------

TEST(WallpaperPreview, KeepsTheScreensAspectRatioAndCoalescesRedraws) {
    EXPECT_EQ(ui::WallpaperPreview::preferredSize(QSize(1440, 900), std::nullopt), QSize(720, 450));
    EXPECT_EQ(ui::WallpaperPreview::preferredSize(QSize(1080, 1920), 300), QSize(300, 533));
    ui::WallpaperPreview preview;
    preview.resize(320, 200);
    preview.show();
    ui::WallpaperPreview::Inputs inputs;
    inputs.size = QSize(320, 200);
    for (int top = 0; top < 10; ++top) {
        inputs.screen.top = top / 100.0;
        preview.setInputs(inputs);
    }
    test::waitUntil([&] { return preview.renderCount() > 0; }, 2000);
    test::ManualTimerSource::settle();
    EXPECT_EQ(preview.renderCount(), 1);
    EXPECT_EQ(preview.image().size(), QSize(320, 200) * preview.devicePixelRatioF());
    // The same inputs again draw nothing.
    preview.setInputs(inputs);
    preview.flush();
    EXPECT_EQ(preview.renderCount(), 1);
}

TEST(WallpaperPreview, DrawsOnlyWhatItShowsAndNothingWhileHidden) {
    ui::WallpaperPreview preview;
    preview.resize(480, 270);
    ui::WallpaperPreview::Inputs inputs;
    inputs.snapshot = DemoData::snapshot("normal");
    inputs.size = QSize(1920, 1080);
    // Inputs arriving while hidden wait for the preview to show.
    preview.setInputs(inputs);
    preview.flush();
    EXPECT_EQ(preview.renderCount(), 0);
    preview.show();
    ASSERT_TRUE(test::waitUntil([&] { return preview.renderCount() == 1; }, 2000));
    // A miniature of the whole screen, as many pixels as it shows rather than the screen's.
    const double ratio = preview.devicePixelRatioF();
    EXPECT_NEAR(preview.image().width(), 480 * ratio, 1);
    EXPECT_NEAR(preview.image().height(), 270 * ratio, 1);
    // Closing the window lets the picture go; showing it again draws it again.
    preview.hide();
    EXPECT_TRUE(preview.image().isNull());
    preview.show();
    ASSERT_TRUE(test::waitUntil([&] { return preview.renderCount() == 2; }, 2000));
    EXPECT_FALSE(preview.image().isNull());
    // A larger miniature draws again at its new size.
    preview.resize(960, 540);
    ASSERT_TRUE(test::waitUntil([&] { return preview.renderCount() == 3; }, 2000));
    EXPECT_NEAR(preview.image().width(), 960 * ratio, 1);
}

// The largest difference, on a 0–255 scale, between the two images' 8 × 8 blocks of pixels:
// a word drawn apart or smudged shows in its block however small the rest of the picture is.
double blockDifference(const QImage& a, const QImage& b) {
    const QImage x = a.convertToFormat(QImage::Format_RGB32);
    const QImage y = b.convertToFormat(QImage::Format_RGB32);
    double worst = 0;
    for (int top = 0; top + 8 <= x.height(); top += 8)
        for (int left = 0; left + 8 <= x.width(); left += 8) {
            double sum = 0;
            for (int row = top; row < top + 8; ++row)
                for (int column = left; column < left + 8; ++column) {
                    const QRgb p = x.pixel(column, row);
                    const QRgb q = y.pixel(column, row);
                    sum += std::abs(qRed(p) - qRed(q)) + std::abs(qGreen(p) - qGreen(q)) +
                           std::abs(qBlue(p) - qBlue(q));
                }
            worst = std::max(worst, sum / (64 * 3));
        }
    return worst;
}

TEST(WallpaperPreview, ReadsLikeTheWallpaperBroughtDownToItsSize) {
    // A 1440 × 900 screen in a small and in a wide settings window, at whatever scale the
    // display has (also run with QT_SCALE_FACTOR=2).
    for (const int width : {436, 736}) {
        SCOPED_TRACE(width);
        ui::WallpaperPreview preview;
        preview.resize(width, (width * 900 + 1439) / 1440);
        ui::WallpaperPreview::Inputs inputs;
        inputs.snapshot = DemoData::snapshot("normal");
        inputs.preferences.reminderGrouping = ReminderGrouping::dueDate;
        inputs.size = QSize(1440, 900);
        preview.setInputs(inputs);
        preview.show();
        ASSERT_TRUE(test::waitUntil([&] { return preview.renderCount() == 1; }, 5000));
        const double ratio = preview.devicePixelRatioF();
        const QImage& shown = preview.image();
        ASSERT_FALSE(shown.isNull());
        EXPECT_EQ(shown.devicePixelRatio(), ratio) << "shown pixel for pixel";
        EXPECT_NEAR(shown.width(), width * ratio, 1);

        // The wallpaper as the desktop gets it, at the display's scale, smoothly reduced.
        const auto full = WallpaperService::render({inputs.snapshot, inputs.preferences,
                                                    inputs.screen, inputs.size, ratio})
                              .pixels;
        ASSERT_NE(full, nullptr);
        const QImage wallpaper(full->data(), full->pixelWidth(), full->pixelHeight(),
                               qsizetype(full->stride()), QImage::Format_ARGB32_Premultiplied);
        const QImage reduced =
            wallpaper.scaled(shown.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        const double difference = blockDifference(shown, reduced);
        std::printf("preview %d at %gx against the reduced wallpaper: %.1f\n", width, ratio,
                    difference);
        // Drawn straight at the miniature's size, the words fall apart: 30 and more.
        EXPECT_LT(difference, 27) << "words drawn apart or smudged";
        screenshot(&preview, QStringLiteral("preview-%1-%2x").arg(width).arg(ratio));
    }
}

// --- about window and update alert ---------------------------------------------------------

TEST(AboutView, ShowsTheVersionAndNoDownloadWithoutARelease) {
    for (const char* language : {"en_GB", "it_IT"}) {
        Language chosen(language);
        const bool italian = language[0] == 'i';
        Fixture fixture;
        ui::AboutView about(*fixture.model);
        about.resize(460, 540);
        EXPECT_TRUE(
            shows(&about, (italian ? QStringLiteral("Versione ") : QStringLiteral("Version ")) +
                              QString::fromStdString(AppIdentity::version())));
        EXPECT_FALSE(about.downloadButton()->isVisibleTo(&about));
        EXPECT_EQ(about.checkButton()->text(), italian ? QStringLiteral("Verifica aggiornamenti")
                                                       : QStringLiteral("Check for updates"));
        about.show();
        screenshot(&about, QStringLiteral("about-") + (italian ? "it" : "en"));
    }
}

TEST(AboutView, WithoutAnUpdateServerOffersNoUpdateControls) {
    for (const char* language : {"en_GB", "it_IT"}) {
        Language chosen(language);
        Fixture fixture;
        ASSERT_FALSE(fixture.model->updater().enabled()) << "the tests' builds have no server";
        ui::AboutView about(*fixture.model);
        about.resize(460, 540);
        // No switch that reads "on" beside a status that says checks are off, no dead button.
        EXPECT_FALSE(about.automaticChecks()->isVisibleTo(&about));
        EXPECT_FALSE(about.checkButton()->isVisibleTo(&about));
        EXPECT_TRUE(about.statusLabel()->isVisibleTo(&about));
        EXPECT_FALSE(about.statusLabel()->text().isEmpty());
        about.show();
        screenshot(&about, QStringLiteral("about-no-update-server-") + language);
    }
}

TEST(UpdateAlert, APersonalBuildHasOneOkButtonAndADownloadTwoChoices) {
    PelloraRelease release;
    release.version = "1.4";
    release.build = 12;
    auto alert = ui::AppDelegate::updateAlert(release);
    EXPECT_EQ(alert.message, "A Pellora update is available");
    EXPECT_EQ(alert.buttons, QStringList{"OK"});
    EXPECT_EQ(alert.informativeText,
              "Version 1.4 (build 12)\n\nThis personal build is not distributed from the "
              "website. Contact the developer for the installer.");
    release.downloadURL = "https://updates.example.org/Pellora-1.4.pkg";
    release.releaseNotes = "Faster.";
    alert = ui::AppDelegate::updateAlert(release);
    EXPECT_EQ(alert.buttons, (QStringList{"Download update", "Later"}));
    EXPECT_EQ(alert.informativeText,
              "Version 1.4 (build 12)\n\nFaster.\n\nThe package will be downloaded; open it and "
              "confirm installation to update.");
}

// --- the delegate --------------------------------------------------------------------------

TEST(AppDelegate, WindowsAreMadeOnceKeptAndClosingThemNeverQuits) {
    Fixture fixture;
    ui::AppDelegate delegate;
    delegate.launch(std::move(fixture.model));
    // The icon waits for a tray (the test display has none); its menu is there at once.
    if (delegate.trayIcon()) {
        EXPECT_TRUE(delegate.trayIcon()->toolTip().endsWith(" · Open menu"));
    }
    const QStringList menu = [&] {
        QStringList texts;
        for (QAction* action : delegate.menu()->actions())
            texts << action->text();
        return texts;
    }();
    EXPECT_EQ(menu, (QStringList{"Summary", "Settings…", "About Pellora", "",
                                 "Quit and restore wallpaper"}));
    delegate.wizard()->showPreferences();
    QWidget* window = delegate.preferencesWindow();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->size(), QSize(820, 780));
    EXPECT_EQ(window->minimumSize(), QSize(720, 620));
    window->close();
    delegate.wizard()->showPreferences();
    EXPECT_EQ(delegate.preferencesWindow(), window);
    delegate.wizard()->showAbout();
    EXPECT_EQ(delegate.aboutWindow()->size(), QSize(460, 540));
    EXPECT_EQ(delegate.aboutWindow()->windowTitle(), "About Pellora");
    // An activation from a second start opens the settings window.
    window->close();
    delegate.handleMessage(ui::AppDelegate::activationMessage(QStringLiteral("token-1")));
    EXPECT_TRUE(window && window->isVisible());
    EXPECT_EQ(fixture.setup.terminations, 0);
}

TEST(AppDelegate, WithoutATrayThePanelsCommandsAreReachableFromTheFirstRun) {
    for (const char* language : {"en_GB", "it_IT"}) {
        Language chosen(language);
        // A first run: nothing applied yet, so no summary of an applied wallpaper either.
        Fixture fixture(false, false);
        ASSERT_FALSE(fixture.model->preferences().activated);
        ui::AppDelegate delegate;
        delegate.launch(std::move(fixture.model));
        ASSERT_EQ(delegate.trayIcon(), nullptr) << "the test display has no tray";
        QWidget* window = delegate.preferencesWindow();
        ASSERT_TRUE(window && window->isVisible()) << "the settings window stands in for it";
        auto* view = window->findChild<ui::PreferencesView*>();
        ASSERT_NE(view, nullptr);
        view->flush();
        ASSERT_TRUE(view->summaryButton()->isVisible());
        screenshot(window, QStringLiteral("settings-no-tray-") + language);
        view->summaryButton()->click();
        auto* panel = delegate.panel() ? delegate.panel()->findChild<ui::MenuPanel*>() : nullptr;
        ASSERT_NE(panel, nullptr);
        EXPECT_TRUE(panel->isVisible());
        EXPECT_TRUE(panel->quitButton()->isVisible());
        EXPECT_TRUE(panel->loginSwitch()->isVisible());
    }
}

// Whether the X server still has this window, and shows it.
bool mappedOnTheDisplay(QWidget* window) {
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    if (!x11 || !window || !window->windowHandle() || window->windowHandle()->winId() == 0)
        return false;
    xcb_connection_t* connection = x11->connection();
    auto* reply = xcb_get_window_attributes_reply(
        connection, xcb_get_window_attributes(connection, xcb_window_t(window->winId())), nullptr);
    const bool viewable = reply && reply->map_state == XCB_MAP_STATE_VIEWABLE;
    free(reply);
    return viewable;
}

TEST(AppDelegate, ASettingsWindowTheWindowManagerDestroyedIsBuiltAgain) {
    Fixture fixture;
    ui::AppDelegate delegate;
    delegate.launch(std::move(fixture.model));
    delegate.showPreferences();
    QWidget* window = delegate.preferencesWindow();
    ASSERT_TRUE(test::waitUntil([&] { return mappedOnTheDisplay(window); }, 3000));
    // What `xdotool windowclose` and some compositors' kill do: the X window goes, the widget
    // stays.
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    ASSERT_NE(x11, nullptr);
    xcb_destroy_window(x11->connection(), xcb_window_t(window->winId()));
    xcb_flush(x11->connection());
    ASSERT_TRUE(test::waitUntil([&] { return !mappedOnTheDisplay(window); }, 3000));
    // A second start brings it back, and so does the panel's Settings after closing it.
    delegate.handleMessage(ui::AppDelegate::activationMessage(QStringLiteral("token-2")));
    EXPECT_TRUE(
        test::waitUntil([&] { return mappedOnTheDisplay(delegate.preferencesWindow()); }, 3000));
    delegate.preferencesWindow()->close();
    delegate.wizard()->showPreferences();
    EXPECT_TRUE(
        test::waitUntil([&] { return mappedOnTheDisplay(delegate.preferencesWindow()); }, 3000));
}

TEST(AppDelegate, ClosingTheWindowsLetsTheDrawingCachesGo) {
    Fixture fixture;
    Preferences draft = fixture.model->draft();
    draft.assignments[fixture.work] = AgendaGroup::ostrid;
    fixture.model->setDraft(draft);
    ui::AppDelegate delegate;
    AgendaModel* model = fixture.model.get();
    delegate.launch(std::move(fixture.model));
    delegate.wizard()->setStep(3);
    ASSERT_TRUE(test::waitForIdle(*model));
    delegate.wizard()->showPreferences();
    QWidget* window = delegate.preferencesWindow();
    ASSERT_NE(window, nullptr);
    auto* view = window->findChild<ui::PreferencesView*>();
    ASSERT_NE(view, nullptr);
    view->flush();
    ASSERT_FALSE(view->previews().empty());
    const auto drawn = [&] {
        const auto& previews = view->previews();
        return !previews.empty() && previews.front() && !previews.front()->image().isNull();
    };
    ASSERT_TRUE(test::waitUntil(drawn, 3000));
    EXPECT_GT(FrostedBackground::cacheSize(), 0u);
    const QImage before = view->previews().front()->image();
    // The no-tray notice, when this run is the first to show it, keeps its window: dismissed.
    for (QMessageBox* notice : window->findChildren<QMessageBox*>())
        notice->close();
    const QPointer<QWidget> closed = window;
    window->close();
    EXPECT_FALSE(drawn());
    EXPECT_TRUE(test::waitUntil([] { return FrostedBackground::cacheSize() == 0; }, 3000));
    EXPECT_TRUE(closed.isNull()) << "the closed window is let go whole";
    // Reopened, the window is made again on its step, with its previews.
    delegate.wizard()->showPreferences();
    window = delegate.preferencesWindow();
    ASSERT_TRUE(window && window->isVisible());
    view = window->findChild<ui::PreferencesView*>();
    ASSERT_NE(view, nullptr);
    view->flush();
    ASSERT_TRUE(test::waitUntil(drawn, 3000));
    EXPECT_EQ(view->previews().front()->image(), before) << "the window made again draws the same";
}

// The tray application draws its glyph from masks rendered once from the artwork: they must
// still be that artwork. After the SVG changes, the fresh masks are written beside the
// screenshots, to be copied into data/icons.
TEST(TrayGlyph, TheMasksAreTheArtworkAtEachSize) {
    const std::filesystem::path icons = std::filesystem::path(PELLORA_EXECUTABLE).parent_path();
    QSvgRenderer artwork(QString::fromStdString((icons / "PelloraMenuBar.svg").string()));
    ASSERT_TRUE(artwork.isValid());
    for (int size : ui::trayGlyphSizes) {
        QImage drawn(size, size, QImage::Format_ARGB32_Premultiplied);
        drawn.fill(Qt::transparent);
        QPainter painter(&drawn);
        artwork.render(&painter);
        painter.end();
        QImage mask(QString::fromStdString((icons / ui::trayGlyphFileName(size)).string()));
        mask = mask.convertToFormat(QImage::Format_ARGB32_Premultiplied);
        int worst = 255;
        if (mask.size() == drawn.size()) {
            worst = 0;
            for (int y = 0; y < size; ++y)
                for (int x = 0; x < size; ++x)
                    worst = std::max(
                        worst, std::abs(qAlpha(mask.pixel(x, y)) - qAlpha(drawn.pixel(x, y))));
        }
        if (worst > 2) {
            const QString fresh = QStringLiteral(PELLORA_SCREENSHOTS "/") +
                                  QString::fromStdString(ui::trayGlyphFileName(size));
            QDir().mkpath(QStringLiteral(PELLORA_SCREENSHOTS));
            drawn.save(fresh);
            ADD_FAILURE() << ui::trayGlyphFileName(size)
                          << " is missing or differs from the artwork by " << worst
                          << "; a fresh one is in " << fresh.toStdString();
        }
    }
}

} // namespace
} // namespace brivane

#pragma once

// The tray application: one instance per session, the controller, the tray icon with its menu
// and panel, the settings and about windows, the update alert, and quitting with the user's
// wallpaper back. Main thread only.

#include "BrivaneCore/PelloraRelease.h"

#include <QKeySequence>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <memory>

class QMenu;
class QSystemTrayIcon;

namespace brivane {

class AgendaModel;
class SingleInstance;

namespace ui {

class WizardState;

class AppDelegate : public QObject {
    Q_OBJECT
public:
    // The message a second start sends to the running instance, with its activation token.
    static QString activationMessage(const QString& token);

    // Starts the tray application (or hands over to a running one) and runs its event loop.
    static int run(int argc, char** argv);

    explicit AppDelegate(QObject* parent = nullptr);
    ~AppDelegate() override;

    // Creates the controller (or takes the given one), the tray menu and the windows' actions,
    // and starts the controller; the tray icon comes when the desktop has a tray (trayIcon() is
    // null until then).
    void launch(std::unique_ptr<AgendaModel> model = nullptr);

    bool eventFilter(QObject* watched, QEvent* event) override;

    void togglePanel();
    void closePanel();
    // The panel in an ordinary window: where no tray exists, and for "Summary".
    void showPanelWindow();
    void showPreferences(const QString& activationToken = {});
    void showAbout();
    void showUpdateAlert(const PelloraRelease& release);
    // A message from another start: an activation or a sign-in redirect.
    void handleMessage(const QString& message);

    AgendaModel* model() const { return model_.get(); }
    WizardState* wizard() const { return wizard_.get(); }
    QSystemTrayIcon* trayIcon() const { return tray_; }
    QWidget* panel() const { return panel_; }
    QWidget* preferencesWindow() const { return window_; }
    QWidget* aboutWindow() const { return aboutWindow_; }
    QMenu* menu() const { return menu_; }

    // The update alert's texts and buttons, for one release.
    struct UpdateAlert {
        QString message;
        QString informativeText;
        QStringList buttons;
    };
    static UpdateAlert updateAlert(const PelloraRelease& release);

private:
    void buildTrayMenu();
    void showTrayIcon();
    void openPanel(bool asWindow);
    void noticeMissingTray();
    void withdrawMissingTrayNotice();
    void addWindowShortcuts(QWidget* window, const QList<QKeySequence>& close);
    // With no window open the drawing caches go; always, the allocator's free pages go back
    // to the system.
    void releaseIdleMemory();

    std::unique_ptr<AgendaModel> model_;
    std::unique_ptr<WizardState> wizard_;
    QSystemTrayIcon* tray_ = nullptr;
    QMenu* menu_ = nullptr;
    QPointer<QWidget> panel_;
    QPointer<QWidget> window_;
    QPointer<QWidget> aboutWindow_;
    // What a start without a tray showed, withdrawn when a tray appears.
    QPointer<QWidget> missingTrayNotice_;
    bool preferencesForMissingTray_ = false; // the settings window stands in for the tray
    QTimer idleRelease_;
};

} // namespace ui
} // namespace brivane

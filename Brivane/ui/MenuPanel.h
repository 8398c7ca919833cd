#pragma once

// The panel the tray icon opens: who the application is, the everyday commands, the
// launch-at-login switch and quitting with the user's wallpaper back. It owns no state: every
// value comes from the controller and every command goes to it; the command list is
// MenuCommands.

#include <QFrame>

class QCheckBox;
class QLabel;
class QPushButton;
class QScrollArea;
class QVBoxLayout;

namespace brivane {
class AgendaModel;
}

namespace brivane::ui {

class MenuCommands;
class WizardState;

class MenuPanel : public QFrame {
    Q_OBJECT
public:
    static constexpr int panelWidth = 360;
    static constexpr int tallestPanel = 510;

    // min(available height − 24, 510), at least 1; 510 when no screen is known.
    static int panelHeight(std::optional<int> availableHeight);

    // As tall as its content, up to `tallest`; past it the commands scroll.
    MenuPanel(AgendaModel& model, WizardState& wizard, int tallest, QWidget* parent = nullptr);

    // "Set up access" shows while there is no calendar source (access, a cloud account or a
    // subscription) or no full task access.
    static bool needsSetup(bool calendarSource, bool fullReminderAccess);

    QPushButton* refreshButton() const;
    QPushButton* setupButton() const;
    QPushButton* quitButton() const { return quit_; }
    QCheckBox* loginSwitch() const { return login_; }

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void buildHeader(QVBoxLayout* layout);
    void buildFooter(QVBoxLayout* layout);
    void sync();
    void fitHeight();
    void closeFirst();
    void setLaunchAtLogin(bool on);
    void quit();

    AgendaModel& model_;
    WizardState& wizard_;
    int tallest_;
    QScrollArea* scroll_ = nullptr;
    MenuCommands* commands_ = nullptr;
    QCheckBox* login_ = nullptr;
    QPushButton* approve_ = nullptr;
    QLabel* loginError_ = nullptr;
    QPushButton* quit_ = nullptr;
};

} // namespace brivane::ui

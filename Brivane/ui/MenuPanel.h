#pragma once

// The panel the tray icon opens: who the application is, the everyday commands, the
// launch-at-login switch and quitting with the user's wallpaper back. It owns no state: every
// value comes from the controller and every command goes to it.

#include <QFrame>

class QCheckBox;
class QLabel;
class QPushButton;

namespace brivane {
class AgendaModel;
}

namespace brivane::ui {

class MenuPanel : public QFrame {
    Q_OBJECT
public:
    static constexpr int panelWidth = 360;
    static constexpr int tallestPanel = 510;

    // min(available height − 24, 510), at least 1; 510 when no screen is known.
    static int panelHeight(std::optional<int> availableHeight);

    MenuPanel(AgendaModel& model, int panelHeight, QWidget* parent = nullptr);

    // "Set up access" shows while there is no calendar source or no full task access.
    static bool needsSetup(bool calendarAuthorized, bool cloudAccountConnected,
                           bool fullReminderAccess);

    QPushButton* refreshButton() const { return refresh_; }
    QPushButton* setupButton() const { return setup_; }
    QPushButton* quitButton() const { return quit_; }
    QCheckBox* loginSwitch() const { return login_; }

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void sync();
    void closeFirst();

    AgendaModel& model_;
    QLabel* status_ = nullptr;
    QPushButton* refresh_ = nullptr;
    QPushButton* setup_ = nullptr;
    QCheckBox* login_ = nullptr;
    QPushButton* approve_ = nullptr;
    QLabel* loginError_ = nullptr;
    QPushButton* quit_ = nullptr;
};

} // namespace brivane::ui

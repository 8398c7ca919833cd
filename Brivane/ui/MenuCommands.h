#pragma once

// The panel's command list: what the last refresh said, then the commands in three groups (the
// wallpaper, the desktop's applications, the windows). It reads the controller and calls its
// operations; the windows it opens are the wizard's.

#include <QWidget>

class QLabel;
class QPushButton;

namespace brivane {
class AgendaModel;
}

namespace brivane::ui {

class WizardState;

class MenuCommands : public QWidget {
    Q_OBJECT
public:
    MenuCommands(AgendaModel& model, WizardState& wizard, QWidget* parent);

    QPushButton* refreshButton() const { return refresh_; }
    QPushButton* setupButton() const { return setup_; }
    void sync();

Q_SIGNALS:
    // A command opens another window: the panel goes first.
    void leaving();

private:
    void addGroup();
    void refresh();
    void openReminders();
    void openCalendar();
    void showSettings();
    void showAbout();
    void setUpAccess();

    AgendaModel& model_;
    WizardState& wizard_;
    QLabel* status_ = nullptr;
    QLabel* subscriptionStatus_ = nullptr;
    QPushButton* refresh_ = nullptr;
    QPushButton* setup_ = nullptr;
};

} // namespace brivane::ui

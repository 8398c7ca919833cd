#pragma once

// Where the settings window stands (its current step) and how the windows call one another. The
// step survives the window: closing and reopening it, or an access request that brings it back
// once the desktop answered, lands on the step the user left.

#include <QObject>
#include <functional>
#include <optional>

namespace brivane {
class AgendaModel;
}

namespace brivane::ui {

class WizardState : public QObject {
    Q_OBJECT
public:
    // Starts on access until calendars can be read, then on the groups until one is assigned,
    // then on the screens.
    explicit WizardState(AgendaModel& model, QObject* parent = nullptr);

    int step() const { return step_; }
    void setStep(int step);

    // Asks the desktop for calendar or task access; once it answered, the settings window comes
    // back on the step the request was made from.
    void requestCalendarAccess();
    void requestReminderAccess();

    // No tray to open the panel from: the settings window offers it instead.
    bool trayMissing() const { return trayMissing_; }
    void setTrayMissing(bool missing);

    // The windows, installed by the application; unset in a view shown on its own.
    std::function<void()> showPreferences;
    std::function<void()> showPanel;
    std::function<void()> showAbout;
    std::function<void()> closePanel;

Q_SIGNALS:
    void stepChanged();
    void trayMissingChanged();

private:
    // Sets `step` and brings the settings window back on the next turn of the event loop.
    void resumeSetup(int step);

    AgendaModel& model_;
    int step_ = 0;
    bool trayMissing_ = false;
    // The step an access request was made from, until its answer.
    std::optional<int> calendarRequestFrom_;
    std::optional<int> reminderRequestFrom_;
};

} // namespace brivane::ui

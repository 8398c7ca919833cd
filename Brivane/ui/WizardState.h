#pragma once

// Where the settings window stands (its current step) and how the windows call one another. The
// step survives the window: closing and reopening it, or an access request that brings it back
// once the desktop answered, lands on the step the user left.

#include <QObject>
#include <QString>
#include <functional>
#include <optional>
#include <qcoro/qcorotask.h>
#include <string>

namespace brivane {
class AgendaModel;
}

namespace brivane::ui {

class WizardState : public QObject {
    Q_OBJECT
public:
    // Starts on access until calendars can be read, then on the groups until one is assigned,
    // then on the screens. Cloud accounts and calendars by address are known only once the
    // keyring answered: until the user goes to a step, the start follows them.
    explicit WizardState(AgendaModel& model, QObject* parent = nullptr);

    int step() const { return step_; }
    void setStep(int step);

    // Asks the desktop for calendar or task access; once it answered, the settings window comes
    // back on the step the request was made from.
    void requestCalendarAccess();
    void requestReminderAccess();

    // The calendars step's "add by address" form. It lives here because the step is rebuilt
    // (the calendar list changes) while a fetch runs, and neither what was typed nor the answer
    // may be lost with it.
    struct AddressForm {
        QString address;
        QString name;
        bool adding = false;
        // Why the last address was not added (naming its host only) or a subscription not removed.
        QString error;
    };
    const AddressForm& addressForm() const { return addressForm_; }
    void editAddressForm(const QString& address, const QString& name);
    // Subscribes to the form's address: "adding" until the answer, then the form clears (the
    // calendar is listed) or says why not. One at a time.
    void addSubscription();
    // Unsubscribes; a failure (a locked keyring) is said on the form's line.
    void removeSubscription(const std::string& id);

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
    void addressFormChanged();

private:
    // Sets `step` and brings the settings window back on the next turn of the event loop.
    void resumeSetup(int step);
    int setupStep() const;
    QCoro::Task<> adding(QString address, std::string name);
    QCoro::Task<> removing(std::string id);

    AgendaModel& model_;
    int step_ = 0;
    bool chosen_ = false;
    bool trayMissing_ = false;
    AddressForm addressForm_;
    // The step an access request was made from, until its answer.
    std::optional<int> calendarRequestFrom_;
    std::optional<int> reminderRequestFrom_;
};

} // namespace brivane::ui

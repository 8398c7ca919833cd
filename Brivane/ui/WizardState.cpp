#include "Brivane/ui/WizardState.h"

#include "Brivane/calendar/ReminderService.h"
#include "Brivane/controller/AgendaModel.h"

#include <QTimer>

namespace brivane::ui {

WizardState::WizardState(AgendaModel& model, QObject* parent)
    : QObject(parent), model_(model),
      step_(!model.authorized() ? 0 : (model.preferences().assignments.empty() ? 1 : 3)) {
    connect(&model_, &AgendaModel::requestingAccessChanged, this, [this] {
        if (model_.requestingAccess() || !calendarRequestFrom_)
            return;
        const int from = *std::exchange(calendarRequestFrom_, std::nullopt);
        if (!model_.isQuitting())
            resumeSetup(from);
    });
    connect(&model_.reminders(), &ReminderService::requestingAccessChanged, this, [this] {
        if (model_.reminders().requestingAccess() || !reminderRequestFrom_)
            return;
        resumeSetup(*std::exchange(reminderRequestFrom_, std::nullopt));
    });
}

void WizardState::setStep(int step) {
    if (step_ == step)
        return;
    step_ = step;
    Q_EMIT stepChanged();
}

void WizardState::setTrayMissing(bool missing) {
    if (trayMissing_ == missing)
        return;
    trayMissing_ = missing;
    Q_EMIT trayMissingChanged();
}

void WizardState::requestCalendarAccess() {
    if (model_.requestingAccess())
        return;
    calendarRequestFrom_ = step_;
    model_.requestAccess();
}

void WizardState::requestReminderAccess() {
    if (!model_.reminders().requestingAccess())
        reminderRequestFrom_ = step_;
    model_.requestReminderAccess();
}

void WizardState::resumeSetup(int step) {
    setStep(step);
    QTimer::singleShot(0, this, [this] {
        if (showPreferences)
            showPreferences();
    });
}

} // namespace brivane::ui

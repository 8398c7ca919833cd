#include "Brivane/ui/WizardState.h"

#include "Brivane/calendar/ReminderService.h"
#include "Brivane/cloud/CloudCalendarService.h"
#include "Brivane/controller/AgendaModel.h"
#include "Brivane/subscriptions/SubscriptionService.h"

#include <QPointer>
#include <QTimer>

namespace brivane::ui {

WizardState::WizardState(AgendaModel& model, QObject* parent)
    : QObject(parent), model_(model), step_(setupStep()) {
    const auto follow = [this] {
        if (chosen_ || setupStep() == step_)
            return;
        step_ = setupStep();
        Q_EMIT stepChanged();
    };
    connect(&model_.subscriptions(), &SubscriptionService::changed, this, follow);
    connect(&model_.cloudCalendars(), &CloudCalendarService::accountsChanged, this, follow);
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

int WizardState::setupStep() const {
    if (!model_.hasCalendarSource())
        return 0;
    return model_.preferences().assignments.empty() ? 1 : 3;
}

void WizardState::setStep(int step) {
    if (step_ == step)
        return;
    chosen_ = true;
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

void WizardState::editAddressForm(const QString& address, const QString& name) {
    addressForm_.address = address;
    addressForm_.name = name;
}

void WizardState::addSubscription() {
    if (addressForm_.adding)
        return;
    addressForm_.adding = true;
    addressForm_.error.clear();
    Q_EMIT addressFormChanged();
    adding(addressForm_.address, addressForm_.name.trimmed().toStdString());
}

QCoro::Task<> WizardState::adding(QString address, std::string name) {
    const QPointer<WizardState> alive(this);
    QCoro::Task<SubscriptionService::SubscribeResult> subscribing =
        model_.subscribe(std::move(address), std::move(name));
    const SubscriptionService::SubscribeResult result = co_await std::move(subscribing);
    if (!alive)
        co_return;
    addressForm_.adding = false;
    if (result.subscription)
        addressForm_ = AddressForm{};
    else
        addressForm_.error = QString::fromStdString(result.error.value_or(std::string()));
    Q_EMIT addressFormChanged();
}

void WizardState::removeSubscription(const std::string& id) {
    removing(id);
}

QCoro::Task<> WizardState::removing(std::string id) {
    const QPointer<WizardState> alive(this);
    QCoro::Task<std::optional<std::string>> unsubscribing = model_.unsubscribe(std::move(id));
    const std::optional<std::string> error = co_await std::move(unsubscribing);
    if (!alive)
        co_return;
    addressForm_.error = QString::fromStdString(error.value_or(std::string()));
    Q_EMIT addressFormChanged();
}

void WizardState::resumeSetup(int step) {
    setStep(step);
    QTimer::singleShot(0, this, [this] {
        if (showPreferences)
            showPreferences();
    });
}

} // namespace brivane::ui

#pragma once

// Step 2: the two groups' names and which group each calendar belongs to.

#include "Brivane/ui/SettingsStep.h"

#include <QPointer>
#include <array>
#include <optional>
#include <string>
#include <vector>

class QComboBox;
class QGridLayout;
class QLineEdit;

namespace brivane {
struct Subscription;
}

namespace brivane::ui {

class CalendarsStep : public SettingsStep {
    Q_OBJECT
public:
    using SettingsStep::SettingsStep;
    void build(QVBoxLayout* layout) override;
    void syncDraft() override;

private:
    void buildGroupNames(QVBoxLayout* layout);
    void buildNoCalendars(QVBoxLayout* layout);
    void buildCalendarRows(QVBoxLayout* layout);
    void addSubscriptionRows(QGridLayout* grid, int& line, const Subscription& subscription);
    // The "add by address" form, whose state is the wizard's (see WizardState::AddressForm).
    void buildAddressForm(QVBoxLayout* layout);
    void syncAddressForm();
    // Unsubscribing forgets an address the user may not have at hand again: it asks first.
    void confirmUnsubscribe(const std::string& id, const QString& name);
    // What the subscriptions' rows show: names and failures.
    std::string subscriptionRows() const;
    QComboBox* addPicker(QGridLayout* grid, int line, const std::string& id, const QString& name,
                         const QString& detail);

    void rename(int group, const QString& name);
    void assign(const std::string& id, QComboBox* picker, int index);
    void remove(const std::string& id);
    void reloadCalendars();

    QPointer<QLabel> groupValidation_;
    std::array<QPointer<QLabel>, 2> groupCounts_{};
    // Each calendar's drop-down, whose group entries follow the names as they are typed.
    std::vector<QPointer<QComboBox>> pickers_;
    QPointer<QLineEdit> address_;
    QPointer<QLineEdit> name_;
    QPointer<QPushButton> add_;
    QPointer<QLabel> addError_;
    std::string shownSubscriptions_;
};

} // namespace brivane::ui

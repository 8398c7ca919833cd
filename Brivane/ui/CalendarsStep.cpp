#include "Brivane/ui/CalendarsStep.h"

#include "Brivane/cloud/CloudCalendarService.h"
#include "Brivane/controller/AgendaModel.h"
#include "Brivane/subscriptions/SubscriptionAddress.h"
#include "Brivane/ui/UiSupport.h"
#include "Brivane/ui/WizardState.h"

#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>
#include <set>

namespace brivane::ui {

void CalendarsStep::build(QVBoxLayout* layout) {
    QWidget* parent = body_;
    addTitle(layout, 2, tx("Gruppi di calendari", "Calendar groups"),
             tx("Due spazi. Una giornata.", "Two spaces. One day."));
    layout->addWidget(secondaryLabel(
        tx("Assegna ogni calendario a un solo gruppo. I calendari esclusi non compaiono "
           "sul desktop.",
           "Assign each calendar to one group. Excluded calendars do not appear on the desktop."),
        parent));
    layout->addWidget(secondaryLabel(
        tx("Puoi continuare con un solo gruppo. Quello mancante sarà indicato come non "
           "configurato, senza apparire vuoto.",
           "You can continue with one group. The missing one is shown as not configured rather "
           "than empty."),
        parent));
    buildGroupNames(layout);

    const auto& calendars = model_.calendars();
    const auto missing = model_.missingCalendars();
    if (calendars.empty() && missing.empty() && model_.subscriptions().subscriptions().empty())
        buildNoCalendars(layout);
    else
        buildCalendarRows(layout);
    buildAddressForm(layout);
    // A subscription that starts or stops failing changes its row; other news (a copy read
    // again unchanged) leaves the step alone.
    shownSubscriptions_ = subscriptionRows();
    connect(&model_.subscriptions(), &SubscriptionService::changed, this, [this] {
        if (subscriptionRows() != shownSubscriptions_)
            Q_EMIT reshaped();
    });
}

std::string CalendarsStep::subscriptionRows() const {
    std::string rows;
    const SubscriptionService& subscriptions = model_.subscriptions();
    for (const Subscription& subscription : subscriptions.subscriptions())
        rows += subscription.id + subscription.name + '\n' +
                subscriptions.state(subscription.id).error.value_or(std::string()) + '\n';
    return rows;
}

void CalendarsStep::buildCalendarRows(QVBoxLayout* layout) {
    QWidget* parent = body_;
    const Preferences& draft = model_.draft();
    std::set<std::string> cloudIDs;
    for (const auto& choice : model_.cloudCalendars().calendars())
        cloudIDs.insert(choice.id);
    const SubscriptionService& subscriptions = model_.subscriptions();

    auto* grid = new QGridLayout;
    grid->setColumnStretch(0, 1);
    grid->setHorizontalSpacing(12);
    grid->setVerticalSpacing(8);
    int line = 0;
    for (const CalendarChoice& calendar : model_.calendars()) {
        if (subscriptions.find(calendar.id))
            continue;
        addPicker(grid, line, calendar.id, qs(calendar.name),
                  cloudIDs.count(calendar.id) ? qs(calendar.source) : QString());
        ++line;
    }
    for (const std::string& id : model_.missingCalendars()) {
        if (subscriptions.find(id))
            continue;
        const auto named = draft.calendarNames.find(id);
        const QString name = qs(named != draft.calendarNames.end() ? named->second : id);
        addPicker(grid, line, id, name, {});
        ++line;
        grid->addWidget(secondaryLabel(tx("Non disponibile · selezione conservata",
                                          "Unavailable · selection kept"),
                                       parent),
                        line, 0);
        auto* remove = button(tx("Rimuovi", "Remove"), QStringLiteral("remove-") + qs(id), parent);
        remove->setAccessibleName(tx("Rimuovi", "Remove") + QStringLiteral(" ") + name);
        connect(remove, &QPushButton::clicked, this, [this, id] { this->remove(id); });
        grid->addWidget(remove, line, 1);
        ++line;
    }
    // Under their account line; listed also before a first copy could be read, so that one
    // whose host never answered can still be removed.
    if (!subscriptions.subscriptions().empty()) {
        grid->addWidget(heading(qs(SubscriptionService::accountTitle()), 1.0, parent), line++, 0);
        for (const Subscription& subscription : subscriptions.subscriptions())
            addSubscriptionRows(grid, line, subscription);
    }
    block(layout, {}, parent)->addLayout(grid);
}

// A subscription's calendar: its picker, then where it comes from (the host only: the address
// carries its secret), how it stands and the command that removes it.
void CalendarsStep::addSubscriptionRows(QGridLayout* grid, int& line,
                                        const Subscription& subscription) {
    QWidget* parent = body_;
    const QString name = qs(subscription.name);
    const QString host =
        qs(subscription::shownHost(QUrl(QString::fromStdString(subscription.address))));
    addPicker(grid, line, subscription.id, name, {});
    ++line;
    const SubscriptionService::State state = model_.subscriptions().state(subscription.id);
    QLabel* where = nullptr;
    if (state.error) {
        where = wrapped(qs(*state.error) + tx(" Restano gli eventi letti l’ultima volta.",
                                              " The events last read stay."),
                        parent);
        setTextColor(where, AgendaColors::accentOn(where->palette()));
    } else {
        where = secondaryLabel(host, parent);
    }
    grid->addWidget(where, line, 0);
    auto* remove = button(tx("Annulla iscrizione", "Unsubscribe"),
                          QStringLiteral("unsubscribe-") + qs(subscription.id), parent);
    setAccessible(remove, tx("Annulla iscrizione a ", "Unsubscribe from ") + name, host);
    connect(remove, &QPushButton::clicked, this,
            [this, id = subscription.id, name] { confirmUnsubscribe(id, name); });
    grid->addWidget(remove, line, 1);
    ++line;
}

void CalendarsStep::buildGroupNames(QVBoxLayout* layout) {
    QWidget* parent = body_;
    const Preferences& draft = model_.draft();
    auto* names = new QGridLayout;
    for (int index = 0; index < 2; ++index) {
        const AgendaGroup group = allAgendaGroups[std::size_t(index)];
        const QString caption = tx("Nome del gruppo ", "Group name ") + QString::number(index + 1);
        auto* field = new QLineEdit(parent);
        field->setObjectName(QStringLiteral("groupName%1").arg(index + 1));
        std::string value = draft.groupName(group);
        if (draft.groupNames)
            if (auto it = draft.groupNames->find(std::string(rawValue(group)));
                it != draft.groupNames->end())
                value = it->second;
        field->setText(qs(value));
        setAccessible(field, caption);
        connect(field, &QLineEdit::textEdited, this,
                [this, index](const QString& text) { rename(index, text); });
        auto* fieldLabel = new QLabel(caption, parent);
        fieldLabel->setBuddy(field);
        names->addWidget(fieldLabel, 0, index);
        names->addWidget(field, 1, index);
        auto* count = secondaryLabel({}, parent);
        groupCounts_[std::size_t(index)] = count;
        names->addWidget(count, 2, index);
    }
    layout->addLayout(names);
    groupValidation_ = wrapped(tx("Usa due nomi diversi, da 1 a 32 caratteri ciascuno.",
                                  "Use two different names, 1 to 32 characters each."),
                               parent);
    setTextColor(groupValidation_, AgendaColors::accentOn(groupValidation_->palette()));
    layout->addWidget(groupValidation_);
}

void CalendarsStep::buildNoCalendars(QVBoxLayout* layout) {
    QWidget* parent = body_;
    layout->addWidget(wrapped(
        tx("Nessun calendario disponibile. Concedi l’accesso ai calendari locali oppure "
           "collega un account Google o Microsoft nel passaggio Accesso, o aggiungi qui sotto "
           "un calendario per indirizzo.",
           "No calendars available. Grant access to your local calendars or connect a Google "
           "or Microsoft account in the Access step, or add a calendar by address below."),
        parent));
    auto* row = new QHBoxLayout;
    auto* access = button(tx("Vai ad Accesso", "Go to Access"), QStringLiteral("goAccess"), parent);
    connect(access, &QPushButton::clicked, this, [this] { wizard_.setStep(0); });
    auto* reload =
        button(tx("Aggiorna elenco", "Refresh list"), QStringLiteral("reloadList"), parent);
    connect(reload, &QPushButton::clicked, this, &CalendarsStep::reloadCalendars);
    row->addWidget(access);
    row->addWidget(reload);
    row->addStretch();
    layout->addLayout(row);
}

void CalendarsStep::buildAddressForm(QVBoxLayout* layout) {
    QWidget* parent = body_;
    QVBoxLayout* inner = block(
        layout, tx("Aggiungi un calendario per indirizzo", "Add a calendar by address"), parent);
    inner->addWidget(secondaryLabel(
        tx("Incolla l’indirizzo iCal (webcal:// o https://) che il servizio del calendario dà "
           "per iscriversi. Pellora lo legge in sola lettura e lo aggiorna ogni 15 minuti; "
           "l’indirizzo resta nel portachiavi e qui compare solo il nome del server.",
           "Paste the iCal address (webcal:// or https://) the calendar’s service gives for "
           "subscribing. Pellora reads it, read-only, and updates it every 15 minutes; the "
           "address stays in the keyring and only the server’s name is shown here."),
        parent));
    const WizardState::AddressForm& form = wizard_.addressForm();
    auto* fields = new QGridLayout;
    fields->setHorizontalSpacing(12);
    fields->setColumnStretch(0, 3);
    fields->setColumnStretch(1, 2);
    const QString addressCaption = tx("Indirizzo", "Address");
    address_ = new QLineEdit(form.address, parent);
    address_->setObjectName(QStringLiteral("subscriptionAddress"));
    address_->setPlaceholderText(QStringLiteral("webcal://…"));
    setAccessible(address_, addressCaption,
                  tx("Un indirizzo webcal://, webcals://, https:// o http://",
                     "A webcal://, webcals://, https:// or http:// address"));
    const QString nameCaption = tx("Nome (facoltativo)", "Name (optional)");
    name_ = new QLineEdit(form.name, parent);
    name_->setObjectName(QStringLiteral("subscriptionName"));
    setAccessible(name_, nameCaption,
                  tx("Senza nome, quello che dà il calendario", "Without one, the calendar’s own"));
    auto* addressLabel = new QLabel(addressCaption, parent);
    addressLabel->setBuddy(address_);
    auto* nameLabel = new QLabel(nameCaption, parent);
    nameLabel->setBuddy(name_);
    add_ = button({}, QStringLiteral("addSubscription"), parent);
    fields->addWidget(addressLabel, 0, 0);
    fields->addWidget(nameLabel, 0, 1);
    fields->addWidget(address_, 1, 0);
    fields->addWidget(name_, 1, 1);
    fields->addWidget(add_, 1, 2);
    inner->addLayout(fields);
    addError_ = wrapped({}, parent);
    addError_->setObjectName(QStringLiteral("subscriptionError"));
    setTextColor(addError_, AgendaColors::accentOn(addError_->palette()));
    inner->addWidget(addError_);

    const auto edited = [this] { wizard_.editAddressForm(address_->text(), name_->text()); };
    connect(address_, &QLineEdit::textEdited, this, edited);
    connect(name_, &QLineEdit::textEdited, this, edited);
    for (QLineEdit* field : {address_.data(), name_.data()})
        connect(field, &QLineEdit::returnPressed, &wizard_, &WizardState::addSubscription);
    connect(add_, &QPushButton::clicked, &wizard_, &WizardState::addSubscription);
    connect(&wizard_, &WizardState::addressFormChanged, this, &CalendarsStep::syncAddressForm);
    syncAddressForm();
}

void CalendarsStep::syncAddressForm() {
    const WizardState::AddressForm& form = wizard_.addressForm();
    if (QLineEdit* address = address_.data(); address && address->text() != form.address)
        address->setText(form.address);
    if (QLineEdit* name = name_.data(); name && name->text() != form.name)
        name->setText(form.name);
    if (QPushButton* add = add_.data()) {
        const QString text = form.adding ? tx("Aggiunta…", "Adding…") : tx("Aggiungi", "Add");
        add->setText(text);
        padButton(add);
        setAccessible(add, form.adding ? text : tx("Aggiungi il calendario", "Add the calendar"),
                      form.error);
        // A disabled button drops the focus: the keyboard waits in the address field instead.
        if (form.adding && add->hasFocus() && address_)
            address_->setFocus();
        add->setEnabled(!form.adding);
    }
    if (QLabel* error = addError_.data()) {
        error->setText(form.error);
        error->setVisible(!form.error.isEmpty());
    }
}

void CalendarsStep::confirmUnsubscribe(const std::string& id, const QString& name) {
    auto* box = new QMessageBox(QMessageBox::Question, tx("Annulla iscrizione", "Unsubscribe"),
                                tx("Annullare l’iscrizione a “", "Unsubscribe from “") + name +
                                    QStringLiteral("”?"),
                                QMessageBox::NoButton, body_->window());
    box->setInformativeText(
        tx("Pellora dimentica il suo indirizzo e i suoi eventi. Per rivederlo servirà "
           "incollare di nuovo l’indirizzo.",
           "Pellora forgets its address and its events. To see it again you will need to paste "
           "the address again."));
    QPushButton* confirm =
        box->addButton(tx("Annulla iscrizione", "Unsubscribe"), QMessageBox::DestructiveRole);
    confirm->setObjectName(QStringLiteral("confirmUnsubscribe"));
    box->addButton(tx("Mantieni", "Keep"), QMessageBox::RejectRole)
        ->setObjectName(QStringLiteral("keepSubscription"));
    box->setWindowModality(Qt::WindowModal);
    box->setAttribute(Qt::WA_DeleteOnClose);
    // The step may be rebuilt while the question is open: the answer goes to the wizard.
    connect(box, &QMessageBox::finished, &wizard_, [wizard = &wizard_, box, confirm, id] {
        if (box->clickedButton() == confirm)
            wizard->removeSubscription(id);
    });
    box->open();
}

QComboBox* CalendarsStep::addPicker(QGridLayout* grid, int line, const std::string& id,
                                    const QString& name, const QString& detail) {
    QWidget* parent = body_;
    const Preferences& draft = model_.draft();
    auto* nameLabel =
        wrapped(detail.isEmpty() ? name : name + QStringLiteral(", ") + detail, parent);
    grid->addWidget(nameLabel, line, 0);
    auto* picker = new QComboBox(parent);
    picker->setObjectName(QStringLiteral("group-") + qs(id));
    setAccessible(picker, tx("Gruppo per ", "Group for ") + name);
    for (AgendaGroup group : allAgendaGroups)
        picker->addItem(qs(draft.groupName(group)), int(group));
    picker->addItem(tx("Escluso", "Excluded"), -1);
    const auto assigned = draft.assignments.find(id);
    picker->setCurrentIndex(assigned == draft.assignments.end() ? 2 : int(assigned->second));
    connect(picker, &QComboBox::activated, this,
            [this, id, picker](int index) { assign(id, picker, index); });
    nameLabel->setBuddy(picker);
    grid->addWidget(picker, line, 1);
    pickers_.emplace_back(picker);
    return picker;
}

void CalendarsStep::syncDraft() {
    const Preferences& draft = model_.draft();
    if (QLabel* validation = groupValidation_.data())
        validation->setVisible(!draft.groupNamesValid());
    for (const auto& each : pickers_)
        if (QComboBox* picker = each.data())
            for (AgendaGroup group : allAgendaGroups)
                picker->setItemText(picker->findData(int(group)), qs(draft.groupName(group)));
    for (int index = 0; index < 2; ++index) {
        QLabel* count = groupCounts_[std::size_t(index)].data();
        if (!count)
            continue;
        const AgendaGroup group = allAgendaGroups[std::size_t(index)];
        int selected = 0;
        for (const CalendarChoice& calendar : model_.calendars()) {
            const auto it = draft.assignments.find(calendar.id);
            selected += it != draft.assignments.end() && it->second == group;
        }
        count->setText(selected == 0   ? tx("Non ancora configurato", "Not configured yet")
                       : selected == 1 ? tx("Calendario selezionato", "Selected calendar")
                                       : QString::number(selected) +
                                             tx(" calendari selezionati", " calendars selected"));
    }
}

void CalendarsStep::rename(int group, const QString& name) {
    model_.renameGroup(allAgendaGroups[std::size_t(group)], name.toStdString());
}

void CalendarsStep::assign(const std::string& id, QComboBox* picker, int index) {
    const int value = picker->itemData(index).toInt();
    model_.assign(id, value < 0 ? std::nullopt : std::optional<AgendaGroup>(AgendaGroup(value)));
}

void CalendarsStep::remove(const std::string& id) {
    model_.assign(id, std::nullopt);
}

void CalendarsStep::reloadCalendars() {
    model_.reloadCalendarSnapshot();
}

} // namespace brivane::ui

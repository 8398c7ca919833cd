#include "Brivane/ui/CalendarsStep.h"

#include "Brivane/cloud/CloudCalendarService.h"
#include "Brivane/controller/AgendaModel.h"
#include "Brivane/ui/UiSupport.h"
#include "Brivane/ui/WizardState.h"

#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <set>

namespace brivane::ui {

void CalendarsStep::build(QVBoxLayout* layout) {
    QWidget* parent = body_;
    const Preferences& draft = model_.draft();
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
    if (calendars.empty() && missing.empty()) {
        buildNoCalendars(layout);
        return;
    }

    std::set<std::string> cloudIDs;
    for (const auto& choice : model_.cloudCalendars().calendars())
        cloudIDs.insert(choice.id);

    auto* grid = new QGridLayout;
    grid->setColumnStretch(0, 1);
    grid->setHorizontalSpacing(12);
    grid->setVerticalSpacing(8);
    int line = 0;
    for (const CalendarChoice& calendar : calendars) {
        addPicker(grid, line, calendar.id, qs(calendar.name),
                  cloudIDs.count(calendar.id) ? qs(calendar.source) : QString());
        ++line;
    }
    for (const std::string& id : missing) {
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
    block(layout, {}, parent)->addLayout(grid);
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
           "collega un account Google o Microsoft nel passaggio Accesso.",
           "No calendars available. Grant access to your local calendars or connect a Google "
           "or Microsoft account in the Access step."),
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

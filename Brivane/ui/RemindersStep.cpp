#include "Brivane/ui/RemindersStep.h"

#include "Brivane/calendar/ReminderService.h"
#include "Brivane/controller/AgendaModel.h"
#include "Brivane/ui/UiSupport.h"

#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStandardItemModel>
#include <QVBoxLayout>
#include <set>

namespace brivane::ui {

void RemindersStep::build(QVBoxLayout* layout) {
    QWidget* parent = body_;
    ReminderService& reminders = model_.reminders();
    addTitle(layout, 3, tx("Attività", "Tasks"),
             tx("Le tue attività, in vista.", "Keep your tasks in view."));
    layout->addWidget(secondaryLabel(
        tx("Scegli quali attività incomplete mostrare sul desktop. Pellora legge gli elenchi, "
           "senza modificare i promemoria.",
           "Choose which incomplete tasks appear on your desktop. Pellora reads your lists "
           "without changing reminders."),
        parent));
    if (reminders.authorization() != AuthorizationStatus::fullAccess) {
        layout->addWidget(
            wrapped(QStringLiteral("🔒  ") + tx("Consenti prima l’accesso alle attività.",
                                               "Grant task list access first."),
                    parent));
        return;
    }
    buildGrouping(layout);

    const auto& lists = reminders.snapshot().lists;
    const ReminderGrouping mode = model_.draft().effectiveReminderGrouping();
    if (mode == ReminderGrouping::selectedLists) {
        layout->addWidget(secondaryLabel(
            tx("Scegli fino a tre elenchi del tuo account. Sullo sfondo compariranno i "
               "loro nomi e tutte le attività incomplete, anche senza scadenza.",
               "Choose up to three lists of your account. The wallpaper shows their names and "
               "every "
               "incomplete task, also those without a due date."),
            parent));
        if (lists.empty())
            layout->addWidget(wrapped(
                tx("Nessun elenco trovato. Verifica che ci siano elenchi di attività su questo "
                   "computer.",
                   "No lists found. Check that this computer has task lists."),
                parent));
        else
            buildListBlocks(layout, lists);
    } else if (mode == ReminderGrouping::namedLists) {
        layout->addWidget(secondaryLabel(
            tx("Legge gli elenchi chiamati Oggi, Domani e Pianificazione. Puoi scegliere "
               "elenchi diversi con “Elenchi scelti”.",
               "Reads the lists named Oggi, Domani and Pianificazione. You can choose other lists "
               "with “Chosen lists”."),
            parent));
    } else {
        layout->addWidget(secondaryLabel(
            tx("Oggi include le attività scadute; Domani quelle di domani; "
               "Pianificazione tutte quelle con una scadenza, incluse oggi e domani.",
               "Today includes overdue tasks; Tomorrow those due tomorrow; Scheduled every task "
               "with "
               "a due date, today and tomorrow included."),
            parent));
    }

    auto* row = new QHBoxLayout;
    auto* reload =
        button(tx("Aggiorna elenchi", "Refresh lists"), QStringLiteral("reloadLists"), parent);
    connect(reload, &QPushButton::clicked, &model_, &AgendaModel::refreshReminderLists);
    row->addWidget(reload);
    row->addSpacing(4);
    row->addWidget(secondaryNote(
        tx("Elenchi disponibili: ", "Available lists: ") + QString::number(lists.size()), parent));
    row->addStretch();
    layout->addLayout(row);
}

void RemindersStep::buildGrouping(QVBoxLayout* layout) {
    QWidget* parent = body_;
    const ReminderGrouping mode = model_.draft().effectiveReminderGrouping();
    auto* modeRow = new QHBoxLayout;
    auto* modeLabel = new QLabel(tx("Origine dei to-do", "Source of tasks"), parent);
    auto* modePicker = new QComboBox(parent);
    modePicker->setObjectName(QStringLiteral("grouping"));
    setAccessible(modePicker, modeLabel->text());
    modeLabel->setBuddy(modePicker);
    for (ReminderGrouping grouping : allReminderGroupings)
        modePicker->addItem(qs(title(grouping)), int(grouping));
    modePicker->setCurrentIndex(modePicker->findData(int(mode)));
    connect(modePicker, &QComboBox::activated, this,
            [this, modePicker](int index) { chooseGrouping(modePicker, index); });
    modeRow->addWidget(modeLabel);
    modeRow->addWidget(modePicker);
    modeRow->addStretch();
    layout->addLayout(modeRow);
}

void RemindersStep::buildListBlocks(QVBoxLayout* layout, const std::vector<ReminderList>& lists) {
    QWidget* parent = body_;
    const ReminderListIDs chosen = model_.draft().reminderListIDs.value_or(ReminderListIDs{});
    auto* slots = new QGridLayout;
    int slot = 0;
    for (ReminderSection section : allReminderSections) {
        const std::string key(rawValue(section));
        const QString caption = tx("Blocco ", "Block ") + QString::number(slot + 1);
        auto* slotLabel = new QLabel(caption, parent);
        auto* picker = new QComboBox(parent);
        picker->setObjectName(QStringLiteral("block%1").arg(slot + 1));
        setAccessible(picker, caption);
        slotLabel->setBuddy(picker);
        picker->addItem(tx("Nessun elenco", "No list"), QString());
        const auto mine = chosen.find(key);
        std::set<std::string> elsewhere;
        for (const auto& [otherKey, id] : chosen)
            if (otherKey != key)
                elsewhere.insert(id);
        for (const ReminderList& list : lists) {
            picker->addItem(qs(list.title), qs(list.id));
            // A list already shown in another block cannot be chosen twice.
            if (elsewhere.count(list.id)) {
                auto* model = qobject_cast<QStandardItemModel*>(picker->model());
                if (model)
                    model->item(picker->count() - 1)->setEnabled(false);
            }
        }
        picker->setCurrentIndex(
            mine == chosen.end() ? 0 : std::max(0, picker->findData(qs(mine->second))));
        connect(picker, &QComboBox::activated, this,
                [this, picker, section](int index) { chooseList(picker, section, index); });
        slots->addWidget(slotLabel, slot, 0);
        slots->addWidget(picker, slot, 1);
        ++slot;
    }
    slots->setColumnStretch(2, 1);
    layout->addLayout(slots);
}

void RemindersStep::chooseGrouping(QComboBox* picker, int index) {
    Preferences next = model_.draft();
    next.reminderGrouping = ReminderGrouping(picker->itemData(index).toInt());
    model_.setDraft(next);
    model_.updatePreview();
}

void RemindersStep::chooseList(QComboBox* picker, ReminderSection section, int index) {
    model_.selectReminderList(picker->itemData(index).toString().toStdString(), section);
    Q_EMIT reshaped();
}

} // namespace brivane::ui

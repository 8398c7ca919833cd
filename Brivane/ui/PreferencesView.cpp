#include "Brivane/ui/PreferencesView.h"

#include "Brivane/calendar/ReminderService.h"
#include "Brivane/cloud/CloudCalendarService.h"
#include "Brivane/controller/AgendaModel.h"
#include "Brivane/controller/LoginItem.h"
#include "Brivane/render/DemoData.h"
#include "Brivane/ui/UiSupport.h"
#include "BrivaneCore/WallpaperStyle.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QFileInfo>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QShortcut>
#include <QSlider>
#include <QStandardItemModel>
#include <QUrl>
#include <QVBoxLayout>
#include <cmath>
#include <set>

namespace brivane::ui {

namespace {

QString qs(const std::string& text) {
    return QString::fromStdString(text);
}

QLabel* wrapped(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

QLabel* secondaryLabel(const QString& text, QWidget* parent) {
    auto* label = wrapped(text, parent);
    setTextColor(label, AgendaColors::secondaryOn(label->palette()));
    return label;
}

// A short secondary line that never wraps (a count, a size).
QLabel* secondaryNote(const QString& text, QWidget* parent) {
    auto* label = secondaryLabel(text, parent);
    label->setWordWrap(false);
    return label;
}

QLabel* heading(const QString& text, double scale, QWidget* parent) {
    auto* label = wrapped(text, parent);
    QFont font = label->font();
    font.setPointSizeF(font.pointSizeF() * scale);
    font.setBold(true);
    label->setFont(font);
    return label;
}

// The heading of a step: its ordinal and title.
QWidget* sectionLabel(int number, const QString& title, QWidget* parent) {
    auto* row = new QWidget(parent);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* ordinal = new QLabel(QString::number(number), row);
    setTextColor(ordinal, AgendaColors::accentOn(ordinal->palette()));
    QFont font = ordinal->font();
    font.setBold(true);
    ordinal->setFont(font);
    auto* name = new QLabel(title.toUpper(), row);
    name->setFont(font);
    setTextColor(name, AgendaColors::accentOn(name->palette()));
    layout->addWidget(ordinal);
    layout->addWidget(name);
    layout->addStretch();
    row->setAccessibleName(QString::number(number) + QStringLiteral(". ") + title);
    return row;
}

QPushButton* button(const QString& text, const QString& objectName, QWidget* parent) {
    auto* result = new QPushButton(text, parent);
    result->setObjectName(objectName);
    setAccessible(result, text);
    padButton(result);
    return result;
}

// A block of the access step: a framed box with a title.
QVBoxLayout* block(QVBoxLayout* layout, const QString& title, QWidget* parent) {
    auto* frame = new QFrame(parent);
    frame->setFrameShape(QFrame::StyledPanel);
    auto* inner = new QVBoxLayout(frame);
    inner->setContentsMargins(14, 12, 14, 12);
    if (!title.isEmpty())
        inner->addWidget(heading(title, 1.1, frame));
    layout->addWidget(frame);
    return inner;
}

QString statusText(AuthorizationStatus status) {
    switch (status) {
    case AuthorizationStatus::notDetermined:
        return tx("non ancora richiesto", "not requested yet");
    case AuthorizationStatus::restricted:
        return tx("limitato", "restricted");
    case AuthorizationStatus::denied:
        return tx("negato", "denied");
    case AuthorizationStatus::fullAccess:
        return tx("completo", "full access");
    case AuthorizationStatus::writeOnly:
        return tx("solo scrittura", "write only");
    }
    return {};
}

void openStartupApplications() {
    QDesktopServices::openUrl(
        QUrl::fromLocalFile(QFileInfo(LoginItem::current().entryPath).absolutePath()));
}

} // namespace

PreferencesView::PreferencesView(AgendaModel& model, QWidget* parent)
    : QWidget(parent), model_(model) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    // Header: one button per step.
    auto* header = new QHBoxLayout;
    header->setContentsMargins(16, 12, 16, 12);
    header->setSpacing(6);
    const std::array<QString, 4> titles{tx("Accesso", "Access"), tx("Calendari", "Calendars"),
                                        tx("Promemoria", "Reminders"),
                                        tx("Schermi e anteprima", "Screens and preview")};
    for (int step = 0; step < 4; ++step) {
        auto* stepButton =
            button(titles[std::size_t(step)], QStringLiteral("step%1").arg(step), this);
        stepButton->setCheckable(true);
        connect(stepButton, &QPushButton::clicked, this, [this, step] {
            model_.setStep(step);
            stepButtons_[std::size_t(step)]->setChecked(model_.step() == step);
        });
        stepButtons_[std::size_t(step)] = stepButton;
        header->addWidget(stepButton);
    }
    header->addStretch();
    layout->addLayout(header);

    auto* divider = new QFrame(this);
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Sunken);
    layout->addWidget(divider);

    scroll_ = new QScrollArea(this);
    scroll_->setWidgetResizable(true);
    scroll_->setFrameShape(QFrame::NoFrame);
    // Steps wrap their texts to the window's width instead of scrolling sideways.
    scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    layout->addWidget(scroll_, 1);

    auto* footerLine = new QFrame(this);
    footerLine->setFrameShape(QFrame::HLine);
    footerLine->setFrameShadow(QFrame::Sunken);
    layout->addWidget(footerLine);

    auto* footer = new QHBoxLayout;
    footer->setContentsMargins(16, 10, 16, 12);
    footer->setSpacing(8);
    summary_ = button(tx("Riepilogo", "Summary"), QStringLiteral("summary"), this);
    summary_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_0));
    connect(summary_, &QPushButton::clicked, this, [this] {
        if (model_.showPanel)
            model_.showPanel();
    });
    footer->addWidget(summary_);
    footer->addStretch();
    refreshing_ = new QLabel(tx("Aggiornamento…", "Updating…"), this);
    QFont small = refreshing_->font();
    small.setPointSizeF(small.pointSizeF() * 12.0 / 13.0);
    refreshing_->setFont(small);
    footer->addWidget(refreshing_);
    back_ = button(tx("Indietro", "Back"), QStringLiteral("back"), this);
    connect(back_, &QPushButton::clicked, this, [this] {
        if (model_.step() >= 1)
            model_.setStep(model_.step() - 1);
    });
    footer->addWidget(back_);
    forward_ = button({}, QStringLiteral("forward"), this);
    forward_->setDefault(true);
    connect(forward_, &QPushButton::clicked, this, [this] {
        switch (model_.step()) {
        case 0:
            model_.setStep(1);
            break;
        case 1:
            if (model_.selectedCalendarCount() > 0)
                model_.setStep(2);
            break;
        case 2:
            model_.setDemonstration(false);
            model_.updatePreview();
            model_.setStep(3);
            break;
        default:
            if (model_.canApply())
                model_.apply();
            break;
        }
    });
    footer->addWidget(forward_);
    layout->addLayout(footer);

    rebuildTimer_.setSingleShot(true);
    rebuildTimer_.setInterval(0);
    connect(&rebuildTimer_, &QTimer::timeout, this, &PreferencesView::rebuild);

    // What reshapes the body rebuilds it once per event-loop turn; the draft only updates
    // labels and previews, so typing and dragging never lose focus.
    for (auto signal :
         {&AgendaModel::stepChanged, &AgendaModel::calendarsChanged,
          &AgendaModel::screensListChanged, &AgendaModel::authorizedChanged,
          &AgendaModel::accessStatusChanged, &AgendaModel::requestingAccessChanged,
          &AgendaModel::calendarAccessErrorChanged, &AgendaModel::loginItemStatusChanged,
          &AgendaModel::loginItemErrorChanged, &AgendaModel::demonstrationChanged})
        connect(&model_, signal, this, &PreferencesView::scheduleRebuild);
    CloudCalendarService& cloud = model_.cloudCalendars();
    for (auto signal :
         {&CloudCalendarService::accountsChanged, &CloudCalendarService::calendarsChanged,
          &CloudCalendarService::busyProviderChanged, &CloudCalendarService::signInErrorChanged,
          &CloudCalendarService::syncErrorChanged, &CloudCalendarService::connectedMessageChanged,
          &CloudCalendarService::finishingSignInChanged})
        connect(&cloud, signal, this, &PreferencesView::scheduleRebuild);
    ReminderService& reminders = model_.reminders();
    for (auto signal :
         {&ReminderService::snapshotChanged, &ReminderService::authorizationChanged,
          &ReminderService::requestingAccessChanged, &ReminderService::permissionErrorChanged})
        connect(&reminders, signal, this, &PreferencesView::scheduleRebuild);
    connect(&model_, &AgendaModel::draftChanged, this, [this] {
        if (structureKey() != builtStructure_)
            scheduleRebuild();
        syncDraft();
    });
    connect(&model_, &AgendaModel::previewSnapshotChanged, this, &PreferencesView::syncPreviews);
    connect(&model_, &AgendaModel::changed, this, &PreferencesView::syncFooter);

    rebuild();
}

void PreferencesView::flush() {
    if (rebuildTimer_.isActive()) {
        rebuildTimer_.stop();
        rebuild();
    }
    for (const auto& each : previews_)
        if (WallpaperPreview* preview = each.data())
            preview->flush();
}

void PreferencesView::scheduleRebuild() {
    rebuildTimer_.start();
}

std::string PreferencesView::structureKey() const {
    const Preferences& draft = model_.draft();
    std::string key = std::to_string(model_.step());
    if (model_.step() == 1) {
        for (const auto& id : model_.missingCalendars())
            key += "|" + id;
    } else if (model_.step() == 2) {
        key += "|" + std::string(rawValue(draft.effectiveReminderGrouping()));
    } else if (model_.step() == 3) {
        key += "|" + std::string(rawValue(draft.effectiveBackgroundStyle()));
        for (const auto& id : model_.disconnectedScreens())
            key += "|" + id;
    }
    return key;
}

void PreferencesView::rebuild() {
    rebuildTimer_.stop();
    // Keep the reader's place and the focused control across the rebuild.
    const int scrolled = scroll_->verticalScrollBar()->value();
    const bool sameStep = body_ && body_->property("step").toInt() == model_.step();
    QString focused;
    if (QWidget* focus = QApplication::focusWidget(); focus && body_ && body_->isAncestorOf(focus))
        focused = focus->objectName();

    auto* content = new QWidget;
    content->setProperty("step", model_.step());
    auto* layout = new QVBoxLayout(content);
    layout->setContentsMargins(28, 20, 28, 20);
    layout->setSpacing(10);
    groupValidation_ = nullptr;
    groupCounts_ = {};
    nextPalette_ = nullptr;
    previews_.clear();
    previewScreens_.clear();
    switch (model_.step()) {
    case 0:
        buildAccess(layout);
        break;
    case 1:
        buildCalendars(layout);
        break;
    case 2:
        buildReminders(layout);
        break;
    default:
        buildScreens(layout);
        break;
    }
    layout->addStretch();
    scroll_->setWidget(content); // deletes the previous body
    body_ = content;
    builtStructure_ = structureKey();
    if (sameStep)
        scroll_->verticalScrollBar()->setValue(scrolled);
    if (!focused.isEmpty())
        if (auto* again = body_->findChild<QWidget*>(focused))
            again->setFocus();
    syncDraft();
    syncFooter();
}

void PreferencesView::buildAccess(QVBoxLayout* layout) {
    QWidget* parent = layout->parentWidget();
    layout->addWidget(sectionLabel(1, tx("Accesso ai dati", "Data access"), parent));
    layout->addWidget(heading(
        tx("Scegli cosa portare\nsul tuo desktop.", "Choose what to bring\nto your desktop."), 1.8,
        parent));
    layout->addWidget(secondaryLabel(
        tx("Pellora legge gli eventi dei calendari che scegli e le attività incomplete di "
           "Promemoria per mostrarli sul desktop. Puoi usare i calendari locali oppure collegare "
           "Google Calendar o Microsoft Outlook.",
           "Pellora reads events from calendars you choose and incomplete Reminders to show them "
           "on your desktop. Use your local calendars or connect Google Calendar or Microsoft "
           "Outlook."),
        parent));
    for (const QString& line :
         {tx("Solo titoli, orari e attività sullo sfondo",
             "Only titles, times and tasks on the desktop"),
          tx("Nessun evento o promemoria viene modificato", "No event or reminder is changed"),
          tx("I dati restano su questo computer", "Your data stays on this computer")})
        layout->addWidget(wrapped(QStringLiteral("✓  ") + line, parent));

    // Local calendars.
    {
        QVBoxLayout* inner = block(layout, tx("Calendari locali", "Local calendars"), parent);
        if (model_.authorized()) {
            inner->addWidget(wrapped(QStringLiteral("✓  ") + tx("Accesso ai calendari consentito",
                                                                "Calendar access granted"),
                                     parent));
            auto* choose = button(tx("Scegli i calendari", "Choose calendars"),
                                  QStringLiteral("chooseCalendars"), parent);
            connect(choose, &QPushButton::clicked, this, [this] { model_.setStep(1); });
            inner->addWidget(choose, 0, Qt::AlignLeft);
        } else if (model_.requestingAccess()) {
            inner->addWidget(
                wrapped(tx("In attesa della tua conferma…", "Waiting for your answer…"), parent));
        } else if (model_.accessStatus() == AuthorizationStatus::denied ||
                   model_.accessStatus() == AuthorizationStatus::restricted ||
                   model_.calendarAccessError()) {
            if (const auto& error = model_.calendarAccessError())
                inner->addWidget(wrapped(qs(*error), parent));
            auto* row = new QHBoxLayout;
            auto* privacy = button(tx("Apri impostazioni Calendari", "Open calendar settings"),
                                   QStringLiteral("openPrivacy"), parent);
            connect(privacy, &QPushButton::clicked, this, [this] { model_.openPrivacy(); });
            auto* verify = button(tx("Verifica accesso", "Check access"),
                                  QStringLiteral("verifyAccess"), parent);
            connect(verify, &QPushButton::clicked, this, [this] {
                model_.reloadCalendarSnapshot();
                if (model_.preferences().activated)
                    model_.refresh();
            });
            row->addWidget(privacy);
            row->addWidget(verify);
            row->addStretch();
            inner->addLayout(row);
        } else {
            auto* grant = button(tx("Consenti accesso ai calendari", "Grant calendar access"),
                                 QStringLiteral("grantCalendars"), parent);
            connect(grant, &QPushButton::clicked, this, [this] { model_.requestAccess(); });
            inner->addWidget(grant, 0, Qt::AlignLeft);
            inner->addWidget(secondaryLabel(
                tx("Il desktop chiede questo accesso a parte. L’app lo usa solo per leggere i "
                   "calendari che scegli.",
                   "Your desktop asks for this access separately. The app only uses it to read the "
                   "calendars you select."),
                parent));
        }
    }

    // Cloud calendars.
    {
        CloudCalendarService& cloud = model_.cloudCalendars();
        QVBoxLayout* inner =
            block(layout, tx("Collega un calendario cloud", "Connect a cloud calendar"), parent);
        inner->addWidget(secondaryLabel(
            tx("Accedi nel browser di questo computer. Pellora richiede accesso in sola lettura e "
               "salva l’autorizzazione nel portachiavi.",
               "Sign in using this computer's browser. Pellora requests read-only access and "
               "stores the authorization in the keyring."),
            parent));
        inner->addWidget(secondaryLabel(
            tx("Se lo stesso account è già sincronizzato nei calendari locali, scegli solo una "
               "delle due copie per evitare eventi duplicati.",
               "If the same account is already synced to your local calendars, select only one "
               "copy to avoid duplicate events."),
            parent));
        bool anyConfigured = false;
        auto* providers = new QHBoxLayout;
        for (CloudCalendarProvider provider : allCloudCalendarProviders) {
            if (!cloud.isConfigured(provider))
                continue;
            anyConfigured = true;
            auto* connectButton = button(
                qs(title(provider)),
                QStringLiteral("connect-") + QString::fromUtf8(rawValue(provider).data()), parent);
            connectButton->setEnabled(!cloud.busyProvider() && !cloud.finishingSignIn());
            connect(connectButton, &QPushButton::clicked, this,
                    [this, provider] { model_.connectCloud(provider); });
            providers->addWidget(connectButton);
        }
        providers->addStretch();
        inner->addLayout(providers);
        if (!anyConfigured)
            inner->addWidget(
                wrapped(tx("L’accesso cloud sarà disponibile appena Pellora avrà completato la "
                           "configurazione con Google e Microsoft.",
                           "Cloud sign-in will be available once Pellora completes its Google and "
                           "Microsoft app registrations."),
                        parent));
        if (cloud.finishingSignIn())
            inner->addWidget(wrapped(
                tx("Completamento del collegamento…", "Finishing the connection…"), parent));
        else if (const auto busy = cloud.busyProvider())
            inner->addWidget(wrapped(
                tx("Completa l’accesso a ", "Finish signing in to ") + qs(title(*busy)), parent));
        if (const auto& error = cloud.signInError())
            inner->addWidget(wrapped(qs(*error), parent));
        else if (const auto& connected = cloud.connectedMessage())
            inner->addWidget(wrapped(qs(*connected), parent));
        for (const CloudCalendarAccount& account : cloud.accounts()) {
            auto* row = new QHBoxLayout;
            row->addWidget(wrapped(QStringLiteral("✓  ") + qs(title(account.provider)) +
                                       QStringLiteral(" · ") + qs(account.email),
                                   parent),
                           1);
            auto* disconnect = button(tx("Scollega", "Disconnect"),
                                      QStringLiteral("disconnect-") + qs(account.id()), parent);
            disconnect->setAccessibleName(tx("Scollega", "Disconnect") + QStringLiteral(" ") +
                                          qs(account.email));
            connect(disconnect, &QPushButton::clicked, this,
                    [this, account] { model_.cloudCalendars().remove(account); });
            row->addWidget(disconnect);
            inner->addLayout(row);
        }
        if (const auto& error = cloud.syncError())
            inner->addWidget(wrapped(
                tx("Lettura calendari cloud: ", "Reading cloud calendars: ") + qs(*error), parent));
    }

    // Tasks.
    {
        ReminderService& reminders = model_.reminders();
        QVBoxLayout* inner = block(layout, tx("Accesso a Promemoria", "Reminders access"), parent);
        const AuthorizationStatus status = reminders.authorization();
        if (status == AuthorizationStatus::fullAccess) {
            inner->addWidget(wrapped(QStringLiteral("✓  ") + tx("Accesso a Promemoria consentito",
                                                                "Reminders access granted"),
                                     parent));
        } else if (reminders.requestingAccess()) {
            inner->addWidget(wrapped(qs(label(ReminderAvailability::loading)), parent));
        } else {
            auto* grant = button(tx("Consenti accesso a Promemoria", "Grant Reminders access"),
                                 QStringLiteral("grantReminders"), parent);
            connect(grant, &QPushButton::clicked, this, [this] { model_.requestReminderAccess(); });
            inner->addWidget(grant, 0, Qt::AlignLeft);
            if (status != AuthorizationStatus::notDetermined) {
                inner->addWidget(
                    wrapped(tx("Accesso a Promemoria: ", "Reminders access: ") + statusText(status),
                            parent));
                auto* settings =
                    button(tx("Apri impostazioni Promemoria", "Open Reminders settings"),
                           QStringLiteral("openReminderPrivacy"), parent);
                connect(settings, &QPushButton::clicked, this,
                        [this] { model_.reminders().openPrivacy(); });
                inner->addWidget(settings, 0, Qt::AlignLeft);
            }
        }
        if (const auto& error = reminders.permissionError())
            inner->addWidget(wrapped(qs(*error), parent));
        const ReminderAvailability state = reminders.snapshot().state;
        if (status == AuthorizationStatus::fullAccess &&
            (state == ReminderAvailability::loading || state == ReminderAvailability::failed))
            inner->addWidget(secondaryLabel(qs(label(state)), parent));
    }

    auto* sample = new QPushButton(
        tx("Esplora un’anteprima dimostrativa", "Explore a sample preview"), parent);
    sample->setObjectName(QStringLiteral("sample"));
    sample->setFlat(true);
    sample->setCursor(Qt::PointingHandCursor);
    setTextColor(sample, palette().link().color());
    setAccessible(sample, sample->text());
    connect(sample, &QPushButton::clicked, this, [this] {
        model_.setDemonstration(true);
        model_.setStep(3);
    });
    layout->addWidget(sample, 0, Qt::AlignLeft);
}

void PreferencesView::buildCalendars(QVBoxLayout* layout) {
    QWidget* parent = layout->parentWidget();
    const Preferences& draft = model_.draft();
    layout->addWidget(sectionLabel(2, tx("Gruppi di calendari", "Calendar groups"), parent));
    layout->addWidget(heading(tx("Due spazi. Una giornata.", "Two spaces. One day."), 1.8, parent));
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
        connect(field, &QLineEdit::textEdited, this, [this, group](const QString& text) {
            model_.renameGroup(group, text.toStdString());
        });
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

    const auto& calendars = model_.calendars();
    const auto missing = model_.missingCalendars();
    if (calendars.empty() && missing.empty()) {
        layout->addWidget(wrapped(
            tx("Nessun calendario disponibile. Concedi l’accesso ai calendari locali oppure "
               "collega un account Google o Microsoft nel passaggio Accesso.",
               "No calendars available. Grant access to your local calendars or connect a Google "
               "or Microsoft account in the Access step."),
            parent));
        auto* row = new QHBoxLayout;
        auto* access =
            button(tx("Vai ad Accesso", "Go to Access"), QStringLiteral("goAccess"), parent);
        connect(access, &QPushButton::clicked, this, [this] { model_.setStep(0); });
        auto* reload =
            button(tx("Aggiorna elenco", "Refresh list"), QStringLiteral("reloadList"), parent);
        connect(reload, &QPushButton::clicked, this, [this] { model_.reloadCalendarSnapshot(); });
        row->addWidget(access);
        row->addWidget(reload);
        row->addStretch();
        layout->addLayout(row);
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
    auto addPicker = [&](const std::string& id, const QString& name, const QString& detail) {
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
        connect(picker, &QComboBox::activated, this, [this, id, picker](int index) {
            const int value = picker->itemData(index).toInt();
            model_.assign(id, value < 0 ? std::nullopt
                                        : std::optional<AgendaGroup>(AgendaGroup(value)));
        });
        nameLabel->setBuddy(picker);
        grid->addWidget(picker, line, 1);
        return picker;
    };
    for (const CalendarChoice& calendar : calendars) {
        addPicker(calendar.id, qs(calendar.name),
                  cloudIDs.count(calendar.id) ? qs(calendar.source) : QString());
        ++line;
    }
    for (const std::string& id : missing) {
        const auto named = draft.calendarNames.find(id);
        const QString name = qs(named != draft.calendarNames.end() ? named->second : id);
        addPicker(id, name, {});
        ++line;
        grid->addWidget(secondaryLabel(tx("Non disponibile · selezione conservata",
                                          "Unavailable · selection kept"),
                                       parent),
                        line, 0);
        auto* remove = button(tx("Rimuovi", "Remove"), QStringLiteral("remove-") + qs(id), parent);
        remove->setAccessibleName(tx("Rimuovi", "Remove") + QStringLiteral(" ") + name);
        connect(remove, &QPushButton::clicked, this,
                [this, id] { model_.assign(id, std::nullopt); });
        grid->addWidget(remove, line, 1);
        ++line;
    }
    block(layout, {}, parent)->addLayout(grid);
}

void PreferencesView::buildReminders(QVBoxLayout* layout) {
    QWidget* parent = layout->parentWidget();
    const Preferences& draft = model_.draft();
    ReminderService& reminders = model_.reminders();
    layout->addWidget(sectionLabel(3, tx("Promemoria", "Reminders"), parent));
    layout->addWidget(
        heading(tx("Le tue attività, in vista.", "Keep your tasks in view."), 1.8, parent));
    layout->addWidget(secondaryLabel(
        tx("Scegli quali attività incomplete mostrare sul desktop. Pellora legge gli elenchi, "
           "senza modificare i promemoria.",
           "Choose which incomplete tasks appear on your desktop. Pellora reads your lists "
           "without changing reminders."),
        parent));
    if (reminders.authorization() != AuthorizationStatus::fullAccess) {
        layout->addWidget(
            wrapped(QStringLiteral("🔒  ") + tx("Consenti prima l’accesso a Promemoria.",
                                               "Grant Reminders access first."),
                    parent));
        return;
    }

    const ReminderGrouping mode = draft.effectiveReminderGrouping();
    auto* modeRow = new QHBoxLayout;
    auto* modeLabel = new QLabel(tx("Origine dei to-do", "Source of tasks"), parent);
    auto* modePicker = new QComboBox(parent);
    modePicker->setObjectName(QStringLiteral("grouping"));
    setAccessible(modePicker, modeLabel->text());
    modeLabel->setBuddy(modePicker);
    for (ReminderGrouping grouping : allReminderGroupings)
        modePicker->addItem(qs(title(grouping)), int(grouping));
    modePicker->setCurrentIndex(modePicker->findData(int(mode)));
    connect(modePicker, &QComboBox::activated, this, [this, modePicker](int index) {
        Preferences next = model_.draft();
        next.reminderGrouping = ReminderGrouping(modePicker->itemData(index).toInt());
        model_.setDraft(next);
        model_.updatePreview();
    });
    modeRow->addWidget(modeLabel);
    modeRow->addWidget(modePicker);
    modeRow->addStretch();
    layout->addLayout(modeRow);

    const auto& lists = reminders.snapshot().lists;
    if (mode == ReminderGrouping::selectedLists) {
        layout->addWidget(secondaryLabel(
            tx("Scegli fino a tre elenchi del tuo account. Sullo sfondo compariranno i "
               "loro nomi e tutte le attività incomplete, anche senza scadenza.",
               "Choose up to three lists of your account. The wallpaper shows their names and "
               "every "
               "incomplete task, also those without a due date."),
            parent));
        if (lists.empty()) {
            layout->addWidget(wrapped(
                tx("Nessun elenco trovato. Verifica che ci siano elenchi di attività su questo "
                   "computer.",
                   "No lists found. Check that this computer has task lists."),
                parent));
        } else {
            const ReminderListIDs chosen = draft.reminderListIDs.value_or(ReminderListIDs{});
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
                connect(picker, &QComboBox::activated, this, [this, picker, section](int index) {
                    model_.selectReminderList(picker->itemData(index).toString().toStdString(),
                                              section);
                    scheduleRebuild();
                });
                slots->addWidget(slotLabel, slot, 0);
                slots->addWidget(picker, slot, 1);
                ++slot;
            }
            slots->setColumnStretch(2, 1);
            layout->addLayout(slots);
        }
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
    connect(reload, &QPushButton::clicked, this, [this] { model_.refreshReminderLists(); });
    row->addWidget(reload);
    row->addSpacing(4);
    row->addWidget(secondaryNote(
        tx("Elenchi disponibili: ", "Available lists: ") + QString::number(lists.size()), parent));
    row->addStretch();
    layout->addLayout(row);
}

void PreferencesView::buildScreens(QVBoxLayout* layout) {
    QWidget* parent = layout->parentWidget();
    const Preferences& draft = model_.draft();
    layout->addWidget(sectionLabel(4, tx("Schermi e anteprima", "Screens and preview"), parent));
    layout->addWidget(heading(
        tx("A ogni schermo,\nil suo spazio.", "To every screen,\nits own space."), 1.8, parent));
    layout->addWidget(secondaryLabel(
        tx("L’anteprima usa gli eventi disponibili. Regola i margini per lasciare liberi il "
           "pannello e le icone.",
           "The preview uses available events. Adjust margins to leave space for the panel and "
           "desktop icons."),
        parent));
    if (model_.demonstration())
        layout->addWidget(wrapped(
            tx("Stai guardando esempi. Applica sfondo utilizzerà solo i calendari reali "
               "selezionati.",
               "You are viewing sample data. Applying the wallpaper will use only your selected "
               "real calendars."),
            parent));

    // Wallpaper style.
    auto* options = new QGridLayout;
    auto* styleLabel = new QLabel(tx("Sfondo", "Wallpaper"), parent);
    auto* style = new QComboBox(parent);
    style->setObjectName(QStringLiteral("style"));
    setAccessible(style, styleLabel->text());
    styleLabel->setBuddy(style);
    for (WallpaperStyle each : allWallpaperStyles)
        style->addItem(qs(title(each)), int(each));
    style->setCurrentIndex(style->findData(int(draft.effectiveBackgroundStyle())));
    connect(style, &QComboBox::activated, this, [this, style](int index) {
        Preferences next = model_.draft();
        next.backgroundStyle = WallpaperStyle(style->itemData(index).toInt());
        model_.setDraft(next);
    });
    options->setHorizontalSpacing(12);
    options->setVerticalSpacing(8);
    options->addWidget(styleLabel, 0, 0);
    auto* styleRow = new QHBoxLayout;
    styleRow->setSpacing(12);
    styleRow->addWidget(style);
    if (draft.effectiveBackgroundStyle() == WallpaperStyle::glass) {
        nextPalette_ = secondaryLabel({}, parent);
        styleRow->addWidget(nextPalette_, 1);
    } else {
        styleRow->addStretch(1);
    }
    options->addLayout(styleRow, 0, 1);

    // Timeline hours.
    const auto [start, end] = draft.timelineHours();
    auto* hoursLabel = new QLabel(tx("Linea temporale", "Timeline"), parent);
    auto hourPicker = [&](const QString& caption, const QString& name, int from, int to,
                          int current) {
        auto* picker = new QComboBox(parent);
        picker->setObjectName(name);
        setAccessible(picker, tx("Linea temporale", "Timeline") + QStringLiteral(" ") + caption);
        for (int hour = from; hour <= to; ++hour)
            picker->addItem(QString::asprintf("%02d:00", hour), hour);
        picker->setCurrentIndex(picker->findData(current));
        return picker;
    };
    auto* from = hourPicker(tx("Dalle", "From"), QStringLiteral("startHour"), 0, 23, start);
    auto* to = hourPicker(tx("Alle", "To"), QStringLiteral("endHour"), 1, 24, end);
    connect(from, &QComboBox::activated, this, [this, from](int index) {
        Preferences next = model_.draft();
        next.timelineStartHour = from->itemData(index).toInt();
        if (next.timelineEndHour && *next.timelineEndHour <= *next.timelineStartHour)
            next.timelineEndHour = *next.timelineStartHour + 1;
        model_.setDraft(next);
    });
    connect(to, &QComboBox::activated, this, [this, to](int index) {
        Preferences next = model_.draft();
        next.timelineEndHour = to->itemData(index).toInt();
        if (next.timelineStartHour && *next.timelineStartHour >= *next.timelineEndHour)
            next.timelineStartHour = *next.timelineEndHour - 1;
        model_.setDraft(next);
    });
    options->addWidget(hoursLabel, 1, 0);
    auto* fromLabel = new QLabel(tx("Dalle", "From"), parent);
    fromLabel->setBuddy(from);
    auto* toLabel = new QLabel(tx("Alle", "To"), parent);
    toLabel->setBuddy(to);
    auto* hoursRow = new QHBoxLayout;
    hoursRow->setSpacing(6);
    hoursRow->addWidget(fromLabel);
    hoursRow->addWidget(from);
    hoursRow->addSpacing(12);
    hoursRow->addWidget(toLabel);
    hoursRow->addWidget(to);
    hoursRow->addStretch(1);
    options->addLayout(hoursRow, 1, 1);
    options->setColumnStretch(1, 1);
    layout->addLayout(options);
    layout->addWidget(secondaryLabel(
        tx("Gli eventi fuori fascia e quelli di giornata intera restano in un elenco "
           "compatto. La linea dell’ora si aggiorna ogni 5 minuti.",
           "Events outside these hours and all-day events stay in a compact list. The time line "
           "moves every 5 minutes."),
        parent));

    // Launch at login.
    layout->addSpacing(8);
    layout->addWidget(heading(tx("Avvio dell'app", "App startup"), 1.0, parent));
    auto* login =
        new QCheckBox(tx("quando accedo al computer", "when I log in to this computer"), parent);
    login->setObjectName(QStringLiteral("launchAtLogin"));
    setAccessible(login,
                  tx("Avvio dell'app", "App startup") + QStringLiteral(": ") + login->text());
    login->setChecked(model_.wantsLaunchAtLogin());
    connect(login, &QCheckBox::toggled, this, [this](bool on) {
        if (on != model_.wantsLaunchAtLogin())
            model_.setLaunchAtLogin(on);
    });
    layout->addWidget(login);
    layout->addWidget(secondaryLabel(
        tx("La modifica viene salvata subito. Il desktop gestisce questa opzione nelle "
           "applicazioni d'avvio.",
           "This change is saved immediately. Your desktop manages it in Startup Applications."),
        parent));
    if (model_.loginItemStatus() == LoginItemStatus::requiresApproval) {
        layout->addWidget(wrapped(tx("Il desktop richiede di abilitare Pellora nelle "
                                     "applicazioni d'avvio.",
                                     "Your desktop needs you to enable Pellora in Startup "
                                     "Applications."),
                                  parent));
        auto* open = button(tx("Apri applicazioni d'avvio", "Open Startup Applications"),
                            QStringLiteral("openStartup"), parent);
        connect(open, &QPushButton::clicked, this, [] { openStartupApplications(); });
        layout->addWidget(open, 0, Qt::AlignLeft);
    }
    if (const auto& error = model_.loginItemError()) {
        layout->addWidget(wrapped(qs(*error), parent));
        auto* retry = button(tx("Riprova", "Try again"), QStringLiteral("retryLogin"), parent);
        connect(retry, &QPushButton::clicked, this,
                [this] { model_.setLaunchAtLogin(model_.wantsLaunchAtLogin()); });
        layout->addWidget(retry, 0, Qt::AlignLeft);
    }
    layout->addWidget(secondaryLabel(
        tx("L’aggiornamento programmato avviene ai minuti :25 e :55, oltre che quando "
           "cambiano i calendari, al risveglio e al cambio di giornata. I dati letti dai "
           "calendari locali possono dipendere dalla sincronizzazione dei tuoi account.",
           "Scheduled updates run at minutes :25 and :55, and whenever calendars change, on wake "
           "and when the day changes. Data read from the local calendars may depend on how your "
           "accounts sync."),
        parent));

    // One editor per connected screen.
    const auto& screens = model_.screens();
    if (screens.empty())
        layout->addWidget(
            wrapped(tx("Nessuno schermo collegato.", "No screen connected."), parent));
    for (const ConnectedScreen& screen : screens) {
        const std::string id = screen.id;
        const auto found = draft.screens.find(id);
        const ScreenPreferences settings =
            found != draft.screens.end() ? found->second : ScreenPreferences{};
        auto* frame = new QFrame(parent);
        frame->setFrameShape(QFrame::StyledPanel);
        auto* inner = new QVBoxLayout(frame);
        inner->setContentsMargins(14, 12, 14, 12);
        inner->setSpacing(10);
        auto* top = new QHBoxLayout;
        top->setSpacing(8);
        auto* enabled = new QCheckBox(frame);
        enabled->setObjectName(QStringLiteral("enabled-") + qs(id));
        setAccessible(enabled, screen.name);
        enabled->setChecked(settings.enabled);
        connect(enabled, &QCheckBox::toggled, this, [this, id](bool on) {
            Preferences next = model_.draft();
            next.screens[id].enabled = on;
            model_.setDraft(next);
        });
        top->addWidget(enabled);
        const QSize pixels(int(screen.size().width() * screen.scale + 0.5),
                           int(screen.size().height() * screen.scale + 0.5));
        top->addWidget(heading(screen.name, 1.0, frame));
        top->addWidget(secondaryNote(
            QStringLiteral("%1 × %2").arg(pixels.width()).arg(pixels.height()), frame));
        top->addStretch();
        inner->addLayout(top);

        auto* body = new QHBoxLayout;
        body->setSpacing(16);
        auto* sliders = new QGridLayout;
        sliders->setHorizontalSpacing(10);
        sliders->setVerticalSpacing(10);
        struct Margin {
            QString caption;
            double ScreenPreferences::*field;
            const char* name;
        };
        const std::array<Margin, 4> margins{
            Margin{tx("Alto", "Top"), &ScreenPreferences::top, "top"},
            Margin{tx("Basso · pannello", "Bottom · panel"), &ScreenPreferences::bottom, "bottom"},
            Margin{tx("Sinistra", "Left"), &ScreenPreferences::left, "left"},
            Margin{tx("Destra · icone", "Right · icons"), &ScreenPreferences::right, "right"}};
        int line = 0;
        for (const Margin& margin : margins) {
            auto* caption = new QLabel(margin.caption, frame);
            auto* slider = new QSlider(Qt::Horizontal, frame);
            slider->setObjectName(QString::fromLatin1(margin.name) + QStringLiteral("-") + qs(id));
            slider->setRange(0, 40);
            slider->setPageStep(5);
            slider->setMinimumWidth(120);
            const int percent = int(std::lround(settings.*(margin.field) * 100));
            slider->setValue(percent);
            auto* value = new QLabel(QStringLiteral("%1%").arg(percent), frame);
            value->setMinimumWidth(36);
            setAccessible(slider, margin.caption + QStringLiteral(" · ") + screen.name);
            caption->setBuddy(slider);
            const auto field = margin.field;
            connect(slider, &QSlider::valueChanged, this, [this, id, field, value](int newValue) {
                value->setText(QStringLiteral("%1%").arg(newValue));
                Preferences next = model_.draft();
                next.screens[id].*field = newValue / 100.0;
                model_.setDraft(next);
            });
            sliders->addWidget(caption, line, 0);
            sliders->addWidget(slider, line, 1);
            sliders->addWidget(value, line, 2);
            ++line;
        }
        sliders->setRowStretch(line, 1);
        body->addLayout(sliders);
        auto* preview = new WallpaperPreview(frame);
        preview->setObjectName(QStringLiteral("preview-") + qs(id));
        preview->setAccessibleName(tx("Anteprima agenda per ", "Calendar preview for ") +
                                   screen.name +
                                   tx(". Il riepilogo accessibile è disponibile dall'icona "
                                      "nell'area di notifica.",
                                      ". An accessible summary is available from the tray "
                                      "icon."));
        body->addWidget(preview, 1);
        inner->addLayout(body);
        layout->addWidget(frame);
        previews_.emplace_back(preview);
        previewScreens_.push_back(id);
    }
    for (const std::string& id : model_.disconnectedScreens()) {
        const auto found = draft.screens.find(id);
        const QString name = qs(found != draft.screens.end() ? found->second.name : id);
        layout->addWidget(wrapped(
            QStringLiteral("⚠  ") + name +
                tx(" · scollegato, preferenze conservate", " · disconnected, settings saved"),
            parent));
    }
}

void PreferencesView::syncDraft() {
    const Preferences& draft = model_.draft();
    if (QLabel* validation = groupValidation_.data())
        validation->setVisible(!draft.groupNamesValid());
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
    if (QLabel* nextPalette = nextPalette_.data()) {
        const Date next = GlassHarmony::nextChange(model_.now());
        nextPalette->setText(tx("Sfumature morbide · cambio ogni 2 ore · prossima alle ",
                                "Soft gradients · change every 2 hours · next at ") +
                             qs(AgendaDates::string(next, "HH:mm", AgendaDates::calendar())));
    }
    syncPreviews();
    syncFooter();
}

void PreferencesView::syncPreviews() {
    if (previews_.empty())
        return;
    AgendaSnapshot snapshot =
        model_.demonstration() ? DemoData::snapshot("normal") : model_.previewSnapshot();
    // Each preview takes its own screen's settings: a margin of one screen redraws only its
    // preview.
    Preferences shared = model_.draft();
    std::map<std::string, ScreenPreferences> screens;
    screens.swap(shared.screens);
    for (std::size_t index = 0; index < previews_.size(); ++index) {
        WallpaperPreview* preview = previews_[index].data();
        if (!preview)
            continue;
        const std::string& id = previewScreens_[index];
        QSize size;
        for (const ConnectedScreen& screen : model_.screens())
            if (screen.id == id)
                size = screen.size();
        const auto found = screens.find(id);
        ScreenPreferences settings = found != screens.end() ? found->second : ScreenPreferences{};
        // Drawn like the wallpaper, which draws a screen it is asked for.
        settings.enabled = true;
        preview->setInputs({snapshot, shared, settings, size});
    }
}

void PreferencesView::syncFooter() {
    const int step = model_.step();
    for (int index = 0; index < 4; ++index)
        stepButtons_[std::size_t(index)]->setChecked(index == step);
    back_->setVisible(step >= 1);
    refreshing_->setVisible(model_.refreshing());
    QString text;
    bool enabled = true;
    switch (step) {
    case 0:
        text = tx("Calendari", "Calendars");
        break;
    case 1:
        text = tx("Promemoria", "Reminders");
        enabled = model_.selectedCalendarCount() > 0;
        break;
    case 2:
        text = tx("Schermi e anteprima", "Screens and preview");
        break;
    default:
        text = tx("Applica sfondo", "Apply wallpaper");
        enabled = model_.canApply();
        break;
    }
    forward_->setText(text);
    padButton(forward_);
    forward_->setAccessibleName(text);
    forward_->setEnabled(enabled);
    summary_->setVisible(model_.preferences().activated);
}

} // namespace brivane::ui

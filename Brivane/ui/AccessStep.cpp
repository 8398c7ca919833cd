#include "Brivane/ui/AccessStep.h"

#include "Brivane/calendar/ReminderService.h"
#include "Brivane/controller/AgendaModel.h"
#include "Brivane/ui/UiSupport.h"
#include "Brivane/ui/WizardState.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace brivane::ui {

namespace {

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

} // namespace

void AccessStep::build(QVBoxLayout* layout) {
    QWidget* parent = body_;
    addTitle(layout, 1, tx("Accesso ai dati", "Data access"),
             tx("Scegli cosa portare\nsul tuo desktop.", "Choose what to bring\nto your desktop."));
    layout->addWidget(secondaryLabel(
        tx("Pellora legge gli eventi dei calendari che scegli e le attività incomplete dei tuoi "
           "elenchi per mostrarli sul desktop. Puoi usare i calendari locali oppure collegare "
           "Google Calendar o Microsoft Outlook.",
           "Pellora reads events from calendars you choose and the incomplete tasks of your task "
           "lists to show them on your desktop. Use your local calendars or connect Google "
           "Calendar or Microsoft Outlook."),
        parent));
    for (const QString& line :
         {tx("Solo titoli, orari e attività sullo sfondo",
             "Only titles, times and tasks on the desktop"),
          tx("Nessun evento o promemoria viene modificato", "No event or reminder is changed"),
          tx("I dati restano su questo computer", "Your data stays on this computer")})
        layout->addWidget(wrapped(QStringLiteral("✓  ") + line, parent));

    buildLocalCalendars(layout);
    buildCloudCalendars(layout);
    buildTasks(layout);

    auto* sample = new QPushButton(
        tx("Esplora un’anteprima dimostrativa", "Explore a sample preview"), parent);
    sample->setObjectName(QStringLiteral("sample"));
    sample->setFlat(true);
    ringOnKeyboardFocus(sample);
    sample->setCursor(Qt::PointingHandCursor);
    setTextColor(sample, view_.palette().link().color());
    setAccessible(sample, sample->text());
    connect(sample, &QPushButton::clicked, this, &AccessStep::exploreSample);
    layout->addWidget(sample, 0, Qt::AlignLeft);
}

void AccessStep::buildLocalCalendars(QVBoxLayout* layout) {
    QWidget* parent = body_;
    QVBoxLayout* inner = block(layout, tx("Calendari locali", "Local calendars"), parent);
    if (model_.authorized()) {
        inner->addWidget(wrapped(QStringLiteral("✓  ") + tx("Accesso ai calendari consentito",
                                                            "Calendar access granted"),
                                 parent));
        auto* choose = button(tx("Scegli i calendari", "Choose calendars"),
                              QStringLiteral("chooseCalendars"), parent);
        connect(choose, &QPushButton::clicked, this, &AccessStep::chooseCalendars);
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
        connect(privacy, &QPushButton::clicked, &model_, &AgendaModel::openPrivacy);
        auto* verify =
            button(tx("Verifica accesso", "Check access"), QStringLiteral("verifyAccess"), parent);
        connect(verify, &QPushButton::clicked, this, &AccessStep::verifyAccess);
        row->addWidget(privacy);
        row->addWidget(verify);
        row->addStretch();
        inner->addLayout(row);
    } else {
        auto* grant = button(tx("Consenti accesso ai calendari", "Grant calendar access"),
                             QStringLiteral("grantCalendars"), parent);
        connect(grant, &QPushButton::clicked, &wizard_, &WizardState::requestCalendarAccess);
        inner->addWidget(grant, 0, Qt::AlignLeft);
        inner->addWidget(secondaryLabel(
            tx("Il pulsante consente subito l’accesso, senza altre richieste: Pellora legge i "
               "calendari di questo computer e usa solo quelli che selezioni.",
               "The button grants access at once, with no further prompt: Pellora reads this "
               "computer's calendars and uses only those you select."),
            parent));
    }
}

void AccessStep::buildCloudCalendars(QVBoxLayout* layout) {
    QWidget* parent = body_;
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
    // While a sign-in runs, the other providers wait for it and say so.
    QString busyText;
    if (cloud.finishingSignIn())
        busyText = tx("Completamento del collegamento…", "Finishing the connection…");
    else if (const auto busy = cloud.busyProvider())
        busyText = tx("Completa l’accesso a ", "Finish signing in to ") + qs(title(*busy));
    auto* busyLabel = wrapped(busyText, parent);
    bool anyConfigured = false;
    auto* providers = new QHBoxLayout;
    for (CloudCalendarProvider provider : allCloudCalendarProviders) {
        if (!cloud.isConfigured(provider))
            continue;
        anyConfigured = true;
        auto* connectButton = button(
            qs(title(provider)),
            QStringLiteral("connect-") + QString::fromUtf8(rawValue(provider).data()), parent);
        explainDisabled(connectButton, busyLabel, busyText);
        connect(connectButton, &QPushButton::clicked, this,
                [this, provider] { connectCloud(provider); });
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
    inner->addWidget(busyLabel);
    busyLabel->setVisible(!busyText.isEmpty());
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
                [this, account] { disconnectCloud(account); });
        row->addWidget(disconnect);
        inner->addLayout(row);
    }
    if (const auto& error = cloud.syncError())
        inner->addWidget(wrapped(
            tx("Lettura calendari cloud: ", "Reading cloud calendars: ") + qs(*error), parent));
}

void AccessStep::buildTasks(QVBoxLayout* layout) {
    QWidget* parent = body_;
    ReminderService& reminders = model_.reminders();
    QVBoxLayout* inner = block(layout, tx("Accesso alle attività", "Task list access"), parent);
    const AuthorizationStatus status = reminders.authorization();
    if (status == AuthorizationStatus::fullAccess) {
        inner->addWidget(wrapped(QStringLiteral("✓  ") + tx("Accesso alle attività consentito",
                                                            "Task list access granted"),
                                 parent));
    } else if (reminders.requestingAccess()) {
        inner->addWidget(wrapped(qs(label(ReminderAvailability::loading)), parent));
    } else {
        auto* grant = button(tx("Consenti accesso alle attività", "Grant task list access"),
                             QStringLiteral("grantReminders"), parent);
        connect(grant, &QPushButton::clicked, &wizard_, &WizardState::requestReminderAccess);
        inner->addWidget(grant, 0, Qt::AlignLeft);
        if (status != AuthorizationStatus::notDetermined) {
            inner->addWidget(wrapped(
                tx("Accesso alle attività: ", "Task list access: ") + statusText(status), parent));
            auto* settings = button(tx("Apri impostazioni attività", "Open task list settings"),
                                    QStringLiteral("openReminderPrivacy"), parent);
            connect(settings, &QPushButton::clicked, this, &AccessStep::openTaskPrivacy);
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

void AccessStep::chooseCalendars() {
    wizard_.setStep(1);
}

void AccessStep::verifyAccess() {
    model_.reloadCalendarSnapshot();
    if (model_.preferences().activated)
        model_.refresh();
}

void AccessStep::connectCloud(CloudCalendarProvider provider) {
    model_.connectCloud(provider);
}

void AccessStep::disconnectCloud(const CloudCalendarAccount& account) {
    model_.cloudCalendars().remove(account);
}

void AccessStep::openTaskPrivacy() {
    model_.reminders().openPrivacy();
}

void AccessStep::exploreSample() {
    model_.setDemonstration(true);
    wizard_.setStep(3);
}

} // namespace brivane::ui

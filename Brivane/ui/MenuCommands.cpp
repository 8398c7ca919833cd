#include "Brivane/ui/MenuCommands.h"

#include "Brivane/calendar/ReminderService.h"
#include "Brivane/cloud/CloudCalendarService.h"
#include "Brivane/controller/AgendaModel.h"
#include "Brivane/ui/MenuPanel.h"
#include "Brivane/ui/UiSupport.h"
#include "Brivane/ui/WizardState.h"
#include "BrivaneCore/AgendaDates.h"

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace brivane::ui {

namespace {

// One command of the list: a full-width flat row with its symbol, highlighted under the pointer
// and framed while it has the keyboard focus.
QPushButton* row(const QString& text, std::initializer_list<const char*> icon,
                 QStyle::StandardPixmap fallback, QWidget* parent) {
    auto* button = new QPushButton(symbol(icon, fallback), text, parent);
    button->setFlat(true);
    button->setCursor(Qt::PointingHandCursor);
    button->setIconSize(QSize(16, 16));
    QColor hover = AgendaColors::accent();
    hover.setAlphaF(0.10f);
    button->setStyleSheet(
        QStringLiteral("QPushButton { text-align: left; padding: 6px 10px; border: 1px solid "
                       "transparent; border-radius: 6px; color: %3; }"
                       "QPushButton:hover { background-color: %1; }"
                       "QPushButton:focus { border-color: %2; }")
            .arg(hover.name(QColor::HexArgb), AgendaColors::accent().name(QColor::HexRgb),
                 AgendaColors::ink().name(QColor::HexRgb)));
    button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setAccessible(button, text);
    return button;
}

// One line per failing subscription: its name, since when, and why (which names the host only).
QString subscriptionProblems(const SubscriptionService& subscriptions, Date now) {
    const Calendar calendar = AgendaDates::calendar();
    QStringList lines;
    for (const Subscription& subscription : subscriptions.subscriptions()) {
        const SubscriptionService::State state = subscriptions.state(subscription.id);
        if (!state.error)
            continue;
        QString since;
        if (state.failingSince) {
            const Date at{std::chrono::milliseconds(state.failingSince->toMSecsSinceEpoch())};
            const bool today = calendar.startOfDay(at) == calendar.startOfDay(now);
            since = QString::fromStdString(
                AgendaDates::string(at, today ? "HH:mm" : "d MMM HH:mm", calendar));
        }
        QString why = QString::fromStdString(*state.error);
        if (why.endsWith(QLatin1Char('.')))
            why.chop(1);
        const QString name = QString::fromStdString(subscription.name);
        lines << (since.isEmpty()
                      ? tx("Iscrizioni: ", "Subscriptions: ") + name + QStringLiteral(" — ") + why
                      : tx("Iscrizioni: ", "Subscriptions: ") + name +
                            tx(" non si aggiorna dalle ", " not updated since ") + since +
                            QStringLiteral(" — ") + why);
    }
    return lines.join(QLatin1Char('\n'));
}

} // namespace

MenuCommands::MenuCommands(AgendaModel& model, WizardState& wizard, QWidget* parent)
    : QWidget(parent), model_(model), wizard_(wizard) {
    auto* list = new QVBoxLayout(this);
    list->setContentsMargins(0, 0, 0, 0);
    list->setSpacing(2);

    const auto statusLine = [this, list](const QString& name, int top) {
        auto* line = new QLabel(this);
        line->setObjectName(name);
        line->setWordWrap(true);
        line->setTextInteractionFlags(Qt::TextSelectableByMouse);
        line->setContentsMargins(2, top, 2, 0);
        list->addWidget(line);
        return line;
    };
    // What the last refresh said: the applied screens, or the errors in the accent colour.
    status_ = statusLine(QStringLiteral("status"), 8);
    // A failing subscription, as a cloud account's failure is said: it keeps its last events.
    subscriptionStatus_ = statusLine(QStringLiteral("subscriptionStatus"), 4);

    addGroup();
    refresh_ = row({}, {"view-refresh"}, QStyle::SP_BrowserReload, this);
    connect(refresh_, &QPushButton::clicked, this, &MenuCommands::refresh);
    list->addWidget(refresh_);

    addGroup();
    // A list, not a checkbox: an empty box reads as a switch left off (and About an "i", not
    // the star some themes draw for it).
    auto* reminders = row(tx("Apri le attività", "Open task lists"),
                          {"view-calendar-tasks", "view-list-bullet", "view-list"},
                          QStyle::SP_FileDialogDetailedView, this);
    connect(reminders, &QPushButton::clicked, this, &MenuCommands::openReminders);
    list->addWidget(reminders);
    auto* calendar = row(tx("Apri Calendario", "Open Calendar"),
                         {"x-office-calendar", "office-calendar", "appointment-new"},
                         QStyle::SP_FileDialogContentsView, this);
    connect(calendar, &QPushButton::clicked, this, &MenuCommands::openCalendar);
    list->addWidget(calendar);

    addGroup();
    auto* settings = row(tx("Preferenze", "Settings"), {"preferences-system", "preferences-other"},
                         QStyle::SP_FileDialogInfoView, this);
    connect(settings, &QPushButton::clicked, this, &MenuCommands::showSettings);
    list->addWidget(settings);
    auto* about = row(tx("Informazioni", "About"),
                      {"dialog-information-symbolic", "help-about-symbolic", "dialog-information"},
                      QStyle::SP_MessageBoxInformation, this);
    connect(about, &QPushButton::clicked, this, &MenuCommands::showAbout);
    list->addWidget(about);
    setup_ = row(tx("Configura accesso", "Set up access"),
                 {"changes-allow", "system-lock-screen", "dialog-password"},
                 QStyle::SP_DialogApplyButton, this);
    connect(setup_, &QPushButton::clicked, this, &MenuCommands::setUpAccess);
    list->addWidget(setup_);
}

void MenuCommands::addGroup() {
    auto* list = static_cast<QVBoxLayout*>(layout());
    list->addSpacing(4);
    list->addWidget(separator(this));
    list->addSpacing(4);
}

void MenuCommands::sync() {
    const QString refreshText =
        model_.refreshing() ? tx("Aggiornamento…", "Updating…") : tx("Aggiorna ora", "Update now");
    refresh_->setText(refreshText);
    refresh_->setAccessibleName(refreshText);

    setup_->setVisible(
        MenuPanel::needsSetup(model_.hasCalendarSource(), model_.reminders().authorization() ==
                                                              AuthorizationStatus::fullAccess));

    if (const auto& error = model_.error()) {
        setTextColor(status_, AgendaColors::accent());
        status_->setText(QString::fromStdString(*error));
    } else {
        setTextColor(status_, AgendaColors::secondary());
        status_->setText(model_.message() ? QString::fromStdString(*model_.message()) : QString());
    }
    status_->setVisible(!status_->text().isEmpty());
    setTextColor(subscriptionStatus_, AgendaColors::accent());
    subscriptionStatus_->setText(subscriptionProblems(model_.subscriptions(), model_.now()));
    subscriptionStatus_->setVisible(!subscriptionStatus_->text().isEmpty());
}

void MenuCommands::refresh() {
    model_.refresh(KeyringAccess::userAction);
}

void MenuCommands::openReminders() {
    model_.openReminders();
}

void MenuCommands::openCalendar() {
    model_.openCalendar();
}

void MenuCommands::showSettings() {
    Q_EMIT leaving();
    if (wizard_.showPreferences)
        wizard_.showPreferences();
}

void MenuCommands::showAbout() {
    Q_EMIT leaving();
    if (wizard_.showAbout)
        wizard_.showAbout();
}

void MenuCommands::setUpAccess() {
    wizard_.setStep(0);
    Q_EMIT leaving();
    if (wizard_.showPreferences)
        wizard_.showPreferences();
}

} // namespace brivane::ui

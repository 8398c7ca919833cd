#include "Brivane/ui/MenuPanel.h"

#include "Brivane/AppIdentity.h"
#include "Brivane/calendar/ReminderService.h"
#include "Brivane/cloud/CloudCalendarService.h"
#include "Brivane/controller/AgendaModel.h"
#include "Brivane/controller/LoginItem.h"
#include "Brivane/ui/UiSupport.h"

#include <QCheckBox>
#include <QDesktopServices>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>

namespace brivane::ui {

int MenuPanel::panelHeight(std::optional<int> availableHeight) {
    if (!availableHeight)
        return tallestPanel;
    return std::max(1, std::min(*availableHeight - 24, tallestPanel));
}

bool MenuPanel::needsSetup(bool calendarAuthorized, bool cloudAccountConnected,
                           bool fullReminderAccess) {
    const bool calendarSource = calendarAuthorized || cloudAccountConnected;
    return !(calendarSource && fullReminderAccess);
}

namespace {

QPushButton* row(const QString& text, const char* icon, QWidget* parent) {
    auto* button = new QPushButton(symbol(icon), text, parent);
    button->setFlat(true);
    button->setCursor(Qt::PointingHandCursor);
    button->setStyleSheet(QStringLiteral("QPushButton { text-align: left; padding: 6px 8px; }"
                                         "QPushButton:focus { border: 1px solid palette(highlight);"
                                         " border-radius: 6px; }"));
    button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setAccessible(button, text);
    return button;
}

} // namespace

MenuPanel::MenuPanel(AgendaModel& model, int height, QWidget* parent)
    : QFrame(parent), model_(model) {
    setObjectName(QStringLiteral("MenuPanel"));
    setFixedSize(panelWidth, height);
    setAccessibleName(QString::fromStdString(AppIdentity::name()));
    QPalette colours = palette();
    colours.setColor(QPalette::Window, AgendaColors::background());
    colours.setColor(QPalette::WindowText, AgendaColors::ink());
    colours.setColor(QPalette::ButtonText, AgendaColors::ink());
    colours.setColor(QPalette::Text, AgendaColors::ink());
    setPalette(colours);
    setAutoFillBackground(true);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(16, 16, 16, 14);
    layout->setSpacing(4);

    // Header: icon, name and tagline.
    auto* header = new QHBoxLayout;
    auto* icon = new QLabel(this);
    icon->setPixmap(applicationIcon().pixmap(68, 68));
    icon->setFixedSize(68, 68);
    icon->setAccessibleName(QString::fromStdString(AppIdentity::name()));
    header->addWidget(icon);
    auto* names = new QVBoxLayout;
    auto* name = new QLabel(QString::fromStdString(AppIdentity::name()), this);
    QFont nameFont = name->font();
    nameFont.setPointSizeF(nameFont.pointSizeF() * 1.4);
    nameFont.setBold(true);
    name->setFont(nameFont);
    auto* tagline =
        new QLabel(tx("La tua giornata, sul desktop.", "Your day, on your desktop."), this);
    QPalette secondary = colours;
    secondary.setColor(QPalette::WindowText, AgendaColors::secondary());
    tagline->setPalette(secondary);
    tagline->setWordWrap(true);
    names->addStretch();
    names->addWidget(name);
    names->addWidget(tagline);
    names->addStretch();
    header->addLayout(names, 1);
    layout->addLayout(header);

    // What the last refresh said (applied screens or the errors).
    status_ = new QLabel(this);
    status_->setWordWrap(true);
    status_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(status_);
    layout->addSpacing(6);

    refresh_ = row({}, "view-refresh", this);
    connect(refresh_, &QPushButton::clicked, this, [this] { model_.refresh(); });
    layout->addWidget(refresh_);

    auto* reminders = row(tx("Apri Promemoria", "Open Reminders"), "view-task", this);
    connect(reminders, &QPushButton::clicked, this, [this] { model_.openReminders(); });
    layout->addWidget(reminders);

    auto* calendar = row(tx("Apri Calendario", "Open Calendar"), "x-office-calendar", this);
    connect(calendar, &QPushButton::clicked, this, [this] { model_.openCalendar(); });
    layout->addWidget(calendar);

    auto* settings = row(tx("Preferenze", "Settings"), "preferences-system", this);
    connect(settings, &QPushButton::clicked, this, [this] {
        closeFirst();
        if (model_.showPreferences)
            model_.showPreferences();
    });
    layout->addWidget(settings);

    auto* about = row(tx("Informazioni", "About"), "help-about", this);
    connect(about, &QPushButton::clicked, this, [this] {
        closeFirst();
        if (model_.showAbout)
            model_.showAbout();
    });
    layout->addWidget(about);

    setup_ = row(tx("Configura accesso", "Set up access"), "changes-allow", this);
    connect(setup_, &QPushButton::clicked, this, [this] {
        if (model_.step() != 0)
            model_.setStep(0);
        closeFirst();
        if (model_.showPreferences)
            model_.showPreferences();
    });
    layout->addWidget(setup_);

    layout->addStretch();

    login_ = new QCheckBox(tx("Apri al login", "Open at login"), this);
    setAccessible(login_, login_->text());
    connect(login_, &QCheckBox::toggled, this, [this](bool on) {
        if (on != model_.wantsLaunchAtLogin())
            model_.setLaunchAtLogin(on);
    });
    layout->addWidget(login_);

    approve_ = new QPushButton(
        tx("Abilita in Applicazioni d'avvio", "Enable in Startup Applications"), this);
    setAccessible(approve_, approve_->text());
    connect(approve_, &QPushButton::clicked, this, [] {
        const QString autostart = QFileInfo(LoginItem::current().entryPath).absolutePath();
        QDesktopServices::openUrl(QUrl::fromLocalFile(autostart));
    });
    layout->addWidget(approve_);

    loginError_ = new QLabel(this);
    loginError_->setPalette(secondary);
    loginError_->setWordWrap(true);
    layout->addWidget(loginError_);

    layout->addSpacing(6);
    quit_ = new QPushButton(tx("Esci e ripristina lo sfondo", "Quit and restore wallpaper"), this);
    setAccessible(quit_, quit_->text());
    connect(quit_, &QPushButton::clicked, this, [this] { model_.restoreAndQuit(); });
    layout->addWidget(quit_);

    // Everything shown follows the controller while the panel is open.
    connect(&model_, &AgendaModel::changed, this, &MenuPanel::sync);
    connect(&model_.cloudCalendars(), &CloudCalendarService::accountsChanged, this,
            &MenuPanel::sync);
    connect(&model_.reminders(), &ReminderService::authorizationChanged, this, &MenuPanel::sync);
    sync();
}

void MenuPanel::sync() {
    const QString refreshText =
        model_.refreshing() ? tx("Aggiornamento…", "Updating…") : tx("Aggiorna ora", "Update now");
    refresh_->setText(refreshText);
    refresh_->setAccessibleName(refreshText);

    setup_->setVisible(
        needsSetup(model_.authorized(), !model_.cloudCalendars().accounts().empty(),
                   model_.reminders().authorization() == AuthorizationStatus::fullAccess));

    {
        const QSignalBlocker block(login_);
        login_->setChecked(model_.wantsLaunchAtLogin());
    }
    approve_->setVisible(model_.loginItemStatus() == LoginItemStatus::requiresApproval);
    const auto& loginError = model_.loginItemError();
    loginError_->setVisible(loginError.has_value());
    loginError_->setText(loginError ? QString::fromStdString(*loginError) : QString());

    if (const auto& error = model_.error()) {
        QPalette accent = status_->palette();
        accent.setColor(QPalette::WindowText, AgendaColors::accent());
        status_->setPalette(accent);
        status_->setText(QString::fromStdString(*error));
    } else {
        QPalette secondary = status_->palette();
        secondary.setColor(QPalette::WindowText, AgendaColors::secondary());
        status_->setPalette(secondary);
        status_->setText(model_.message() ? QString::fromStdString(*model_.message()) : QString());
    }
    status_->setVisible(!status_->text().isEmpty());
}

void MenuPanel::closeFirst() {
    if (model_.closePanel)
        model_.closePanel();
    else
        close();
}

void MenuPanel::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        closeFirst();
        return;
    }
    QFrame::keyPressEvent(event);
}

} // namespace brivane::ui

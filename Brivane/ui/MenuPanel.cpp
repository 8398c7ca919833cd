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
#include <QScrollArea>
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

// One command of the list: a full-width flat row with its symbol, highlighted under the pointer
// and framed while it has the keyboard focus.
QPushButton* row(const QString& text, std::initializer_list<const char*> icon, QWidget* parent) {
    auto* button = new QPushButton(symbol(icon), text, parent);
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

} // namespace

MenuPanel::MenuPanel(AgendaModel& model, int height, QWidget* parent)
    : QFrame(parent), model_(model) {
    setObjectName(QStringLiteral("MenuPanel"));
    setFixedSize(panelWidth, height);
    setAccessibleName(QString::fromStdString(AppIdentity::name()));
    setPalette(AgendaColors::palette(palette()));
    setAutoFillBackground(true);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(14, 14, 14, 12);
    layout->setSpacing(2);

    // Header: icon, name and tagline.
    auto* header = new QHBoxLayout;
    header->setContentsMargins(2, 0, 2, 0);
    header->setSpacing(12);
    auto* icon = new QLabel(this);
    icon->setPixmap(applicationIcon().pixmap(68, 68));
    icon->setFixedSize(68, 68);
    icon->setAccessibleName(QString::fromStdString(AppIdentity::name()));
    header->addWidget(icon);
    auto* names = new QVBoxLayout;
    names->setSpacing(2);
    auto* name = new QLabel(QString::fromStdString(AppIdentity::name()), this);
    QFont nameFont = name->font();
    nameFont.setPointSizeF(nameFont.pointSizeF() * 1.4);
    nameFont.setBold(true);
    name->setFont(nameFont);
    auto* tagline =
        new QLabel(tx("La tua giornata, sul desktop.", "Your day, on your desktop."), this);
    setTextColor(tagline, AgendaColors::secondary());
    tagline->setWordWrap(true);
    names->addStretch();
    names->addWidget(name);
    names->addWidget(tagline);
    names->addStretch();
    header->addLayout(names, 1);
    layout->addLayout(header);

    // The status and the commands scroll when a short screen leaves too little room; the
    // footer always shows.
    auto* scroll = new QScrollArea(this);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->viewport()->setAutoFillBackground(false);
    auto* commands = new QWidget(scroll);
    scroll->setWidget(commands);
    auto* list = new QVBoxLayout(commands);
    list->setContentsMargins(0, 0, 0, 0);
    list->setSpacing(2);

    // What the last refresh said: the applied screens, or the errors in the accent colour.
    status_ = new QLabel(this);
    status_->setObjectName(QStringLiteral("status"));
    status_->setWordWrap(true);
    status_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    status_->setContentsMargins(2, 8, 2, 0);
    list->addWidget(status_);

    // The commands, in three groups: the wallpaper, the desktop's applications, the windows.
    const auto group = [&] {
        list->addSpacing(4);
        list->addWidget(separator(commands));
        list->addSpacing(4);
    };
    group();
    refresh_ = row({}, {"view-refresh"}, this);
    connect(refresh_, &QPushButton::clicked, this,
            [this] { model_.refresh(KeyringAccess::userAction); });
    list->addWidget(refresh_);

    group();
    auto* reminders =
        row(tx("Apri Promemoria", "Open Reminders"), {"view-task", "checkbox", "task-due"}, this);
    connect(reminders, &QPushButton::clicked, this, [this] { model_.openReminders(); });
    list->addWidget(reminders);

    auto* calendar = row(tx("Apri Calendario", "Open Calendar"),
                         {"x-office-calendar", "office-calendar", "appointment-new"}, this);
    connect(calendar, &QPushButton::clicked, this, [this] { model_.openCalendar(); });
    list->addWidget(calendar);

    group();
    auto* settings =
        row(tx("Preferenze", "Settings"), {"preferences-system", "preferences-other"}, this);
    connect(settings, &QPushButton::clicked, this, [this] {
        closeFirst();
        if (model_.showPreferences)
            model_.showPreferences();
    });
    list->addWidget(settings);

    auto* about = row(tx("Informazioni", "About"), {"help-about", "dialog-information"}, this);
    connect(about, &QPushButton::clicked, this, [this] {
        closeFirst();
        if (model_.showAbout)
            model_.showAbout();
    });
    list->addWidget(about);

    setup_ = row(tx("Configura accesso", "Set up access"),
                 {"changes-allow", "system-lock-screen", "dialog-password"}, this);
    connect(setup_, &QPushButton::clicked, this, [this] {
        if (model_.step() != 0)
            model_.setStep(0);
        closeFirst();
        if (model_.showPreferences)
            model_.showPreferences();
    });
    list->addWidget(setup_);

    list->addStretch();
    layout->addWidget(scroll, 1);

    // Footer: launch at login, then quitting.
    layout->addWidget(separator(this));
    layout->addSpacing(8);
    auto* footer = new QVBoxLayout;
    footer->setContentsMargins(4, 0, 4, 0);
    footer->setSpacing(6);
    login_ = new QCheckBox(tx("Apri al login", "Open at login"), this);
    setAccessible(login_, login_->text());
    connect(login_, &QCheckBox::toggled, this, [this](bool on) {
        if (on != model_.wantsLaunchAtLogin())
            model_.setLaunchAtLogin(on);
    });
    footer->addWidget(login_);

    approve_ = new QPushButton(
        tx("Abilita in Applicazioni d'avvio", "Enable in Startup Applications"), this);
    setAccessible(approve_, approve_->text());
    padButton(approve_);
    connect(approve_, &QPushButton::clicked, this, [] {
        const QString autostart = QFileInfo(LoginItem::current().entryPath).absolutePath();
        QDesktopServices::openUrl(QUrl::fromLocalFile(autostart));
    });
    footer->addWidget(approve_, 0, Qt::AlignLeft);

    loginError_ = new QLabel(this);
    setTextColor(loginError_, AgendaColors::secondary());
    loginError_->setWordWrap(true);
    footer->addWidget(loginError_);

    footer->addSpacing(4);
    quit_ = new QPushButton(tx("Esci e ripristina lo sfondo", "Quit and restore wallpaper"), this);
    quit_->setObjectName(QStringLiteral("quit"));
    setAccessible(quit_, quit_->text());
    connect(quit_, &QPushButton::clicked, this, [this] { model_.restoreAndQuit(); });
    footer->addWidget(quit_);
    layout->addLayout(footer);

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
        setTextColor(status_, AgendaColors::accent());
        status_->setText(QString::fromStdString(*error));
    } else {
        setTextColor(status_, AgendaColors::secondary());
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

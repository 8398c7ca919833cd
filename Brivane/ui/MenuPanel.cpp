#include "Brivane/ui/MenuPanel.h"

#include "Brivane/AppIdentity.h"
#include "Brivane/calendar/ReminderService.h"
#include "Brivane/cloud/CloudCalendarService.h"
#include "Brivane/controller/AgendaModel.h"
#include "Brivane/controller/LoginItem.h"
#include "Brivane/ui/MenuCommands.h"
#include "Brivane/ui/UiSupport.h"
#include "Brivane/ui/WizardState.h"

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

bool MenuPanel::needsSetup(bool calendarSource, bool fullReminderAccess) {
    return !(calendarSource && fullReminderAccess);
}

MenuPanel::MenuPanel(AgendaModel& model, WizardState& wizard, int tallest, QWidget* parent)
    : QFrame(parent), model_(model), wizard_(wizard), tallest_(tallest) {
    setObjectName(QStringLiteral("MenuPanel"));
    setFixedSize(panelWidth, tallest);
    setAccessibleName(QString::fromStdString(AppIdentity::name()));
    setPalette(AgendaColors::palette(palette()));
    setAutoFillBackground(true);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(14, 14, 14, 12);
    layout->setSpacing(2);
    buildHeader(layout);

    // The status and the commands scroll when a short screen leaves too little room; the
    // footer always shows.
    scroll_ = new QScrollArea(this);
    scroll_->setFrameShape(QFrame::NoFrame);
    scroll_->setWidgetResizable(true);
    scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll_->setFocusPolicy(Qt::NoFocus); // no Tab stop that shows nothing
    scroll_->viewport()->setAutoFillBackground(false);
    commands_ = new MenuCommands(model_, wizard_, scroll_);
    scroll_->setWidget(commands_);
    connect(commands_, &MenuCommands::leaving, this, &MenuPanel::closeFirst);
    layout->addWidget(scroll_, 1);
    buildFooter(layout);

    // Everything shown follows the controller while the panel is open.
    connect(&model_, &AgendaModel::changed, this, &MenuPanel::sync);
    connect(&model_.cloudCalendars(), &CloudCalendarService::accountsChanged, this,
            &MenuPanel::sync);
    connect(&model_.reminders(), &ReminderService::authorizationChanged, this, &MenuPanel::sync);
    connect(&model_.subscriptions(), &SubscriptionService::changed, this, &MenuPanel::sync);
    sync();
}

QPushButton* MenuPanel::refreshButton() const {
    return commands_->refreshButton();
}

QPushButton* MenuPanel::setupButton() const {
    return commands_->setupButton();
}

void MenuPanel::buildHeader(QVBoxLayout* layout) {
    // Icon, name and tagline.
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
}

void MenuPanel::buildFooter(QVBoxLayout* layout) {
    // Launch at login, then quitting.
    layout->addWidget(separator(this));
    layout->addSpacing(8);
    auto* footer = new QVBoxLayout;
    footer->setContentsMargins(4, 0, 4, 0);
    footer->setSpacing(6);
    login_ = new QCheckBox(tx("Apri al login", "Open at login"), this);
    setAccessible(login_, login_->text());
    connect(login_, &QCheckBox::toggled, this, &MenuPanel::setLaunchAtLogin);
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
    setTextColor(loginError_, AgendaColors::accentOn(loginError_->palette()));
    loginError_->setWordWrap(true);
    footer->addWidget(loginError_);

    footer->addSpacing(4);
    quit_ = new QPushButton(tx("Esci e ripristina lo sfondo", "Quit and restore wallpaper"), this);
    quit_->setObjectName(QStringLiteral("quit"));
    setAccessible(quit_, quit_->text());
    connect(quit_, &QPushButton::clicked, this, &MenuPanel::quit);
    footer->addWidget(quit_);
    layout->addLayout(footer);
}

void MenuPanel::sync() {
    commands_->sync();
    {
        // Ticked only while it works: an error beside a ticked box reads as "on".
        const QSignalBlocker block(login_);
        login_->setChecked(model_.wantsLaunchAtLogin() && !model_.loginItemError());
    }
    approve_->setVisible(model_.loginItemStatus() == LoginItemStatus::requiresApproval);
    const auto& loginError = model_.loginItemError();
    loginError_->setVisible(loginError.has_value());
    loginError_->setText(loginError ? QString::fromStdString(*loginError) : QString());
    fitHeight();
}

void MenuPanel::fitHeight() {
    // From the size hints, not the current geometry: a hidden panel is laid out only when shown.
    QLayout* whole = layout();
    const int chrome = (whole->hasHeightForWidth() ? whole->totalHeightForWidth(panelWidth)
                                                   : whole->totalSizeHint().height()) -
                       scroll_->sizeHint().height();
    const QMargins margins = whole->contentsMargins();
    const int inner = panelWidth - margins.left() - margins.right();
    const int commands = commands_->hasHeightForWidth() ? commands_->heightForWidth(inner)
                                                        : commands_->sizeHint().height();
    setFixedHeight(std::min(chrome + commands, tallest_));
}

void MenuPanel::setLaunchAtLogin(bool on) {
    // Ticking the box after an error tries again.
    if (on != model_.wantsLaunchAtLogin() || model_.loginItemError())
        model_.setLaunchAtLogin(on);
}

void MenuPanel::quit() {
    if (wizard_.closePanel)
        wizard_.closePanel();
    model_.restoreAndQuit();
}

void MenuPanel::closeFirst() {
    if (wizard_.closePanel)
        wizard_.closePanel();
    else
        close();
}

void MenuPanel::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        closeFirst();
        return;
    }
    if (pressFocusedButton(event))
        return;
    QFrame::keyPressEvent(event);
}

} // namespace brivane::ui

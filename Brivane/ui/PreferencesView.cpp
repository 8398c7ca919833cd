#include "Brivane/ui/PreferencesView.h"

#include "Brivane/calendar/ReminderService.h"
#include "Brivane/cloud/CloudCalendarService.h"
#include "Brivane/controller/AgendaModel.h"
#include "Brivane/ui/AccessStep.h"
#include "Brivane/ui/CalendarsStep.h"
#include "Brivane/ui/RemindersStep.h"
#include "Brivane/ui/ScreensStep.h"
#include "Brivane/ui/UiSupport.h"
#include "Brivane/ui/WizardState.h"

#include <QApplication>
#include <QFont>
#include <QFrame>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>

namespace brivane::ui {

PreferencesView::PreferencesView(AgendaModel& model, WizardState& wizard, QWidget* parent)
    : QWidget(parent), model_(model), wizard_(wizard) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    buildHeader();

    auto* divider = new QFrame(this);
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Sunken);
    layout->addWidget(divider);

    scroll_ = new QScrollArea(this);
    scroll_->setWidgetResizable(true);
    scroll_->setFrameShape(QFrame::NoFrame);
    // Steps wrap their texts to the window's width instead of scrolling sideways.
    scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // No Tab stop of its own, which shows no focus: it scrolls to each control Tab reaches.
    scroll_->setFocusPolicy(Qt::NoFocus);
    layout->addWidget(scroll_, 1);

    auto* footerLine = new QFrame(this);
    footerLine->setFrameShape(QFrame::HLine);
    footerLine->setFrameShadow(QFrame::Sunken);
    layout->addWidget(footerLine);
    buildFooter();

    rebuildTimer_.setSingleShot(true);
    rebuildTimer_.setInterval(0);
    connect(&rebuildTimer_, &QTimer::timeout, this, &PreferencesView::rebuild);
    connectRebuilds();
    rebuild();
}

void PreferencesView::buildHeader() {
    // One button per step.
    auto* header = new QHBoxLayout;
    header->setContentsMargins(16, 12, 16, 12);
    header->setSpacing(6);
    const std::array<QString, 4> titles{tx("Accesso", "Access"), tx("Calendari", "Calendars"),
                                        tx("Attività", "Tasks"),
                                        tx("Schermi e anteprima", "Screens and preview")};
    for (int step = 0; step < 4; ++step) {
        auto* stepButton =
            button(titles[std::size_t(step)], QStringLiteral("step%1").arg(step), this);
        stepButton->setCheckable(true);
        announceAsTab(stepButton);
        // Fusion's pressed look is faint in a dark palette: the current step is bold as well.
        connect(stepButton, &QPushButton::toggled, stepButton, [stepButton](bool current) {
            QFont font = stepButton->font();
            font.setBold(current);
            stepButton->setFont(font);
        });
        connect(stepButton, &QPushButton::clicked, this, [this, step] { showStep(step); });
        stepButtons_[std::size_t(step)] = stepButton;
        header->addWidget(stepButton);
    }
    header->addStretch();
    static_cast<QVBoxLayout*>(layout())->addLayout(header);
}

void PreferencesView::buildFooter() {
    auto* footer = new QHBoxLayout;
    footer->setContentsMargins(16, 10, 16, 12);
    footer->setSpacing(8);
    summary_ = button(tx("Riepilogo", "Summary"), QStringLiteral("summary"), this);
    summary_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_0));
    connect(summary_, &QPushButton::clicked, this, &PreferencesView::showSummary);
    footer->addWidget(summary_);
    footer->addStretch();
    refreshing_ = new QLabel(tx("Aggiornamento…", "Updating…"), this);
    QFont small = refreshing_->font();
    small.setPointSizeF(small.pointSizeF() * 12.0 / 13.0);
    refreshing_->setFont(small);
    footer->addWidget(refreshing_);
    forwardReason_ = new QLabel(this);
    forwardReason_->setObjectName(QStringLiteral("forwardReason"));
    forwardReason_->setWordWrap(true);
    forwardReason_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    footer->addWidget(forwardReason_, 1);
    back_ = button(tx("Indietro", "Back"), QStringLiteral("back"), this);
    connect(back_, &QPushButton::clicked, this, &PreferencesView::goBack);
    footer->addWidget(back_);
    forward_ = button({}, QStringLiteral("forward"), this);
    forward_->setDefault(true);
    ringOnKeyboardFocus(forward_);
    connect(forward_, &QPushButton::clicked, this, &PreferencesView::goForward);
    footer->addWidget(forward_);
    static_cast<QVBoxLayout*>(layout())->addLayout(footer);
}

void PreferencesView::connectRebuilds() {
    // What reshapes the body rebuilds it once per event-loop turn; the draft only updates
    // labels and previews, so typing and dragging never lose focus.
    connect(&wizard_, &WizardState::stepChanged, this, &PreferencesView::scheduleRebuild);
    connect(&wizard_, &WizardState::trayMissingChanged, this, &PreferencesView::syncFooter);
    for (auto signal :
         {&AgendaModel::calendarsChanged, &AgendaModel::screensListChanged,
          &AgendaModel::authorizedChanged, &AgendaModel::accessStatusChanged,
          &AgendaModel::requestingAccessChanged, &AgendaModel::calendarAccessErrorChanged,
          &AgendaModel::loginItemStatusChanged, &AgendaModel::loginItemErrorChanged,
          &AgendaModel::demonstrationChanged})
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
    connect(&model_, &AgendaModel::draftChanged, this, &PreferencesView::draftChanged);
    connect(&model_, &AgendaModel::previewSnapshotChanged, this, &PreferencesView::syncPreviews);
    connect(&model_, &AgendaModel::changed, this, &PreferencesView::syncFooter);
}

const std::vector<QPointer<WallpaperPreview>>& PreferencesView::previews() const {
    static const std::vector<QPointer<WallpaperPreview>> none;
    if (auto* screens = qobject_cast<ScreensStep*>(step_.data()))
        return screens->previews();
    return none;
}

void PreferencesView::flush() {
    if (rebuildTimer_.isActive()) {
        rebuildTimer_.stop();
        rebuild();
    }
    for (const auto& each : previews())
        if (WallpaperPreview* preview = each.data())
            preview->flush();
}

void PreferencesView::scheduleRebuild() {
    rebuildTimer_.start();
}

std::string PreferencesView::structureKey() const {
    const Preferences& draft = model_.draft();
    const int step = wizard_.step();
    std::string key = std::to_string(step);
    if (step == 1) {
        for (const auto& id : model_.missingCalendars())
            key += "|" + id;
    } else if (step == 2) {
        key += "|" + std::string(rawValue(draft.effectiveReminderGrouping()));
    } else if (step == 3) {
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
    const bool sameStep = body_ && body_->property("step").toInt() == wizard_.step();
    QString focused;
    if (QWidget* focus = QApplication::focusWidget(); focus && body_ && body_->isAncestorOf(focus))
        focused = focus->objectName();

    auto* content = new QWidget;
    content->setProperty("step", wizard_.step());
    auto* layout = new QVBoxLayout(content);
    layout->setContentsMargins(28, 20, 28, 20);
    layout->setSpacing(10);
    SettingsStep* step = nullptr;
    switch (wizard_.step()) {
    case 0:
        step = new AccessStep(model_, wizard_, *this, content);
        break;
    case 1:
        step = new CalendarsStep(model_, wizard_, *this, content);
        break;
    case 2:
        step = new RemindersStep(model_, wizard_, *this, content);
        break;
    default:
        step = new ScreensStep(model_, wizard_, *this, content);
        break;
    }
    connect(step, &SettingsStep::reshaped, this, &PreferencesView::scheduleRebuild);
    step->build(layout);
    layout->addStretch();
    scroll_->setWidget(content); // deletes the previous body and its step
    body_ = content;
    step_ = step;
    keepFooterLastInTabOrder();
    builtStructure_ = structureKey();
    if (sameStep)
        scroll_->verticalScrollBar()->setValue(scrolled);
    if (!focused.isEmpty())
        if (auto* again = body_->findChild<QWidget*>(focused))
            again->setFocus();
    syncDraft();
    syncFooter();
}

void PreferencesView::keepFooterLastInTabOrder() {
    // A new body joins the end of the focus chain; Tab reads the step before the footer.
    QWidget* last = window()->previousInFocusChain();
    while (last != window() && (last->focusPolicy() == Qt::NoFocus || !body_->isAncestorOf(last)))
        last = last->previousInFocusChain();
    if (last == window())
        return;
    QWidget::setTabOrder(last, summary_);
    QWidget::setTabOrder(summary_, back_);
    QWidget::setTabOrder(back_, forward_);
}

void PreferencesView::keyPressEvent(QKeyEvent* event) {
    if (!pressFocusedButton(event))
        QWidget::keyPressEvent(event);
}

void PreferencesView::showStep(int step) {
    wizard_.setStep(step);
    stepButtons_[std::size_t(step)]->setChecked(wizard_.step() == step);
}

void PreferencesView::goBack() {
    if (wizard_.step() >= 1)
        wizard_.setStep(wizard_.step() - 1);
}

void PreferencesView::goForward() {
    switch (wizard_.step()) {
    case 0:
        wizard_.setStep(1);
        break;
    case 1:
        if (model_.selectedCalendarCount() > 0)
            wizard_.setStep(2);
        break;
    case 2:
        model_.setDemonstration(false);
        model_.updatePreview();
        wizard_.setStep(3);
        break;
    default:
        if (model_.canApply())
            model_.apply();
        break;
    }
}

void PreferencesView::showSummary() {
    if (wizard_.showPanel)
        wizard_.showPanel();
}

void PreferencesView::draftChanged() {
    if (structureKey() != builtStructure_)
        scheduleRebuild();
    syncDraft();
}

void PreferencesView::syncDraft() {
    if (SettingsStep* step = step_.data())
        step->syncDraft();
    syncPreviews();
    syncFooter();
}

void PreferencesView::syncPreviews() {
    if (auto* screens = qobject_cast<ScreensStep*>(step_.data()))
        screens->syncPreviews();
}

void PreferencesView::syncFooter() {
    const int step = wizard_.step();
    for (int index = 0; index < 4; ++index)
        stepButtons_[std::size_t(index)]->setChecked(index == step);
    back_->setVisible(step >= 1);
    QString text;
    std::optional<AgendaModel::Blocker> blocker;
    switch (step) {
    case 0:
        text = tx("Calendari", "Calendars");
        break;
    case 1:
        // Without a chosen calendar the reason Apply gives is the one that holds here too.
        text = tx("Attività", "Tasks");
        if (model_.selectedCalendarCount() == 0)
            blocker = model_.applyBlocker();
        break;
    case 2:
        text = tx("Schermi e anteprima", "Screens and preview");
        break;
    default:
        text = tx("Applica sfondo", "Apply wallpaper");
        blocker = model_.applyBlocker();
        break;
    }
    forward_->setText(text);
    padButton(forward_);
    forward_->setAccessibleName(text);
    explainDisabled(forward_, forwardReason_,
                    blocker ? QString::fromStdString(blocker->text) : QString(),
                    blocker && blocker->fault);
    // The reason says it when the update is what Apply waits for.
    refreshing_->setVisible(model_.refreshing() && !forwardReason_->isVisible());
    // The panel's commands (about, launch at login, quitting) stay in reach without a tray.
    summary_->setVisible(model_.preferences().activated || wizard_.trayMissing());
}

} // namespace brivane::ui

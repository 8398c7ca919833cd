#include "Brivane/ui/ScreensStep.h"

#include "Brivane/controller/AgendaModel.h"
#include "Brivane/controller/LoginItem.h"
#include "Brivane/render/DemoData.h"
#include "Brivane/ui/UiSupport.h"
#include "BrivaneCore/WallpaperStyle.h"

#include <QAbstractScrollArea>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileInfo>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QUrl>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <array>
#include <cmath>

namespace brivane::ui {

namespace {

// A margin slider in a page that scrolls: the wheel scrolls the page until the user clicks or
// tabs to the slider, so that reaching the next screen never moves a margin on the way.
class MarginSlider : public QSlider {
public:
    explicit MarginSlider(QWidget* parent) : QSlider(Qt::Horizontal, parent) {
        setFocusPolicy(Qt::StrongFocus);
    }

protected:
    void wheelEvent(QWheelEvent* event) override {
        if (hasFocus()) {
            QSlider::wheelEvent(event);
            return;
        }
        // On to the page that holds the slider.
        for (QWidget* above = parentWidget(); above; above = above->parentWidget()) {
            if (auto* page = qobject_cast<QAbstractScrollArea*>(above)) {
                QCoreApplication::sendEvent(page->viewport(), event);
                return;
            }
        }
        event->ignore();
    }
};

void openStartupApplications() {
    QDesktopServices::openUrl(
        QUrl::fromLocalFile(QFileInfo(LoginItem::current().entryPath).absolutePath()));
}

} // namespace

void ScreensStep::build(QVBoxLayout* layout) {
    QWidget* parent = body_;
    const Preferences& draft = model_.draft();
    addTitle(layout, 4, tx("Schermi e anteprima", "Screens and preview"),
             tx("A ogni schermo,\nil suo spazio.", "To every screen,\nits own space."));
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
    buildStyleAndHours(layout);
    buildLaunchAtLogin(layout);

    const auto& screens = model_.screens();
    if (screens.empty())
        layout->addWidget(
            wrapped(tx("Nessuno schermo collegato.", "No screen connected."), parent));
    for (const ConnectedScreen& screen : screens)
        buildScreen(layout, screen);
    for (const std::string& id : model_.disconnectedScreens()) {
        const auto found = draft.screens.find(id);
        const QString name = qs(found != draft.screens.end() ? found->second.name : id);
        layout->addWidget(wrapped(
            QStringLiteral("⚠  ") + name +
                tx(" · scollegato, preferenze conservate", " · disconnected, settings saved"),
            parent));
    }
}

void ScreensStep::buildStyleAndHours(QVBoxLayout* layout) {
    auto* options = new QGridLayout;
    buildStyle(options);
    buildHours(options);
    options->setColumnStretch(1, 1);
    layout->addLayout(options);
    layout->addWidget(secondaryLabel(
        tx("Gli eventi fuori fascia e quelli di giornata intera restano in un elenco "
           "compatto. La linea dell’ora si aggiorna ogni 5 minuti.",
           "Events outside these hours and all-day events stay in a compact list. The time line "
           "moves every 5 minutes."),
        body_));
}

void ScreensStep::buildStyle(QGridLayout* options) {
    QWidget* parent = body_;
    const Preferences& draft = model_.draft();
    auto* styleLabel = new QLabel(tx("Sfondo", "Wallpaper"), parent);
    auto* style = new QComboBox(parent);
    style->setObjectName(QStringLiteral("style"));
    setAccessible(style, styleLabel->text());
    styleLabel->setBuddy(style);
    for (WallpaperStyle each : allWallpaperStyles)
        style->addItem(qs(title(each)), int(each));
    style->setCurrentIndex(style->findData(int(draft.effectiveBackgroundStyle())));
    connect(style, &QComboBox::activated, this,
            [this, style](int index) { chooseStyle(style, index); });
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
}

void ScreensStep::buildHours(QGridLayout* options) {
    QWidget* parent = body_;
    const auto [start, end] = model_.draft().timelineHours();
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
    connect(from, &QComboBox::activated, this,
            [this, from](int index) { chooseStartHour(from, index); });
    connect(to, &QComboBox::activated, this, [this, to](int index) { chooseEndHour(to, index); });
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
}

void ScreensStep::buildLaunchAtLogin(QVBoxLayout* layout) {
    QWidget* parent = body_;
    layout->addSpacing(8);
    layout->addWidget(heading(tx("Avvio dell'app", "App startup"), 1.0, parent));
    auto* login =
        new QCheckBox(tx("quando accedo al computer", "when I log in to this computer"), parent);
    login->setObjectName(QStringLiteral("launchAtLogin"));
    setAccessible(login,
                  tx("Avvio dell'app", "App startup") + QStringLiteral(": ") + login->text());
    // Ticked only while it works: an error beside a ticked box reads as "on".
    login->setChecked(model_.wantsLaunchAtLogin() && !model_.loginItemError());
    connect(login, &QCheckBox::toggled, this, &ScreensStep::setLaunchAtLogin);
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
        QLabel* said = wrapped(qs(*error), parent);
        setTextColor(said, AgendaColors::accentOn(said->palette()));
        layout->addWidget(said);
        auto* retry = button(tx("Riprova", "Try again"), QStringLiteral("retryLogin"), parent);
        connect(retry, &QPushButton::clicked, this, &ScreensStep::retryLaunchAtLogin);
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
}

void ScreensStep::buildScreen(QVBoxLayout* layout, const ConnectedScreen& screen) {
    const std::string id = screen.id;
    const Preferences& draft = model_.draft();
    const auto found = draft.screens.find(id);
    const ScreenPreferences settings =
        found != draft.screens.end() ? found->second : ScreenPreferences{};
    auto* frame = new QFrame(body_);
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
    connect(enabled, &QCheckBox::toggled, this, [this, id](bool on) { enableScreen(id, on); });
    top->addWidget(enabled);
    const QSize pixels(int(screen.size().width() * screen.scale + 0.5),
                       int(screen.size().height() * screen.scale + 0.5));
    top->addWidget(heading(screen.name, 1.0, frame));
    top->addWidget(
        secondaryNote(QStringLiteral("%1 × %2").arg(pixels.width()).arg(pixels.height()), frame));
    top->addStretch();
    inner->addLayout(top);

    // The margins above and the preview below, across the frame's whole width: beside the
    // sliders it was too small to read.
    auto* body = new QVBoxLayout;
    body->setSpacing(12);
    auto* sliders = new QGridLayout;
    sliders->setHorizontalSpacing(10);
    sliders->setVerticalSpacing(10);
    buildMargins(sliders, frame, screen);
    body->addLayout(sliders);
    auto* preview = new WallpaperPreview(frame);
    preview->setObjectName(QStringLiteral("preview-") + qs(id));
    preview->setAccessibleName(tx("Anteprima agenda per ", "Calendar preview for ") + screen.name +
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

void ScreensStep::buildMargins(QGridLayout* sliders, QFrame* frame, const ConnectedScreen& screen) {
    const std::string id = screen.id;
    const auto found = model_.draft().screens.find(id);
    const ScreenPreferences settings =
        found != model_.draft().screens.end() ? found->second : ScreenPreferences{};
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
        auto* slider = new MarginSlider(frame);
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
        connect(slider, &QSlider::valueChanged, this,
                [this, id, field, value](int newValue) { setMargin(id, field, value, newValue); });
        // Two margins a row: top and bottom, then left and right.
        const int row = line / 2;
        const int column = (line % 2) * 4;
        sliders->addWidget(caption, row, column);
        sliders->addWidget(slider, row, column + 1);
        sliders->addWidget(value, row, column + 2);
        ++line;
    }
    sliders->setColumnMinimumWidth(3, 18);
    sliders->setColumnStretch(1, 1);
    sliders->setColumnStretch(5, 1);
}

void ScreensStep::syncDraft() {
    if (QLabel* nextPalette = nextPalette_.data()) {
        const Date next = GlassHarmony::nextChange(model_.now());
        nextPalette->setText(tx("Sfumature morbide · cambio ogni 2 ore · prossima alle ",
                                "Soft gradients · change every 2 hours · next at ") +
                             qs(AgendaDates::string(next, "HH:mm", AgendaDates::calendar())));
    }
}

void ScreensStep::syncPreviews() {
    if (previews_.empty())
        return;
    AgendaSnapshot snapshot =
        model_.demonstration() ? DemoData::snapshot("normal") : model_.previewSnapshot();
    // Each preview takes its own screen's settings: a margin of one screen redraws only its
    // preview.
    Preferences shared = model_.draft();
    if (model_.demonstration()) {
        shared.reminderGrouping = DemoData::reminderGrouping;
        shared.reminderListIDs.reset();
    }
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

void ScreensStep::chooseStyle(QComboBox* picker, int index) {
    Preferences next = model_.draft();
    next.backgroundStyle = WallpaperStyle(picker->itemData(index).toInt());
    model_.setDraft(next);
}

void ScreensStep::chooseStartHour(QComboBox* picker, int index) {
    Preferences next = model_.draft();
    next.timelineStartHour = picker->itemData(index).toInt();
    if (next.timelineEndHour && *next.timelineEndHour <= *next.timelineStartHour)
        next.timelineEndHour = *next.timelineStartHour + 1;
    model_.setDraft(next);
}

void ScreensStep::chooseEndHour(QComboBox* picker, int index) {
    Preferences next = model_.draft();
    next.timelineEndHour = picker->itemData(index).toInt();
    if (next.timelineStartHour && *next.timelineStartHour >= *next.timelineEndHour)
        next.timelineStartHour = *next.timelineEndHour - 1;
    model_.setDraft(next);
}

void ScreensStep::setLaunchAtLogin(bool on) {
    // Ticking the box after an error tries again.
    if (on != model_.wantsLaunchAtLogin() || model_.loginItemError())
        model_.setLaunchAtLogin(on);
}

void ScreensStep::retryLaunchAtLogin() {
    model_.setLaunchAtLogin(model_.wantsLaunchAtLogin());
}

void ScreensStep::enableScreen(const std::string& id, bool on) {
    Preferences next = model_.draft();
    next.screens[id].enabled = on;
    model_.setDraft(next);
}

void ScreensStep::setMargin(const std::string& id, double ScreenPreferences::*field, QLabel* value,
                            int percent) {
    value->setText(QStringLiteral("%1%").arg(percent));
    Preferences next = model_.draft();
    next.screens[id].*field = percent / 100.0;
    model_.setDraft(next);
}

} // namespace brivane::ui

#include "Brivane/ui/UiSupport.h"

#include "Brivane/AppIdentity.h"
#include "Brivane/render/WallpaperRenderer.h"
#include "BrivaneCore/AgendaLanguage.h"

#include <QAbstractButton>
#include <QAccessibleWidget>
#include <QApplication>
#include <QFocusEvent>
#include <QFocusFrame>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QStyle>
#include <QWidget>
#include <string>

namespace brivane::ui {

QString tx(std::string_view italian, std::string_view english) {
    return QString::fromStdString(AgendaLanguage::text(italian, english));
}

namespace {

QColor fromColor(const Color& color) {
    return QColor::fromRgbF(float(color.red), float(color.green), float(color.blue),
                            float(color.alpha));
}

} // namespace

QColor AgendaColors::background() {
    static const QColor color = fromColor(Palette::background);
    return color;
}
QColor AgendaColors::ink() {
    static const QColor color = fromColor(Palette::ink);
    return color;
}
QColor AgendaColors::secondary() {
    static const QColor color = fromColor(Palette::secondary);
    return color;
}
QColor AgendaColors::accent() {
    static const QColor color = fromColor(Palette::accent);
    return color;
}
QColor AgendaColors::rule() {
    static const QColor color = fromColor(Palette::rule);
    return color;
}

namespace {

QColor mixed(const QColor& from, const QColor& to, double share) {
    return QColor::fromRgbF(float(from.redF() + (to.redF() - from.redF()) * share),
                            float(from.greenF() + (to.greenF() - from.greenF()) * share),
                            float(from.blueF() + (to.blueF() - from.blueF()) * share));
}

} // namespace

QPalette AgendaColors::palette(const QPalette& desktop) {
    QPalette colours = desktop;
    const QColor paper = background();
    const QColor raised = mixed(paper, Qt::white, 0.55);
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
        colours.setColor(group, QPalette::Window, paper);
        colours.setColor(group, QPalette::WindowText, ink());
        colours.setColor(group, QPalette::Text, ink());
        colours.setColor(group, QPalette::ButtonText, ink());
        colours.setColor(group, QPalette::Button, raised);
        colours.setColor(group, QPalette::Base, raised);
        colours.setColor(group, QPalette::AlternateBase, paper);
        colours.setColor(group, QPalette::PlaceholderText, secondary());
        colours.setColor(group, QPalette::Light, mixed(paper, Qt::white, 0.8));
        colours.setColor(group, QPalette::Midlight, mixed(paper, Qt::white, 0.4));
        colours.setColor(group, QPalette::Mid, rule());
        colours.setColor(group, QPalette::Dark, mixed(rule(), ink(), 0.3));
        colours.setColor(group, QPalette::Shadow, mixed(rule(), ink(), 0.6));
        colours.setColor(group, QPalette::Highlight, accent());
        colours.setColor(group, QPalette::HighlightedText, raised);
        colours.setColor(group, QPalette::Link, accent());
    }
    const QColor faded = mixed(secondary(), paper, 0.45);
    colours.setColor(QPalette::Disabled, QPalette::Window, paper);
    colours.setColor(QPalette::Disabled, QPalette::Button, paper);
    colours.setColor(QPalette::Disabled, QPalette::Base, paper);
    for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        colours.setColor(QPalette::Disabled, role, faded);
    return colours;
}

QColor AgendaColors::secondaryOn(const QPalette& palette) {
    const QColor window = palette.color(QPalette::Window);
    if (window == background())
        return secondary();
    return mixed(palette.color(QPalette::WindowText), window, 0.4);
}

QColor AgendaColors::accentOn(const QPalette& palette) {
    const QColor window = palette.color(QPalette::Window);
    if (window.lightness() >= 128)
        return accent();
    return mixed(accent(), palette.color(QPalette::WindowText), 0.4);
}

void setTextColor(QWidget* widget, const QColor& color) {
    QPalette colours = widget->palette();
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
        colours.setColor(group, QPalette::WindowText, color);
        colours.setColor(group, QPalette::ButtonText, color);
        colours.setColor(group, QPalette::Text, color);
    }
    widget->setPalette(colours);
}

void padButton(QAbstractButton* button) {
    button->setMinimumWidth(0);
    button->setMinimumWidth(button->sizeHint().width() + 16);
}

QWidget* separator(QWidget* parent) {
    auto* line = new QWidget(parent);
    line->setFixedHeight(1);
    line->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    QPalette colours = line->palette();
    colours.setColor(QPalette::Window, AgendaColors::rule());
    line->setPalette(colours);
    line->setAutoFillBackground(true);
    return line;
}

QIcon applicationIcon() {
    static const QIcon icon = [] {
        const auto path = AppInformation::resource(BrandArtwork::iconFileName);
        if (!path.empty())
            return QIcon(QString::fromStdString(path.string()));
        QIcon themed = QIcon::fromTheme(QStringLiteral("x-office-calendar"),
                                        QIcon::fromTheme(QStringLiteral("office-calendar")));
        // A plain symbol stands in when neither the artwork nor a theme is installed.
        if (themed.isNull())
            themed = QApplication::style()->standardIcon(QStyle::SP_FileDialogDetailedView);
        return themed;
    }();
    return icon;
}

namespace {

// A tray icon must never be empty, or the desktop shows nothing to click.
QIcon fallbackTrayIcon() {
    return QIcon::fromTheme(QStringLiteral("x-office-calendar"), applicationIcon());
}

} // namespace

std::string trayGlyphFileName(int size) {
    return "PelloraMenuBar-" + std::to_string(size) + ".png";
}

QIcon trayIcon(const QColor& color) {
    // The glyph comes drawn at each size, a mask rendered from PelloraMenuBar.svg: drawing the
    // SVG here would load Qt's SVG and vector painting code into the idle tray application for a
    // picture of 1 kB.
    QIcon icon;
    const QRgb rgb = color.rgb();
    for (int size : trayGlyphSizes) {
        const auto path = AppInformation::resource(trayGlyphFileName(size));
        QImage glyph;
        if (path.empty() || !glyph.load(QString::fromStdString(path.string())))
            continue;
        glyph = glyph.convertToFormat(QImage::Format_ARGB32);
        for (int y = 0; y < glyph.height(); ++y) {
            auto* line = reinterpret_cast<QRgb*>(glyph.scanLine(y));
            for (int x = 0; x < glyph.width(); ++x)
                line[x] = qRgba(qRed(rgb), qGreen(rgb), qBlue(rgb), qAlpha(line[x]));
        }
        icon.addPixmap(QPixmap::fromImage(glyph));
    }
    return icon.isNull() ? fallbackTrayIcon() : icon;
}

void prepareIconTheme() {
    // A session without a desktop's icon theme (a bare X11 session, many tiling compositors)
    // still has GNOME's. Qt reads the fallback when it first loads a theme, so this comes before
    // any icon is looked up.
    const QString fallback = QIcon::fallbackThemeName();
    if (fallback.isEmpty() || fallback == QLatin1String("hicolor"))
        QIcon::setFallbackThemeName(QStringLiteral("Adwaita"));
}

QIcon symbol(std::initializer_list<const char*> themeNames,
             std::optional<QStyle::StandardPixmap> fallback) {
    // GNOME's theme names its monochrome symbols with "-symbolic" only.
    for (const char* name : themeNames) {
        for (const QString& themed :
             {QString::fromLatin1(name), QString::fromLatin1(name) + QLatin1String("-symbolic")})
            if (QIcon::hasThemeIcon(themed))
                return QIcon::fromTheme(themed);
    }
    if (fallback)
        return QApplication::style()->standardIcon(*fallback);
    static const QIcon blank = [] {
        QPixmap pixmap(16, 16);
        pixmap.fill(Qt::transparent);
        return QIcon(pixmap);
    }();
    return blank;
}

void setAccessible(QWidget* widget, const QString& name, const QString& description) {
    widget->setAccessibleName(name);
    if (!description.isEmpty())
        widget->setAccessibleDescription(description);
}

void explainDisabled(QAbstractButton* command, QLabel* reason, const QString& why, bool fault) {
    command->setEnabled(why.isEmpty());
    command->setAccessibleDescription(why);
    reason->setText(why);
    reason->setVisible(!why.isEmpty());
    // From the surroundings: the label's own palette already holds the last colour, and mixing
    // from it again at each update faded the reason into the background.
    const QPalette around =
        reason->parentWidget() ? reason->parentWidget()->palette() : QApplication::palette();
    setTextColor(reason,
                 fault ? AgendaColors::accentOn(around) : AgendaColors::secondaryOn(around));
}

namespace {

const char* const tabProperty = "pelloraTab";

// A tab of a row of tabs: selected while checked, pressed to show its page.
class TabAccessible final : public QAccessibleWidget {
public:
    explicit TabAccessible(QAbstractButton* button)
        : QAccessibleWidget(button, QAccessible::PageTab) {}

    QString text(QAccessible::Text kind) const override {
        if (kind == QAccessible::Name && widget()->accessibleName().isEmpty())
            return button()->text().remove(QLatin1Char('&'));
        return QAccessibleWidget::text(kind);
    }
    QAccessible::State state() const override {
        QAccessible::State state = QAccessibleWidget::state();
        state.selectable = true;
        state.selected = button()->isChecked();
        return state;
    }
    QStringList actionNames() const override {
        return QStringList{pressAction()} + QAccessibleWidget::actionNames();
    }
    void doAction(const QString& action) override {
        if (action == pressAction())
            button()->click();
        else
            QAccessibleWidget::doAction(action);
    }

private:
    QAbstractButton* button() const { return static_cast<QAbstractButton*>(widget()); }
};

QAccessibleInterface* tabFactory(const QString&, QObject* object) {
    auto* button = qobject_cast<QAbstractButton*>(object);
    if (button && button->property(tabProperty).toBool())
        return new TabAccessible(button);
    return nullptr;
}

} // namespace

void announceAsTab(QAbstractButton* button) {
    static const bool installed = [] {
        QAccessible::installFactory(tabFactory);
        return true;
    }();
    Q_UNUSED(installed);
    button->setProperty(tabProperty, true);
    // Setting its name may already have made the plain button's interface: make it again.
    if (QAccessible::isActive())
        if (QAccessibleInterface* made = QAccessible::queryAccessibleInterface(button);
            made && made->role() != QAccessible::PageTab)
            QAccessible::deleteAccessibleInterface(QAccessible::uniqueId(made));
}

namespace {

// Shows the ring on a focus the keyboard gave, hides it when focus leaves.
class FocusRing final : public QObject {
public:
    explicit FocusRing(QWidget* widget) : QObject(widget) { widget->installEventFilter(this); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        auto* widget = static_cast<QWidget*>(watched);
        if (event->type() == QEvent::FocusIn &&
            static_cast<QFocusEvent*>(event)->reason() != Qt::MouseFocusReason) {
            if (!ring_)
                ring_ = new QFocusFrame(widget);
            ring_->setWidget(widget);
            ring_->show();
        } else if (event->type() == QEvent::FocusOut && ring_) {
            ring_->hide();
        }
        return false;
    }

private:
    QPointer<QFocusFrame> ring_;
};

} // namespace

void ringOnKeyboardFocus(QWidget* widget) {
    new FocusRing(widget);
}

bool pressFocusedButton(QKeyEvent* event) {
    if (event->key() != Qt::Key_Return && event->key() != Qt::Key_Enter)
        return false;
    auto* button = qobject_cast<QPushButton*>(QApplication::focusWidget());
    if (!button || !button->isEnabled())
        return false;
    button->click();
    return true;
}

} // namespace brivane::ui

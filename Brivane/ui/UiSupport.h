#pragma once

// What every window of the tray application shares: texts in the language of the moment, the
// colour roles taken from the wallpaper palette, and the icons.

#include <QColor>
#include <QIcon>
#include <QPalette>
#include <QString>
#include <QStyle>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

class QKeyEvent;
class QWidget;
class QAbstractButton;
class QLabel;

namespace brivane::ui {

// The Italian or the English text, decided at each call: every text of the application is written
// as such a pair where it is used (AgendaLanguage::text outside Qt).
QString tx(std::string_view italian, std::string_view english);

// The interface colour roles, made once from the wallpaper palette.
struct AgendaColors {
    static QColor background();
    static QColor ink();
    static QColor secondary();
    static QColor accent();
    static QColor rule();

    // A whole widget palette on the agenda colours (panel and about window), so that buttons,
    // fields and focus rings stay readable whatever the desktop's theme.
    static QPalette palette(const QPalette& desktop);
    // Secondary text on a window of `palette`: the agenda's own on the agenda background, a
    // softened text colour of the desktop's theme elsewhere (light or dark).
    static QColor secondaryOn(const QPalette& palette);
    // The accent on a window of `palette`: lightened on a dark theme so that it stays legible.
    static QColor accentOn(const QPalette& palette);
};

// Text of `label` (or a button) in `color`; the rest of its palette stays.
void setTextColor(QWidget* widget, const QColor& color);
// Room on both sides of a push button's text, whatever the style's own margins; again after
// its text changes.
void padButton(QAbstractButton* button);
// A thin horizontal rule in the rule colour.
QWidget* separator(QWidget* parent);

// The application icon (the installed artwork; a themed calendar icon when it is missing).
QIcon applicationIcon();
// The tray glyph in `color`, so that it reads on a light or a dark panel; the theme's calendar
// icon when the glyph is not installed.
QIcon trayIcon(const QColor& color);
// The sizes the tray glyph is installed in, and the file of each.
inline constexpr int trayGlyphSizes[] = {16, 22, 24, 32, 48, 64};
std::string trayGlyphFileName(int size);
// A themed icon: the first of the freedesktop names the theme has; without any, the style's own
// `fallback` when given (every Qt style draws those, with no icon theme at all), else a blank
// icon of the same size, so that rows with and without icons keep their texts aligned.
QIcon symbol(std::initializer_list<const char*> themeNames,
             std::optional<QStyle::StandardPixmap> fallback = std::nullopt);

// Makes GNOME's icon theme the fallback where the session names none; called at start-up,
// before any icon is looked up.
void prepareIconTheme();

// Gives a widget its accessible name (and tooltip-free description) in one call.
void setAccessible(QWidget* widget, const QString& name, const QString& description = {});

// A command that cannot run now says why in `reason` beside it: muted for a step still to take,
// in the accent for a fault. The reason is also the command's description for screen readers.
// Without a reason the command is enabled and the label hidden.
void explainDisabled(QAbstractButton* command, QLabel* reason, const QString& why,
                     bool fault = false);

// Marks a checkable button as one of a row of tabs: screen readers hear "page tab, selected"
// rather than an unticked check box.
void announceAsTab(QAbstractButton* button);

// A ring round `widget` while the keyboard has focused it, for buttons whose style shows no
// focus of their own: flat ones, and the default button, which the style already draws as if
// focused.
void ringOnKeyboardFocus(QWidget* widget);

// Enter or Return on a focused push button presses it, as Space does: outside dialogs Qt's
// buttons leave those keys to their window. Returns whether `event` was such a press.
bool pressFocusedButton(QKeyEvent* event);

} // namespace brivane::ui

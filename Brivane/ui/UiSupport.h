#pragma once

// What every window of the tray application shares: texts in the language of the moment, the
// colour roles taken from the wallpaper palette, and the icons.

#include <QColor>
#include <QIcon>
#include <QString>
#include <string_view>

class QWidget;
class QAbstractButton;

namespace brivane::ui {

// The Italian or the English literal, decided at each call.
QString tx(std::string_view italian, std::string_view english);
// A text of the application's string table, keyed by its Italian wording.
QString localized(std::string_view italianKey);

// The interface colour roles, made once from the wallpaper palette.
struct AgendaColors {
    static QColor background();
    static QColor ink();
    static QColor secondary();
    static QColor accent();
};

// The application icon (the installed artwork; a themed calendar icon when it is missing).
QIcon applicationIcon();
// The tray glyph in `color`, so that it reads on a light or a dark panel; the theme's calendar
// icon when the glyph is not installed.
QIcon trayIcon(const QColor& color);
// A themed icon by freedesktop name with a fallback from the style.
QIcon symbol(const char* themeName);

// Gives a widget its accessible name (and tooltip-free description) in one call.
void setAccessible(QWidget* widget, const QString& name, const QString& description = {});

} // namespace brivane::ui

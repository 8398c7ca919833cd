#pragma once

#include <QPointer>
#include <QRect>
#include <QScreen>
#include <QString>
#include <string>
#include <vector>

namespace brivane {

// One connected screen: the live QScreen plus the facts the wallpaper layer needs, captured
// when the list was made so that a screen can also be described without a display (tests).
struct ConnectedScreen {
    QPointer<QScreen> screen;
    std::string id;     // stable across launches and reconnections
    QString name;       // "manufacturer model", else the connector name
    QString connector;  // the windowing system's output name (e.g. "DP-1")
    QRect geometry;     // in points (device-independent pixels), in the desktop's layout
    double scale = 1.0; // pixels per point

    // The screen's place among the others in the windowing system's own units: X11 lays
    // monitors out in device pixels, Wayland in points. Empty: `geometry`, in points.
    QRect layout;
    double layoutScale = 0; // pixels per layout unit; 0: `scale`

    QSize size() const { return geometry.size(); }
    QRect layoutRect() const { return layout.isEmpty() ? geometry : layout; }
    double layoutPixelScale() const { return layoutScale > 0 ? layoutScale : scale; }

    // The connected screens in the order the system lists them; empty without a GUI
    // application object or without a display.
    static std::vector<ConnectedScreen> all();

    static ConnectedScreen from(QScreen* screen);

    // A name-based UUID (upper-case, hyphenated) from the EDID fields; the connector name
    // when the monitor reports no EDID identity.
    static std::string stableID(const QString& manufacturer, const QString& model,
                                const QString& serialNumber, const QString& connector);
    static QString localizedName(const QString& manufacturer, const QString& model,
                                 const QString& connector);
};

} // namespace brivane

#include "TestScreens.h"

#include "Brivane/desktop/GSettingsDesktopPictures.h"

namespace brivane::test {

ConnectedScreen screen(const std::string& id, QRect geometry, double scale) {
    ConnectedScreen s;
    s.id = id;
    s.connector = QString::fromStdString(id);
    s.name = QStringLiteral("Screen ") + s.connector;
    s.geometry = geometry;
    s.scale = scale;
    return s;
}

GnomeTestDesktop::GnomeTestDesktop(QSize a, double scaleA, QSize b, double scaleB)
    : screens{screen("A", QRect(QPoint(0, 0), a), scaleA),
              screen("B", QRect(QPoint(a.width(), 0), b), scaleB)} {
    // The backend asks for the screens whenever it sets a picture; they never change here.
    pictures = std::make_shared<GSettingsDesktopPictures>(GSettingsDesktopPictures::Flavour::gnome,
                                                          [list = screens] { return list; });
}

} // namespace brivane::test

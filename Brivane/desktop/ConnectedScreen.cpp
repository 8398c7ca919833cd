#include "Brivane/desktop/ConnectedScreen.h"

#include <QGuiApplication>
#include <QUuid>

namespace brivane {

namespace {

// Namespace of the screen identifiers; fixed forever, or every screen gets a new id.
const QUuid screenNamespace{"{6b0e4c1a-93d2-5f57-a1c4-2f6d8e0b7a31}"};

} // namespace

std::string ConnectedScreen::stableID(const QString& manufacturer, const QString& model,
                                      const QString& serialNumber, const QString& connector) {
    const QString maker = manufacturer.trimmed();
    const QString product = model.trimmed();
    const QString serial = serialNumber.trimmed();
    if (maker.isEmpty() && product.isEmpty() && serial.isEmpty())
        return connector.toStdString();
    // Two identical monitors without serial numbers would share an id; the connector keeps
    // them apart (at the cost of a new id when such a monitor moves to another port).
    QString key = maker + QLatin1Char('\n') + product + QLatin1Char('\n') + serial;
    if (serial.isEmpty())
        key += QLatin1Char('\n') + connector;
    const QUuid uuid = QUuid::createUuidV5(screenNamespace, key.toUtf8());
    return uuid.toString(QUuid::WithoutBraces).toUpper().toStdString();
}

QString ConnectedScreen::localizedName(const QString& manufacturer, const QString& model,
                                       const QString& connector) {
    const QString name = (manufacturer.trimmed() + QLatin1Char(' ') + model.trimmed()).trimmed();
    return name.isEmpty() ? connector : name;
}

ConnectedScreen ConnectedScreen::from(QScreen* qscreen) {
    ConnectedScreen s;
    s.screen = qscreen;
    s.connector = qscreen->name();
    s.id =
        stableID(qscreen->manufacturer(), qscreen->model(), qscreen->serialNumber(), s.connector);
    s.name = localizedName(qscreen->manufacturer(), qscreen->model(), s.connector);
    s.geometry = qscreen->geometry();
    s.scale = qscreen->devicePixelRatio();
    if (QGuiApplication::platformName() == QLatin1String("xcb")) {
        // Qt keeps an X11 screen's position in device pixels and scales only its size.
        s.layout = QRect(s.geometry.topLeft(), QSize(qRound(s.geometry.width() * s.scale),
                                                     qRound(s.geometry.height() * s.scale)));
        s.layoutScale = 1;
    }
    return s;
}

std::vector<ConnectedScreen> ConnectedScreen::all() {
    std::vector<ConnectedScreen> list;
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) == nullptr)
        return list;
    for (QScreen* s : QGuiApplication::screens()) {
        // Qt keeps a placeholder screen while no monitor is attached; it has no name.
        if (s->name().isEmpty() && s->geometry().isEmpty())
            continue;
        list.push_back(from(s));
    }
    return list;
}

} // namespace brivane

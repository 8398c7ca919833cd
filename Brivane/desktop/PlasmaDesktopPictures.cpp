#include "Brivane/desktop/PlasmaDesktopPictures.h"

#include "BrivaneCore/AgendaLanguage.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <algorithm>

namespace brivane {

namespace {

constexpr auto imagePlugin = "org.kde.image";
constexpr int stretch = 0; // Qt Quick Image.Stretch, the plugin's FillMode

DesktopPictureError notAnswering(const std::string& detail) {
    return DesktopPictureError(AgendaLanguage::text("Plasma non risponde: " + detail,
                                                    "Plasma does not answer: " + detail));
}

DesktopPictureError locked() {
    return DesktopPictureError(AgendaLanguage::text(
        "I widget di Plasma sono bloccati: sbloccali (clic destro sul desktop → Sblocca i "
        "widget) perché Pellora possa cambiare lo sfondo.",
        "Plasma's widgets are locked: unlock them (right-click the desktop → Unlock Widgets) so "
        "that Pellora can change the wallpaper."));
}

std::string js(const std::string& text) {
    return nlohmann::json(text).dump();
}

} // namespace

PlasmaDesktopPictures::PlasmaDesktopPictures(ScreenList screens) : screens_(std::move(screens)) {}

QString PlasmaDesktopPictures::desktopName() const {
    return QStringLiteral("Plasma");
}

std::string PlasmaDesktopPictures::evaluate(const std::string& script) const {
    QDBusMessage message = QDBusMessage::createMethodCall(
        QStringLiteral("org.kde.plasmashell"), QStringLiteral("/PlasmaShell"),
        QStringLiteral("org.kde.PlasmaShell"), QStringLiteral("evaluateScript"));
    message.setArguments({QString::fromStdString(script)});
    const QDBusMessage reply = QDBusConnection::sessionBus().call(message, QDBus::Block, 10000);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        const QString error = reply.errorMessage();
        if (error.contains(QLatin1String("locked"), Qt::CaseInsensitive))
            throw locked();
        throw notAnswering((error.isEmpty() ? reply.errorName() : error).toStdString());
    }
    return reply.arguments().value(0).toString().trimmed().toStdString();
}

// Script lines that leave the containment of `screen` in `d`, or print NOSCREEN and stop. The
// shell numbers screens its own way: the geometry decides, the system's order only when no
// geometry matches.
std::string PlasmaDesktopPictures::findDesktop(const ConnectedScreen& screen) const {
    const auto screens = screens_();
    const auto at = std::find_if(screens.begin(), screens.end(),
                                 [&](const ConnectedScreen& s) { return s.id == screen.id; });
    const long index = at == screens.end() ? -1 : long(at - screens.begin());
    const QRect g = screen.geometry;
    return "var ds = desktops();\n"
           "var d = null;\n"
           "for (var i = 0; i < ds.length && !d; ++i) {\n"
           "    var g = screenGeometry(ds[i].screen);\n"
           "    if (g.x == " +
           std::to_string(g.x()) + " && g.y == " + std::to_string(g.y()) +
           " && g.width == " + std::to_string(g.width()) +
           " && g.height == " + std::to_string(g.height()) +
           ")\n"
           "        d = ds[i];\n"
           "}\n"
           "for (var j = 0; j < ds.length && !d; ++j)\n"
           "    if (ds[j].screen == " +
           std::to_string(index) +
           ")\n"
           "        d = ds[j];\n";
}

std::string PlasmaDesktopPictures::readScript(const ConnectedScreen& screen) const {
    return findDesktop(screen) +
           "if (!d) {\n"
           "    print(\"NOSCREEN\");\n"
           "} else {\n"
           "    d.currentConfigGroup = [\"Wallpaper\", " +
           js(imagePlugin) +
           ", \"General\"];\n"
           "    print(JSON.stringify({wallpaperPlugin: d.wallpaperPlugin, Image: "
           "d.readConfig(\"Image\"), FillMode: d.readConfig(\"FillMode\"), Color: "
           "d.readConfig(\"Color\")}));\n"
           "}\n";
}

std::string PlasmaDesktopPictures::writeScript(const ConnectedScreen& screen, const QUrl& url,
                                               const DesktopOptions& options) const {
    std::string image = url.toString(QUrl::FullyEncoded).toStdString();
    // The user's own spelling of the same picture is put back as it was.
    if (auto raw = options.find("Image");
        raw != options.end() && raw->is_string() && QUrl(QString::fromStdString(*raw)) == url)
        image = raw->get<std::string>();
    std::string plugin = imagePlugin;
    if (auto it = options.find("wallpaperPlugin"); it != options.end() && it->is_string())
        plugin = it->get<std::string>();
    std::string script = findDesktop(screen) +
                         "if (!d) {\n"
                         "    print(\"NOSCREEN\");\n"
                         "} else if (typeof locked !== \"undefined\" && locked) {\n"
                         "    print(\"LOCKED\");\n"
                         "} else {\n"
                         "    d.wallpaperPlugin = " +
                         js(plugin) +
                         ";\n"
                         "    d.currentConfigGroup = [\"Wallpaper\", " +
                         js(imagePlugin) +
                         ", \"General\"];\n"
                         "    d.writeConfig(\"Image\", " +
                         js(image) + ");\n";
    for (const char* key : {"FillMode", "Color"}) {
        auto it = options.find(key);
        if (it == options.end() || !(it->is_string() || it->is_number_integer()))
            continue;
        script += "    d.writeConfig(" + js(key) + ", " + it->dump() + ");\n";
    }
    return script + "    print(\"OK\");\n}\n";
}

DesktopOptions PlasmaDesktopPictures::read(const ConnectedScreen& screen) {
    const std::string answer = evaluate(readScript(screen));
    if (answer == "NOSCREEN")
        throw notAnswering(
            AgendaLanguage::text("nessun desktop sullo schermo " + screen.connector.toStdString(),
                                 "no desktop on screen " + screen.connector.toStdString()));
    auto values = nlohmann::json::parse(answer, nullptr, false);
    if (!values.is_object())
        throw notAnswering(AgendaLanguage::text("risposta non leggibile", "unreadable answer"));
    DesktopOptions options = DesktopOptions::object();
    for (const auto& [key, value] : values.items())
        if ((value.is_string() && !value.get<std::string>().empty()) || value.is_number())
            options[key] = value;
    return options;
}

std::optional<QUrl> PlasmaDesktopPictures::desktopImageURL(const ConnectedScreen& screen) {
    const DesktopOptions options = read(screen);
    // Another plugin (slideshow, colour, …) has no one picture we could put back.
    if (options.value("wallpaperPlugin", std::string()) != imagePlugin)
        return std::nullopt;
    const QString image = QString::fromStdString(options.value("Image", std::string()));
    if (image.isEmpty())
        return std::nullopt;
    QUrl url(image, QUrl::TolerantMode);
    if (url.isRelative())
        url = QUrl::fromLocalFile(image);
    return url.isValid() ? std::optional<QUrl>(url) : std::nullopt;
}

DesktopOptions PlasmaDesktopPictures::desktopImageOptions(const ConnectedScreen& screen) {
    return read(screen);
}

DesktopOptions PlasmaDesktopPictures::stretchedOptions(const QColor& fill) const {
    return {{"wallpaperPlugin", imagePlugin},
            {"FillMode", stretch},
            {"Color", desktopColorName(fill).toStdString()}};
}

void PlasmaDesktopPictures::setDesktopImageURL(const QUrl& url, const ConnectedScreen& screen,
                                               const DesktopOptions& options) {
    const std::string answer = evaluate(writeScript(screen, url, options));
    if (answer == "LOCKED")
        throw locked();
    if (answer != "OK")
        throw notAnswering(
            answer == "NOSCREEN"
                ? AgendaLanguage::text("nessun desktop sullo schermo " +
                                           screen.connector.toStdString(),
                                       "no desktop on screen " + screen.connector.toStdString())
                : answer);
}

} // namespace brivane

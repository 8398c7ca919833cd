#include "Brivane/desktop/PlasmaDesktopPictures.h"

#include "Brivane/desktop/JavaScriptText.h"
#include "BrivaneCore/AgendaLanguage.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <algorithm>
#include <chrono>

namespace brivane {

namespace {

constexpr auto imagePlugin = "org.kde.image";
constexpr int stretch = 0; // Qt Quick Image.Stretch, the plugin's FillMode
// The options Pellora writes besides the image, with the image plugin's defaults (its main.xml):
// where the user's settings have no such key, putting their picture back shows the default and
// removes the key again.
const std::pair<const char*, const char*> imageOptions[] = {{"FillMode", "2"},
                                                            {"Color", "\"#000000\""}};

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
    return javaScriptString(text);
}

std::string textValue(const DesktopOptions& options, const char* key) {
    const auto it = options.find(key);
    return it != options.end() && it->is_string() ? it->get<std::string>() : std::string();
}

} // namespace

PlasmaDesktopPictures::PlasmaDesktopPictures() = default;

QString PlasmaDesktopPictures::desktopName() const {
    return QStringLiteral("Plasma");
}

std::string PlasmaDesktopPictures::evaluate(const std::string& script) const {
    // A shell that answers takes milliseconds; one that hangs must not freeze the caller's
    // event loop on every call: after one time-out, Plasma counts as not answering for a while.
    const auto now = std::chrono::steady_clock::now();
    if (silentUntil_ && now < *silentUntil_)
        throw notAnswering(lastSilence_);
    QDBusMessage message = QDBusMessage::createMethodCall(
        QStringLiteral("org.kde.plasmashell"), QStringLiteral("/PlasmaShell"),
        QStringLiteral("org.kde.PlasmaShell"), QStringLiteral("evaluateScript"));
    message.setArguments({QString::fromStdString(script)});
    const QDBusMessage reply =
        QDBusConnection::sessionBus().call(message, QDBus::Block, int(answerTime.count()));
    if (reply.type() != QDBusMessage::ReplyMessage) {
        const QString error = reply.errorMessage();
        const std::string detail = (error.isEmpty() ? reply.errorName() : error).toStdString();
        if (reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.NoReply") ||
            reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.Timeout")) {
            silentUntil_ = std::chrono::steady_clock::now() + silence;
            lastSilence_ = detail;
        }
        if (error.contains(QLatin1String("locked"), Qt::CaseInsensitive))
            throw locked();
        throw notAnswering(detail);
    }
    silentUntil_.reset();
    return reply.arguments().value(0).toString().trimmed().toStdString();
}

// Script lines that leave the containment of `screen` in `d`, or null. Plasma numbers its
// screens its own way (not Qt's order): the connector decides through the shell's own
// screenForConnector, the screen's geometry where the shell is too old for that. A screen
// without a desktop of the current activity has none; never another monitor's.
std::string PlasmaDesktopPictures::findDesktop(const ConnectedScreen& screen) const {
    const QRect g = screen.geometry;
    return "var ds = typeof desktopsForActivity === \"function\" && typeof currentActivity === "
           "\"function\" ? desktopsForActivity(currentActivity()) : desktops();\n"
           "var d = null;\n"
           "var id = typeof screenForConnector === \"function\" ? screenForConnector(" +
           js(screen.connector.toStdString()) +
           ") : -1;\n"
           "if (id >= 0) {\n"
           "    for (var i = 0; i < ds.length && !d; ++i)\n"
           "        if (ds[i].screen == id)\n"
           "            d = ds[i];\n"
           "} else if (typeof screenGeometry === \"function\") {\n"
           "    for (var j = 0; j < ds.length && !d; ++j) {\n"
           "        if (ds[j].screen < 0)\n"
           "            continue;\n"
           "        var g = screenGeometry(ds[j].screen);\n"
           "        if (g && g.x == " +
           std::to_string(g.x()) + " && g.y == " + std::to_string(g.y()) +
           " && g.width == " + std::to_string(g.width()) +
           " && g.height == " + std::to_string(g.height()) +
           ")\n"
           "            d = ds[j];\n"
           "    }\n"
           "}\n";
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
    // Options read from the desktop name its plugin; a key they lack was not in its settings.
    const bool recorded = options.contains("wallpaperPlugin");
    std::string removed;
    for (const auto& [key, fallback] : imageOptions) {
        auto it = options.find(key);
        if (it != options.end() && (it->is_string() || it->is_number_integer())) {
            script += "    d.writeConfig(" + js(key) + ", " + it->dump() + ");\n";
        } else if (recorded) {
            script += "    d.writeConfig(" + js(key) + ", " + fallback + ");\n";
            removed += "    general.deleteEntry(" + js(key) + ");\n";
        }
    }
    // The keys are deleted in the shell's own settings object, which it writes to its file only
    // on a timer, up to ten seconds later. A write through the same group has the end of the
    // script write the file at once, without those keys.
    if (!removed.empty())
        script += "    d.reloadConfig();\n"
                  "    var general = ConfigFile(ConfigFile(ConfigFile(ConfigFile(ConfigFile("
                  "\"plasma-org.kde.plasma.desktop-appletsrc\", \"Containments\"), String(d.id)), "
                  "\"Wallpaper\"), " +
                  js(imagePlugin) + "), \"General\");\n" + removed +
                  "    general.writeEntry(\"Image\", " + js(image) + ");\n";
    return script + "    print(\"OK\");\n}\n";
}

std::optional<DesktopOptions> PlasmaDesktopPictures::read(const ConnectedScreen& screen) {
    const std::string answer = evaluate(readScript(screen));
    // No desktop on this screen: it shows no picture of ours to record or put back.
    if (answer == "NOSCREEN")
        return std::nullopt;
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
    const std::optional<DesktopOptions> options = read(screen);
    // Another plugin (slideshow, colour, …) has no one picture we could put back.
    if (!options || textValue(*options, "wallpaperPlugin") != imagePlugin)
        return std::nullopt;
    const QString image = QString::fromStdString(textValue(*options, "Image"));
    if (image.isEmpty())
        return std::nullopt;
    QUrl url(image, QUrl::TolerantMode);
    if (url.isRelative())
        url = QUrl::fromLocalFile(image);
    return url.isValid() ? std::optional<QUrl>(url) : std::nullopt;
}

DesktopOptions PlasmaDesktopPictures::desktopImageOptions(const ConnectedScreen& screen) {
    return read(screen).value_or(DesktopOptions::object());
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

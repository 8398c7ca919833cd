#include "Brivane/desktop/XfconfDesktopPictures.h"

#include "BrivaneCore/AgendaLanguage.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusVariant>
#include <algorithm>
#include <map>
#include <optional>

namespace brivane {

namespace {

const QString service = QStringLiteral("org.xfce.Xfconf");
const QString path = QStringLiteral("/org/xfce/Xfconf");
const QString interface = QStringLiteral("org.xfce.Xfconf");
const QString channel = QStringLiteral("xfce4-desktop");
constexpr int stretched = 3; // xfdesktop's image-style

DesktopPictureError notAnswering(const QString& detail) {
    const std::string d = detail.toStdString();
    return DesktopPictureError(AgendaLanguage::text("Xfce non risponde (xfconf): " + d,
                                                    "Xfce does not answer (xfconf): " + d));
}

bool asciiDigits(QStringView text) {
    return !text.isEmpty() &&
           std::all_of(text.begin(), text.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
}

struct LastImageKey {
    QString base; // "/backdrop/screen0/monitorNAME/"
    QString monitor;
    int workspace = 0;
};

// "/backdrop/screen<n>/monitor<name>/workspace<n>/last-image", the name possibly holding '/'.
// Read by hand: a regular expression would load PCRE2 into the tray application for this alone.
std::optional<LastImageKey> lastImageKey(const QString& key) {
    const QLatin1String prefix("/backdrop/screen"), monitorTag("/monitor"),
        workspaceTag("/workspace"), suffix("/last-image");
    if (!key.startsWith(prefix) || !key.endsWith(suffix))
        return std::nullopt;
    const QStringView rest = QStringView(key).mid(prefix.size());
    const qsizetype monitorAt = rest.indexOf(monitorTag);
    if (monitorAt < 0 || !asciiDigits(rest.left(monitorAt)) ||
        rest.size() < monitorAt + monitorTag.size() + suffix.size())
        return std::nullopt;
    // "<name>/workspace<n>"
    const QStringView tail = rest.mid(monitorAt + monitorTag.size()).chopped(suffix.size());
    const qsizetype workspaceAt = tail.lastIndexOf(workspaceTag);
    const QStringView number =
        workspaceAt < 0 ? QStringView() : tail.mid(workspaceAt + workspaceTag.size());
    if (workspaceAt < 1 || !asciiDigits(number))
        return std::nullopt;
    bool ok = false;
    const int workspace = number.toInt(&ok);
    if (!ok)
        return std::nullopt;
    const qsizetype baseLength =
        key.size() - suffix.size() - number.size() - workspaceTag.size() + 1;
    return LastImageKey{key.left(baseLength), tail.left(workspaceAt).toString(), workspace};
}

QDBusMessage call(const QString& method, const QVariantList& arguments,
                  bool missingIsEmpty = false) {
    QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
    message.setArguments(arguments);
    QDBusMessage reply = QDBusConnection::sessionBus().call(message, QDBus::Block, 5000);
    // A desktop that never had a backdrop has no such property or channel yet.
    if (missingIsEmpty && reply.type() == QDBusMessage::ErrorMessage &&
        (reply.errorName() == QLatin1String("org.xfce.Xfconf.Error.PropertyNotFound") ||
         reply.errorName() == QLatin1String("org.xfce.Xfconf.Error.ChannelNotFound")))
        return message.createReply(QVariantList());
    if (reply.type() != QDBusMessage::ReplyMessage)
        throw notAnswering(reply.errorMessage().isEmpty() ? reply.errorName()
                                                          : reply.errorMessage());
    return reply;
}

nlohmann::json toJson(const QVariant& value) {
    switch (value.typeId()) {
    case QMetaType::QString:
        return value.toString().toStdString();
    case QMetaType::Bool:
        return value.toBool();
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
        return value.toLongLong();
    case QMetaType::Double:
        return value.toDouble();
    default:
        return nullptr; // a type we never change
    }
}

std::optional<QVariant> fromJson(const nlohmann::json& value) {
    if (value.is_string())
        return QVariant(QString::fromStdString(value.get<std::string>()));
    if (value.is_boolean())
        return QVariant(value.get<bool>());
    if (value.is_number_integer())
        return QVariant(value.get<int>());
    if (value.is_number_float())
        return QVariant(value.get<double>());
    return std::nullopt;
}

QString workspaceKey(int workspace) {
    return QStringLiteral("workspace%1/").arg(workspace);
}

} // namespace

XfconfDesktopPictures::XfconfDesktopPictures(ScreenList screens) : screens_(std::move(screens)) {}

QString XfconfDesktopPictures::desktopName() const {
    return QStringLiteral("Xfce");
}

QVariantMap XfconfDesktopPictures::properties() const {
    const QDBusMessage reply =
        call(QStringLiteral("GetAllProperties"), {channel, QStringLiteral("/backdrop")}, true);
    QVariantMap map;
    if (!reply.arguments().isEmpty())
        map = qdbus_cast<QVariantMap>(reply.arguments().constFirst());
    return map;
}

std::optional<XfconfDesktopPictures::Monitor>
XfconfDesktopPictures::monitorOf(const ConnectedScreen& screen, const QVariantMap& all) const {
    std::map<QString, Monitor> monitors; // keyed by xfdesktop's monitor name
    for (auto it = all.begin(); it != all.end(); ++it) {
        if (const auto key = lastImageKey(it.key())) {
            Monitor& m = monitors[key->monitor];
            m.base = key->base;
            m.workspaces.push_back(key->workspace);
        }
    }
    auto found = monitors.find(screen.connector);
    if (found == monitors.end()) {
        // Older xfdesktop numbers the monitors in the system's order.
        const auto screens = screens_();
        const auto at = std::find_if(screens.begin(), screens.end(),
                                     [&](const ConnectedScreen& s) { return s.id == screen.id; });
        if (at != screens.end())
            found = monitors.find(QString::number(at - screens.begin()));
    }
    if (found == monitors.end())
        return std::nullopt;
    Monitor m = found->second;
    std::sort(m.workspaces.begin(), m.workspaces.end());
    m.shown = m.workspaces.front();
    // One picture for all workspaces: xfdesktop shows the one of the chosen workspace.
    if (all.value(QStringLiteral("/backdrop/single-workspace-mode")).toBool()) {
        const int single = all.value(QStringLiteral("/backdrop/single-workspace-number")).toInt();
        if (std::find(m.workspaces.begin(), m.workspaces.end(), single) != m.workspaces.end())
            m.shown = single;
    }
    return m;
}

std::optional<QUrl> XfconfDesktopPictures::desktopImageURL(const ConnectedScreen& screen) {
    const QVariantMap all = properties();
    const auto monitor = monitorOf(screen, all);
    if (!monitor)
        return std::nullopt;
    const QString file =
        all.value(monitor->base + workspaceKey(monitor->shown) + QStringLiteral("last-image"))
            .toString();
    if (file.isEmpty())
        return std::nullopt;
    return QUrl::fromLocalFile(file);
}

DesktopOptions XfconfDesktopPictures::desktopImageOptions(const ConnectedScreen& screen) {
    const QVariantMap all = properties();
    DesktopOptions options = DesktopOptions::object();
    const auto monitor = monitorOf(screen, all);
    if (!monitor)
        return options;
    // Every workspace of the monitor: we set them all, so all of them are put back.
    for (int w : monitor->workspaces)
        for (const char* key : {"last-image", "image-style"}) {
            const QString property = monitor->base + workspaceKey(w) + QLatin1String(key);
            if (all.contains(property))
                options[(workspaceKey(w) + QLatin1String(key)).toStdString()] =
                    toJson(all.value(property));
        }
    return options;
}

DesktopOptions XfconfDesktopPictures::stretchedOptions(const QColor&) const {
    // The image covers the whole monitor; xfdesktop's colour never shows.
    return {{"image-style", stretched}};
}

void XfconfDesktopPictures::setProperty(const QString& property, const QVariant& value) const {
    call(QStringLiteral("SetProperty"),
         {channel, property, QVariant::fromValue(QDBusVariant(value))});
}

void XfconfDesktopPictures::setDesktopImageURL(const QUrl& url, const ConnectedScreen& screen,
                                               const DesktopOptions& options) {
    const QVariantMap all = properties();
    Monitor monitor;
    if (auto found = monitorOf(screen, all))
        monitor = *found;
    else
        monitor =
            Monitor{QStringLiteral("/backdrop/screen0/monitor%1/").arg(screen.connector), {0}, 0};
    const QString file = url.isLocalFile() ? url.toLocalFile() : url.toString();
    for (int w : monitor.workspaces) {
        const QString prefix = monitor.base + workspaceKey(w);
        // The style first, so xfdesktop never draws the new picture with the old style.
        if (auto it = options.find("image-style"); it != options.end())
            if (auto value = fromJson(*it))
                setProperty(prefix + QStringLiteral("image-style"), *value);
        std::optional<QVariant> image;
        for (const char* key : {"image-style", "last-image"}) {
            const std::string own = (workspaceKey(w) + QLatin1String(key)).toStdString();
            auto it = options.find(own);
            if (it == options.end())
                continue;
            auto value = fromJson(*it);
            if (!value)
                continue;
            if (std::string_view(key) == "last-image")
                image = value;
            else
                setProperty(prefix + QLatin1String(key), *value);
        }
        // The workspace that was recorded as the screen's picture takes the URL itself.
        if (w == monitor.shown || !image)
            image = QVariant(file);
        setProperty(prefix + QStringLiteral("last-image"), *image);
    }
}

} // namespace brivane

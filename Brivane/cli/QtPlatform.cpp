#include "Brivane/cli/QtPlatform.h"

#include "BrivaneCore/AgendaLanguage.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonObject>
#include <QLibraryInfo>
#include <QPluginLoader>
#include <QSet>
#include <QStringList>

namespace brivane {

namespace {

// The keys of the platform plugins installed where Qt looks for them.
QSet<QString> installedPlatforms() {
    QStringList folders = {QLibraryInfo::path(QLibraryInfo::PluginsPath) +
                           QStringLiteral("/platforms")};
    for (const QString& path :
         qEnvironmentVariable("QT_PLUGIN_PATH").split(QLatin1Char(':'), Qt::SkipEmptyParts))
        folders << path + QStringLiteral("/platforms");
    if (const QString own = qEnvironmentVariable("QT_QPA_PLATFORM_PLUGIN_PATH"); !own.isEmpty())
        folders << own;
    QSet<QString> keys;
    for (const QString& folder : folders)
        for (const QFileInfo& file : QDir(folder).entryInfoList(QDir::Files)) {
            const QJsonObject meta = QPluginLoader(file.absoluteFilePath()).metaData();
            for (const auto key : meta.value(QStringLiteral("MetaData"))
                                      .toObject()
                                      .value(QStringLiteral("Keys"))
                                      .toArray())
                keys << key.toString().toLower();
        }
    return keys;
}

} // namespace

std::string missingPlatformPlugin(const QByteArray& platforms) {
    const QSet<QString> installed = installedPlatforms();
    QStringList missing;
    for (const QByteArray& entry : platforms.split(';')) {
        const QString name = QString::fromUtf8(entry.split(':').first()).trimmed().toLower();
        if (name.isEmpty())
            continue;
        if (!installed.contains(name))
            missing << name;
        else if (name != QLatin1String("xcb") || !qEnvironmentVariableIsEmpty("DISPLAY"))
            return {}; // this one can start
    }
    if (missing.isEmpty())
        return {};
    const std::string names = missing.join(QStringLiteral(", ")).toStdString();
    const bool wayland = missing.first().startsWith(QLatin1String("wayland"));
    return AgendaLanguage::text(
        "pellora: Qt non può avviarsi: manca il plugin di piattaforma per " + names +
            (wayland ? " (pacchetto qt6-wayland)" : ""),
        "pellora: Qt cannot start: no platform plugin is installed for " + names +
            (wayland ? " (package qt6-wayland)" : ""));
}

} // namespace brivane

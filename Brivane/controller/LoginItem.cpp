#include "Brivane/controller/LoginItem.h"

#include "Brivane/AppIdentity.h"
#include "Brivane/AtomicWrite.h"
#include "BrivaneCore/AgendaLanguage.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QStringList>
#include <filesystem>

namespace brivane {

namespace {

const QString entryName = QStringLiteral("it.quillmere.Brivane.desktop");

QString configHome() {
    const QString xdg = qEnvironmentVariable("XDG_CONFIG_HOME");
    // Relative values are invalid and ignored, as the XDG base-directory rules say.
    if (!xdg.isEmpty() && QDir::isAbsolutePath(xdg))
        return xdg;
    return QDir::homePath() + QStringLiteral("/.config");
}

QStringList dataDirectories() {
    QStringList directories;
    const QString home = qEnvironmentVariable("XDG_DATA_HOME");
    directories << (!home.isEmpty() && QDir::isAbsolutePath(home)
                        ? home
                        : QDir::homePath() + QStringLiteral("/.local/share"));
    QString dirs = qEnvironmentVariable("XDG_DATA_DIRS");
    if (dirs.isEmpty())
        dirs = QStringLiteral("/usr/local/share:/usr/share");
    for (const QString& dir : dirs.split(u':', Qt::SkipEmptyParts))
        if (QDir::isAbsolutePath(dir))
            directories << dir;
    return directories;
}

// The [Desktop Entry] group's value for `key`; absent when not there.
std::optional<QString> entryValue(const QString& text, const QString& key) {
    bool inMain = false;
    for (const QString& raw : text.split(u'\n')) {
        const QString line = raw.trimmed();
        if (line.startsWith(u'[')) {
            inMain = line == QStringLiteral("[Desktop Entry]");
            continue;
        }
        if (!inMain)
            continue;
        const qsizetype equals = line.indexOf(u'=');
        if (equals > 0 && line.left(equals).trimmed() == key)
            return line.mid(equals + 1).trimmed();
    }
    return std::nullopt;
}

// The Exec line without its first argument (the program), as it stands.
QString execArguments(const QString& exec) {
    qsizetype i = 0;
    if (exec.startsWith(u'"')) {
        for (i = 1; i < exec.size(); ++i) {
            if (exec[i] == u'\\') {
                ++i;
            } else if (exec[i] == u'"') {
                ++i;
                break;
            }
        }
    } else {
        while (i < exec.size() && exec[i] != u' ')
            ++i;
    }
    return exec.mid(i).trimmed();
}

} // namespace

LoginItem::Location LoginItem::current() {
    Location location;
    location.entryPath = configHome() + QStringLiteral("/autostart/") + entryName;
    std::error_code error;
    const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error)
        location.program = QString::fromStdString(executable.string());
    // The build tree or the installed data folder first: that entry belongs to this program.
    const auto beside = AppInformation::resource(entryName.toStdString());
    if (!beside.empty()) {
        location.sourceEntry = QString::fromStdString(beside.string());
        return location;
    }
    for (const QString& dir : dataDirectories()) {
        const QString candidate = dir + QStringLiteral("/applications/") + entryName;
        if (QFileInfo(candidate).isFile()) {
            location.sourceEntry = candidate;
            break;
        }
    }
    return location;
}

LoginItemStatus LoginItem::status() const {
    QFile entry(location_.entryPath);
    if (entry.open(QIODevice::ReadOnly)) {
        const QString text = QString::fromUtf8(entry.readAll());
        const bool hidden =
            entryValue(text, QStringLiteral("Hidden")).value_or(QString()) == u"true" ||
            entryValue(text, QStringLiteral("X-GNOME-Autostart-enabled")).value_or(QString()) ==
                u"false";
        // Switched off in the desktop's own settings: the user's choice, which only the
        // user undoes there.
        return hidden ? LoginItemStatus::requiresApproval : LoginItemStatus::enabled;
    }
    if (location_.sourceEntry.isEmpty() || location_.program.isEmpty() ||
        !QFileInfo(location_.sourceEntry).isReadable())
        return LoginItemStatus::notFound;
    return LoginItemStatus::notRegistered;
}

QString LoginItem::quoteExecArgument(const QString& argument) {
    // Inside double quotes the Exec syntax escapes " ` $ and \ with a backslash; the file
    // format then escapes every backslash once more. A literal % is written %%.
    QString quoted;
    quoted.reserve(argument.size() + 8);
    quoted += u'"';
    for (const QChar c : argument) {
        if (c == u'"' || c == u'`' || c == u'$')
            quoted += QStringLiteral("\\\\");
        else if (c == u'\\')
            quoted += QStringLiteral("\\\\\\");
        if (c == u'%')
            quoted += u'%';
        quoted += c;
    }
    quoted += u'"';
    return quoted;
}

QString LoginItem::entryText(const QString& sourceText, const QString& program) {
    QStringList out;
    bool inMain = false;
    bool wroteExec = false;
    for (const QString& raw : sourceText.split(u'\n')) {
        const QString line = raw.trimmed();
        if (line.startsWith(u'[')) {
            if (inMain && !wroteExec) {
                out << QStringLiteral("Exec=") + quoteExecArgument(program);
                wroteExec = true;
            }
            inMain = line == QStringLiteral("[Desktop Entry]");
            out << raw;
            continue;
        }
        if (inMain) {
            const qsizetype equals = line.indexOf(u'=');
            const QString key = equals > 0 ? line.left(equals).trimmed() : QString();
            if (key == u"Hidden" || key == u"X-GNOME-Autostart-enabled" || key == u"TryExec")
                continue;
            if (key == u"Exec") {
                const QString rest = execArguments(line.mid(equals + 1).trimmed());
                out << QStringLiteral("Exec=") + quoteExecArgument(program) +
                           (rest.isEmpty() ? QString() : u' ' + rest);
                wroteExec = true;
                continue;
            }
        }
        out << raw;
    }
    if (inMain && !wroteExec)
        out << QStringLiteral("Exec=") + quoteExecArgument(program);
    QString text = out.join(u'\n');
    if (!text.endsWith(u'\n'))
        text += u'\n';
    return text;
}

void LoginItem::registerItem() {
    if (location_.program.isEmpty() || location_.sourceEntry.isEmpty())
        throw LoginItemError(AgendaLanguage::text(
            "non è stata trovata la voce desktop di Pellora (installa il programma)",
            "Pellora's desktop entry was not found (install the program)"));
    if (location_.program.contains(u'\n') || location_.program.contains(u'\r'))
        throw LoginItemError(AgendaLanguage::text("il percorso del programma contiene un a capo",
                                                  "the program's path holds a line break"));
    QFile source(location_.sourceEntry);
    if (!source.open(QIODevice::ReadOnly))
        throw LoginItemError(location_.sourceEntry.toStdString() + ": " +
                             source.errorString().toStdString());
    const QString text = entryText(QString::fromUtf8(source.readAll()), location_.program);
    const QString folder = QFileInfo(location_.entryPath).absolutePath();
    if (!QDir().mkpath(folder))
        throw LoginItemError(AgendaLanguage::text("impossibile creare la cartella ",
                                                  "could not create the folder ") +
                             folder.toStdString());
    try {
        writeFileAtomically(location_.entryPath, text.toUtf8(),
                            QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                QFileDevice::ReadGroup | QFileDevice::ReadOther);
    } catch (const FileWriteError& error) {
        throw LoginItemError(error.what());
    }
}

void LoginItem::unregisterItem() {
    QFile entry(location_.entryPath);
    if (!entry.exists())
        return;
    if (!entry.remove())
        throw LoginItemError(location_.entryPath.toStdString() + ": " +
                             entry.errorString().toStdString());
}

} // namespace brivane

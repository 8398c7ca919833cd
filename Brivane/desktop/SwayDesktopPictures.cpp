#include "Brivane/desktop/SwayDesktopPictures.h"

#include "Brivane/AtomicWrite.h"
#include "Brivane/desktop/SwayCommandText.h"
#include "BrivaneCore/AgendaLanguage.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>
#include <algorithm>
#include <cctype>
#include <set>

namespace brivane {

namespace {

DesktopPictureError notAnswering(const std::string& detail) {
    return DesktopPictureError(
        AgendaLanguage::text("sway non risponde: " + detail, "sway does not answer: " + detail));
}

// Output names are the compositor's own ("eDP-1", "HDMI-A-1"); anything else is refused
// rather than guessed at.
QString quotedOutput(const QString& output) {
    static const QString allowed = QStringLiteral("._:+@* -");
    const bool plain = !output.isEmpty() && std::all_of(output.begin(), output.end(), [](QChar c) {
        return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') ||
               allowed.contains(c);
    });
    if (!plain)
        throw DesktopPictureError(
            AgendaLanguage::text("sway: nome di uscita non valido: " + output.toStdString(),
                                 "sway: unusual output name: " + output.toStdString()));
    return QLatin1Char('"') + output + QLatin1Char('"');
}

// The scaling modes sway knows for a picture; anything else (a record edited by hand, an
// older sway's word) becomes sway's usual "fill".
QString modeWord(const DesktopOptions& options) {
    static const std::set<std::string> known = {"stretch", "fill", "fit", "center", "tile"};
    std::string mode;
    if (auto it = options.find("mode"); it != options.end() && it->is_string())
        mode = QString::fromStdString(it->get<std::string>()).toLower().toStdString();
    return QString::fromStdString(known.count(mode) ? mode : std::string("fill"));
}

// Splits a config line into words, honouring quotes.
QStringList words(const QString& line) {
    QStringList result;
    QString word;
    QChar quote;
    bool inWord = false;
    for (int i = 0; i < line.size(); ++i) {
        const QChar c = line[i];
        if (!quote.isNull()) {
            if (c == QLatin1Char('\\') && i + 1 < line.size())
                word += line[++i];
            else if (c == quote)
                quote = QChar();
            else
                word += c;
        } else if (c == QLatin1Char('"') || c == QLatin1Char('\'')) {
            quote = c;
            inWord = true;
        } else if (c.isSpace()) {
            if (inWord)
                result << word;
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord)
        result << word;
    return result;
}

QString configPath() {
    const QString home = QDir::homePath();
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (config.isEmpty())
        config = home + QStringLiteral("/.config");
    for (const QString& path :
         {home + QStringLiteral("/.sway/config"), config + QStringLiteral("/sway/config"),
          QStringLiteral("/etc/sway/config")})
        if (QFile::exists(path))
            return path;
    return {};
}

// The backgrounds the swaybg of this sway shows, from its command line: sway starts one swaybg
// with `-o <output> -i <file> -m <mode> [-c <colour>]` (or `-o <output> -c <colour>`) for every
// output that has a background, and replaces it on each change. It is found among this user's
// processes by the socket of its sway, which it inherits; the newest wins while an old one
// ends. Nothing when no swaybg runs for this sway (another program draws the backgrounds).
std::optional<std::map<QString, SwayDesktopPictures::Background>> shownBackgrounds() {
    const QByteArray socket = "SWAYSOCK=" + qgetenv("SWAYSOCK");
    std::optional<QList<QByteArray>> newest;
    qulonglong newestStart = 0;
    for (const QString& pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        if (pid.isEmpty() || !pid[0].isDigit())
            continue;
        const QString folder = QStringLiteral("/proc/") + pid;
        QFile cmdline(folder + QStringLiteral("/cmdline"));
        if (!cmdline.open(QIODevice::ReadOnly))
            continue;
        QList<QByteArray> args = cmdline.readAll().split('\0');
        if (args.size() < 2 || !args.first().split('/').last().startsWith("swaybg"))
            continue;
        args.removeLast(); // after the final terminator
        QFile environ(folder + QStringLiteral("/environ"));
        if (!environ.open(QIODevice::ReadOnly) ||
            (socket.size() > 9 && !environ.readAll().split('\0').contains(socket)))
            continue; // another user's or another sway's
        QFile stat(folder + QStringLiteral("/stat"));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray line = stat.readAll();
        // Field 22, the start time, counted after the command name's closing parenthesis.
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        const qulonglong start = fields.size() > 19 ? fields[19].toULongLong() : 0;
        if (!newest || start >= newestStart) {
            newest = args;
            newestStart = start;
        }
    }
    if (!newest)
        return std::nullopt;
    std::map<QString, SwayDesktopPictures::Background> shown;
    QString output;
    for (qsizetype i = 1; i + 1 < newest->size(); i += 2) {
        const QByteArray& flag = newest->at(i);
        const QString value = QString::fromUtf8(newest->at(i + 1));
        if (flag == "-o" || flag == "--output") {
            output = value;
            shown[output] = {};
        } else if (output.isEmpty()) {
            continue;
        } else if (flag == "-i" || flag == "--image") {
            shown[output].url = QUrl::fromLocalFile(value);
        } else if (flag == "-m" || flag == "--mode") {
            shown[output].options["mode"] = value.toStdString();
        } else if (flag == "-c" || flag == "--color") {
            shown[output].options["color"] = value.toStdString();
        }
    }
    return shown;
}

// An output's picture among those swaybg shows: its own, else the one for every output.
std::optional<SwayDesktopPictures::Background>
backgroundOf(const std::map<QString, SwayDesktopPictures::Background>& shown,
             const QString& output) {
    for (const QString& key : {output, QStringLiteral("*")})
        if (auto it = shown.find(key); it != shown.end())
            return it->second.url.isEmpty() ? std::nullopt : std::optional(it->second);
    return std::nullopt;
}

} // namespace

SwayDesktopPictures::SwayDesktopPictures() = default;

QString SwayDesktopPictures::desktopName() const {
    return QStringLiteral("sway");
}

std::map<QString, SwayDesktopPictures::Background>
SwayDesktopPictures::configured(const QString& configText) {
    std::map<QString, QString> variables;
    std::map<QString, Background> backgrounds;
    for (QString line : configText.split(QLatin1Char('\n'))) {
        line = line.trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        QStringList w = words(line);
        if (w.size() >= 3 && w[0] == QLatin1String("set") && w[1].startsWith(QLatin1Char('$'))) {
            variables[w[1]] = w.mid(2).join(QLatin1Char(' '));
            continue;
        }
        for (QString& word : w)
            for (const auto& [name, value] : variables)
                if (word.contains(name))
                    word.replace(name, value);
        // output <name> bg|background <file> <mode> [<colour>]
        if (w.size() < 5 || w[0] != QLatin1String("output") ||
            (w[2] != QLatin1String("bg") && w[2] != QLatin1String("background")))
            continue;
        QString file = w[3];
        if (file.startsWith(QStringLiteral("~/")))
            file = QDir::homePath() + file.mid(1);
        if (!QDir::isAbsolutePath(file))
            continue; // a solid colour ("#000000 solid_color") or something we cannot restore
        Background b;
        b.url = QUrl::fromLocalFile(file);
        b.options["mode"] = w[4].toStdString();
        if (w.size() > 5)
            b.options["color"] = w[5].toStdString();
        backgrounds[w[1]] = b;
    }
    return backgrounds;
}

QString SwayDesktopPictures::command(const QString& output, const QUrl& url,
                                     const DesktopOptions& given) {
    const DesktopOptions options = given.is_object() ? given : DesktopOptions::object();
    if (!url.isLocalFile())
        throw DesktopPictureError(
            AgendaLanguage::text("sway mostra solo file locali: " + url.toString().toStdString(),
                                 "sway shows local files only: " + url.toString().toStdString()));
    const std::optional<std::string> file = swayQuotedPath(url.toLocalFile().toStdString());
    if (!file)
        throw DesktopPictureError(AgendaLanguage::text(
            "sway non accetta un file con un a capo nel nome: " + url.toLocalFile().toStdString(),
            "sway cannot take a file with a line break in its name: " +
                url.toLocalFile().toStdString()));
    QString cmd = QStringLiteral("output ") + quotedOutput(output) + QStringLiteral(" bg ") +
                  QString::fromStdString(*file) + QLatin1Char(' ') + modeWord(options);
    if (auto it = options.find("color"); it != options.end() && it->is_string()) {
        const std::string& value = it->get_ref<const std::string&>();
        // "#rrggbb", sway's only form.
        if (value.size() == 7 && value[0] == '#' &&
            std::all_of(value.begin() + 1, value.end(),
                        [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); }))
            cmd += QLatin1Char(' ') + QString::fromStdString(value);
    }
    return cmd;
}

QString SwayDesktopPictures::statePath() const {
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation) +
           QStringLiteral("/pellora-sway-backgrounds.json");
}

// What we set in this sway instance; a restarted sway has a new socket and forgot it all.
nlohmann::json SwayDesktopPictures::state() const {
    QFile file(statePath());
    if (!file.open(QIODevice::ReadOnly))
        return nlohmann::json::object();
    auto json = nlohmann::json::parse(file.readAll().toStdString(), nullptr, false);
    if (!json.is_object() ||
        json.value("swaysock", std::string()) != qEnvironmentVariable("SWAYSOCK").toStdString() ||
        !json.contains("outputs") || !json.at("outputs").is_object())
        return nlohmann::json::object();
    return json.at("outputs");
}

std::optional<SwayDesktopPictures::Background>
SwayDesktopPictures::background(const ConnectedScreen& screen) const {
    if (const auto shown = shownBackgrounds())
        return backgroundOf(*shown, screen.connector);
    // No swaybg: what this program set, else the config, is all there is to go by.
    const nlohmann::json outputs = state();
    const std::string name = screen.connector.toStdString();
    if (outputs.contains(name) && outputs.at(name).is_object()) {
        const auto& entry = outputs.at(name);
        Background b;
        b.url = QUrl(QString::fromStdString(entry.value("url", std::string())));
        b.options = entry.value("options", DesktopOptions::object());
        if (b.url.isValid() && !b.url.isEmpty())
            return b;
    }
    const QString path = configPath();
    QFile config(path);
    if (path.isEmpty() || !config.open(QIODevice::ReadOnly))
        return std::nullopt;
    const auto backgrounds = configured(QString::fromUtf8(config.readAll()));
    for (const QString& key : {screen.connector, QStringLiteral("*")})
        if (auto it = backgrounds.find(key); it != backgrounds.end())
            return it->second;
    return std::nullopt;
}

QString SwayDesktopPictures::unverifiableReason() const {
    if (shownBackgrounds())
        return {};
    return QString::fromStdString(AgendaLanguage::text(
        "sway non ha uno swaybg in esecuzione: lo sfondo mostrato non si può leggere",
        "sway runs no swaybg: the picture it shows cannot be read"));
}

std::optional<QUrl> SwayDesktopPictures::desktopImageURL(const ConnectedScreen& screen) {
    if (auto b = background(screen))
        return b->url;
    return std::nullopt;
}

DesktopOptions SwayDesktopPictures::desktopImageOptions(const ConnectedScreen& screen) {
    if (auto b = background(screen))
        return b->options;
    return DesktopOptions::object();
}

// No colour: a stretched image covers the output, and sway keeps an output's colour when a later
// command gives none, so one set here could never be taken away from a user who had none.
DesktopOptions SwayDesktopPictures::stretchedOptions(const QColor&) const {
    return {{"mode", "stretch"}};
}

void SwayDesktopPictures::setDesktopImageURL(const QUrl& url, const ConnectedScreen& screen,
                                             const DesktopOptions& options) {
    const QString swaymsg = QStandardPaths::findExecutable(QStringLiteral("swaymsg"));
    if (swaymsg.isEmpty())
        throw notAnswering(
            AgendaLanguage::text("swaymsg non è installato", "swaymsg is not installed"));
    const bool drawn = shownBackgrounds().has_value();
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(swaymsg, {QStringLiteral("--"), command(screen.connector, url, options)});
    if (!process.waitForFinished(10000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0) {
        const QString output = QString::fromUtf8(process.readAll()).trimmed();
        throw notAnswering((output.isEmpty() ? process.errorString() : output).toStdString());
    }
    // sway answers success even when it could not open the file (it only logs that): the
    // swaybg it starts in place of the running one is the proof.
    if (drawn) {
        QElapsedTimer clock;
        clock.start();
        const auto showsIt = [&] {
            const auto shown = shownBackgrounds();
            const auto b = shown ? backgroundOf(*shown, screen.connector) : std::nullopt;
            return b && b->url.toLocalFile() == url.toLocalFile();
        };
        while (!showsIt()) {
            if (clock.elapsed() > 3000) {
                const std::string file = url.toLocalFile().toStdString();
                throw DesktopPictureError(
                    AgendaLanguage::text("sway non mostra " + file + " (vedi il suo registro)",
                                         "sway does not show " + file + " (see its log)"));
            }
            QThread::msleep(50);
        }
    }

    nlohmann::json outputs = state();
    const std::string name = screen.connector.toStdString();
    outputs[name] = {{"url", url.toString(QUrl::FullyEncoded).toStdString()},
                     {"options", options.is_object() ? options : DesktopOptions::object()}};
    // Back to the configured picture: the config answers again.
    const QString path = configPath();
    QFile config(path);
    if (!path.isEmpty() && config.open(QIODevice::ReadOnly)) {
        const auto backgrounds = configured(QString::fromUtf8(config.readAll()));
        for (const QString& key : {screen.connector, QStringLiteral("*")})
            if (auto it = backgrounds.find(key); it != backgrounds.end()) {
                if (it->second.url == url && it->second.options == options)
                    outputs.erase(name);
                break;
            }
    }
    const nlohmann::json document = {{"swaysock", qEnvironmentVariable("SWAYSOCK").toStdString()},
                                     {"outputs", outputs}};
    try {
        writeFileAtomically(statePath(), QByteArray::fromStdString(document.dump()),
                            QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    } catch (const FileWriteError& e) {
        // sway shows the picture, but a later run could not tell: say so.
        throw DesktopPictureError(e.what());
    }
}

} // namespace brivane

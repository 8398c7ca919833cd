#include "Brivane/desktop/SwayDesktopPictures.h"

#include "Brivane/AtomicWrite.h"
#include "BrivaneCore/AgendaLanguage.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <cstring>
#include <set>

namespace brivane {

namespace {

DesktopPictureError notAnswering(const std::string& detail) {
    return DesktopPictureError(
        AgendaLanguage::text("sway non risponde: " + detail, "sway does not answer: " + detail));
}

// sway's command parser takes a word apart in layers: its own quotes go (unescaped ones),
// then "$name" config variables are replaced unless the "$" follows a single backslash, then
// C-style escapes are undone ("\\" → "\", "\"" → "\""), and the background's file finally
// goes through wordexp(3), which would expand "$…", "`…`", "*", "~" and run "$(…)". Each
// byte is written so that every layer hands the next exactly what it needs and wordexp gives
// back the very bytes of the path: safe bytes as they are; "$" as "\$" (seen by the variable
// layer as escaped, left alone by the escape layer, a literal "$" for wordexp); a backslash
// and a line feed inside single quotes (wordexp's own literal quoting); every other ASCII
// byte backslash-escaped for wordexp, its backslash doubled for the escape layer and any
// double quote escaped for sway's quotes. No two spaces ever meet (sway rewrites those).
QString quotedPath(const QString& path) {
    const QByteArray bytes = path.toUtf8();
    QByteArray word = "\"";
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        const bool safe = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                          (c >= '0' && c <= '9') || c >= 0x80 || std::strchr("/._+@%:=-", c);
        if (safe)
            word += ch;
        else if (c == '$')
            word += "\\$";
        else if (c == '\\')
            word += "'\\\\'";
        else if (c == '\n')
            word += "'\n'";
        else if (c == '"')
            word += "\\\\\\\"";
        else
            word += QByteArray("\\\\") + ch;
    }
    word += '"';
    return QString::fromUtf8(word);
}

// Output names are the compositor's own ("eDP-1", "HDMI-A-1"); anything else is refused
// rather than guessed at.
QString quotedOutput(const QString& output) {
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9._:+@* -]+$"));
    if (!plain.match(output).hasMatch())
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
    QString cmd = QStringLiteral("output ") + quotedOutput(output) + QStringLiteral(" bg ") +
                  quotedPath(url.toLocalFile()) + QLatin1Char(' ') + modeWord(options);
    static const QRegularExpression colour(QStringLiteral("^#[0-9A-Fa-f]{6}([0-9A-Fa-f]{2})?$"));
    if (auto it = options.find("color"); it != options.end() && it->is_string()) {
        const QString value = QString::fromStdString(it->get<std::string>());
        if (colour.match(value).hasMatch())
            cmd += QLatin1Char(' ') + value;
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

DesktopOptions SwayDesktopPictures::stretchedOptions(const QColor& fill) const {
    return {{"mode", "stretch"}, {"color", desktopColorName(fill).toStdString()}};
}

void SwayDesktopPictures::setDesktopImageURL(const QUrl& url, const ConnectedScreen& screen,
                                             const DesktopOptions& options) {
    const QString swaymsg = QStandardPaths::findExecutable(QStringLiteral("swaymsg"));
    if (swaymsg.isEmpty())
        throw notAnswering(
            AgendaLanguage::text("swaymsg non è installato", "swaymsg is not installed"));
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(swaymsg, {QStringLiteral("--"), command(screen.connector, url, options)});
    if (!process.waitForFinished(10000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0) {
        const QString output = QString::fromUtf8(process.readAll()).trimmed();
        throw notAnswering((output.isEmpty() ? process.errorString() : output).toStdString());
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

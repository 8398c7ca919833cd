#include "Brivane/cli/VerificationMode.h"

#include "Brivane/Logging.h"
#include "Brivane/desktop/ConnectedScreen.h"
#include "Brivane/desktop/DesktopPictures.h"
#include "Brivane/desktop/WallpaperService.h"
#include "Brivane/render/DemoData.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QProcess>
#include <QTimer>
#include <QUuid>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <nlohmann/json.hpp>
#include <signal.h>

namespace brivane {

namespace {

// SIGINT, SIGTERM or SIGHUP while the check has changed the user's wallpaper: noted, so that
// the waits stop and the wallpaper is put back before the program ends by that signal.
volatile std::sig_atomic_t interruption = 0;

extern "C" void noteInterruption(int signal) {
    interruption = signal;
}

class InterruptionGuard {
public:
    InterruptionGuard() {
        interruption = 0;
        struct sigaction action {};
        action.sa_handler = &noteInterruption;
        sigemptyset(&action.sa_mask);
        for (std::size_t i = 0; i < std::size(signals); ++i)
            sigaction(signals[i], &action, &previous[i]);
    }
    ~InterruptionGuard() {
        for (std::size_t i = 0; i < std::size(signals); ++i)
            sigaction(signals[i], &previous[i], nullptr);
    }
    InterruptionGuard(const InterruptionGuard&) = delete;
    InterruptionGuard& operator=(const InterruptionGuard&) = delete;

private:
    static constexpr int signals[] = {SIGINT, SIGTERM, SIGHUP};
    struct sigaction previous[std::size(signals)]{};
};

class Interrupted : public std::runtime_error {
public:
    Interrupted(int number, const std::string& what) : std::runtime_error(what), signal(number) {}
    int signal;
};

std::optional<QUrl> currentURL(DesktopPictures& pictures, const ConnectedScreen& screen) {
    try {
        return pictures.desktopImageURL(screen);
    } catch (const std::exception&) {
        return std::nullopt; // the apply step reports the desktop's error
    }
}

// The picture URL as a new process sees it: the answer inside this one may lag behind. A child
// that hangs (a desktop that does not answer) is given ten seconds; an interruption ends the
// wait at once.
std::optional<QUrl> freshDesktopURL(const ConnectedScreen& screen) {
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--desktop-url"), QString::fromStdString(screen.id)});
    if (!child.waitForStarted(5000))
        return std::nullopt;
    child.closeWriteChannel();
    QElapsedTimer clock;
    clock.start();
    while (child.state() != QProcess::NotRunning && !child.waitForFinished(100)) {
        if (interruption || clock.elapsed() > 10000) {
            child.kill();
            child.waitForFinished(1000);
            return std::nullopt;
        }
    }
    if (child.exitStatus() != QProcess::NormalExit || child.exitCode() != 0)
        return std::nullopt;
    const QByteArray output = child.readAllStandardOutput();
    QString text = QString::fromUtf8(output);
    if (text.toUtf8() != output) // not valid UTF-8
        return std::nullopt;
    text = text.trimmed();
    if (text.isEmpty())
        return std::nullopt;
    QUrl url(text, QUrl::StrictMode);
    if (!url.isValid())
        return std::nullopt;
    return url;
}

QString resolved(const QString& path) {
    const QFileInfo info(path);
    if (const QString canonical = info.canonicalFilePath(); !canonical.isEmpty())
        return canonical;
    // A name without a file (an image GNOME shows only inside its composed picture): its folder.
    if (const QString folder = QFileInfo(info.absolutePath()).canonicalFilePath();
        !folder.isEmpty())
        return folder + QLatin1Char('/') + info.fileName();
    return QDir::cleanPath(info.absoluteFilePath());
}

// Turns the event loop in 0.1-second steps until `check` holds, 5 seconds passed or the program
// is interrupted, then asks once more.
template <typename Check>
bool waitFor(Check check) {
    QElapsedTimer clock;
    clock.start();
    while (!interruption && !check() && clock.elapsed() < 5000) {
        QEventLoop loop;
        QTimer::singleShot(100, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return check();
}

std::string quotedList(const std::vector<std::string>& lines) {
    std::string text = "[";
    for (std::size_t i = 0; i < lines.size(); ++i)
        text += (i ? ", " : "") + nlohmann::json(lines[i]).dump();
    return text + "]";
}

std::string decimal(double value) {
    char buffer[32];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
    std::string text(buffer, end);
    if (text.find_first_of(".e") == std::string::npos)
        text += ".0";
    return text;
}

class VerificationFailed : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

void verify() {
    const std::vector<ConnectedScreen> screens = ConnectedScreen::all();
    if (screens.empty())
        throw WallpaperError();
    const ConnectedScreen& screen = screens.front();
    // From here until the restore is done, the only record of the user's wallpaper may be in a
    // scratch folder: a signal must not end the program in between.
    const InterruptionGuard guard;
    std::shared_ptr<DesktopPictures> pictures = DesktopPictures::forCurrentDesktop();
    const std::optional<QUrl> before = currentURL(*pictures, screen);

    const QString directory = QDir::tempPath() + QStringLiteral("/agenda-wallpaper-verification-") +
                              QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    std::vector<std::string> errors;
    std::size_t successes = 0;
    {
        WallpaperService service(directory, pictures);
        const auto result = service.apply(DemoData::snapshot("normal"), Preferences(), {screen});
        successes = result.names.size();
        errors = result.errors;
    }
    const QString expected = resolved(directory);
    std::optional<QUrl> observed;
    // A desktop that can only echo this program's own record proves nothing: no PASS from it.
    // Asked again while waiting: a desktop may start what shows the picture a moment after it
    // took the picture (sway forks a new swaybg).
    QString unverifiable;
    const bool applied = waitFor([&] {
        unverifiable = pictures->unverifiableReason();
        if (!unverifiable.isEmpty())
            return false;
        observed = freshDesktopURL(screen);
        return observed && observed->isLocalFile() &&
               resolved(observed->toLocalFile()).startsWith(expected + QLatin1Char('/'));
    });
    if (!unverifiable.isEmpty())
        errors.push_back(unverifiable.toStdString());
    if (!applied && !interruption) {
        std::printf("Expected directory: %s\n", expected.toUtf8().constData());
        std::printf("Observed desktop URL: %s\n",
                    observed ? observed->toString(QUrl::FullyEncoded).toUtf8().constData() : "nil");
        std::printf("Successful screens: %zu; errors: %s\n", successes, quotedList(errors).c_str());
    }

    // A second service, as after a restart: it knows the original only from the file.
    WallpaperService restorer(directory, pictures);
    const std::vector<std::string> restoreErrors = restorer.restoreAll({screen});
    const bool restored = waitFor([&] {
        const std::optional<QUrl> now = freshDesktopURL(screen);
        if (!now || !before)
            return !now && !before;
        if (now->isLocalFile() && before->isLocalFile())
            return resolved(now->toLocalFile()) == resolved(before->toLocalFile());
        return *now == *before;
    });

    if (const int signal = interruption) {
        std::string description = std::string("interrupted by SIG") + sigabbrev_np(signal);
        if (restoreErrors.empty()) {
            if (!QDir(directory).removeRecursively())
                qCWarning(lcCli) << "Could not remove" << directory;
            description += "; the previous wallpaper was put back";
        } else {
            for (const std::string& line : restoreErrors)
                description += "; " + line;
            description += "; recovery data: " + directory.toStdString();
        }
        throw Interrupted(signal, description);
    }
    if (errors.empty() && restoreErrors.empty() && applied && restored) {
        if (!QDir(directory).removeRecursively())
            throw VerificationFailed(directory.toStdString() + ": " + std::strerror(errno));
        std::printf("PASS: wallpaper applied and original URL restored from saved recovery data "
                    "on %s.\n",
                    screen.name.toUtf8().constData());
        return;
    }
    std::printf("Applied: %s, restored: %s. Recovery data: %s\n", applied ? "true" : "false",
                restored ? "true" : "false", directory.toUtf8().constData());
    std::string description;
    errors.insert(errors.end(), restoreErrors.begin(), restoreErrors.end());
    for (const std::string& line : errors)
        description += (description.empty() ? "" : "; ") + line;
    throw VerificationFailed(description);
}

} // namespace

int VerificationMode::desktopURL(const ModeArguments& arguments) {
    const std::string screenID = *optionValue(arguments, "--desktop-url");
    for (const ConnectedScreen& screen : ConnectedScreen::all()) {
        if (screen.id != screenID)
            continue;
        auto pictures = DesktopPictures::forCurrentDesktop();
        const std::optional<QUrl> url = currentURL(*pictures, screen);
        std::printf("%s\n", url ? url->toString(QUrl::FullyEncoded).toUtf8().constData() : "");
        break;
    }
    std::fflush(stdout);
    return 0;
}

int VerificationMode::displayInfo(const ModeArguments&) {
    nlohmann::json document = nlohmann::json::array();
    for (const ConnectedScreen& screen : ConnectedScreen::all())
        document.push_back({{"name", screen.name.toStdString()},
                            {"width", std::to_string(screen.geometry.width())},
                            {"height", std::to_string(screen.geometry.height())},
                            {"scale", decimal(screen.scale)}});
    std::printf("%s\n", document.dump(2).c_str());
    return 0;
}

int VerificationMode::verifyWallpaper(const ModeArguments&) {
    try {
        verify();
        std::fflush(stdout);
        return 0;
    } catch (const Interrupted& interrupted) {
        std::printf("Wallpaper verification failed: %s\n", interrupted.what());
        std::fflush(stdout);
        // Ended by the signal, as the one who sent it expects, now that the wallpaper is back.
        std::signal(interrupted.signal, SIG_DFL);
        std::raise(interrupted.signal);
        return 128 + interrupted.signal;
    } catch (const std::exception& error) {
        std::printf("Wallpaper verification failed: %s\n", error.what());
        std::fflush(stdout);
        return 1;
    }
}

} // namespace brivane

#include "Brivane/cli/VerificationMode.h"

#include "Brivane/desktop/ConnectedScreen.h"
#include "Brivane/desktop/DesktopPictures.h"
#include "Brivane/desktop/WallpaperService.h"
#include "Brivane/render/DemoData.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QGuiApplication>
#include <QProcess>
#include <QTimer>
#include <QUuid>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>

namespace brivane {

namespace {

// Qt aborts when asked for a display that is not there: without one, no screens.
std::unique_ptr<QCoreApplication> application(int& argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        return std::make_unique<QCoreApplication>(argc, argv);
    return std::make_unique<QGuiApplication>(argc, argv);
}

std::optional<QUrl> currentURL(DesktopPictures& pictures, const ConnectedScreen& screen) {
    try {
        return pictures.desktopImageURL(screen);
    } catch (const std::exception&) {
        return std::nullopt; // the apply step reports the desktop's error
    }
}

// The picture URL as a new process sees it: the answer inside this one may lag behind.
std::optional<QUrl> freshDesktopURL(const ConnectedScreen& screen) {
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--desktop-url"), QString::fromStdString(screen.id)});
    if (!child.waitForStarted())
        return std::nullopt;
    child.closeWriteChannel();
    child.waitForFinished(-1);
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
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return canonical.isEmpty() ? QDir::cleanPath(QFileInfo(path).absoluteFilePath()) : canonical;
}

// Turns the event loop in 0.1-second steps until `check` holds or 5 seconds passed, then
// asks once more.
template <typename Check>
bool waitFor(Check check) {
    QElapsedTimer clock;
    clock.start();
    while (!check() && clock.elapsed() < 5000) {
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
    const bool applied = waitFor([&] {
        observed = freshDesktopURL(screen);
        return observed && observed->isLocalFile() &&
               resolved(observed->toLocalFile()).startsWith(expected + QLatin1Char('/'));
    });
    if (!applied) {
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

int VerificationMode::desktopURL(int argc, char** argv, const std::string& screenID) {
    auto app = application(argc, argv);
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

int VerificationMode::displayInfo(int argc, char** argv) {
    auto app = application(argc, argv);
    nlohmann::json document = nlohmann::json::array();
    for (const ConnectedScreen& screen : ConnectedScreen::all())
        document.push_back({{"name", screen.name.toStdString()},
                            {"width", std::to_string(screen.geometry.width())},
                            {"height", std::to_string(screen.geometry.height())},
                            {"scale", decimal(screen.scale)}});
    std::printf("%s\n", document.dump(2).c_str());
    return 0;
}

int VerificationMode::verifyWallpaper(int argc, char** argv) {
    auto app = application(argc, argv);
    try {
        verify();
        std::fflush(stdout);
        return 0;
    } catch (const std::exception& error) {
        std::printf("Wallpaper verification failed: %s\n", error.what());
        std::fflush(stdout);
        return 1;
    }
}

} // namespace brivane

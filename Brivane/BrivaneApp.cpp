#include "Brivane/BrivaneApp.h"

#include "Brivane/AppIdentity.h"
#include "Brivane/DemoData.h"
#include "Brivane/SourcesMode.h"
#include "Brivane/VerificationMode.h"
#include "Brivane/WallpaperRenderer.h"
#include "Brivane/WallpaperText.h"
#include "Brivane/cli/AgendaMode.h"
#include "Brivane/cli/CloudAccountsMode.h"
#include "Brivane/cli/UpdateCheckMode.h"
#include "Brivane/ui/AppDelegate.h"
#include "BrivaneCore/AgendaLanguage.h"
#include "BrivaneCore/WallpaperStyle.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace brivane {

namespace {

namespace fs = std::filesystem;

bool contains(const std::vector<std::string>& args, const char* option) {
    return std::find(args.begin(), args.end(), option) != args.end();
}

void printUsage() {
    std::printf("Usage: pellora [OPTION]\n"
                "Draws your day's calendar and tasks as the desktop wallpaper.\n"
                "Without options, starts in the system tray.\n"
                "\n"
                "  --render-previews [DIR]  render the sample wallpapers into DIR "
                "(default: previews)\n"
                "  --verify-wallpaper       apply a sample wallpaper, check it and restore yours\n"
                "  --display-info           describe the connected screens as JSON\n"
                "  --desktop-url ID         print the wallpaper of the screen with that id\n"
                "  --sources                list the local calendars and task lists read\n"
                "  --connect google|microsoft\n"
                "                           connect a cloud calendar account in the browser\n"
                "  --accounts               list the connected accounts: provider, e-mail, id\n"
                "  --disconnect ID          forget the account with that id\n"
                "  --check-updates          check the release feed for a newer version\n"
                "  --agenda [--json] [--date YYYY-MM-DD] [--all]\n"
                "                           print the agenda the wallpaper is drawn from\n"
                "  --help                   show this help and exit\n"
                "  --version                show the version and exit\n");
}

int unknownArgument(const std::string& argument) {
    std::fprintf(stderr, "pellora: unknown argument '%s'\nTry 'pellora --help'.\n",
                 argument.c_str());
    return 2;
}

// Writes through a temporary file so that a failed write never leaves half an image.
void writeFile(const fs::path& path, const std::vector<std::uint8_t>& bytes) {
    fs::path partial = path;
    partial += ".part";
    {
        std::ofstream out(partial, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        out.close();
        if (!out) {
            const std::string reason = std::strerror(errno);
            std::error_code ignored;
            fs::remove(partial, ignored);
            throw std::runtime_error(
                AgendaLanguage::text("Impossibile scrivere ", "Could not write ") + path.string() +
                ": " + reason);
        }
    }
    std::error_code error;
    fs::rename(partial, path, error);
    if (error) {
        fs::remove(partial, error);
        throw std::runtime_error(AgendaLanguage::text("Impossibile scrivere ", "Could not write ") +
                                 path.string() + ": " + error.message());
    }
}

} // namespace

std::string BrivaneApp::renderPreviews(const std::vector<std::string>& arguments) {
    fs::path directory = "previews";
    const auto option = std::find(arguments.begin(), arguments.end(), "--render-previews");
    // The next argument names the directory unless it is another option.
    if (option != arguments.end() && option + 1 != arguments.end() && !option[1].empty() &&
        option[1].rfind("--", 0) != 0)
        directory = option[1];

    // Fonts are resolved up front, so a missing Inter is reported once, before any drawing.
    WallpaperText::shared();

    std::error_code error;
    fs::create_directories(directory, error);
    if (error || !fs::is_directory(directory))
        throw std::runtime_error(
            AgendaLanguage::text("Impossibile creare la cartella ",
                                 "Could not create the directory ") +
            directory.string() + ": " +
            (error ? error.message()
                   : AgendaLanguage::text("non è una cartella", "not a directory")));

    struct PreviewSize {
        int width;
        int height;
    };
    constexpr PreviewSize sizes[] = {{1440, 900}, {1920, 1080}, {3440, 1440}, {1080, 1920}};

    auto renderer = [](AgendaSnapshot snapshot) {
        return WallpaperRenderer{std::move(snapshot),
                                 AgendaDates::calendar(),
                                 ScreenPreferences{},
                                 WallpaperStyle::glass,
                                 ReminderGrouping::dueDate,
                                 {},
                                 {},
                                 8,
                                 20};
    };
    auto render = [&](const WallpaperRenderer& wallpaper, PreviewSize size, const fs::path& file) {
        // One image at a time: the bitmap is dropped once its bytes exist, the bytes once written.
        std::vector<std::uint8_t> bytes;
        {
            auto image = wallpaper.image(Size{double(size.width), double(size.height)}, 1);
            bytes = WallpaperRenderer::png(*image);
        }
        writeFile(directory / file, bytes);
    };

    for (std::string_view variant : DemoData::variants) {
        for (const PreviewSize& size : sizes) {
            render(renderer(DemoData::snapshot(variant)), size,
                   std::string(variant) + "-" + std::to_string(size.width) + "x" +
                       std::to_string(size.height) + ".png");
        }
    }
    for (int palette = 0; palette < GlassHarmony::paletteCount; ++palette) {
        AgendaSnapshot snapshot = DemoData::snapshot("normal");
        const std::int64_t seconds =
            std::chrono::floor<std::chrono::seconds>(snapshot.date.time_since_epoch()).count();
        std::int64_t slot = seconds / GlassHarmony::slotSeconds;
        if (seconds < 0 && seconds % GlassHarmony::slotSeconds != 0)
            --slot;
        const std::int64_t cycleStart =
            slot - ((slot % GlassHarmony::paletteCount) + GlassHarmony::paletteCount) %
                       GlassHarmony::paletteCount;
        snapshot.date = dateFromSeconds((cycleStart + palette) * GlassHarmony::slotSeconds);
        render(renderer(std::move(snapshot)), sizes[0],
               "palette-" + std::to_string(palette) + ".png");
    }
    return fs::absolute(directory).lexically_normal().string();
}

int BrivaneApp::main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);

    if (contains(args, "--help") || contains(args, "-h")) {
        printUsage();
        return 0;
    }
    if (contains(args, "--version")) {
        std::printf("%s %s\n", AppIdentity::name().c_str(), AppIdentity::version().c_str());
        return 0;
    }

    // The command-line modes are tried in a fixed order; the first that applies decides.

    // 1. --desktop-url <screen id>: the desktop picture of one screen; as the last argument it
    //    does not apply and the next rules are tried.
    if (auto it = std::find(args.begin(), args.end(), "--desktop-url");
        it != args.end() && it + 1 != args.end())
        return VerificationMode::desktopURL(argc, argv, it[1]);

    // 2. --verify-wallpaper: the end-to-end wallpaper check.
    if (contains(args, "--verify-wallpaper"))
        return VerificationMode::verifyWallpaper(argc, argv);

    // 3. --render-previews [dir]: the sample wallpapers.
    if (contains(args, "--render-previews")) {
        try {
            const std::string directory = renderPreviews(args);
            std::printf("26 previews rendered to %s\n", directory.c_str());
            return 0;
        } catch (const RenderError& error) {
            std::fprintf(stderr, "Preview error: %s\n", error.description().c_str());
        } catch (const std::exception& error) {
            std::fprintf(stderr, "Preview error: %s\n", error.what());
        }
        return 1;
    }

    // 4. --display-info: the description of the connected screens.
    if (contains(args, "--display-info"))
        return VerificationMode::displayInfo(argc, argv);

    // --agenda: the snapshot behind the wallpaper, as text or JSON.
    if (contains(args, "--agenda"))
        return AgendaMode::run(args);

    // --sources: what the local calendar store sees.
    if (contains(args, "--sources"))
        return SourcesMode::run();

    // Cloud accounts from the terminal.
    if (auto it = std::find(args.begin(), args.end(), "--connect"); it != args.end()) {
        if (it + 1 == args.end()) {
            std::fprintf(stderr, "pellora: --connect needs google or microsoft\n");
            return 2;
        }
        return CloudAccountsMode::connect(argc, argv, it[1]);
    }
    if (contains(args, "--accounts"))
        return CloudAccountsMode::listAccounts(argc, argv);
    if (auto it = std::find(args.begin(), args.end(), "--disconnect"); it != args.end()) {
        if (it + 1 == args.end()) {
            std::fprintf(stderr, "pellora: --disconnect needs an account id (see --accounts)\n");
            return 2;
        }
        return CloudAccountsMode::disconnect(argc, argv, it[1]);
    }
    // The desktop starts "pellora <url>" for the sign-in redirect: hand it to the running one.
    if (args.size() == 1 && CloudAccountsMode::isRedirectURL(args.front()))
        return CloudAccountsMode::forwardRedirect(argc, argv, args.front());

    // --check-updates: one manual check of the release feed.
    if (contains(args, "--check-updates"))
        return UpdateCheckMode::run();

    // 5. The tray application.
    if (!args.empty())
        return unknownArgument(args.front());
    return ui::AppDelegate::run(argc, argv);
}

} // namespace brivane

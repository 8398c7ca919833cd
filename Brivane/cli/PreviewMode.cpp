#include "Brivane/cli/PreviewMode.h"

#include "Brivane/render/DemoData.h"
#include "Brivane/render/WallpaperRenderer.h"
#include "Brivane/render/WallpaperText.h"
#include "BrivaneCore/AgendaLanguage.h"
#include "BrivaneCore/WallpaperStyle.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace brivane {

namespace {

namespace fs = std::filesystem;

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

std::string PreviewMode::renderPreviews(const std::vector<std::string>& arguments) {
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
                                 DemoData::reminderGrouping,
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

int PreviewMode::run(const ModeArguments& arguments) {
    try {
        const std::string directory = renderPreviews(arguments);
        std::printf("26 previews rendered to %s\n", directory.c_str());
        return 0;
    } catch (const RenderError& error) {
        std::fprintf(stderr, "Preview error: %s\n", error.description().c_str());
    } catch (const std::exception& error) {
        std::fprintf(stderr, "Preview error: %s\n", error.what());
    }
    return 1;
}

} // namespace brivane

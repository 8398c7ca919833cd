// What the least a tray application of this kind holds resident, to set the tray application's
// own figures (bench/ui_memory.sh) against. Run inside the private session with a tray:
//   memory_floor tray        a Qt Widgets tray icon with a menu, nothing else
//   memory_floor wallpaper   the same, and one 1920×1080 glass wallpaper of the demo agenda
//                            drawn and written as a PNG, as the first refresh does
// After 5 s idle it prints its resident and anonymous memory, and its largest mapped files.
#include "Brivane/render/FrostedBackground.h"
#include "Brivane/render/PngEncoding.h"
#include "DemoRenderer.h"

#include <QApplication>
#include <QMenu>
#include <QPixmap>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <malloc.h>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace brivane;

void drawOneWallpaper(const QString& folder) {
    const WallpaperRenderer renderer = bench::demoRenderer();
    const auto image = renderer.image(Size{1920, 1080}, 1);
    const auto png = PngEncoding::encode(*image);
    if (!png) {
        std::cerr << "memory_floor: the wallpaper could not be encoded\n";
        std::exit(1);
    }
    std::ofstream((folder + "/wallpaper.png").toStdString(), std::ios::binary)
        .write(reinterpret_cast<const char*>(png->data()),
               static_cast<std::streamsize>(png->size()));
    // As the tray application does once nothing is on screen.
    FrostedBackground::clearCache();
}

void report() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS", 0) == 0 || line.rfind("RssAnon", 0) == 0 ||
            line.rfind("RssFile", 0) == 0)
            std::cout << line << '\n';
    // Resident kB per mapped file, largest first.
    std::ifstream smaps("/proc/self/smaps");
    std::map<std::string, long> resident;
    std::string name;
    for (std::string line; std::getline(smaps, line);) {
        if (line.empty())
            continue;
        if (std::isxdigit(static_cast<unsigned char>(line[0])) && line.find('-') < 16) {
            const auto slash = line.find('/');
            name = slash == std::string::npos ? std::string() : line.substr(slash);
        } else if (line.rfind("Rss:", 0) == 0 && !name.empty()) {
            resident[name] += std::stol(line.substr(4));
        }
    }
    std::vector<std::pair<long, std::string>> largest;
    for (const auto& [file, kB] : resident)
        largest.emplace_back(kB, file);
    std::sort(largest.rbegin(), largest.rend());
    for (std::size_t i = 0; i < largest.size() && i < 12; ++i)
        std::printf("  %8ld kB  %s\n", largest[i].first, largest[i].second.c_str());
}

} // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode != "tray" && mode != "wallpaper") {
        std::cerr << "usage: memory_floor tray|wallpaper\n";
        return 2;
    }
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);
    QPixmap pixmap(22, 22);
    pixmap.fill(Qt::darkGray);
    QSystemTrayIcon tray{QIcon(pixmap)};
    QMenu menu;
    menu.addAction(QStringLiteral("Quit"), &app, &QCoreApplication::quit);
    tray.setContextMenu(&menu);
    tray.show();
    QTemporaryDir folder;
    if (mode == "wallpaper")
        drawOneWallpaper(folder.path());
    malloc_trim(0);
    QTimer::singleShot(5000, &app, [&app] {
        report();
        app.quit();
    });
    return QApplication::exec();
}

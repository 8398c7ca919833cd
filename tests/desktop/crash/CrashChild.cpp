// The process the crash test kills: it applies wallpapers to two screens on the real GNOME
// settings (keyfile backend) as fast as it can, switching the second screen off and on.
//   desktop_crash_child apply <directory>    until killed
//   desktop_crash_child restore <directory>  a fresh service puts every screen back
#include "Brivane/desktop/WallpaperService.h"
#include "TestScreens.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QImage>
#include <cstdio>

using namespace brivane;

namespace {

WallpaperImage paint(const WallpaperRequest& request) {
    static int round = 0;
    QImage image(request.size * request.scale, QImage::Format_RGB32);
    image.fill(QColor::fromHsv((++round * 37) % 360, 200, 200));
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "png");
    return {png, QColor(242, 242, 242)};
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 3)
        return 2;
    const std::string mode = argv[1];
    const test::GnomeTestDesktop desktop({144, 90}, 2, {192, 108}, 1);
    WallpaperService service(QString::fromLocal8Bit(argv[2]), desktop.pictures, &paint);
    if (mode == "restore") {
        const auto failures = service.restoreAll(desktop.screens);
        for (const auto& failure : failures)
            std::printf("%s\n", failure.c_str());
        return failures.empty() ? 0 : 1;
    }
    AgendaSnapshot snapshot;
    Preferences preferences;
    for (int round = 0;; ++round) {
        preferences.screens["B"].enabled = round % 3 != 2;
        const auto result = service.apply(snapshot, preferences, desktop.screens);
        for (const auto& error : result.errors)
            std::fprintf(stderr, "%s\n", error.c_str());
    }
}

// A controller on the GNOME settings (keyfile backend) that applies wallpapers to two screens
// one refresh after another until a termination signal ends it.
//   controller_child <data directory>
// Prints "applied" once the first wallpaper is set.
#include "Brivane/controller/AgendaModel.h"
#include "TestScreens.h"

#include <QCoreApplication>
#include <cstdio>

using namespace brivane;

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 2)
        return 2;
    const QString directory = QString::fromLocal8Bit(argv[1]);
    const test::GnomeTestDesktop desktop({640, 400}, 1, {480, 300}, 2);
    AgendaModel::Options options;
    options.directory = directory;
    options.pictures = desktop.pictures;
    options.screens = [&desktop] { return desktop.screens; };
    options.loginItem = LoginItem::Location{directory + "/autostart.desktop", {}, {}};
    UpdateManager::Options updates;
    updates.updateHost = std::string();
    updates.settingsPath = directory + "/Pellora.conf";
    options.updater = std::make_unique<UpdateManager>(std::move(updates));
    AgendaModel model(std::move(options));
    bool announced = false;
    QObject::connect(&model, &AgendaModel::refreshFinished, [&] {
        if (!announced && model.lastApplied()) {
            announced = true;
            std::printf("applied\n");
            std::fflush(stdout);
        }
        model.refresh(); // keep applying
    });
    model.start();
    return app.exec();
}

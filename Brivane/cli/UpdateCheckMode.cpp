#include "Brivane/cli/UpdateCheckMode.h"

#include "Brivane/updates/UpdateManager.h"

#include <QEventLoop>
#include <cstdio>

namespace brivane {

int UpdateCheckMode::check(UpdateManager& updater, std::string& out, std::string& err) {
    if (!updater.enabled()) {
        err += updater.statusText() + "\n";
        return 1;
    }
    QEventLoop loop;
    QObject::connect(&updater, &UpdateManager::statusChanged, &loop, [&] {
        if (updater.status().kind != UpdateManager::Status::Kind::checking)
            loop.quit();
    });
    updater.checkForUpdates(true);
    if (updater.status().kind == UpdateManager::Status::Kind::checking)
        loop.exec();

    const auto& status = updater.status();
    if (status.kind == UpdateManager::Status::Kind::failed) {
        err += updater.statusText() + "\n";
        return 1;
    }
    out += updater.statusText() + "\n";
    if (status.kind == UpdateManager::Status::Kind::available && status.release->downloadURL)
        out += *status.release->downloadURL + "\n";
    return 0;
}

int UpdateCheckMode::run(const ModeArguments&) {
    UpdateManager updater;
    std::string out, err;
    const int status = check(updater, out, err);
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fwrite(err.data(), 1, err.size(), stderr);
    return status;
}

} // namespace brivane

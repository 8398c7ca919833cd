#pragma once

#include "Brivane/calendar/ICalendarStore.h"
#include "Brivane/controller/AgendaModel.h"
#include "Brivane/controller/TimerSource.h"
#include "Brivane/desktop/DesktopPictures.h"
#include "BrivaneCore/AgendaDates.h"
#include "ManualTimerSource.h"
#include "TestSession.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QString>
#include <QThread>
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace brivane::test {

// Where the tests' helper programs are.
QString pelloraExecutable();
QString childExecutable();

inline Date utc(int y, unsigned mo, unsigned d, int h = 0, int mi = 0, int s = 0) {
    using namespace std::chrono;
    return Date{sys_days{year{y} / month{mo} / day{d}} + hours{h} + minutes{mi} + seconds{s}};
}

inline void writeFile(const std::filesystem::path& path, const std::string& text) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

inline std::string readFile(const std::filesystem::path& path) {
    QFile file(QString::fromStdString(path.string()));
    file.open(QIODevice::ReadOnly);
    return file.readAll().toStdString();
}

// Runs the event loop until `done()` holds or the time runs out.
template <typename Predicate>
bool waitUntil(Predicate done, int milliseconds = 5000) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > milliseconds)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return true;
}

// Desktop pictures kept in memory: counts what the wallpaper service sets.
class MemoryDesktopPictures final : public DesktopPictures {
public:
    QString desktopName() const override { return QStringLiteral("Test"); }
    std::optional<QUrl> desktopImageURL(const ConnectedScreen& screen) override {
        const auto it = urls.find(screen.id);
        if (it == urls.end())
            return std::nullopt;
        return it->second;
    }
    DesktopOptions desktopImageOptions(const ConnectedScreen&) override {
        return DesktopOptions::object();
    }
    void setDesktopImageURL(const QUrl& url, const ConnectedScreen& screen,
                            const DesktopOptions&) override {
        urls[screen.id] = url;
        ++sets;
    }
    DesktopOptions stretchedOptions(const QColor&) const override {
        return DesktopOptions::object();
    }

    std::map<std::string, QUrl> urls;
    int sets = 0;
};

// Everything a controller under test is built on, in private folders.
struct ModelSetup {
    explicit ModelSetup(Date start, const QString& name = QStringLiteral("model"));

    QString root;
    QString data;                        // the data directory
    QString calendars;                   // a vdir root: one folder per calendar
    ManualTimerSource* timers = nullptr; // owned by the model once built
    std::shared_ptr<MemoryDesktopPictures> pictures = std::make_shared<MemoryDesktopPictures>();
    std::vector<ConnectedScreen> screens;
    LoginItem::Location loginItem;
    bool consent = true;
    int terminations = 0;

    // Adds a calendar folder with one .ics item per entry.
    std::string addCalendar(const std::string& folder, const std::string& displayName,
                            const std::vector<std::string>& items);
    std::unique_ptr<AgendaModel> build();

private:
    Date start_;
};

// Runs the event loop until the model is idle again.
bool waitForIdle(AgendaModel& model, int milliseconds = 5000);

// A one-colour PNG for each request: cheap, for tests of timing.
WallpaperImage plainImage(const WallpaperRequest& request);

} // namespace brivane::test

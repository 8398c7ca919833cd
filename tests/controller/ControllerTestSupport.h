#pragma once

#include "Brivane/controller/AgendaModel.h"
#include "Brivane/controller/TimerSource.h"
#include "Brivane/desktop/DesktopPictures.h"
#include "Brivane/calendar/ICalendarStore.h"
#include "BrivaneCore/AgendaDates.h"

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

// The private folders of this test process (HOME, XDG_*), made by main().
QString sessionRoot();
// A fresh empty folder under sessionRoot().
QString freshDirectory(const QString& name);
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

// A clock and timers the test moves by hand. Elapsed and wall-clock timers share one axis;
// `jump` moves the wall clock without firing anything, as a clock change does.
class ManualTimerSource final : public TimerSource {
public:
    struct Entry {
        Date at;
        std::function<void()> fire;
        bool live = true;
    };
    class Handle final : public Timer {
    public:
        explicit Handle(std::shared_ptr<Entry> entry) : entry_(std::move(entry)) {}
        ~Handle() override { entry_->live = false; }

    private:
        std::shared_ptr<Entry> entry_;
    };

    explicit ManualTimerSource(Date start) : now_(start) {}

    Date now() const override { return now_; }
    std::unique_ptr<Timer> at(Date fireDate, std::chrono::milliseconds,
                              std::function<void()> fire) override {
        return add(fireDate, std::move(fire));
    }
    std::unique_ptr<Timer> after(std::chrono::milliseconds delay,
                                 std::function<void()> fire) override {
        return add(now_ + delay, std::move(fire));
    }

    // Moves time forward, firing every timer that comes due in order, with the event loop
    // turning after each so that the work they start can finish.
    void advance(std::chrono::milliseconds by) {
        const Date target = now_ + by;
        for (;;) {
            std::erase_if(entries_, [](const auto& e) { return !e->live; });
            auto next =
                std::min_element(entries_.begin(), entries_.end(),
                                 [](const auto& a, const auto& b) { return a->at < b->at; });
            if (next == entries_.end() || (*next)->at > target)
                break;
            auto entry = *next;
            now_ = std::max(now_, entry->at);
            entry->live = false;
            ++fired_;
            auto fire = std::move(entry->fire);
            fire();
            settle();
        }
        now_ = target;
        settle();
    }
    void jump(Date to) {
        now_ = to;
        Q_EMIT clockChanged();
        settle();
    }
    // Lets queued work run (reads on worker threads, coroutines resuming).
    static void settle() {
        for (int i = 0; i < 5; ++i)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    int fired() const { return fired_; }
    int pending() const {
        return static_cast<int>(
            std::count_if(entries_.begin(), entries_.end(), [](const auto& e) { return e->live; }));
    }

private:
    std::unique_ptr<Timer> add(Date at, std::function<void()> fire) {
        auto entry = std::make_shared<Entry>(Entry{at, std::move(fire), true});
        entries_.push_back(entry);
        return std::make_unique<Handle>(entry);
    }

    Date now_;
    std::vector<std::shared_ptr<Entry>> entries_;
    int fired_ = 0;
};

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

// A tiny screen described by hand.
ConnectedScreen screen(const std::string& id, QRect geometry, double scale = 1);
// A one-colour PNG for each request: cheap, for tests of timing.
WallpaperImage plainImage(const WallpaperRequest& request);

} // namespace brivane::test

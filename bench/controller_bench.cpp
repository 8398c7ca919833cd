// The controller through time, on a clock moved by hand:
//  1. timer wake-ups and drawings in one idle hour (no notifications, wallpaper on);
//  2. CPU for one simulated day: 8 hours unlocked (09:00-17:00), 16 locked, with the real
//     renderer and encoder and the GNOME backend on the keyfile settings store, two screens
//     1920x1080 and 2560x1440, a calendar with a full day and open tasks; with the CPU of each
//     stage of an apply (drawing per screen, composing, encoding, writing) and the size of the
//     picture written.
// Prints figures; asserts nothing. Runs in private folders; a D-Bus session is optional.
// `--keep-picture PATH` copies the last spanned picture there, to look at.
#include "Brivane/calendar/ICalendarStore.h"
#include "Brivane/controller/AgendaModel.h"
#include "Brivane/desktop/GSettingsDesktopPictures.h"
#include "Brivane/render/StageCost.h"
#include "tests/controller/ManualTimerSource.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QUrl>
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <qcoro/qcorotask.h>
#include <set>

using namespace brivane;
using namespace std::chrono_literals;
using test::ManualTimerSource;

namespace {

double processSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

Date utc(int y, unsigned mo, unsigned d, int h, int mi = 0) {
    using namespace std::chrono;
    return Date{sys_days{year{y} / month{mo} / day{d}} + hours{h} + minutes{mi}};
}

ConnectedScreen screen(const char* id, QRect geometry) {
    ConnectedScreen s;
    s.id = id;
    s.name = s.connector = QString::fromLatin1(id);
    s.geometry = geometry;
    s.scale = 1;
    return s;
}

std::vector<ConnectedScreen> screens() {
    return {screen("A", QRect(0, 0, 1920, 1080)), screen("B", QRect(1920, 0, 2560, 1440))};
}

void write(const std::filesystem::path& path, const std::string& text) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

std::string ics(const std::string& body) {
    return "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//bench//EN\r\n" + body + "END:VCALENDAR\r\n";
}

// A working day: meetings every hour or so, an all-day item, a daily series, tasks.
void writeCalendars(const QString& root) {
    const std::string work = root.toStdString() + "/calendars/work/";
    write(work + "displayname", "Work");
    const char* titles[] = {"Standup",  "Design review",   "Lunch with Marta", "1:1",
                            "Planning", "Customer call",   "Focus time",       "Retro",
                            "Hiring",   "Budget Q1 check", "Release notes"};
    for (int i = 0; i < 11; ++i) {
        char start[32], end[32];
        std::snprintf(start, sizeof start, "20261207T%02d%02d00Z", 7 + i, (i * 10) % 60);
        std::snprintf(end, sizeof end, "20261207T%02d%02d00Z", 8 + i, (i * 10) % 60);
        write(work + "e" + std::to_string(i) + ".ics",
              ics("BEGIN:VEVENT\r\nUID:e" + std::to_string(i) + "\r\nSUMMARY:" + titles[i] +
                  "\r\nDTSTART:" + start + "\r\nDTEND:" + end + "\r\nEND:VEVENT\r\n"));
    }
    write(work + "daily.ics", ics("BEGIN:VEVENT\r\nUID:daily\r\nSUMMARY:Gym\r\n"
                                  "DTSTART:20261201T170000Z\r\nDTEND:20261201T180000Z\r\n"
                                  "RRULE:FREQ=DAILY\r\nEND:VEVENT\r\n"));
    write(work + "allday.ics", ics("BEGIN:VEVENT\r\nUID:allday\r\nSUMMARY:Conference\r\n"
                                   "DTSTART;VALUE=DATE:20261208\r\nDTEND;VALUE=DATE:20261210\r\n"
                                   "END:VEVENT\r\n"));
    const std::string tasks = root.toStdString() + "/calendars/tasks/";
    write(tasks + "displayname", "Tasks");
    for (int i = 0; i < 6; ++i)
        write(tasks + "t" + std::to_string(i) + ".ics",
              ics("BEGIN:VTODO\r\nUID:t" + std::to_string(i) + "\r\nSUMMARY:Task " +
                  std::to_string(i) + "\r\nDUE:2026120" + std::to_string(7 + i % 3) +
                  "T160000Z\r\nEND:VTODO\r\n"));
}

struct Controller {
    Controller(const QString& root, Date start, bool realDesktop) {
        writeCalendars(root);
        const QString data = root + "/data";
        QDir().mkpath(data);
        ICalendarStore::Options storeOptions;
        storeOptions.configFile = (data + "/calendar-sources.json").toStdString();
        storeOptions.vdirRoots = {(root + "/calendars").toStdString()};
        auto store = std::make_unique<ICalendarStore>(storeOptions);
        QCoro::waitFor(store->requestFullAccess(CalendarEntity::event));
        QCoro::waitFor(store->requestFullAccess(CalendarEntity::reminder));
        Preferences preferences;
        preferences.activated = true;
        for (const auto& c : QCoro::waitFor(store->calendars(CalendarEntity::event)))
            preferences.assignments[c.id] = AgendaGroup::ostrid;
        write((data + "/preferences.json").toStdString(), preferences.toJson().dump());

        AgendaModel::Options options;
        options.directory = data;
        options.store = std::move(store);
        UpdateManager::Options updates;
        updates.updateHost = std::string();
        updates.settingsPath = root + "/Pellora.conf";
        options.updater = std::make_unique<UpdateManager>(std::move(updates));
        if (realDesktop)
            options.pictures = std::make_shared<GSettingsDesktopPictures>(
                GSettingsDesktopPictures::Flavour::gnome, &screens);
        options.screens = &screens;
        auto manual = std::make_unique<ManualTimerSource>(start);
        clock = manual.get();
        options.timers = std::move(manual);
        options.systemEvents = false;
        options.loginItem = LoginItem::Location{root + "/autostart.desktop", {}, {}};
        options.terminate = [] {};
        model = std::make_unique<AgendaModel>(std::move(options));
        auto& cloud = model->cloudCalendars();
        idle([&] { return cloud.accountsLoaded() || cloud.syncError(); });
        model->start();
        idle([&] { return !model->refreshing(); });
    }

    template <typename Predicate>
    static void idle(Predicate done) {
        QElapsedTimer timer;
        timer.start();
        while (!done() && timer.elapsed() < 20000) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            QThread::usleep(200);
        }
    }
    // Lives through `span` a minute at a time; every refresh ends before time moves on.
    void live(std::chrono::minutes span) {
        for (auto m = 0min; m < span; ++m) {
            clock->advance(1min);
            idle([&] { return !model->refreshing(); });
        }
    }

    ManualTimerSource* clock = nullptr;
    std::unique_ptr<AgendaModel> model;
};

} // namespace

int main(int argc, char** argv) {
    QTemporaryDir tmp(QDir::tempPath() + "/pellora-controller-bench-XXXXXX");
    for (const char* name : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"}) {
        const QString dir = tmp.path() + "/" + QString::fromLatin1(name).toLower();
        QDir().mkpath(dir);
        qputenv(name, dir.toUtf8());
    }
    qputenv("GSETTINGS_BACKEND", "keyfile");
    qputenv("TZ", "Europe/Rome");
    QCoreApplication app(argc, argv);

    // 1. One idle hour with the wallpaper on: only the timers wake the controller. Expected:
    //    twelve drawings, one per five-minute tick; the refreshes at :25, :55 and the palette's
    //    at 11:00 draw instead of the tick due at the same instant.
    {
        Controller idle(tmp.path() + "/idle", utc(2026, 12, 7, 9, 0), false); // 10:00
        const int before = idle.clock->fired();
        const int rendersBefore = idle.model->renderCount();
        const int refreshesBefore = idle.model->refreshCount();
        std::string drawnAt;
        for (int minute = 1; minute <= 60; ++minute) {
            const int renders = idle.model->renderCount();
            idle.live(1min);
            for (int n = renders; n < idle.model->renderCount(); ++n)
                drawnAt += (drawnAt.empty() ? ":" : " :") + std::to_string(minute % 60 / 10) +
                           std::to_string(minute % 10);
        }
        const auto& fired = idle.clock->firedAt();
        const std::vector<Date> hour(fired.end() - (idle.clock->fired() - before), fired.end());
        const std::set<Date> instants(hour.begin(), hour.end());
        std::printf("idle hour 10:00-11:00: %zu timer expirations at %zu distinct instants "
                    "(refresh :25/:55, 12 timeline ticks, palette at 11:00); %d refreshes, "
                    "%d wallpapers drawn (at %s); nothing polls\n"
                    "  start-up before it: %d wallpapers drawn (local calendars at once, then "
                    "with tasks and cloud accounts)\n",
                    hour.size(), instants.size(), idle.model->refreshCount() - refreshesBefore,
                    idle.model->renderCount() - rendersBefore, drawnAt.c_str(), rendersBefore);
    }

    // 2. A simulated day on the GNOME settings.
    {
        const QString root = tmp.path() + "/day";
        QDir().mkpath(root);
        QImage user(64, 40, QImage::Format_RGB32);
        user.fill(Qt::darkGreen);
        user.save(root + "/user.png", "png");
        QProcess::execute("gsettings", {"set", "org.gnome.desktop.background", "picture-uri",
                                        QUrl::fromLocalFile(root + "/user.png").toString()});
        const double start = processSeconds();
        Controller day(root, utc(2026, 12, 7, 8, 0), true); // 09:00
        const double setup = processSeconds() - start;
        const int rendersBefore = day.model->renderCount();
        StageCost::reset();

        const double unlockedStart = processSeconds();
        day.live(8h);
        const double unlocked = processSeconds() - unlockedStart;
        const int rendersUnlocked = day.model->renderCount() - rendersBefore;
        const int refreshesUnlocked = day.model->refreshCount();
        const auto stages = StageCost::totals();

        day.model->setSessionLocked(true);
        const double lockedStart = processSeconds();
        day.live(16h);
        const double locked = processSeconds() - lockedStart;
        const int refreshesLocked = day.model->refreshCount() - refreshesUnlocked;
        const double unlockStart = processSeconds();
        day.model->setSessionLocked(false);
        const double unlock = processSeconds() - unlockStart;
        const int renders = day.model->renderCount() - rendersBefore;

        const double perApply = rendersUnlocked > 0 ? unlocked / rendersUnlocked : 0;
        std::printf(
            "simulated day (1920x1080 + 2560x1440, GNOME keyfile): %.1f CPU-s for the day\n"
            "  start-up with first apply: %.2f s\n"
            "  8 h unlocked: %.1f s, %d applies (%.0f ms each, reads included), %d refreshes\n"
            "  16 h locked: %.1f s, %d refreshes, %d applies\n"
            "  unlock: %.2f s for the apply at once\n"
            "  total applies %d\n",
            setup + unlocked + locked + unlock, setup, unlocked, rendersUnlocked, perApply * 1000,
            refreshesUnlocked, locked, refreshesLocked,
            renders - rendersUnlocked - (renders > rendersUnlocked ? 1 : 0), unlock, renders);

        // Where an unlocked apply's CPU goes (all threads), per apply.
        std::printf("  per apply in the unlocked hours (CPU ms, all threads):\n");
        double staged = 0;
        for (const auto& [key, total] : stages) {
            staged += total.seconds;
            std::printf("    %-8s %-10s %6.1f ms  (%d times, %.1f s)\n", key.first.c_str(),
                        key.second.c_str(), total.seconds * 1000 / std::max(1, rendersUnlocked),
                        total.count, total.seconds);
        }
        std::printf("    the rest: reads, settings, records, clean-up, timers: %.1f ms\n",
                    (unlocked - staged) * 1000 / std::max(1, rendersUnlocked));
        QDirIterator composites(root, {QStringLiteral("pellora-spanned-*.png")}, QDir::Files,
                                QDirIterator::Subdirectories);
        while (composites.hasNext()) {
            const QString path = composites.next();
            std::printf("  spanned picture on display: %.2f MB\n",
                        double(QFileInfo(path).size()) / 1e6);
            // To look at it: controller_bench --keep-picture /tmp/spanned.png
            if (argc > 2 && QByteArray(argv[1]) == "--keep-picture") {
                QFile::remove(QString::fromLocal8Bit(argv[2]));
                QFile::copy(path, QString::fromLocal8Bit(argv[2]));
            }
        }
        day.model->restoreOnTermination();
    }
    return 0;
}

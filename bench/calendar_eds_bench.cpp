// The Evolution Data Server backend on a private EDS holding 10 local calendars with 5,000 events
// (200 of them recurring) and 1,000 tasks in 10 local task lists. Measures what one refresh asks
// of it: the week's events of every calendar and all incomplete tasks, cold (a new store: find
// EDS, list the sources, open them, read) and warm (nothing changed since the last read).

#include "BenchSupport.h"
#include "Brivane/calendar/EdsCalendarStore.h"
#include "BrivaneCore/AgendaDates.h"
#include "EdsTestSession.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <algorithm>
#include <cstdio>
#include <future>
#include <qcoro/qcorotask.h>
#include <random>
#include <sys/resource.h>
#include <thread>

using namespace brivane;
using brivane::testing::EdsTestSession;

namespace {

// CPU time of this process so far; on a busy machine the wall time mostly measures the others.
double cpuMilliseconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

constexpr int sourceCount = 10;
constexpr int eventsPerSource = 500;
constexpr int recurringPerSource = 20;
constexpr int tasksPerSource = 100;

using bench::stamp;

struct Fill {
    std::vector<std::string> calendars;
    std::vector<std::string> lists;
};

Fill fill() {
    Fill made;
    std::mt19937 random(7);
    const auto now = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
    std::uniform_int_distribution<int> dayOffset(-60, 60);
    std::uniform_int_distribution<int> hour(7, 20);
    const char* rules[] = {"FREQ=DAILY", "FREQ=WEEKLY;BYDAY=MO,WE,FR", "FREQ=WEEKLY",
                           "FREQ=MONTHLY;BYMONTHDAY=15", "FREQ=WEEKLY;COUNT=52"};
    for (int c = 0; c < sourceCount; ++c) {
        const std::string calendar =
            EdsTestSession::createLocalSource("Calendar " + std::to_string(c), false);
        std::vector<std::string> events;
        for (int e = 0; e < eventsPerSource; ++e) {
            const bool recurring = e < recurringPerSource;
            const auto start = std::chrono::floor<std::chrono::days>(now) +
                               std::chrono::days(recurring ? -200 : dayOffset(random)) +
                               std::chrono::hours(hour(random));
            events.push_back("BEGIN:VEVENT\r\nUID:c" + std::to_string(c) + "-e" +
                             std::to_string(e) + "@bench\r\nSUMMARY:Event " + std::to_string(e) +
                             "\r\nDTSTAMP:20260101T000000Z\r\n"
                             "DTSTART;TZID=Europe/Rome:" +
                             stamp(start) + "\r\nDTEND;TZID=Europe/Rome:" +
                             stamp(start + std::chrono::minutes(45)) + "\r\n" +
                             (recurring ? std::string("RRULE:") + rules[e % 5] + "\r\n" : "") +
                             "LOCATION:Room " + std::to_string(e % 7) +
                             "\r\nDESCRIPTION:Notes for the meeting.\r\nEND:VEVENT\r\n");
        }
        EdsTestSession::addAll(calendar, false, events);
        made.calendars.push_back(calendar);

        const std::string list =
            EdsTestSession::createLocalSource("Tasks " + std::to_string(c), true);
        std::vector<std::string> tasks;
        for (int t = 0; t < tasksPerSource; ++t) {
            const auto due =
                std::chrono::floor<std::chrono::days>(now) + std::chrono::days(dayOffset(random));
            tasks.push_back("BEGIN:VTODO\r\nUID:c" + std::to_string(c) + "-t" + std::to_string(t) +
                            "@bench\r\nSUMMARY:Task " + std::to_string(t) +
                            "\r\nDTSTAMP:20260101T000000Z\r\nDUE;VALUE=DATE:" +
                            stamp(due).substr(0, 8) + "\r\nPRIORITY:" + std::to_string(t % 10) +
                            "\r\n" + (t % 4 == 0 ? "STATUS:COMPLETED\r\n" : "") + "END:VTODO\r\n");
        }
        EdsTestSession::addAll(list, true, tasks);
        made.lists.push_back(list);
    }
    return made;
}

struct Read {
    std::size_t events = 0;
    std::size_t tasks = 0;
    double milliseconds = 0;
};

// One refresh's worth: the week's events of every calendar and every incomplete task.
Read refresh(EdsCalendarStore& store) {
    const Calendar calendar = AgendaDates::calendar();
    const Date now =
        std::chrono::time_point_cast<std::chrono::milliseconds>(std::chrono::system_clock::now());
    const Date start = calendar.startOfDay(now);
    const Date end = AgendaDates::endOfWeek(now, calendar);
    QElapsedTimer clock;
    clock.start();
    std::promise<std::size_t> tasks;
    store.fetchIncompleteReminders([&tasks](std::optional<std::vector<ReminderItem>> items) {
        tasks.set_value(items ? items->size() : 0);
    });
    Read read;
    const auto calendars = QCoro::waitFor(store.calendars(CalendarEntity::event));
    std::vector<std::string> ids;
    for (const auto& c : calendars) {
        ids.push_back(c.id);
    }
    read.events = QCoro::waitFor(store.events(start, end, ids)).size();
    read.tasks = tasks.get_future().get();
    read.milliseconds = static_cast<double>(clock.nsecsElapsed()) / 1e6;
    return read;
}

} // namespace

int main(int argc, char** argv) {
    EdsTestSession::prepare();
    int status = 0;
    {
        QCoreApplication app(argc, argv);
        if (!EdsTestSession::startEds()) {
            std::fprintf(stderr, "evolution-data-server is not installed\n");
            status = 1;
        } else {
            QElapsedTimer filling;
            filling.start();
            fill();
            std::printf("EDS filled with %d events (%d recurring) and %d tasks in %lld ms\n",
                        sourceCount * eventsPerSource, sourceCount * recurringPerSource,
                        sourceCount * tasksPerSource, static_cast<long long>(filling.elapsed()));
            // The first cold read also has the factory load every calendar; later ones find
            // EDS warm, as a program started in a running session does.
            for (int round = 0; round < 4; ++round) {
                QElapsedTimer clock;
                clock.start();
                const double cpuBefore = cpuMilliseconds();
                EdsCalendarStore store;
                const Read cold = refresh(store);
                const double total = static_cast<double>(clock.nsecsElapsed()) / 1e6;
                const double cpu = cpuMilliseconds() - cpuBefore;
                std::vector<double> warm;
                Read last;
                for (int i = 0; i < 50; ++i) {
                    last = refresh(store);
                    warm.push_back(last.milliseconds);
                }
                std::sort(warm.begin(), warm.end());
                std::printf(
                    "round %d: cold %.1f ms, %.1f ms of CPU here (%zu events this week, %zu "
                    "open tasks); warm median %.3f ms, max %.3f ms (%zu events, %zu "
                    "tasks)\n",
                    round, total, cpu, cold.events, cold.tasks, warm[warm.size() / 2], warm.back(),
                    last.events, last.tasks);
            }
        }
    }
    EdsTestSession::finish();
    double load[3] = {0, 0, 0};
    if (getloadavg(load, 3) > 0) {
        std::printf("load average while measuring: %.1f on %u cores\n", load[0],
                    std::thread::hardware_concurrency());
    }
    return status;
}

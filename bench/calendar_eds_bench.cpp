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

using bench::collectionCount;
using bench::eventsPerCollection;
using bench::recurringPerCollection;
using bench::tasksPerCollection;

struct Fill {
    std::vector<std::string> calendars;
    std::vector<std::string> lists;
};

Fill fill() {
    Fill made;
    const auto collections = bench::collections();
    for (std::size_t c = 0; c < collections.size(); ++c) {
        const std::string calendar =
            EdsTestSession::createLocalSource("Calendar " + std::to_string(c), false);
        EdsTestSession::addAll(calendar, false, collections[c].events);
        made.calendars.push_back(calendar);
        const std::string list =
            EdsTestSession::createLocalSource("Tasks " + std::to_string(c), true);
        EdsTestSession::addAll(list, true, collections[c].tasks);
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
            std::printf(
                "EDS filled with %d events (%d recurring) and %d tasks in %lld ms\n",
                collectionCount * eventsPerCollection, collectionCount * recurringPerCollection,
                collectionCount * tasksPerCollection, static_cast<long long>(filling.elapsed()));
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

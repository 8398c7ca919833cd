// The local calendar store on a realistic vdir tree: 10 collections holding 5,000 events (200 of
// them recurring) and 1,000 tasks, one .ics file per item. Measures what one refresh asks of
// it: the week's events of every calendar and all incomplete tasks, cold (a new store, every
// file parsed) and warm (nothing changed since the last read).

#include "BenchSupport.h"
#include "Brivane/calendar/ICalendarStore.h"
#include "BrivaneCore/AgendaDates.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <qcoro/qcorotask.h>

using namespace brivane;
namespace fs = std::filesystem;

namespace {

struct Tree {
    QTemporaryDir dir;
    std::string dataDirectory;
    std::string root;

    Tree() {
        root = dir.path().toStdString() + "/calendars";
        dataDirectory = dir.path().toStdString() + "/data";
        const auto collections = bench::collections();
        for (std::size_t c = 0; c < collections.size(); ++c) {
            const fs::path collection = fs::path(root) / ("collection-" + std::to_string(c));
            fs::create_directories(collection);
            std::ofstream(collection / "displayname") << "Calendar " << c << "\n";
            for (std::size_t e = 0; e < collections[c].events.size(); ++e)
                std::ofstream(collection / ("e" + std::to_string(e) + ".ics"))
                    << bench::calendarFile(collections[c].events[e]);
            for (std::size_t t = 0; t < collections[c].tasks.size(); ++t)
                std::ofstream(collection / ("t" + std::to_string(t) + ".ics"))
                    << bench::calendarFile(collections[c].tasks[t]);
        }
    }

    ICalendarStore::Options options() const {
        ICalendarStore::Options o;
        o.configFile = dataDirectory + "/calendar-sources.json";
        o.vdirRoots = {root};
        return o;
    }
};

Tree& tree() {
    static Tree instance;
    return instance;
}

// One refresh's worth of reading; returns the number of occurrences and tasks.
std::size_t readOnce(ICalendarStore& store) {
    const Calendar calendar = AgendaDates::calendar();
    const Date now =
        std::chrono::time_point_cast<std::chrono::milliseconds>(std::chrono::system_clock::now());
    std::promise<std::size_t> tasks;
    store.fetchIncompleteReminders([&](std::optional<std::vector<ReminderItem>> items) {
        tasks.set_value(items ? items->size() : 0);
    });
    std::vector<std::string> ids;
    for (const auto& c : QCoro::waitFor(store.calendars(CalendarEntity::event))) {
        ids.push_back(c.id);
    }
    const auto events = QCoro::waitFor(
        store.events(calendar.startOfDay(now), AgendaDates::endOfWeek(now, calendar), ids));
    const std::size_t total = events.size() + tasks.get_future().get();
    QCoreApplication::processEvents(); // the watcher catches up with the tree
    return total;
}

void coldRead(benchmark::State& state) {
    std::size_t items = 0;
    for (auto _ : state) {
        ICalendarStore store(tree().options());
        items = readOnce(store);
        benchmark::DoNotOptimize(items);
    }
    state.counters["items"] = double(items);
}

void warmRead(benchmark::State& state) {
    ICalendarStore store(tree().options());
    readOnce(store);
    readOnce(store); // the first read also sets up the watches
    std::size_t items = 0;
    for (auto _ : state) {
        items = readOnce(store);
        benchmark::DoNotOptimize(items);
    }
    state.counters["items"] = double(items);
}

BENCHMARK(coldRead)->Unit(benchmark::kMillisecond)->Iterations(5)->MeasureProcessCPUTime();
BENCHMARK(warmRead)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    tree(); // written once, outside the measurements
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

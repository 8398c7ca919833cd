// The local calendar store on a realistic vdir tree: 10 collections holding 5,000 events (200 of
// them recurring) and 1,000 tasks, one .ics file per item. Measures what one refresh asks of
// it: the week's events of every calendar and all incomplete tasks, cold (a new store, every
// file parsed) and warm (nothing changed since the last read).

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
#include <random>

using namespace brivane;
namespace fs = std::filesystem;

namespace {

constexpr int collectionCount = 10;
constexpr int eventsPerCollection = 500;
constexpr int recurringPerCollection = 20;
constexpr int tasksPerCollection = 100;

std::string stamp(std::chrono::sys_seconds t) {
    const auto day = std::chrono::floor<std::chrono::days>(t);
    const std::chrono::year_month_day ymd{day};
    const std::chrono::hh_mm_ss hms{t - day};
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%04d%02u%02uT%02d%02d00", int(ymd.year()),
                  unsigned(ymd.month()), unsigned(ymd.day()), int(hms.hours().count()),
                  int(hms.minutes().count()));
    return buffer;
}

struct Tree {
    QTemporaryDir dir;
    std::string dataDirectory;
    std::string root;

    Tree() {
        root = dir.path().toStdString() + "/calendars";
        dataDirectory = dir.path().toStdString() + "/data";
        std::mt19937 random(7);
        const auto now = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
        std::uniform_int_distribution<int> dayOffset(-60, 60);
        std::uniform_int_distribution<int> hour(7, 20);
        const char* rules[] = {"FREQ=DAILY", "FREQ=WEEKLY;BYDAY=MO,WE,FR", "FREQ=WEEKLY",
                               "FREQ=MONTHLY;BYMONTHDAY=15", "FREQ=WEEKLY;COUNT=52"};
        for (int c = 0; c < collectionCount; ++c) {
            const fs::path collection = fs::path(root) / ("collection-" + std::to_string(c));
            fs::create_directories(collection);
            std::ofstream(collection / "displayname") << "Calendar " << c << "\n";
            for (int e = 0; e < eventsPerCollection; ++e) {
                const bool recurring = e < recurringPerCollection;
                const auto start = std::chrono::floor<std::chrono::days>(now) +
                                   std::chrono::days(recurring ? -200 : dayOffset(random)) +
                                   std::chrono::hours(hour(random));
                std::ofstream(collection / ("e" + std::to_string(e) + ".ics"))
                    << "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//bench//EN\r\n"
                    << "BEGIN:VEVENT\r\nUID:c" << c << "-e" << e << "@bench\r\n"
                    << "SUMMARY:Event " << e << " of calendar " << c << "\r\n"
                    << "DTSTAMP:20260101T000000Z\r\n"
                    << "DTSTART;TZID=Europe/Rome:" << stamp(start) << "\r\n"
                    << "DTEND;TZID=Europe/Rome:" << stamp(start + std::chrono::minutes(45))
                    << "\r\n"
                    << (recurring ? std::string("RRULE:") + rules[e % 5] + "\r\n" : "")
                    << "LOCATION:Room " << e % 7 << "\r\nDESCRIPTION:Notes for the meeting.\r\n"
                    << "END:VEVENT\r\nEND:VCALENDAR\r\n";
            }
            for (int t = 0; t < tasksPerCollection; ++t) {
                const auto due = std::chrono::floor<std::chrono::days>(now) +
                                 std::chrono::days(dayOffset(random));
                std::ofstream(collection / ("t" + std::to_string(t) + ".ics"))
                    << "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//bench//EN\r\n"
                    << "BEGIN:VTODO\r\nUID:c" << c << "-t" << t << "@bench\r\n"
                    << "SUMMARY:Task " << t << "\r\nDTSTAMP:20260101T000000Z\r\n"
                    << (t % 3 == 0 ? "DUE;VALUE=DATE:" + stamp(due).substr(0, 8)
                                   : "DUE:" + stamp(due) + "Z")
                    << "\r\nPRIORITY:" << t % 10 << "\r\n"
                    << (t % 4 == 0 ? "STATUS:COMPLETED\r\nCOMPLETED:20260101T000000Z\r\n" : "")
                    << "END:VTODO\r\nEND:VCALENDAR\r\n";
            }
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

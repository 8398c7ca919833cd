// Calendar access, refresh arithmetic and per-day selection: the work every refresh repeats.
#include "BrivaneCore/AgendaDates.h"
#include "BrivaneCore/AgendaSnapshot.h"
#include "BrivaneCore/ReminderModel.h"

#include <benchmark/benchmark.h>
#include <cstdlib>

using namespace brivane;
using namespace std::chrono;

namespace {

void setLocale() {
    setenv("LANGUAGE", "it_IT", 1);
    setenv("TZ", "Europe/Rome", 1);
}

void calendarAccess(benchmark::State& state) {
    setLocale();
    for (auto _ : state)
        benchmark::DoNotOptimize(AgendaDates::calendar());
}
BENCHMARK(calendarAccess);

void nextScheduledRefresh(benchmark::State& state) {
    setLocale();
    const Calendar c = AgendaDates::calendar();
    Date t = c.date(2026, 9, 28, 10, 26).value();
    for (auto _ : state) {
        benchmark::DoNotOptimize(AgendaDates::nextScheduledRefresh(t, c));
        t += seconds(37);
    }
}
BENCHMARK(nextScheduledRefresh);

void remainingDays(benchmark::State& state) {
    setLocale();
    const Calendar c = AgendaDates::calendar();
    const Date monday = c.date(2026, 9, 28, 11, 30).value();
    for (auto _ : state)
        benchmark::DoNotOptimize(AgendaDates::remainingDays(monday, c));
}
BENCHMARK(remainingDays);

void eventsOnDay(benchmark::State& state) {
    setLocale();
    const Calendar c = AgendaDates::calendar();
    const Date monday = c.date(2026, 9, 28).value();
    AgendaSnapshot snapshot{monday, std::nullopt, {}, {}, false, {}};
    for (int i = 0; i < 1000; ++i) {
        const Date start = monday + minutes(i * 10);
        snapshot.events.emplace_back(
            "event-" + std::to_string(i), "Event " + std::to_string(i % 37), start,
            start + minutes(45), i % 50 == 0, i % 2 ? AgendaGroup::ostrid : AgendaGroup::personal);
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(snapshot.eventsOn(monday + hours(30), AgendaGroup::ostrid, c));
}
BENCHMARK(eventsOnDay)->Unit(benchmark::kMicrosecond);

void remindersInSection(benchmark::State& state) {
    setLocale();
    const Calendar c = AgendaDates::calendar();
    const Date now = c.date(2026, 9, 28, 11, 30).value();
    ReminderSnapshot snapshot;
    for (int i = 0; i < 1000; ++i) {
        std::optional<Date> due;
        if (i % 4)
            due = now + hours(i % 72);
        snapshot.items.emplace_back("r" + std::to_string(i), "Promemoria " + std::to_string(i % 91),
                                    "Oggi", due, i % 3 == 0, i % 10,
                                    "list-" + std::to_string(i % 3));
    }
    const auto mode = static_cast<ReminderGrouping>(state.range(0));
    for (auto _ : state)
        benchmark::DoNotOptimize(
            snapshot.itemsIn(ReminderSection::scheduled, mode, now, c, {{"scheduled", "list-1"}}));
}
BENCHMARK(remindersInSection)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();

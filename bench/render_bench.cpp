// Render and encode figures for the wallpaper renderer. Each case reports, per image, the
// median over repetitions of: the frosted background alone, the rest of the drawing, our PNG
// encoding on both cores and on one (the program picks by the load average), and Cairo's own
// PNG writer on the same frame (with the ratio of it to ours on both cores).
#include "Brivane/render/CairoPainter.h"
#include "Brivane/render/DemoData.h"
#include "Brivane/render/FrostedBackground.h"
#include "Brivane/render/PngEncoding.h"
#include "Brivane/render/WallpaperRenderer.h"

#include <benchmark/benchmark.h>
#include <cairo.h>
#include <chrono>

namespace {

using namespace brivane;
using Clock = std::chrono::steady_clock;

double millis(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

cairo_status_t discard(void* closure, const unsigned char*, unsigned int length) {
    *static_cast<std::size_t*>(closure) += length;
    return CAIRO_STATUS_SUCCESS;
}

void backgroundCold(benchmark::State& state) {
    for (auto _ : state) {
        auto image = FrostedBackground::makeImage(1200, 750, 0);
        benchmark::DoNotOptimize(image);
    }
}
BENCHMARK(backgroundCold)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly();

void renderAndEncode(benchmark::State& state, double width, double height, double scale,
                     WallpaperStyle style, const char* variant, bool cairoWriter) {
    const WallpaperRenderer renderer{DemoData::snapshot(variant),
                                     AgendaDates::calendar(),
                                     ScreenPreferences{},
                                     style,
                                     ReminderGrouping::dueDate,
                                     {},
                                     {},
                                     8,
                                     20};
    double background = 0, drawing = 0, encoding = 0, oneCore = 0, cairo = 0, bytes = 0;
    for (auto _ : state) {
        // The background on its own (cache warm, as in a refresh within one palette).
        auto plain = RasterImage::create(static_cast<int>(width * scale),
                                         static_cast<int>(height * scale), scale);
        const auto b0 = Clock::now();
        if (style == WallpaperStyle::glass) {
            CairoPainter painter(*plain);
            FrostedBackground::draw(painter, Rect{0, 0, width, height},
                                    GlassHarmony::at(renderer.snapshot.date).index);
        }
        const auto b1 = Clock::now();
        plain.reset();

        const auto t0 = Clock::now();
        auto image = renderer.image(Size{width, height}, scale);
        const auto t1 = Clock::now();
        const auto png = PngEncoding::encode(*image, PngEncoding::Filter::up,
                                             PngEncoding::automaticLevel, PngEncoding::Cores::both);
        const auto t2 = Clock::now();
        state.SetIterationTime(std::chrono::duration<double>(t2 - t0).count());
        const double bg = millis(b0, b1);
        background += bg;
        drawing += millis(t0, t1) - bg;
        encoding += millis(t1, t2);
        bytes += static_cast<double>(png->size());
        {
            const auto o0 = Clock::now();
            auto single = PngEncoding::encode(*image, PngEncoding::Filter::up,
                                              PngEncoding::automaticLevel, PngEncoding::Cores::one);
            oneCore += millis(o0, Clock::now());
            benchmark::DoNotOptimize(single);
        }
        if (cairoWriter) {
            std::size_t written = 0;
            const auto c0 = Clock::now();
            cairo_surface_write_to_png_stream(image->surface(), discard, &written);
            cairo += millis(c0, Clock::now());
        }
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["background_ms"] = background / n;
    state.counters["drawing_ms"] = drawing / n;
    state.counters["encode_ms"] = encoding / n;
    state.counters["encode_1core_ms"] = oneCore / n;
    state.counters["png_MB"] = bytes / n / 1e6;
    if (cairoWriter) {
        state.counters["cairo_writer_ms"] = cairo / n;
        state.counters["cairo_over_ours"] = cairo / encoding;
    }
}

void registerAll() {
    struct Case {
        const char* name;
        double width, height, scale;
    };
    const Case cases[] = {{"1440x900@2", 1440, 900, 2},
                          {"1920x1080@1", 1920, 1080, 1},
                          {"3440x1440@1", 3440, 1440, 1},
                          {"2560x1440@2", 2560, 1440, 2}};
    for (const Case& c : cases) {
        for (WallpaperStyle style : allWallpaperStyles) {
            for (const char* variant : {"normal", "dense"}) {
                const std::string name = std::string("render+encode/") + c.name + "/" +
                                         std::string(rawValue(style)) + "/" + variant;
                const bool cairoWriter = style == WallpaperStyle::glass;
                benchmark::RegisterBenchmark(name.c_str(),
                                             [=](benchmark::State& state) {
                                                 renderAndEncode(state, c.width, c.height, c.scale,
                                                                 style, variant, cairoWriter);
                                             })
                    ->Unit(benchmark::kMillisecond)
                    ->UseManualTime()
                    ->Iterations(1)
                    ->Repetitions(5)
                    ->ReportAggregatesOnly();
            }
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    setenv("LANGUAGE", "en", 0);
    registerAll();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

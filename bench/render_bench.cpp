// Render and encode figures for the wallpaper renderer. Each case reports, per image, the
// median over repetitions of: the frosted background alone, the rest of the drawing, our PNG
// encoding on both cores and on one (the program picks by the load average), and Cairo's own
// PNG writer on the same frame (with the ratio of it to ours on both cores), and the floor: the
// same rows filtered and compressed by libdeflate's fastest level in one zlib stream (in two
// halves on two threads for both cores), with the ratio of ours to it on one core and on both.
// The encode case takes the 2880x1800 glass frame alone and clocks CPU, not the wall, so that a
// busy machine does not blur it: one core on the thread's own clock; both cores as the larger
// of the two threads' CPU (what the wall shows on an idle machine) beside the wall itself; the
// incremental encode after a few rows changed; libdeflate's floor and Cairo's writer likewise.
#include "Brivane/render/CairoPainter.h"
#include "Brivane/render/DemoData.h"
#include "Brivane/render/FrostedBackground.h"
#include "Brivane/render/PngEncoding.h"
#include "Brivane/render/WallpaperRenderer.h"
#include "DemoRenderer.h"

#include <algorithm>
#include <benchmark/benchmark.h>
#include <cairo.h>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <libdeflate.h>
#include <memory>
#include <thread>
#include <vector>

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

// Rows [first, end) unpacked to RGB, up-filtered and compressed by libdeflate level 1; the size.
std::size_t floorPart(const RasterImage& image, int first, int end) {
    const int width = image.pixelWidth();
    const std::size_t rowBytes = 3 * static_cast<std::size_t>(width);
    std::vector<std::uint8_t> filtered((rowBytes + 1) * static_cast<std::size_t>(end - first));
    std::vector<std::uint8_t> previous(rowBytes), current(rowBytes);
    auto unpack = [&](int y, std::uint8_t* out) {
        const auto* row = reinterpret_cast<const std::uint32_t*>(
            image.data() + image.stride() * static_cast<std::size_t>(y));
        for (int x = 0; x < width; ++x, out += 3) {
            out[0] = static_cast<std::uint8_t>(row[x] >> 16);
            out[1] = static_cast<std::uint8_t>(row[x] >> 8);
            out[2] = static_cast<std::uint8_t>(row[x]);
        }
    };
    if (first > 0)
        unpack(first - 1, previous.data());
    for (int y = first; y < end; ++y) {
        unpack(y, current.data());
        std::uint8_t* line = &filtered[(rowBytes + 1) * static_cast<std::size_t>(y - first)];
        *line++ = 2;
        for (std::size_t i = 0; i < rowBytes; ++i)
            line[i] = static_cast<std::uint8_t>(current[i] - previous[i]);
        std::swap(previous, current);
    }
    std::unique_ptr<libdeflate_compressor, decltype(&libdeflate_free_compressor)> compressor(
        libdeflate_alloc_compressor(1), &libdeflate_free_compressor);
    std::vector<std::uint8_t> out(
        libdeflate_zlib_compress_bound(compressor.get(), filtered.size()));
    return libdeflate_zlib_compress(compressor.get(), filtered.data(), filtered.size(), out.data(),
                                    out.size());
}

std::size_t floorEncode(const RasterImage& image, bool bothCores) {
    const int height = image.pixelHeight();
    if (!bothCores)
        return floorPart(image, 0, height);
    std::size_t head = 0;
    std::thread helper([&] { head = floorPart(image, 0, height / 2); });
    const std::size_t tail = floorPart(image, height / 2, height);
    helper.join();
    return head + tail;
}

double cpuMillis(clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

// CPU of one call: on this thread, and on the whole process (this thread and its helper).
struct Cost {
    double thread = 0, process = 0, wall = 0;
    // Both cores on an idle machine: the busier of the two threads.
    double critical() const { return std::max(thread, process - thread); }
    Cost& operator+=(const Cost& other) {
        thread += other.thread, process += other.process, wall += other.wall;
        return *this;
    }
};

template <typename F>
Cost measure(F&& f) {
    const double t0 = cpuMillis(CLOCK_THREAD_CPUTIME_ID);
    const double p0 = cpuMillis(CLOCK_PROCESS_CPUTIME_ID);
    const auto w0 = Clock::now();
    f();
    Cost cost;
    cost.wall = millis(w0, Clock::now());
    cost.thread = cpuMillis(CLOCK_THREAD_CPUTIME_ID) - t0;
    cost.process = cpuMillis(CLOCK_PROCESS_CPUTIME_ID) - p0;
    return cost;
}

// A later drawing of the same wallpaper: the now line moved and the clock changed.
void touch(RasterImage& image, int round) {
    const int width = image.pixelWidth();
    const int height = image.pixelHeight();
    const int line = (height / 3 + 2 * round) % (height - 4);
    for (int y = line; y < line + 4; ++y) {
        auto* row = reinterpret_cast<std::uint32_t*>(image.data() + image.stride() * y);
        for (int x = width / 4; x < width * 3 / 4; ++x)
            row[x] = 0xFFE04030u ^ static_cast<std::uint32_t>(round);
    }
    for (int y = 40; y < 100; ++y) {
        auto* row = reinterpret_cast<std::uint32_t*>(image.data() + image.stride() * y);
        for (int x = 60 + round % 7; x < 300; x += 3)
            row[x] ^= 0x00101010u;
    }
    image.markChanged();
}

void encodeGlassFrame(benchmark::State& state) {
    const WallpaperRenderer renderer = bench::demoRenderer();
    auto image = renderer.image(Size{1440, 900}, 2);
    Cost one, both, incremental, floorOne, floorBoth, cairo;
    // Which file the frame gives: the same before and after a change that keeps the format.
    if (const auto png = PngEncoding::encode(*image); png && state.thread_index() == 0)
        std::printf("glass frame PNG: %zu bytes, CRC-32 %08x\n", png->size(),
                    libdeflate_crc32(0, png->data(), png->size()));
    PngEncoder keeping;
    keeping.encode(*image, PngEncoding::Cores::one);
    int round = 0;
    for (auto _ : state) {
        one += measure([&] {
            benchmark::DoNotOptimize(PngEncoding::encode(*image, PngEncoding::Filter::up,
                                                         PngEncoding::automaticLevel,
                                                         PngEncoding::Cores::one));
        });
        both += measure([&] {
            benchmark::DoNotOptimize(PngEncoding::encode(*image, PngEncoding::Filter::up,
                                                         PngEncoding::automaticLevel,
                                                         PngEncoding::Cores::both));
        });
        touch(*image, ++round);
        incremental += measure(
            [&] { benchmark::DoNotOptimize(keeping.encode(*image, PngEncoding::Cores::one)); });
        floorOne += measure([&] { benchmark::DoNotOptimize(floorEncode(*image, false)); });
        floorBoth += measure([&] { benchmark::DoNotOptimize(floorEncode(*image, true)); });
        cairo += measure([&] {
            std::size_t written = 0;
            cairo_surface_write_to_png_stream(image->surface(), discard, &written);
        });
        state.SetIterationTime(one.thread / 1e3 / static_cast<double>(round));
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["1core_cpu_ms"] = one.thread / n;
    state.counters["2core_cpu_ms"] = both.critical() / n;
    state.counters["2core_wall_ms"] = both.wall / n;
    state.counters["incremental_cpu_ms"] = incremental.thread / n;
    state.counters["floor_1core_cpu_ms"] = floorOne.thread / n;
    state.counters["floor_2core_cpu_ms"] = floorBoth.critical() / n;
    state.counters["cairo_cpu_ms"] = cairo.thread / n;
    state.counters["cairo_over_ours_1core"] = cairo.thread / one.thread;
    state.counters["cairo_over_ours_2core"] = cairo.thread / both.critical();
    state.counters["1core_over_floor"] = one.thread / floorOne.thread;
    state.counters["2core_over_floor"] = both.critical() / floorBoth.critical();
}
BENCHMARK(encodeGlassFrame)
    ->Name("encode/1440x900@2/glass")
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(5)
    ->Repetitions(3)
    ->ReportAggregatesOnly();

void backgroundCold(benchmark::State& state) {
    for (auto _ : state) {
        auto image = FrostedBackground::makeImage(1200, 750, 0);
        benchmark::DoNotOptimize(image);
    }
}
BENCHMARK(backgroundCold)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly();

void renderAndEncode(benchmark::State& state, double width, double height, double scale,
                     WallpaperStyle style, const char* variant, bool cairoWriter) {
    const WallpaperRenderer renderer = bench::demoRenderer(variant, style);
    double background = 0, drawing = 0, encoding = 0, oneCore = 0, cairo = 0, bytes = 0;
    double floorOne = 0, floorBoth = 0;
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
        {
            const auto f0 = Clock::now();
            benchmark::DoNotOptimize(floorEncode(*image, false));
            const auto f1 = Clock::now();
            benchmark::DoNotOptimize(floorEncode(*image, true));
            floorOne += millis(f0, f1);
            floorBoth += millis(f1, Clock::now());
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
    state.counters["floor_1core_ms"] = floorOne / n;
    state.counters["floor_ms"] = floorBoth / n;
    state.counters["1core_over_floor"] = oneCore / floorOne;
    state.counters["ours_over_floor"] = encoding / floorBoth;
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

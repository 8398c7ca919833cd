// Render and encode figures for the wallpaper renderer. Each case reports, per image, the
// median over repetitions of: the frosted background alone, the rest of the drawing, our PNG
// encoding on both cores and on one (the program picks by the load average), and Cairo's own
// PNG writer on the same frame (with the ratio of it to ours on both cores), and the floor: the
// same rows filtered and compressed by libdeflate's fastest level in one zlib stream (in two
// halves on two threads for both cores), with the ratio of ours to it on one core and on both.
#include "Brivane/render/CairoPainter.h"
#include "Brivane/render/DemoData.h"
#include "Brivane/render/FrostedBackground.h"
#include "Brivane/render/PngEncoding.h"
#include "Brivane/render/WallpaperRenderer.h"

#include <benchmark/benchmark.h>
#include <cairo.h>
#include <chrono>
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

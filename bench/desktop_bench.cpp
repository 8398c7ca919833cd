// Applying the wallpaper to two screens (1440×900 at 2× and 1920×1080 at 1×, glass): the
// whole apply, and its parts: render, encode, write, set, and GNOME's composition of one
// spanned picture. GSettings runs on the keyfile backend in a private folder; xfconf only
// when a D-Bus session is there (scripts/with-session).
#include "Brivane/AtomicWrite.h"
#include "Brivane/desktop/GSettingsDesktopPictures.h"
#include "Brivane/desktop/WallpaperService.h"
#include "Brivane/desktop/XfconfDesktopPictures.h"
#include "Brivane/render/DemoData.h"
#include "Brivane/render/WallpaperRenderer.h"
#include "BrivaneCore/AgendaDates.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDir>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>

using namespace brivane;

namespace {

QString scratch;

ConnectedScreen screen(const char* id, QRect geometry, double scale) {
    ConnectedScreen s;
    s.id = id;
    s.name = s.connector = QString::fromLatin1(id);
    s.geometry = geometry;
    s.scale = scale;
    return s;
}

const std::vector<ConnectedScreen>& twoScreens() {
    static const std::vector<ConnectedScreen> screens = {
        screen("A", QRect(0, 0, 1440, 900), 2), screen("B", QRect(1440, 0, 1920, 1080), 1)};
    return screens;
}

WallpaperRenderer renderer() {
    return WallpaperRenderer{DemoData::snapshot("normal"),
                             AgendaDates::calendar(),
                             ScreenPreferences{},
                             WallpaperStyle::glass,
                             ReminderGrouping::selectedLists,
                             {},
                             {},
                             8,
                             20};
}

void render(benchmark::State& state) {
    const ConnectedScreen& s = twoScreens()[std::size_t(state.range(0))];
    const WallpaperRenderer r = renderer();
    for (auto _ : state)
        benchmark::DoNotOptimize(
            r.image(Size{double(s.geometry.width()), double(s.geometry.height())}, s.scale));
}
BENCHMARK(render)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->ArgName("screen");

void encode(benchmark::State& state) {
    const ConnectedScreen& s = twoScreens()[std::size_t(state.range(0))];
    const auto image =
        renderer().image(Size{double(s.geometry.width()), double(s.geometry.height())}, s.scale);
    std::size_t bytes = 0;
    for (auto _ : state)
        bytes = WallpaperRenderer::png(*image).size();
    state.counters["MB"] = double(bytes) / 1e6;
}
BENCHMARK(encode)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->ArgName("screen");

void write(benchmark::State& state) {
    const ConnectedScreen& s = twoScreens()[std::size_t(state.range(0))];
    const auto image =
        renderer().image(Size{double(s.geometry.width()), double(s.geometry.height())}, s.scale);
    const auto png = WallpaperRenderer::png(*image);
    const QByteArray data(reinterpret_cast<const char*>(png.data()), qsizetype(png.size()));
    const QString path = scratch + QStringLiteral("/write.png");
    for (auto _ : state)
        writeFileAtomically(path, data, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}
BENCHMARK(write)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->ArgName("screen");

// Setting the second screen while the first shows its agenda: one composition each time.
void gnomeSetWithComposition(benchmark::State& state) {
    GSettingsDesktopPictures gnome(GSettingsDesktopPictures::Flavour::gnome, &twoScreens);
    const QString dir = scratch + QStringLiteral("/gnome-set");
    WallpaperService service(dir, std::make_shared<GSettingsDesktopPictures>(
                                      GSettingsDesktopPictures::Flavour::gnome, &twoScreens));
    service.apply(DemoData::snapshot("normal"), Preferences(), twoScreens());
    // B's image as a file, as after a restart: composing reads it back.
    const auto image = renderer().image(Size{1920, 1080}, 1);
    const auto png = WallpaperRenderer::png(*image);
    const QString pathB = dir + QStringLiteral("/agenda-B-bench.png");
    writeFileAtomically(
        pathB, QByteArray(reinterpret_cast<const char*>(png.data()), qsizetype(png.size())),
        QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    const QUrl imageB = QUrl::fromLocalFile(pathB);
    for (auto _ : state)
        gnome.setDesktopImageURL(imageB, twoScreens()[1], gnome.stretchedOptions(Qt::white));
    service.restoreAll(twoScreens());
}
BENCHMARK(gnomeSetWithComposition)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

void applyTwoScreens(benchmark::State& state, std::shared_ptr<DesktopPictures> pictures,
                     const char* name) {
    const QString dir = scratch + QLatin1Char('/') + QLatin1String(name);
    WallpaperService service(dir, std::move(pictures));
    const AgendaSnapshot snapshot = DemoData::snapshot("normal");
    const Preferences preferences;
    for (auto _ : state) {
        const auto result = service.apply(snapshot, preferences, twoScreens());
        if (!result.errors.empty()) {
            state.SkipWithError(result.errors.front().c_str());
            break;
        }
    }
    service.restoreAll(twoScreens());
}

void applyGnome(benchmark::State& state) {
    applyTwoScreens(state,
                    std::make_shared<GSettingsDesktopPictures>(
                        GSettingsDesktopPictures::Flavour::gnome, &twoScreens),
                    "apply-gnome");
}
BENCHMARK(applyGnome)->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime();

void applyXfce(benchmark::State& state) {
    if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) {
        state.SkipWithError("no D-Bus session");
        return;
    }
    for (const char* monitor : {"A", "B"}) {
        QDBusMessage m = QDBusMessage::createMethodCall("org.xfce.Xfconf", "/org/xfce/Xfconf",
                                                        "org.xfce.Xfconf", "SetProperty");
        m.setArguments({"xfce4-desktop",
                        QStringLiteral("/backdrop/screen0/monitor%1/workspace0/last-image")
                            .arg(QLatin1String(monitor)),
                        QVariant::fromValue(QDBusVariant(scratch + "/user.jpg"))});
        QDBusConnection::sessionBus().call(m);
    }
    QFile(scratch + "/user.jpg").open(QIODevice::WriteOnly);
    applyTwoScreens(state, std::make_shared<XfconfDesktopPictures>(&twoScreens), "apply-xfce");
}
BENCHMARK(applyXfce)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    QTemporaryDir root;
    scratch = root.path();
    qputenv("GSETTINGS_BACKEND", "keyfile");
    qputenv("XDG_CONFIG_HOME", (scratch + "/config").toUtf8());
    qputenv("XDG_CACHE_HOME", (scratch + "/cache").toUtf8());
    QCoreApplication app(argc, argv);
    // The user's own picture, so that the service may change the screens.
    GSettingsDesktopPictures gnome(GSettingsDesktopPictures::Flavour::gnome,
                                   [] { return std::vector{twoScreens()[0]}; });
    QFile(scratch + "/user.jpg").open(QIODevice::WriteOnly);
    gnome.setDesktopImageURL(QUrl::fromLocalFile(scratch + "/user.jpg"), twoScreens()[0],
                             {{"picture-options", "zoom"}});
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
}

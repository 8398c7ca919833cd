// Latency of the tray application's windows: the panel from the request to its first paint, the
// settings window's first paint, and one live-preview redraw of a 1440×900 screen shown 720
// wide (the frame budget at 60 Hz is 16.7 ms). Runs on the default screens of the session
// (Xvfb in scripts/with-session).
#include "Brivane/controller/AgendaModel.h"
#include "Brivane/render/DemoData.h"
#include "Brivane/ui/AppDelegate.h"
#include "Brivane/ui/PreferencesView.h"
#include "Brivane/ui/WallpaperPreview.h"
#include "Brivane/ui/WizardState.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QWidget>
#include <benchmark/benchmark.h>

namespace {

using namespace brivane;

void processUntilPainted(QWidget* widget) {
    // grab() paints the whole widget tree once, as the first expose does.
    QCoreApplication::processEvents();
    widget->grab();
}

void BM_PanelOpenToPainted(benchmark::State& state) {
    ui::AppDelegate delegate;
    delegate.launch();
    for (auto _ : state) {
        delegate.togglePanel();
        processUntilPainted(delegate.panel());
        state.PauseTiming();
        delegate.closePanel();
        QCoreApplication::processEvents();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_PanelOpenToPainted)->Unit(benchmark::kMillisecond)->Iterations(10);

void BM_SettingsWindowFirstPaint(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        ui::AppDelegate delegate;
        delegate.launch();
        state.ResumeTiming();
        delegate.showPreferences();
        processUntilPainted(delegate.preferencesWindow());
    }
}
BENCHMARK(BM_SettingsWindowFirstPaint)->Unit(benchmark::kMillisecond)->Iterations(3);

// The heaviest step: one editor and one drawn preview per screen (the session has two).
void BM_SettingsScreensStepWithPreviews(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        ui::AppDelegate delegate;
        delegate.launch();
        delegate.model()->setDemonstration(true);
        delegate.wizard()->setStep(3);
        state.ResumeTiming();
        delegate.showPreferences();
        QCoreApplication::processEvents();
        auto* view = delegate.preferencesWindow()->findChild<ui::PreferencesView*>();
        view->flush();
        processUntilPainted(delegate.preferencesWindow());
    }
}
BENCHMARK(BM_SettingsScreensStepWithPreviews)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_PreviewRedraw1440x900(benchmark::State& state) {
    // The miniature at its preferred size in the settings window.
    ui::WallpaperPreview preview;
    preview.resize(720, 450);
    preview.show();
    ui::WallpaperPreview::Inputs inputs;
    inputs.snapshot = DemoData::snapshot("normal");
    inputs.size = QSize(1440, 900);
    int step = 0;
    for (auto _ : state) {
        inputs.screen.top = (step++ % 20) / 100.0;
        preview.setInputs(inputs);
        preview.flush();
    }
}
BENCHMARK(BM_PreviewRedraw1440x900)->Unit(benchmark::kMillisecond)->Iterations(20);

} // namespace

int main(int argc, char** argv) {
    QTemporaryDir home;
    for (const char* name : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_RUNTIME_DIR"}) {
        const QString dir = home.path() + u'/' + QString::fromLatin1(name);
        QDir().mkpath(dir);
        QFile::setPermissions(dir, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                       QFileDevice::ExeOwner);
        qputenv(name, dir.toUtf8());
    }
    qputenv("GSETTINGS_BACKEND", "memory");
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}

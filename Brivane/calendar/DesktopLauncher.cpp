#include "Brivane/calendar/DesktopLauncher.h"

#include "BrivaneCore/AgendaLanguage.h"

#include <QCoreApplication>
#include <QTimer>
#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>
#include <qcoro/qcorotimer.h>
#include <sys/wait.h>

namespace brivane {

namespace {

using namespace std::chrono_literals;

std::string format(std::string text, const std::string& name) {
    const auto at = text.find("%1");
    return at == std::string::npos ? text : text.replace(at, 2, name);
}

// Why a child's wait status is a failure; absent for a clean exit.
LaunchProblem endedBadly(int status, const std::string& name) {
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return std::nullopt;
    const std::string how =
        WIFEXITED(status)
            ? AgendaLanguage::text("codice di uscita ", "exit status ") +
                  std::to_string(WEXITSTATUS(status))
            : AgendaLanguage::text("segnale ", "signal ") + std::to_string(WTERMSIG(status));
    return format(AgendaLanguage::text("L’applicazione %1 si è chiusa subito (",
                                       "%1 closed at once ("),
                  name) +
           how + ").";
}

// An application still running after the settling time is reaped whenever it ends, so that it
// never lingers as a zombie.
void reapLater(pid_t pid) {
    auto* timer = new QTimer(QCoreApplication::instance());
    QObject::connect(timer, &QTimer::timeout, timer, [timer, pid] {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) != 0)
            timer->deleteLater();
    });
    timer->start(1s);
}

void rememberPid(GDesktopAppInfo*, GPid pid, gpointer data) {
    *static_cast<GPid*>(data) = pid;
}

} // namespace

QCoro::Task<LaunchProblem> launchDefaultApplication(LaunchRequest request) {
    g_autoptr(GAppInfo) app = nullptr;
    for (const auto& type : request.types) {
        app = g_app_info_get_default_for_type(type.c_str(), FALSE);
        if (app != nullptr)
            break;
    }
    if (app == nullptr || !G_IS_DESKTOP_APP_INFO(app))
        co_return request.nothingToOpen;

    const std::string name = g_app_info_get_display_name(app);
    // The child is ours to reap, so that an application that fails at once is seen failing.
    GPid pid = 0;
    g_autoptr(GError) error = nullptr;
    g_autoptr(GAppLaunchContext) context = g_app_launch_context_new();
    const bool started =
        g_desktop_app_info_launch_uris_as_manager(
            G_DESKTOP_APP_INFO(app), nullptr, context,
            static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD), nullptr,
            nullptr, rememberPid, &pid, &error) != FALSE;
    if (!started) {
        co_return format(AgendaLanguage::text("Impossibile avviare %1: ", "Could not start %1: "),
                         name) +
            (error != nullptr ? error->message : "");
    }
    if (pid <= 0)
        co_return std::nullopt; // started over D-Bus: nothing of ours to watch

    const auto deadline = std::chrono::steady_clock::now() + request.settle;
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        const pid_t ended = waitpid(pid, &status, WNOHANG);
        if (ended == pid)
            co_return endedBadly(status, name);
        if (ended < 0)
            co_return std::nullopt; // reaped elsewhere: nothing more to learn
        co_await QCoro::sleepFor(50ms);
    }
    reapLater(pid);
    co_return std::nullopt;
}

} // namespace brivane

#pragma once

#include "Brivane/calendar/ICalendarStore.h"
#include "Brivane/controller/AgendaModel.h"
#include "Brivane/controller/TimerSource.h"
#include "Brivane/desktop/DesktopPictures.h"
#include "BrivaneCore/AgendaDates.h"
#include "LoopbackHttpServer.h"
#include "ManualTimerSource.h"
#include "TestAuthority.h"
#include "TestHelpers.h"
#include "TestSession.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QString>
#include <QThread>
#include <algorithm>
#include <chrono>
#include <coroutine>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace brivane::test {

// Where the tests' helper programs are.
QString pelloraExecutable();
QString childExecutable();

inline Date utc(int y, unsigned mo, unsigned d, int h = 0, int mi = 0, int s = 0) {
    using namespace std::chrono;
    return Date{sys_days{year{y} / month{mo} / day{d}} + hours{h} + minutes{mi} + seconds{s}};
}

inline std::string readFile(const std::filesystem::path& path) {
    QFile file(QString::fromStdString(path.string()));
    file.open(QIODevice::ReadOnly);
    return file.readAll().toStdString();
}

// Desktop pictures kept in memory: counts what the wallpaper service sets.
class MemoryDesktopPictures final : public DesktopPictures {
public:
    QString desktopName() const override { return QStringLiteral("Test"); }
    std::optional<QUrl> desktopImageURL(const ConnectedScreen& screen) override {
        const auto it = urls.find(screen.id);
        if (it == urls.end())
            return std::nullopt;
        return it->second;
    }
    DesktopOptions desktopImageOptions(const ConnectedScreen&) override {
        return DesktopOptions::object();
    }
    void setDesktopImageURL(const QUrl& url, const ConnectedScreen& screen,
                            const DesktopOptions&) override {
        urls[screen.id] = url;
        ++sets;
    }
    DesktopOptions stretchedOptions(const QColor&) const override {
        return DesktopOptions::object();
    }

    std::map<std::string, QUrl> urls;
    int sets = 0;
};

// A store whose event calendars and events the test sets, and whose reads of them it may hold
// and let through one by one, in any order. Each read answers with the data as it was when the
// read was asked for. Task lists are empty and answer at once; access is granted.
class ScriptedStore final : public CalendarStore {
public:
    // A held read; let through on the next turn of the event loop.
    struct Gate {
        std::coroutine_handle<> waiter;
        bool open = false;
        void release();
    };
    // Kept by the test: the store itself goes with the controller that owns it.
    struct Script {
        std::vector<StoreCalendar> calendars;
        std::vector<StoreEvent> events;
        bool holdListings = false;
        bool holdEvents = false;
        // Reads waiting to be let through, oldest first (released ones stay in place).
        std::vector<std::shared_ptr<Gate>> held;
        int listings = 0; // event calendar listings asked for
        int eventReads = 0;
        int answered = 0; // reads of either kind that have answered
        int waiting() const;
        void releaseAll();
    };

    explicit ScriptedStore(std::shared_ptr<Script> script) : script_(std::move(script)) {}

    AuthorizationStatus authorizationStatus(CalendarEntity) const override {
        return AuthorizationStatus::fullAccess;
    }
    std::optional<std::string> accessProblem(CalendarEntity) const override { return {}; }
    QCoro::Task<AccessAnswer> requestFullAccess(CalendarEntity) override;
    QCoro::Task<std::vector<StoreCalendar>> calendars(CalendarEntity entity) override;
    QCoro::Task<std::vector<StoreEvent>> events(Date start, Date end,
                                                std::vector<std::string> calendarIDs) override;
    FetchToken fetchIncompleteReminders(ReminderCompletion completion) override;
    void cancelFetch(FetchToken) override {}
    void reset() override {}
    QCoro::Task<LaunchProblem> openApp() override { co_return "no task application"; }
    QCoro::Task<LaunchProblem> openCalendar() override { co_return "no calendar application"; }
    bool openPrivacy() override { return false; }

private:
    std::shared_ptr<Script> script_;
};

// A calendar host over HTTPS on loopback, signed by an authority only this process trusts. Its
// addresses carry a token, as private ones do; what it answers is the test's.
class CalendarHost {
public:
    static constexpr const char* token = "pr1vate-T0KEN-5a7c";
    CalendarHost();
    QString address(const QString& scheme = QStringLiteral("webcal")) const;
    std::string host() const;
    // Stops answering: the port is closed.
    void stop() { server_.reset(); }
    // An iCalendar file named `name` with one event every day at 10:00 UTC, titled `title`.
    static HttpResponse calendar(const QByteArray& name, const QByteArray& title);

    std::function<HttpResponse(const HttpRequest&)> answer = [](const HttpRequest&) {
        return calendar("School year", "Assembly");
    };

private:
    TestAuthority authority_{QStringLiteral("Pellora Test CA")};
    std::unique_ptr<LoopbackHttpServer> server_;
    quint16 port_ = 0; // kept once stopped: the address stays the subscription's
};

// Everything a controller under test is built on, in private folders.
struct ModelSetup {
    explicit ModelSetup(Date start, const QString& name = QStringLiteral("model"));

    QString root;
    QString data;                        // the data directory
    QString calendars;                   // a vdir root: one folder per calendar
    ManualTimerSource* timers = nullptr; // owned by the model once built
    std::shared_ptr<MemoryDesktopPictures> pictures = std::make_shared<MemoryDesktopPictures>();
    std::vector<ConnectedScreen> screens;
    LoginItem::Location loginItem;
    bool consent = true;
    // The subscriptions' keyring item, note and cache, private to this setup; fetched at the
    // setup's clock.
    SubscriptionService::Options subscriptions;
    // When set, the controller reads this script instead of the calendar folders.
    std::shared_ptr<ScriptedStore::Script> script;
    int terminations = 0;
    // The titles of the events each drawn image showed, in the order drawn.
    std::vector<std::vector<std::string>> drawn;
    // The settings each of those images was drawn with.
    std::vector<Preferences> drawnWith;

    // Adds a calendar folder with one .ics item per entry.
    std::string addCalendar(const std::string& folder, const std::string& displayName,
                            const std::vector<std::string>& items);
    std::unique_ptr<AgendaModel> build();

private:
    Date start_;
};

// Runs the event loop until the model is idle again: no refresh, no snapshot or preview read.
bool waitForIdle(AgendaModel& model, int milliseconds = 5000);
// Reloads the calendar snapshot and waits until it and the preview it asks for are read.
bool reload(AgendaModel& model, int milliseconds = 5000);

// A one-colour PNG for each request: cheap, for tests of timing.
WallpaperImage plainImage(const WallpaperRequest& request);

} // namespace brivane::test

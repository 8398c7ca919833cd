#include "ControllerTestSupport.h"

#include <QBuffer>
#include <QDir>
#include <QImage>
#include <QTimer>
#include <QUuid>
#include <gtest/gtest.h>
#include <qcoro/qcorotask.h>

namespace brivane::test {

QString pelloraExecutable() {
    return QStringLiteral(PELLORA_EXECUTABLE);
}

QString childExecutable() {
    return QStringLiteral(PELLORA_CONTROLLER_CHILD);
}

WallpaperImage plainImage(const WallpaperRequest& request) {
    QImage image(request.size * request.scale, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "png");
    return {png, QColor(242, 242, 242), nullptr};
}

ModelSetup::ModelSetup(Date start, const QString& name) : start_(start) {
    // The tests' wall-clock instants are Rome's.
    qputenv("TZ", "Europe/Rome");
    root = freshDirectory(name);
    data = root + QStringLiteral("/data/Brivane");
    calendars = root + QStringLiteral("/calendars");
    QDir().mkpath(calendars);
    QDir().mkpath(data);
    screens = {screen("A", QRect(0, 0, 96, 60), 1), screen("B", QRect(96, 0, 80, 50), 2)};
    // The user's own picture on both screens before the controller changes them.
    QImage user(8, 8, QImage::Format_RGB32);
    user.fill(Qt::darkYellow);
    const QString userPicture = root + QStringLiteral("/user picture.png");
    user.save(userPicture, "png");
    for (const auto& s : screens)
        pictures->urls[s.id] = QUrl::fromLocalFile(userPicture);
    loginItem.entryPath = root + QStringLiteral("/config/autostart/it.quillmere.Brivane.desktop");
    loginItem.sourceEntry = root + QStringLiteral("/share/it.quillmere.Brivane.desktop");
    loginItem.program = root + QStringLiteral("/bin/pellora");
    writeFile(loginItem.sourceEntry.toStdString(),
              "[Desktop Entry]\nType=Application\nName=Pellora\nExec=pellora %u\n");
    subscriptions.keyringService = QStringLiteral("it.quillmere.Brivane.test-subscriptions-") +
                                   QUuid::createUuid().toString(QUuid::Id128);
    subscriptions.note = root + QStringLiteral("/config/calendar-subscriptions.json");
    subscriptions.cacheFolder = root + QStringLiteral("/cache/Brivane/subscriptions");
    subscriptions.limits.total = std::chrono::seconds(10);
    subscriptions.limits.stall = std::chrono::seconds(5);
    subscriptions.now = [this] {
        const Date at = timers ? timers->now() : start_;
        return QDateTime::fromMSecsSinceEpoch(at.time_since_epoch().count(), Qt::UTC);
    };
}

CalendarHost::CalendarHost() {
    EXPECT_FALSE(authority_.ca.isNull());
    trustOnly(authority_);
    server_ = std::make_unique<LoopbackHttpServer>(
        [this](const HttpRequest& request) { return answer(request); },
        authority_.serverConfiguration());
    port_ = server_->port();
}

QString CalendarHost::address(const QString& scheme) const {
    return QStringLiteral("%1://127.0.0.1:%2/calendars/%3/basic.ics?key=%3")
        .arg(scheme, QString::number(port_), QString::fromLatin1(token));
}

std::string CalendarHost::host() const {
    return "127.0.0.1:" + std::to_string(port_);
}

HttpResponse CalendarHost::calendar(const QByteArray& name, const QByteArray& title) {
    HttpResponse response;
    response.contentType = "text/calendar; charset=utf-8";
    response.body = "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//test//EN\r\nX-WR-CALNAME:" + name +
                    "\r\nBEGIN:VEVENT\r\nUID:daily@host.test\r\nDTSTAMP:20260101T000000Z\r\n"
                    "DTSTART:20260101T100000Z\r\nDTEND:20260101T110000Z\r\nRRULE:FREQ=DAILY\r\n"
                    "SUMMARY:" +
                    title + "\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n";
    return response;
}

std::string ModelSetup::addCalendar(const std::string& folder, const std::string& displayName,
                                    const std::vector<std::string>& items) {
    const std::filesystem::path dir = calendars.toStdString() + "/" + folder;
    writeFile(dir / "displayname", displayName);
    for (std::size_t i = 0; i < items.size(); ++i)
        writeFile(dir / ("item" + std::to_string(i) + ".ics"), items[i]);
    return ICalendarStore::calendarID(dir.string());
}

void ScriptedStore::Gate::release() {
    if (open)
        return;
    open = true;
    if (const std::coroutine_handle<> handle = waiter)
        QTimer::singleShot(0, [handle] { handle.resume(); });
}

int ScriptedStore::Script::waiting() const {
    return static_cast<int>(
        std::count_if(held.begin(), held.end(), [](const auto& gate) { return !gate->open; }));
}

void ScriptedStore::Script::releaseAll() {
    for (const auto& gate : held)
        gate->release();
}

namespace {

// Waits at a gate. Holds a plain pointer: the caller's frame keeps the gate alive, and GCC 12
// may destroy an awaiter's members twice.
struct GateWait {
    ScriptedStore::Gate* gate;
    bool await_ready() const noexcept { return gate->open; }
    void await_suspend(std::coroutine_handle<> handle) const noexcept { gate->waiter = handle; }
    void await_resume() const noexcept {}
};

// Holds a read at a gate of its own when the script asks for it.
QCoro::Task<> pass(std::shared_ptr<ScriptedStore::Script> script, bool hold) {
    if (hold) {
        const auto gate = std::make_shared<ScriptedStore::Gate>();
        script->held.push_back(gate);
        GateWait wait{gate.get()};
        co_await wait;
    }
    ++script->answered;
}

} // namespace

QCoro::Task<AccessAnswer> ScriptedStore::requestFullAccess(CalendarEntity) {
    co_return AccessAnswer{true, std::nullopt};
}

QCoro::Task<std::vector<StoreCalendar>> ScriptedStore::calendars(CalendarEntity entity) {
    // Nothing of this store after a wait: it may be gone by then.
    const std::shared_ptr<Script> script = script_;
    if (entity != CalendarEntity::event)
        co_return std::vector<StoreCalendar>{};
    ++script->listings;
    std::vector<StoreCalendar> result = script->calendars;
    co_await pass(script, script->holdListings);
    co_return result;
}

QCoro::Task<std::vector<StoreEvent>> ScriptedStore::events(Date start, Date end,
                                                           std::vector<std::string> calendarIDs) {
    const std::shared_ptr<Script> script = script_;
    ++script->eventReads;
    std::vector<StoreEvent> result;
    for (const StoreEvent& event : script->events)
        if (std::find(calendarIDs.begin(), calendarIDs.end(), event.calendarID) !=
                calendarIDs.end() &&
            event.start < end && event.end > start)
            result.push_back(event);
    co_await pass(script, script->holdEvents);
    co_return result;
}

CalendarStore::FetchToken ScriptedStore::fetchIncompleteReminders(ReminderCompletion completion) {
    completion(std::vector<ReminderItem>{});
    return 1;
}

std::unique_ptr<AgendaModel> ModelSetup::build() {
    std::unique_ptr<CalendarStore> store;
    if (script) {
        store = std::make_unique<ScriptedStore>(script);
    } else {
        ICalendarStore::Options storeOptions;
        storeOptions.configFile = (data + QStringLiteral("/calendar-sources.json")).toStdString();
        storeOptions.vdirRoots = {calendars.toStdString()};
        storeOptions.debounce = std::chrono::milliseconds(20);
        auto files = std::make_unique<ICalendarStore>(storeOptions);
        if (consent) {
            for (CalendarEntity entity : {CalendarEntity::event, CalendarEntity::reminder}) {
                const AccessAnswer answer = QCoro::waitFor(files->requestFullAccess(entity));
                EXPECT_TRUE(answer.granted) << answer.error.value_or("");
            }
        }
        store = std::move(files);
    }
    AgendaModel::Options options;
    options.directory = data;
    options.store = std::move(store);
    options.subscriptions = subscriptions;
    UpdateManager::Options updates;
    updates.updateHost = std::string();
    updates.settingsPath = root + QStringLiteral("/config/Pellora.conf");
    options.updater = std::make_unique<UpdateManager>(std::move(updates));
    options.pictures = pictures;
    options.painter = [this](const WallpaperRequest& request) {
        std::vector<std::string> titles;
        for (const auto& event : request.snapshot.events)
            titles.push_back(event.title);
        drawn.push_back(std::move(titles));
        drawnWith.push_back(request.preferences);
        return plainImage(request);
    };
    options.screens = [this] { return screens; };
    auto manual = std::make_unique<ManualTimerSource>(start_);
    timers = manual.get();
    options.timers = std::move(manual);
    options.systemEvents = false;
    options.loginItem = loginItem;
    options.terminate = [this] { ++terminations; };
    auto model = std::make_unique<AgendaModel>(std::move(options));
    // The cloud service reads the keyring as it starts; a service destroyed before that read
    // ends would be woken by it afterwards.
    CloudCalendarService& cloud = model->cloudCalendars();
    waitUntil([&] { return cloud.accountsLoaded() || cloud.syncError(); });
    return model;
}

bool waitForIdle(AgendaModel& model, int milliseconds) {
    return waitUntil([&] { return !model.refreshing() && !model.readingSnapshots(); },
                     milliseconds);
}

bool reload(AgendaModel& model, int milliseconds) {
    model.reloadCalendarSnapshot();
    return waitUntil([&] { return !model.readingSnapshots(); }, milliseconds);
}

} // namespace brivane::test

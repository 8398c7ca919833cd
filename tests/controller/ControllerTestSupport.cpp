#include "ControllerTestSupport.h"

#include <QBuffer>
#include <QDir>
#include <QImage>
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
}

std::string ModelSetup::addCalendar(const std::string& folder, const std::string& displayName,
                                    const std::vector<std::string>& items) {
    const std::filesystem::path dir = calendars.toStdString() + "/" + folder;
    writeFile(dir / "displayname", displayName);
    for (std::size_t i = 0; i < items.size(); ++i)
        writeFile(dir / ("item" + std::to_string(i) + ".ics"), items[i]);
    return ICalendarStore::calendarID(dir.string());
}

std::unique_ptr<AgendaModel> ModelSetup::build() {
    ICalendarStore::Options storeOptions;
    storeOptions.configFile = (data + QStringLiteral("/calendar-sources.json")).toStdString();
    storeOptions.vdirRoots = {calendars.toStdString()};
    storeOptions.debounce = std::chrono::milliseconds(20);
    auto store = std::make_unique<ICalendarStore>(storeOptions);
    if (consent) {
        for (CalendarEntity entity : {CalendarEntity::event, CalendarEntity::reminder}) {
            const AccessAnswer answer = QCoro::waitFor(store->requestFullAccess(entity));
            EXPECT_TRUE(answer.granted) << answer.error.value_or("");
        }
    }
    AgendaModel::Options options;
    options.directory = data;
    options.store = std::move(store);
    UpdateManager::Options updates;
    updates.updateHost = std::string();
    updates.settingsPath = root + QStringLiteral("/config/Pellora.conf");
    options.updater = std::make_unique<UpdateManager>(std::move(updates));
    options.pictures = pictures;
    options.painter = &plainImage;
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
    return waitUntil([&] { return !model.refreshing(); }, milliseconds);
}

} // namespace brivane::test

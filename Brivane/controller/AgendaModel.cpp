#include "Brivane/controller/AgendaModel.h"

#include "Brivane/AppIdentity.h"
#include "Brivane/AtomicWrite.h"
#include "Brivane/calendar/CombinedCalendarStore.h"
#include "Brivane/calendar/ICalendarStore.h"
#include "Brivane/calendar/ReminderService.h"
#include "Brivane/cloud/CloudCalendarService.h"
#include "Brivane/controller/SystemEvents.h"
#include "Brivane/controller/TimerSource.h"
#include "Brivane/desktop/DesktopPictures.h"
#include "Brivane/desktop/WallpaperService.h"
#include "Brivane/updates/UpdateManager.h"
#include "BrivaneCore/AgendaLanguage.h"
#include "BrivaneCore/AgendaSelection.h"
#include "BrivaneCore/WallpaperStyle.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QPointer>
#include <QTimer>
#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <set>

namespace brivane {

namespace {

using namespace std::chrono_literals;

constexpr auto debounceDelay = 500ms;
constexpr auto refreshTolerance = 5s;
constexpr auto timelineTolerance = 2s;
// preferences.json is a few kilobytes; anything far larger is not ours.
constexpr qint64 maximumPreferencesSize = 4 * 1024 * 1024;

const char* const preferencesFileName = "preferences.json";

std::string readSettingsText() {
    return AgendaLanguage::text("Impossibile leggere le impostazioni: ",
                                "Could not read settings: ");
}

// Seconds since 1970 as the text of a double: "1700000000.0", "1700000000.5".
std::string secondsText(Date date) {
    const double seconds = static_cast<double>(date.time_since_epoch().count()) / 1000.0;
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, seconds);
    std::string text(buffer, result.ptr);
    if (text.find_first_of(".e") == std::string::npos)
        text += ".0";
    return text;
}

// Reads preferences.json; absent when there is none. Throws with a description otherwise.
std::optional<Preferences> readPreferencesFile(const QString& path) {
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink())
        return std::nullopt;
    // A folder or a FIFO in its place would block or mislead the reader.
    if (!info.isFile())
        throw std::runtime_error(
            AgendaLanguage::text("non è un file regolare", "not a regular file"));
    if (info.size() > maximumPreferencesSize)
        throw std::runtime_error(
            AgendaLanguage::text("il file è troppo grande (", "the file is too large (") +
            std::to_string(info.size()) + " byte)");
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw std::runtime_error(file.errorString().toStdString());
    const QByteArray bytes = file.read(maximumPreferencesSize + 1);
    if (file.error() != QFileDevice::NoError)
        throw std::runtime_error(file.errorString().toStdString());
    return Preferences::fromJsonText(std::string_view(bytes.constData(), bytes.size()));
}

// The running controller, for a process that ends through exit() without returning to the
// event loop: Qt exits that way when the X11 connection breaks at logout.
QPointer<AgendaModel> exitingModel;

void restoreAtExit() {
    if (exitingModel)
        exitingModel->restoreOnTermination();
}

} // namespace

struct AgendaModel::Timers {
    std::unique_ptr<TimerSource::Timer> refresh, timeline, palette, midnight, debounce;
    std::optional<Date> refreshAt, timelineAt, paletteAt, midnightAt;
};

// --- creation ---------------------------------------------------------------------------------

QString AgendaModel::defaultDirectory() {
    QString base = qEnvironmentVariable("XDG_DATA_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base))
        base = QDir::homePath() + QStringLiteral("/.local/share");
    std::string name = "Brivane";
    const auto& info = AppInformation::document();
    if (const auto it = info.find("PelloraDataDirectoryName");
        it != info.end() && it->is_string()) {
        const std::string value = it->get<std::string>();
        // One plain folder name: a value that climbs out or nests is not a name.
        if (!value.empty() && value != "." && value != ".." &&
            value.find('/') == std::string::npos && value.find('\0') == std::string::npos)
            name = value;
    }
    return base + u'/' + QString::fromStdString(name);
}

bool AgendaModel::defaultLaunchAtLogin() {
    const auto& info = AppInformation::document();
    const auto it = info.find("PelloraDefaultLaunchAtLogin");
    return it == info.end() || !it->is_boolean() || it->get<bool>();
}

AgendaModel::AgendaModel(QObject* parent) : AgendaModel(Options{}, parent) {}

AgendaModel::AgendaModel(Options options, QObject* parent)
    : QObject(parent), options_(std::move(options)), timerState_(std::make_unique<Timers>()) {
    timers_ = options_.timers ? std::move(options_.timers) : makeSystemTimerSource();
    snapshot_.date = now();
    previewSnapshot_.date = snapshot_.date;
    loginItem_ = std::make_unique<LoginItem>(options_.loginItem ? *options_.loginItem
                                                                : LoginItem::current());
    loginItemStatus_ = loginItem_->status();

    directory_ = options_.directory ? *options_.directory : defaultDirectory();

    store_ = options_.store ? std::move(options_.store)
                            : std::make_unique<CombinedCalendarStore>(
                                  ICalendarStore::Options::defaults(directory_.toStdString()));
    reminders_ = std::make_unique<ReminderService>(
        store_.get(), nullptr, options_.reminderTimeLimit, [this] { return now(); });
    if (options_.cloud) {
        cloud_ = std::move(options_.cloud);
    } else {
        CloudCalendarService::Options cloudOptions;
        cloudOptions.now = [this] { return now(); };
        cloud_ = std::make_unique<CloudCalendarService>(std::move(cloudOptions));
    }
    updater_ = options_.updater ? std::move(options_.updater) : std::make_unique<UpdateManager>();

    try {
        std::shared_ptr<DesktopPictures> pictures =
            options_.pictures
                ? options_.pictures
                : std::shared_ptr<DesktopPictures>(DesktopPictures::forCurrentDesktop());
        wallpaper_ = std::make_unique<WallpaperService>(
            directory_, std::move(pictures),
            options_.painter ? options_.painter : &WallpaperService::render);
    } catch (const std::exception& failure) {
        storageError_ = readSettingsText() + failure.what();
        error_ = storageError_;
    }
    if (wallpaper_) {
        try {
            if (auto loaded = readPreferencesFile(directory_ + u'/' + preferencesFileName))
                preferences_ = std::move(*loaded);
        } catch (const std::exception& failure) {
            storageError_ = readSettingsText() + failure.what();
            error_ = storageError_;
        }
    }
    preferences_.migrateGroupNamesIfNeeded();
    draft_ = preferences_;
    cloud_->noteAssignedCalendars(preferences_.assignments);

    updateScreens();

    accessStatus_ = store_->authorizationStatus(CalendarEntity::event);
    authorized_ = accessStatus_ == AuthorizationStatus::fullAccess;

    connect(store_.get(), &CalendarStore::changed, this, &AgendaModel::storeChanged);
    // A keyring unlocked after a refresh stopped waiting for it: the cloud events come now.
    connect(cloud_.get(), &CloudCalendarService::accountsLoadedChanged, this, [this] {
        if (started_ && cloud_->accountsLoaded())
            scheduleRefresh();
    });
    connect(timers_.get(), &TimerSource::clockChanged, this, &AgendaModel::clockChanged);

    if (options_.systemEvents) {
        systemEvents_ = new SystemEvents(this);
        connect(systemEvents_, &SystemEvents::timeZoneChanged, this, &AgendaModel::timeZoneChanged);
        connect(systemEvents_, &SystemEvents::screensChanged, this, &AgendaModel::screensChanged);
        connect(systemEvents_, &SystemEvents::applicationActivated, this,
                &AgendaModel::applicationActivated);
        connect(systemEvents_, &SystemEvents::woke, this, &AgendaModel::woke);
        connect(systemEvents_, &SystemEvents::workspaceChanged, this,
                &AgendaModel::workspaceChanged);
        connect(systemEvents_, &SystemEvents::sessionLockChanged, this,
                &AgendaModel::setSessionLocked);
        connect(systemEvents_, &SystemEvents::shutdownRequested, this, [this] {
            shutdownStarting();
            systemEvents_->releaseShutdownInhibitor();
        });
        connect(systemEvents_, &SystemEvents::shutdownCancelled, this,
                &AgendaModel::shutdownCancelled);
        connect(systemEvents_, &SystemEvents::terminationRequested, this, [this](int) {
            restoreOnTermination();
            terminateApplication();
        });
        if (auto* app = QCoreApplication::instance())
            connect(app, &QCoreApplication::aboutToQuit, this, &AgendaModel::restoreOnTermination);
        static const bool registered = std::atexit(restoreAtExit) == 0;
        (void)registered;
        exitingModel = this;
    }
}

AgendaModel::~AgendaModel() {
    stopTimers();
}

Date AgendaModel::now() const {
    return timers_->now();
}

// --- observable fields ------------------------------------------------------------------------

#define PELLORA_SETTER(Name, field, Type, signal)                                                  \
    void AgendaModel::Name(Type value) {                                                           \
        if (field == value)                                                                        \
            return;                                                                                \
        field = std::move(value);                                                                  \
        Q_EMIT signal();                                                                           \
        Q_EMIT changed();                                                                          \
    }

PELLORA_SETTER(setDraftValue, draft_, Preferences, draftChanged)
PELLORA_SETTER(setPreferencesValue, preferences_, Preferences, preferencesChanged)
PELLORA_SETTER(setCalendars, calendars_, std::vector<CalendarChoice>, calendarsChanged)
PELLORA_SETTER(setSnapshot, snapshot_, AgendaSnapshot, snapshotChanged)
PELLORA_SETTER(setPreviewSnapshot, previewSnapshot_, AgendaSnapshot, previewSnapshotChanged)
PELLORA_SETTER(setAuthorized, authorized_, bool, authorizedChanged)
PELLORA_SETTER(setAccessStatus, accessStatus_, AuthorizationStatus, accessStatusChanged)
PELLORA_SETTER(setRefreshing, refreshing_, bool, refreshingChanged)
PELLORA_SETTER(setRequestingAccess, requestingAccess_, bool, requestingAccessChanged)
PELLORA_SETTER(setCalendarAccessError, calendarAccessError_, std::optional<std::string>,
               calendarAccessErrorChanged)
PELLORA_SETTER(setLastApplied, lastApplied_, std::optional<Date>, lastAppliedChanged)
PELLORA_SETTER(setLastReadAt, lastReadAt_, std::optional<Date>, lastReadAtChanged)
PELLORA_SETTER(setAppliedNames, appliedNames_, std::vector<std::string>, appliedNamesChanged)
PELLORA_SETTER(setMessage, message_, std::optional<std::string>, messageChanged)
PELLORA_SETTER(setError, error_, std::optional<std::string>, errorChanged)
PELLORA_SETTER(setLoginItemStatus, loginItemStatus_, LoginItemStatus, loginItemStatusChanged)
PELLORA_SETTER(setLoginItemError, loginItemError_, std::optional<std::string>,
               loginItemErrorChanged)

#undef PELLORA_SETTER

void AgendaModel::setScreens(std::vector<ConnectedScreen> value) {
    const auto same = [](const ConnectedScreen& a, const ConnectedScreen& b) {
        return a.screen == b.screen && a.id == b.id && a.name == b.name &&
               a.connector == b.connector && a.geometry == b.geometry && a.scale == b.scale &&
               a.layout == b.layout && a.layoutScale == b.layoutScale;
    };
    if (std::equal(screens_.begin(), screens_.end(), value.begin(), value.end(), same))
        return;
    screens_ = std::move(value);
    Q_EMIT screensListChanged();
    Q_EMIT changed();
}

void AgendaModel::setDemonstration(bool on) {
    if (demonstration_ == on)
        return;
    demonstration_ = on;
    Q_EMIT demonstrationChanged();
    Q_EMIT changed();
}

// --- derived values ---------------------------------------------------------------------------

int AgendaModel::selectedCalendarCount() const {
    return static_cast<int>(std::count_if(calendars_.begin(), calendars_.end(), [&](const auto& c) {
        return draft_.assignments.count(c.id) > 0;
    }));
}

bool AgendaModel::canApply() const {
    const bool reader = authorized_ || !cloud_->accounts().empty();
    const bool screenOn = std::any_of(screens_.begin(), screens_.end(), [&](const auto& screen) {
        const auto it = draft_.screens.find(screen.id);
        return it == draft_.screens.end() || it->second.enabled;
    });
    return reader && selectedCalendarCount() > 0 && draft_.groupNamesValid() && screenOn &&
           !refreshing_ && !storageError_;
}

std::vector<std::string> AgendaModel::missingCalendars() const {
    std::set<std::string> known;
    for (const auto& calendar : calendars_)
        known.insert(calendar.id);
    std::vector<std::string> missing;
    for (const auto& [id, group] : draft_.assignments)
        if (!known.count(id))
            missing.push_back(id);
    return missing; // the map keeps them sorted
}

std::vector<std::string> AgendaModel::disconnectedScreens() const {
    std::set<std::string> connected;
    for (const auto& screen : screens_)
        connected.insert(screen.id);
    std::vector<std::string> result;
    for (const auto& [id, screen] : draft_.screens)
        if (!connected.count(id))
            result.push_back(id);
    return result;
}

bool AgendaModel::wantsLaunchAtLogin() const {
    return preferences_.launchAtLogin.value_or(defaultLaunchAtLogin());
}

// --- storage ----------------------------------------------------------------------------------

void AgendaModel::savePreferences(const Preferences& preferences) const {
    // A settings file that could not be read is kept for the user to inspect or fix: writing
    // the defaults over it would lose it.
    if (storageError_)
        throw FileWriteError(
            AgendaLanguage::text("il file delle impostazioni non è leggibile e resta com'è",
                                 "the settings file could not be read and is left as it is"));
    writeFileAtomically(directory_ + u'/' + preferencesFileName,
                        QByteArray::fromStdString(preferences.toJson().dump(2) + "\n"),
                        QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

// --- draft editing ----------------------------------------------------------------------------

void AgendaModel::assign(const std::string& calendarID, std::optional<AgendaGroup> group) {
    Preferences next = draft_;
    if (group)
        next.assignments[calendarID] = *group;
    else
        next.assignments.erase(calendarID);
    const auto it = std::find_if(calendars_.begin(), calendars_.end(),
                                 [&](const auto& c) { return c.id == calendarID; });
    if (it != calendars_.end())
        next.calendarNames[calendarID] = it->name + " — " + it->source;
    setDraftValue(std::move(next));
    updatePreview();
}

void AgendaModel::renameGroup(AgendaGroup group, const std::string& name) {
    Preferences next = draft_;
    if (!next.groupNames)
        next.groupNames.emplace();
    (*next.groupNames)[std::string(rawValue(group))] = name;
    setDraftValue(std::move(next));
}

void AgendaModel::selectReminderList(const std::string& listID, ReminderSection section) {
    Preferences next = draft_;
    if (!next.reminderListIDs)
        next.reminderListIDs.emplace();
    const std::string key(rawValue(section));
    if (listID.empty())
        next.reminderListIDs->erase(key);
    else
        (*next.reminderListIDs)[key] = listID;
    setDraftValue(std::move(next));
    updatePreview();
}

void AgendaModel::setDraft(const Preferences& draft) {
    setDraftValue(draft);
}

void AgendaModel::updateScreens() {
    setScreens(options_.screens ? options_.screens() : ConnectedScreen::all());
    Preferences next = draft_;
    for (const auto& screen : screens_) {
        auto [it, inserted] = next.screens.try_emplace(screen.id);
        it->second.name = screen.name.toStdString();
    }
    setDraftValue(std::move(next));
}

void AgendaModel::apply() {
    if (!canApply())
        return;
    setDemonstration(false);
    Preferences next = draft_;
    next.normalizeGroupNames();
    next.activated = true;
    try {
        savePreferences(next);
    } catch (const std::exception& failure) {
        setError(AgendaLanguage::text("Impostazioni non salvate: ", "Settings were not saved: ") +
                 failure.what());
        return;
    }
    setPreferencesValue(next);
    setDraftValue(std::move(next));
    setError(std::nullopt);
    setMessage(std::nullopt);
    refresh();
}

void AgendaModel::migrateNamedReminderLists(const ReminderSnapshot& reminders) {
    if (reminders.state != ReminderAvailability::available ||
        preferences_.reminderGrouping != ReminderGrouping::namedLists ||
        draft_.reminderGrouping != ReminderGrouping::namedLists)
        return;
    ReminderListIDs ids;
    for (ReminderSection section : allReminderSections) {
        const auto list = reminders.uniqueList(section);
        if (!list)
            return;
        ids[std::string(rawValue(section))] = list->id;
    }
    Preferences next = preferences_;
    next.reminderGrouping = ReminderGrouping::selectedLists;
    next.reminderListIDs = ids;
    try {
        savePreferences(next);
    } catch (const std::exception& failure) {
        setError(AgendaLanguage::text("Impossibile aggiornare la selezione dei Promemoria: ",
                                      "Could not update Reminders selection: ") +
                 failure.what());
        return;
    }
    setPreferencesValue(std::move(next));
    Preferences draft = draft_;
    draft.reminderGrouping = ReminderGrouping::selectedLists;
    draft.reminderListIDs = std::move(ids);
    setDraftValue(std::move(draft));
}

// --- launch at login --------------------------------------------------------------------------

void AgendaModel::readLoginItemStatus() {
    setLoginItemStatus(loginItem_->status());
}

void AgendaModel::reconcileLoginItem() {
    readLoginItemStatus();
    setLoginItemError(std::nullopt);
    const bool wanted = wantsLaunchAtLogin();
    try {
        if (wanted && (loginItemStatus_ == LoginItemStatus::notRegistered ||
                       loginItemStatus_ == LoginItemStatus::notFound))
            loginItem_->registerItem();
        else if (!wanted && (loginItemStatus_ == LoginItemStatus::enabled ||
                             loginItemStatus_ == LoginItemStatus::requiresApproval))
            loginItem_->unregisterItem();
    } catch (const std::exception& failure) {
        setLoginItemError(AgendaLanguage::text("Avvio automatico non configurato: ",
                                               "Launch at login could not be configured: ") +
                          failure.what());
    }
    readLoginItemStatus();
}

void AgendaModel::setLaunchAtLogin(bool on) {
    Preferences next = preferences_;
    next.launchAtLogin = on;
    try {
        savePreferences(next);
    } catch (const std::exception& failure) {
        setLoginItemError(AgendaLanguage::text("Impossibile salvare l'avvio automatico: ",
                                               "Could not save launch at login: ") +
                          failure.what());
        return;
    }
    setPreferencesValue(std::move(next));
    Preferences draft = draft_;
    draft.launchAtLogin = on;
    setDraftValue(std::move(draft));
    reconcileLoginItem();
}

// --- calendar access and snapshots ------------------------------------------------------------

namespace {

std::string deniedText() {
    return AgendaLanguage::text(
        "Accesso non consentito. Consenti la lettura nelle impostazioni di Pellora → Calendari.",
        "Access denied. Allow reading in Pellora's settings → Calendars.");
}

} // namespace

void AgendaModel::requestAccess() {
    if (requestingAccess_)
        return;
    setRequestingAccess(true);
    setCalendarAccessError(std::nullopt);
    askForAccess();
}

QCoro::Task<> AgendaModel::askForAccess() {
    QPointer<AgendaModel> guard(this);
    const AccessAnswer answer = co_await store_->requestFullAccess(CalendarEntity::event);
    if (!guard)
        co_return;
    if (answer.granted) {
        store_->reset();
        calendarGrantAwaitingStatus_ = true;
    } else {
        setCalendarAccessError(answer.error ? *answer.error : deniedText());
    }
    co_await reloadCalendarSnapshot();
    if (!guard)
        co_return;
    if (!isQuitting_ && preferences_.activated)
        renderActive();
    setRequestingAccess(false);
}

QCoro::Task<bool> AgendaModel::reloadCalendarSnapshot() {
    if (isQuitting_)
        co_return false;
    QPointer<AgendaModel> guard(this);
    const int generation = ++snapshotRequested_;
    const bool wasAuthorized = authorized_;
    const bool wasAwaiting = calendarGrantAwaitingStatus_;
    const AuthorizationStatus status = store_->authorizationStatus(CalendarEntity::event);
    setAccessStatus(status);
    if (status != AuthorizationStatus::notDetermined)
        calendarGrantAwaitingStatus_ = false;
    setAuthorized(status == AuthorizationStatus::fullAccess ||
                  (status == AuthorizationStatus::notDetermined && calendarGrantAwaitingStatus_));
    if (authorized_) {
        if (!wasAuthorized && !wasAwaiting)
            store_->reset();
        setCalendarAccessError(std::nullopt);
    } else if (status == AuthorizationStatus::denied || status == AuthorizationStatus::restricted) {
        setCalendarAccessError(store_->accessProblem(CalendarEntity::event).value_or(deniedText()));
    }

    ++snapshotReads_;
    std::vector<StoreCalendar> local;
    AgendaSnapshot next;
    std::optional<std::string> failure;
    try {
        if (authorized_)
            local = co_await store_->calendars(CalendarEntity::event);
        if (guard && !isQuitting_)
            next = co_await loadSnapshot(*store_, *cloud_, authorized_, preferences_, now());
    } catch (const std::exception& error) {
        failure = error.what();
    }
    if (!guard)
        co_return false;
    --snapshotReads_;
    // A later reload has already shown its result, or the program is winding down.
    if (isQuitting_ || generation < snapshotShown_)
        co_return false;
    if (failure) {
        setError(failure);
        co_return false;
    }
    snapshotShown_ = generation;

    std::vector<CalendarChoice> choices;
    for (auto& calendar : local)
        choices.push_back(
            {std::move(calendar.id), std::move(calendar.title), std::move(calendar.source)});
    for (const auto& choice : cloud_->calendars()) {
        std::string email;
        for (const auto& account : cloud_->accounts())
            if (account.id() == choice.account)
                email = account.email;
        choices.push_back({choice.id, choice.name, title(choice.provider) + " · " + email});
    }
    std::stable_sort(choices.begin(), choices.end(), [](const auto& a, const auto& b) {
        return std::tie(a.source, a.name) < std::tie(b.source, b.name);
    });
    setCalendars(std::move(choices));

    next.reminders = reminders_->snapshot();
    if (next.fetchedAt)
        setLastReadAt(next.fetchedAt);
    setSnapshot(std::move(next));
    updatePreview();
    co_return true;
}

QCoro::Task<AgendaSnapshot>
AgendaModel::loadSnapshot(CalendarStore& store, const CloudCalendarService& cloud, bool authorized,
                          Preferences preferences, Date now, std::vector<std::string>* calendarIDs,
                          std::optional<Preferences> availabilityOf) {
    const Calendar calendar = AgendaDates::calendar();
    const Date start = calendar.startOfDay(now);
    const Date end = AgendaDates::endOfWeek(now, calendar);

    // Everything of the cloud service first: it may be gone once the store has answered.
    std::set<std::string> known;
    for (const auto& c : cloud.calendars())
        known.insert(c.id);
    const bool anyCloudCalendar = !known.empty();
    const bool reader = authorized || !cloud.accounts().empty();
    std::map<std::string, std::string> cloudCalendarOf;
    for (const auto& event : cloud.events())
        cloudCalendarOf[event.calendarID + ":" + event.id] = event.calendarID;
    std::vector<AgendaEvent> cloudEvents;
    std::vector<std::string> cloudEventCalendars;
    for (auto& event : cloud.agendaEvents(preferences.assignments)) {
        if (event.end < start || event.start > end)
            continue;
        cloudEventCalendars.push_back(cloudCalendarOf[event.id]);
        cloudEvents.push_back(std::move(event));
    }

    const QPointer<CalendarStore> alive(&store);
    std::vector<StoreCalendar> local;
    if (authorized)
        local = co_await store.calendars(CalendarEntity::event);
    for (const auto& c : local)
        known.insert(c.id);

    AgendaSnapshot result;
    result.date = now;
    for (AgendaGroup group : allAgendaGroups)
        result.availability.emplace(
            group,
            AgendaSelection::availability(
                (availabilityOf ? *availabilityOf : preferences).selected(group), known, reader));
    result.reminders = ReminderSnapshot{};

    std::vector<std::string> selected;
    for (const auto& c : local)
        if (preferences.assignments.count(c.id))
            selected.push_back(c.id);
    if (selected.empty() && !anyCloudCalendar)
        co_return result;

    if (authorized && !selected.empty() && alive) {
        const std::vector<StoreEvent> events = co_await alive->events(start, end, selected);
        for (const StoreEvent& event : events) {
            if (event.cancelled)
                continue;
            const auto group = preferences.assignments.find(event.calendarID);
            if (group == preferences.assignments.end())
                continue;
            const std::string& identifier = event.eventIdentifier.empty()
                                                ? event.calendarItemIdentifier
                                                : event.eventIdentifier;
            result.events.emplace_back(
                event.calendarID + ":" + identifier + ":" + secondsText(event.start), event.title,
                event.start, event.end, event.allDay, group->second);
            if (calendarIDs)
                calendarIDs->push_back(event.calendarID);
        }
    }
    for (std::size_t i = 0; i < cloudEvents.size(); ++i) {
        if (calendarIDs)
            calendarIDs->push_back(cloudEventCalendars[i]);
        result.events.push_back(std::move(cloudEvents[i]));
    }
    result.fetchedAt = now;
    co_return result;
}

std::optional<Preferences> AgendaModel::readPreferences(const QString& directory) {
    return readPreferencesFile(directory + u'/' + preferencesFileName);
}

void AgendaModel::updatePreview() {
    if (isQuitting_)
        return;
    if (previewReading_) {
        previewQueued_ = true;
        return;
    }
    readPreviews();
}

QCoro::Task<> AgendaModel::readPreviews() {
    QPointer<AgendaModel> guard(this);
    previewReading_ = true;
    do {
        previewQueued_ = false;
        AgendaSnapshot next;
        std::optional<std::string> failure;
        try {
            next = co_await loadSnapshot(*store_, *cloud_, authorized_, draft_, now());
        } catch (const std::exception& error) {
            failure = error.what();
        }
        if (!guard)
            co_return;
        if (isQuitting_)
            break;
        // The draft changed while reading: only its newest state is worth showing.
        if (previewQueued_)
            continue;
        if (failure) {
            setError(failure);
            break;
        }
        next.reminders = reminders_->snapshot();
        setPreviewSnapshot(std::move(next));
    } while (previewQueued_);
    previewReading_ = false;
    previewQueued_ = false;
}

namespace {

QCoro::Task<> readRemindersTask(QPointer<AgendaModel> self, ReminderService* reminders,
                                std::function<void(ReminderSnapshot)> finish) {
    ReminderSnapshot result = co_await reminders->read();
    if (self)
        finish(std::move(result));
}

} // namespace

void AgendaModel::refreshRemindersThenRender() {
    readRemindersTask(QPointer<AgendaModel>(this), reminders_.get(), [this](ReminderSnapshot r) {
        migrateNamedReminderLists(r);
        AgendaSnapshot current = snapshot_;
        current.reminders = r;
        setSnapshot(std::move(current));
        AgendaSnapshot preview = previewSnapshot_;
        preview.reminders = std::move(r);
        setPreviewSnapshot(std::move(preview));
        if (preferences_.activated)
            renderActive();
    });
}

void AgendaModel::requestReminderAccess() {
    [](QPointer<AgendaModel> self) -> QCoro::Task<> {
        co_await self->reminders_->requestAccess();
        if (self)
            self->refreshRemindersThenRender();
    }(QPointer<AgendaModel>(this));
}

void AgendaModel::refreshReminderLists() {
    refreshRemindersThenRender();
}

void AgendaModel::connectCloud(CloudCalendarProvider provider) {
    [](QPointer<AgendaModel> self, CloudCalendarService* cloud,
       CloudCalendarProvider chosen) -> QCoro::Task<> {
        const bool connected = co_await cloud->connect(chosen);
        if (self && connected)
            self->refresh();
    }(QPointer<AgendaModel>(this), cloud_.get(), provider);
}

void AgendaModel::openPrivacy() {
    store_->openPrivacy();
}

void AgendaModel::openCalendar() {
    store_->openCalendar();
}

void AgendaModel::openReminders() {
    reminders_->openApp();
}

// --- refresh cycle ----------------------------------------------------------------------------

void AgendaModel::start() {
    if (started_ || isQuitting_)
        return;
    started_ = true;
    reconcileLoginItem();
    updater_->checkAutomaticallyIfDue();
    refresh();
    armTimers();
}

void AgendaModel::scheduleRefresh() {
    if (isQuitting_)
        return;
    timerState_->debounce = timers_->after(debounceDelay, [this] {
        if (!isQuitting_)
            refresh();
    });
}

void AgendaModel::refresh(KeyringAccess keyring) {
    if (isQuitting_)
        return;
    if (keyring == KeyringAccess::userAction)
        keyringUserAction_ = true;
    if (refreshing_) {
        refreshQueued_ = true;
        return;
    }
    readLoginItemStatus();
    setRefreshing(true);
    runRefreshSequence();
}

namespace {

// One turn of the event loop.
struct Yield {
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> handle) const {
        QTimer::singleShot(0, [handle] { handle.resume(); });
    }
    void await_resume() const noexcept {}
};

} // namespace

void AgendaModel::runRefreshSequence() {
    refreshSequence();
}

QCoro::Task<> AgendaModel::refreshSequence() {
    QPointer<AgendaModel> guard(this);
    co_await Yield{};
    if (!guard)
        co_return;
    try {
        updateScreens();
        // Quick pass: a first read or a permission change shows the local calendars without
        // waiting for the network.
        if (store_->authorizationStatus(CalendarEntity::event) != accessStatus_ ||
            (authorized_ && calendars_.empty())) {
            co_await reloadCalendarSnapshot();
            if (!guard)
                co_return;
            if (preferences_.activated)
                renderActive();
        }
        // The task read runs while the cloud accounts refresh.
        QCoro::Task<ReminderSnapshot> reminderRead = reminders_->read();
        const KeyringAccess keyring =
            keyringUserAction_ ? KeyringAccess::userAction : KeyringAccess::automatic;
        keyringUserAction_ = false;
        co_await cloud_->refresh(keyring);
        if (!guard)
            co_return;
        co_await reminderRead;
        if (!guard)
            co_return;
        migrateNamedReminderLists(reminders_->snapshot());
        co_await reloadCalendarSnapshot();
        if (!guard)
            co_return;
        if (preferences_.activated)
            renderActive();
    } catch (const std::exception& failure) {
        // Nothing above is meant to throw; if something does, the cycle must go on.
        setError(failure.what());
    }
    finishRefresh();
}

void AgendaModel::finishRefresh() {
    setRefreshing(false);
    ++refreshCount_;
    Q_EMIT refreshFinished();
    if (refreshQueued_) {
        refreshQueued_ = false;
        refresh();
    }
}

void AgendaModel::renderActive() {
    if (isQuitting_)
        return;
    if (sessionLocked_) {
        // Nobody can see it: draw at the unlock instead.
        renderPendingUnlock_ = true;
        return;
    }
    if (!wallpaper_) {
        setError(storageError_);
        return;
    }
    renderPendingUnlock_ = false;
    ++renderCount_;
    lastRenderAt_ = now();
    auto [names, errors] = wallpaper_->apply(snapshot_, preferences_, screens_);
    setAppliedNames(names);
    if (!errors.empty()) {
        std::string text;
        for (const auto& line : errors)
            text += (text.empty() ? "" : "\n") + line;
        setError(text);
    } else if (!names.empty()) {
        setLastApplied(now());
        std::string joined;
        for (const auto& name : names)
            joined += (joined.empty() ? "" : ", ") + name;
        setMessage(
            AgendaLanguage::text("Sfondo applicato: " + joined, "Wallpaper applied: " + joined));
        setError(std::nullopt);
    } else {
        setError(AgendaLanguage::text("Nessuno schermo selezionato è collegato.",
                                      "No selected screen is connected."));
    }
}

// --- timers -----------------------------------------------------------------------------------

void AgendaModel::scheduleRefreshTimer() {
    const Date at = AgendaDates::nextScheduledRefresh(now(), AgendaDates::calendar());
    timerState_->refreshAt = at;
    timerState_->refresh = timers_->at(at, refreshTolerance, [this] {
        if (isQuitting_)
            return;
        refresh();
        scheduleRefreshTimer();
    });
}

void AgendaModel::scheduleTimelineUpdate() {
    const Date at = AgendaDates::nextTimelineUpdate(now(), AgendaDates::calendar());
    timerState_->timelineAt = at;
    timerState_->timeline = timers_->at(at, timelineTolerance, [this] {
        if (isQuitting_)
            return;
        timelineTick();
        scheduleTimelineUpdate();
    });
}

void AgendaModel::schedulePaletteChange() {
    const Date at = GlassHarmony::nextChange(now());
    timerState_->paletteAt = at;
    timerState_->palette = timers_->at(at, 0ms, [this] {
        if (isQuitting_)
            return;
        refresh();
        schedulePaletteChange();
    });
}

void AgendaModel::scheduleMidnight() {
    const Date at = nextDayStart(now(), AgendaDates::calendar());
    timerState_->midnightAt = at;
    timerState_->midnight = timers_->at(at, 0ms, [this] {
        if (isQuitting_)
            return;
        dayChanged();
        scheduleMidnight();
    });
}

void AgendaModel::armTimers() {
    scheduleRefreshTimer();
    scheduleTimelineUpdate();
    schedulePaletteChange();
    scheduleMidnight();
}

void AgendaModel::stopTimers() {
    if (!timerState_)
        return;
    timerState_->debounce.reset();
    timerState_->refresh.reset();
    timerState_->timeline.reset();
    timerState_->palette.reset();
    timerState_->midnight.reset();
    timerState_->refreshAt.reset();
    timerState_->timelineAt.reset();
    timerState_->paletteAt.reset();
    timerState_->midnightAt.reset();
}

void AgendaModel::timelineTick() {
    const Date moment = now();
    AgendaSnapshot current = snapshot_;
    current.date = moment;
    setSnapshot(std::move(current));
    AgendaSnapshot preview = previewSnapshot_;
    preview.date = moment;
    setPreviewSnapshot(std::move(preview));
    if (!preferences_.activated || refreshing_)
        return;
    // A refresh due within its tolerance draws the same minute anyway (:25, :55, even hours),
    // and one that has just drawn already shows this minute.
    const auto dueSoon = [&](const std::optional<Date>& at, std::chrono::milliseconds slack) {
        return at && *at <= moment + slack;
    };
    if (dueSoon(timerState_->refreshAt, refreshTolerance) ||
        dueSoon(timerState_->paletteAt, timelineTolerance) ||
        (lastRenderAt_ && moment - *lastRenderAt_ < timelineTolerance && moment >= *lastRenderAt_))
        return;
    renderActive();
}

std::optional<Date> AgendaModel::refreshTimerDate() const {
    return timerState_->refreshAt;
}
std::optional<Date> AgendaModel::timelineTimerDate() const {
    return timerState_->timelineAt;
}
std::optional<Date> AgendaModel::paletteTimerDate() const {
    return timerState_->paletteAt;
}
std::optional<Date> AgendaModel::midnightTimerDate() const {
    return timerState_->midnightAt;
}

// --- notifications ----------------------------------------------------------------------------

void AgendaModel::storeChanged() {
    scheduleRefresh();
}

void AgendaModel::dayChanged() {
    scheduleRefresh();
}

void AgendaModel::timeZoneChanged() {
    if (isQuitting_)
        return;
    // Every time of day moved: the timers are computed again in the new zone.
    if (started_)
        armTimers();
    scheduleRefresh();
}

void AgendaModel::screensChanged() {
    scheduleRefresh();
}

void AgendaModel::applicationActivated() {
    scheduleRefresh();
}

void AgendaModel::woke() {
    if (isQuitting_)
        return;
    if (started_)
        armTimers();
    scheduleRefresh();
    updater_->checkAutomaticallyIfDue();
}

void AgendaModel::workspaceChanged() {
    scheduleRefresh();
}

void AgendaModel::clockChanged() {
    if (isQuitting_ || !started_)
        return;
    armTimers();
    scheduleRefresh();
}

void AgendaModel::setSessionLocked(bool locked) {
    if (sessionLocked_ == locked)
        return;
    sessionLocked_ = locked;
    Q_EMIT sessionLockedChanged();
    Q_EMIT changed();
    if (!locked && renderPendingUnlock_ && !isQuitting_ && preferences_.activated && !refreshing_) {
        AgendaSnapshot current = snapshot_;
        current.date = now();
        setSnapshot(std::move(current));
        renderActive();
    }
}

// --- quitting ---------------------------------------------------------------------------------

std::vector<std::string> AgendaModel::restoreAndQuit() {
    // A shutdown that only restored the wallpapers still lets the user quit.
    if (isQuitting_ && !quittingForShutdown_)
        return {};
    quittingForShutdown_ = false;
    isQuitting_ = true;
    stopTimers();

    std::vector<std::string> failures;
    const auto connected = options_.screens ? options_.screens() : ConnectedScreen::all();
    if (wallpaper_)
        failures = wallpaper_->restoreAll(connected);
    else if (storageError_)
        failures.push_back(*storageError_);

    Preferences next = preferences_;
    next.activated = false;
    try {
        savePreferences(next);
        setPreferencesValue(std::move(next));
    } catch (const std::exception& failure) {
        // The settings of an unreadable file were never ours to save: nothing to report.
        if (!storageError_)
            failures.push_back(AgendaLanguage::text("Impossibile salvare le impostazioni: ",
                                                    "Could not save settings: ") +
                               failure.what());
    }

    if (!failures.empty()) {
        if (showQuitAlert) {
            showQuitAlert(failures);
        } else {
            std::fprintf(
                stderr, "%s\n",
                AgendaLanguage::text("Ripristino non completato", "Restore incomplete").c_str());
            for (const auto& line : failures)
                std::fprintf(stderr, "%s\n", line.c_str());
        }
    }
    terminateApplication();
    return failures;
}

void AgendaModel::shutdownStarting() {
    if (isQuitting_)
        return;
    restoreOnTermination();
    quittingForShutdown_ = true;
}

void AgendaModel::shutdownCancelled() {
    if (!quittingForShutdown_)
        return;
    quittingForShutdown_ = false;
    isQuitting_ = false;
    if (started_)
        armTimers();
    refresh();
}

void AgendaModel::restoreOnTermination() {
    if (isQuitting_)
        return;
    // Nothing may draw over the restored pictures while the program winds down.
    isQuitting_ = true;
    stopTimers();
    if (!wallpaper_)
        return;
    // Nobody is there to see an alert: what could not be put back goes to the journal.
    const auto failures =
        wallpaper_->restoreAll(options_.screens ? options_.screens() : ConnectedScreen::all());
    if (!failures.empty()) {
        std::fprintf(
            stderr, "pellora: %s\n",
            AgendaLanguage::text("Ripristino non completato", "Restore incomplete").c_str());
        for (const auto& line : failures)
            std::fprintf(stderr, "pellora: %s\n", line.c_str());
    }
}

void AgendaModel::terminateApplication() {
    if (options_.terminate) {
        options_.terminate();
        return;
    }
    if (auto* app = QCoreApplication::instance())
        QMetaObject::invokeMethod(app, &QCoreApplication::quit, Qt::QueuedConnection);
}

} // namespace brivane

#include "Brivane/controller/AgendaModel.h"

#include "Brivane/calendar/CombinedCalendarStore.h"
#include "Brivane/calendar/ICalendarStore.h"
#include "Brivane/calendar/ReminderService.h"
#include "Brivane/cloud/CloudCalendarService.h"
#include "Brivane/controller/RefreshScheduler.h"
#include "Brivane/controller/SystemEvents.h"
#include "Brivane/controller/TimerSource.h"
#include "Brivane/desktop/DesktopPictures.h"
#include "Brivane/desktop/WallpaperService.h"
#include "Brivane/subscriptions/SubscribedCalendarStore.h"
#include "Brivane/updates/UpdateManager.h"
#include "BrivaneCore/AgendaLanguage.h"

#include <QCoreApplication>
#include <QPointer>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <utility>

namespace brivane {

namespace {

// The running controller, for a process that ends through exit() without returning to the
// event loop: Qt exits that way when the X11 connection breaks at logout.
QPointer<AgendaModel> exitingModel;

void restoreAtExit() {
    if (exitingModel)
        exitingModel->restoreOnTermination();
}

} // namespace

// --- creation ---------------------------------------------------------------------------------

AgendaModel::AgendaModel(QObject* parent) : AgendaModel(Options{}, parent) {}

AgendaModel::AgendaModel(Options options, QObject* parent)
    : QObject(parent), options_(std::move(options)) {
    scheduler_ = std::make_unique<RefreshScheduler>(
        options_.timers ? std::move(options_.timers) : makeSystemTimerSource(),
        RefreshScheduler::Handlers{[this] { return isQuitting_; }, [this] { refresh(); },
                                   [this] { timelineTick(); }, [this] { dayChanged(); }});
    launchAtLogin_ = std::make_unique<LaunchAtLogin>(options_.loginItem ? *options_.loginItem
                                                                        : LoginItem::current());
    settings_ = std::make_unique<SettingsDraft>(
        options_.directory ? *options_.directory : SettingsDraft::defaultDirectory());
    createServices();

    cloud_->noteAssignedCalendars(preferences().assignments);
    access_ = std::make_unique<CalendarAccess>(*store_, *cloud_);
    reader_ = std::make_unique<SnapshotReader>(
        SnapshotReader::Sources{*store_, *cloud_, *reminders_, *access_, *settings_},
        SnapshotReader::Hooks{[this] { return now(); }, [this] { return isQuitting_; },
                              [this](const std::string& failure) { setError(failure); }},
        now());
    connectParts();
    updateScreens();

    connect(store_.get(), &CalendarStore::changed, this, &AgendaModel::storeChanged);
    // A keyring unlocked after a refresh stopped waiting for it: the cloud events come now.
    connect(cloud_.get(), &CloudCalendarService::accountsLoadedChanged, this, [this] {
        if (started_ && cloud_->accountsLoaded())
            scheduleRefresh();
    });
    connect(&scheduler_->timers(), &TimerSource::clockChanged, this, &AgendaModel::clockChanged);
    if (options_.systemEvents)
        listenToSystem();
}

// The store, the reminders, the cloud and update services, the wallpaper and the settings read
// from the data folder.
void AgendaModel::createServices() {
    subscriptions_ = options_.subscriptions
                         ? std::make_unique<SubscriptionService>(std::move(*options_.subscriptions))
                         : std::make_unique<SubscriptionService>();
    store_ = std::make_unique<SubscribedCalendarStore>(
        options_.store ? std::move(options_.store)
                       : std::make_unique<CombinedCalendarStore>(ICalendarStore::Options::defaults(
                             settings_->directory().toStdString())),
        *subscriptions_);
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

    std::optional<std::string> storageFailure;
    try {
        std::shared_ptr<DesktopPictures> pictures =
            options_.pictures
                ? options_.pictures
                : std::shared_ptr<DesktopPictures>(DesktopPictures::forCurrentDesktop());
        wallpaper_ = std::make_unique<WallpaperService>(
            settings_->directory(), std::move(pictures),
            options_.painter ? options_.painter : &WallpaperService::render);
    } catch (const std::exception& failure) {
        storageFailure = failure.what();
    }
    settings_->load(storageFailure);
    error_ = settings_->storageError();
}

// Each part's change is this controller's change.
void AgendaModel::connectParts() {
    const auto forward = [this](auto* part, auto partSignal, void (AgendaModel::*mine)()) {
        connect(part, partSignal, this, [this, mine] {
            if (mine)
                Q_EMIT(this->*mine)();
            Q_EMIT changed();
        });
    };
    forward(settings_.get(), &SettingsDraft::draftChanged, &AgendaModel::draftChanged);
    forward(settings_.get(), &SettingsDraft::preferencesChanged, nullptr);
    forward(access_.get(), &CalendarAccess::calendarsChanged, &AgendaModel::calendarsChanged);
    forward(access_.get(), &CalendarAccess::authorizedChanged, &AgendaModel::authorizedChanged);
    forward(access_.get(), &CalendarAccess::statusChanged, &AgendaModel::accessStatusChanged);
    forward(access_.get(), &CalendarAccess::requestingChanged,
            &AgendaModel::requestingAccessChanged);
    forward(access_.get(), &CalendarAccess::errorChanged, &AgendaModel::calendarAccessErrorChanged);
    forward(reader_.get(), &SnapshotReader::snapshotChanged, &AgendaModel::snapshotChanged);
    forward(reader_.get(), &SnapshotReader::previewChanged, &AgendaModel::previewSnapshotChanged);
    forward(reader_.get(), &SnapshotReader::lastReadAtChanged, nullptr);
    forward(launchAtLogin_.get(), &LaunchAtLogin::statusChanged,
            &AgendaModel::loginItemStatusChanged);
    forward(launchAtLogin_.get(), &LaunchAtLogin::errorChanged,
            &AgendaModel::loginItemErrorChanged);
}

void AgendaModel::listenToSystem() {
    systemEvents_ = new SystemEvents(this);
    connect(systemEvents_, &SystemEvents::timeZoneChanged, this, &AgendaModel::timeZoneChanged);
    connect(systemEvents_, &SystemEvents::screensChanged, this, &AgendaModel::screensChanged);
    connect(systemEvents_, &SystemEvents::applicationActivated, this,
            &AgendaModel::applicationActivated);
    connect(systemEvents_, &SystemEvents::woke, this, &AgendaModel::woke);
    connect(systemEvents_, &SystemEvents::workspaceChanged, this, &AgendaModel::workspaceChanged);
    connect(systemEvents_, &SystemEvents::sessionLockChanged, this, &AgendaModel::setSessionLocked);
    connect(systemEvents_, &SystemEvents::shutdownRequested, this, [this] {
        shutdownStarting();
        systemEvents_->releaseShutdownInhibitor();
    });
    connect(systemEvents_, &SystemEvents::shutdownCancelled, this, &AgendaModel::shutdownCancelled);
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

AgendaModel::~AgendaModel() {
    destroying_ = true;
    scheduler_->stop();
    // A refresh waiting for its turn of the event loop ends now (its guard sees the end).
    if (auto waiting = std::exchange(yielded_, {}))
        waiting.resume();
}

Date AgendaModel::now() const {
    return scheduler_->now();
}

// --- observable fields ------------------------------------------------------------------------

#define PELLORA_SETTER(Name, field, Type, signal)                                                  \
    void AgendaModel::Name(Type value) {                                                           \
        if (field == value)                                                                        \
            return;                                                                                \
        field = std::move(value);                                                                  \
        signal;                                                                                    \
        Q_EMIT changed();                                                                          \
    }

PELLORA_SETTER(setRefreshing, refreshing_, bool, Q_EMIT refreshingChanged())
PELLORA_SETTER(setLastApplied, lastApplied_, std::optional<Date>, Q_EMIT lastAppliedChanged())
PELLORA_SETTER(setMessage, message_, std::optional<std::string>, (void)0)
PELLORA_SETTER(setError, error_, std::optional<std::string>, (void)0)

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
    return static_cast<int>(
        std::count_if(calendars().begin(), calendars().end(),
                      [&](const auto& c) { return draft().assignments.count(c.id) > 0; }));
}

bool AgendaModel::canApply() const {
    return !applyBlocker();
}

std::optional<AgendaModel::Blocker> AgendaModel::applyBlocker() const {
    const Preferences& draft = this->draft();
    const auto step = [](std::string_view italian, std::string_view english) {
        return Blocker{AgendaLanguage::text(italian, english)};
    };
    if (!hasCalendarSource())
        return step("Consenti prima l’accesso ai calendari, collega un calendario cloud o "
                    "aggiungine uno per indirizzo.",
                    "Allow calendar access, connect a cloud calendar or add one by address first.");
    if (selectedCalendarCount() == 0)
        return step("Scegli almeno un calendario.", "Choose at least one calendar.");
    if (!draft.groupNamesValid())
        return step("Correggi i nomi dei gruppi nei Calendari.",
                    "Correct the group names under Calendars.");
    const bool screenOn = std::any_of(screens_.begin(), screens_.end(), [&](const auto& screen) {
        const auto it = draft.screens.find(screen.id);
        return it == draft.screens.end() || it->second.enabled;
    });
    if (!screenOn)
        return step("Attiva almeno uno schermo collegato.",
                    "Turn on at least one connected screen.");
    if (refreshing_)
        return step("Attendi la fine dell’aggiornamento.", "Wait for the update to finish.");
    if (const auto& error = storageError())
        return Blocker{*error, true};
    return std::nullopt;
}

std::vector<std::string> AgendaModel::missingCalendars() const {
    std::set<std::string> known;
    for (const auto& calendar : calendars())
        known.insert(calendar.id);
    std::vector<std::string> missing;
    for (const auto& [id, group] : draft().assignments)
        if (!known.count(id))
            missing.push_back(id);
    return missing; // the map keeps them sorted
}

std::vector<std::string> AgendaModel::disconnectedScreens() const {
    std::set<std::string> connected;
    for (const auto& screen : screens_)
        connected.insert(screen.id);
    std::vector<std::string> result;
    for (const auto& [id, screen] : draft().screens)
        if (!connected.count(id))
            result.push_back(id);
    return result;
}

// --- draft editing ----------------------------------------------------------------------------

void AgendaModel::assign(const std::string& calendarID, std::optional<AgendaGroup> group) {
    const auto it = std::find_if(calendars().begin(), calendars().end(),
                                 [&](const auto& c) { return c.id == calendarID; });
    std::optional<std::string> name;
    if (it != calendars().end())
        name = it->name + " — " + it->source;
    settings_->assign(calendarID, group, name);
    updatePreview();
}

void AgendaModel::renameGroup(AgendaGroup group, const std::string& name) {
    settings_->renameGroup(group, name);
}

void AgendaModel::selectReminderList(const std::string& listID, ReminderSection section) {
    settings_->selectReminderList(listID, section);
    updatePreview();
}

void AgendaModel::setDraft(const Preferences& draft) {
    settings_->setDraft(draft);
}

void AgendaModel::updateScreens() {
    setScreens(options_.screens ? options_.screens() : ConnectedScreen::all());
    settings_->noteScreens(screens_);
}

void AgendaModel::updatePreview() {
    reader_->requestPreview();
}

void AgendaModel::apply() {
    if (!canApply())
        return;
    setDemonstration(false);
    if (auto failure = settings_->apply()) {
        setError(std::move(failure));
        return;
    }
    setError(std::nullopt);
    setMessage(std::nullopt);
    refresh();
}

void AgendaModel::migrateNamedReminderLists(const ReminderSnapshot& reminders) {
    if (auto failure = settings_->migrateNamedReminderLists(reminders))
        setError(std::move(failure));
}

// --- launch at login --------------------------------------------------------------------------

void AgendaModel::reconcileLoginItem() {
    launchAtLogin_->reconcile(wantsLaunchAtLogin());
}

void AgendaModel::setLaunchAtLogin(bool on) {
    if (auto failure = settings_->setLaunchAtLogin(on)) {
        launchAtLogin_->setError(std::move(failure));
        return;
    }
    reconcileLoginItem();
}

// --- calendar access and snapshots ------------------------------------------------------------

void AgendaModel::requestAccess() {
    if (access_->requesting())
        return;
    askForAccess();
}

QCoro::Task<> AgendaModel::askForAccess() {
    Guard guard(this);
    co_await access_->request();
    if (!guard)
        co_return;
    co_await reloadCalendarSnapshot();
    if (!guard)
        co_return;
    if (!isQuitting_ && preferences().activated)
        renderActive();
    access_->finishRequest();
}

QCoro::Task<bool> AgendaModel::reloadCalendarSnapshot() {
    if (isQuitting_)
        co_return false;
    access_->readStatus();
    co_return co_await reader_->reload();
}

namespace {

QCoro::Task<> readRemindersTask(AgendaModel::Guard self, ReminderService* reminders,
                                std::function<void(ReminderSnapshot)> finish) {
    ReminderSnapshot result = co_await reminders->read();
    if (self)
        finish(std::move(result));
}

} // namespace

void AgendaModel::refreshRemindersThenRender() {
    readRemindersTask(Guard(this), reminders_.get(), [this](ReminderSnapshot r) {
        migrateNamedReminderLists(r);
        AgendaSnapshot current = snapshot();
        current.reminders = r;
        reader_->setSnapshot(std::move(current));
        AgendaSnapshot preview = previewSnapshot();
        preview.reminders = std::move(r);
        reader_->setPreview(std::move(preview));
        if (preferences().activated)
            renderActive();
    });
}

void AgendaModel::requestReminderAccess() {
    [](Guard self) -> QCoro::Task<> {
        co_await self->reminders_->requestAccess();
        if (self)
            self->refreshRemindersThenRender();
    }(Guard(this));
}

void AgendaModel::refreshReminderLists() {
    refreshRemindersThenRender();
}

void AgendaModel::connectCloud(CloudCalendarProvider provider) {
    [](Guard self, CloudCalendarService* cloud, CloudCalendarProvider chosen) -> QCoro::Task<> {
        const bool connected = co_await cloud->connect(chosen);
        if (self && connected)
            self->refresh();
    }(Guard(this), cloud_.get(), provider);
}

void AgendaModel::openPrivacy() {
    store_->openPrivacy();
}

QCoro::Task<SubscriptionService::SubscribeResult> AgendaModel::subscribe(QString address,
                                                                         std::string name) {
    Guard guard(this);
    // Named, not a temporary in the wait: GCC 12 may destroy one twice.
    QCoro::Task<SubscriptionService::SubscribeResult> adding =
        subscriptions_->subscribe(std::move(address), std::move(name));
    SubscriptionService::SubscribeResult result = co_await std::move(adding);
    if (guard && result.subscription)
        co_await reloadCalendarSnapshot();
    co_return result;
}

QCoro::Task<std::optional<std::string>> AgendaModel::unsubscribe(std::string id) {
    Guard guard(this);
    QCoro::Task<std::optional<std::string>> removing = subscriptions_->unsubscribe(id);
    std::optional<std::string> error = co_await std::move(removing);
    if (!guard || error)
        co_return error;
    // Its calendar is gone for good: kept in the draft it would read "unavailable".
    assign(id, std::nullopt);
    co_await reloadCalendarSnapshot();
    co_return std::nullopt;
}

// An application that could not be opened says why on the status line, even when it failed
// only after starting.
QCoro::Task<> AgendaModel::reportLaunch(Guard self, QCoro::Task<LaunchProblem> launch) {
    const LaunchProblem problem = co_await std::move(launch);
    if (self && problem)
        self->setError(problem);
}

void AgendaModel::openCalendar() {
    reportLaunch(Guard(this), store_->openCalendar());
}

void AgendaModel::openReminders() {
    reportLaunch(Guard(this), reminders_->openApp());
}

// --- refresh cycle ----------------------------------------------------------------------------

void AgendaModel::start() {
    if (started_ || isQuitting_)
        return;
    started_ = true;
    reconcileLoginItem();
    updater_->checkAutomaticallyIfDue();
    refresh();
    scheduler_->arm();
}

void AgendaModel::scheduleRefresh() {
    if (isQuitting_)
        return;
    scheduler_->debounce();
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
    launchAtLogin_->readStatus();
    setRefreshing(true);
    refreshSequence();
}

namespace {

// One turn of the event loop. The suspended coroutine is kept in `slot`, so that the owner's end
// can resume it when that turn never comes.
struct Yield {
    QObject* owner;
    std::coroutine_handle<>* slot;
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> handle) const {
        *slot = handle;
        QTimer::singleShot(0, owner, [slot = slot] {
            if (auto waiting = std::exchange(*slot, {}))
                waiting.resume();
        });
    }
    void await_resume() const noexcept {}
};

} // namespace

QCoro::Task<> AgendaModel::refreshSequence() {
    Guard guard(this);
    co_await Yield{this, &yielded_};
    if (!guard)
        co_return;
    try {
        updateScreens();
        // Quick pass: a first read or a permission change shows the local calendars without
        // waiting for the network.
        if (store_->authorizationStatus(CalendarEntity::event) != accessStatus() ||
            (authorized() && calendars().empty())) {
            co_await reloadCalendarSnapshot();
            if (!guard)
                co_return;
            if (preferences().activated)
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
        co_await subscriptions_->refresh(keyring == KeyringAccess::userAction);
        if (!guard)
            co_return;
        co_await reminderRead;
        if (!guard)
            co_return;
        migrateNamedReminderLists(reminders_->snapshot());
        co_await reloadCalendarSnapshot();
        if (!guard)
            co_return;
        if (preferences().activated)
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

namespace {

// Whether two applied settings give the same pictures: launching at login draws nothing.
bool drawsSame(Preferences read, const Preferences& applied) {
    read.launchAtLogin = applied.launchAtLogin;
    return read == applied;
}

} // namespace

void AgendaModel::renderActive() {
    if (isQuitting_)
        return;
    // Nobody can see it: draw at the unlock instead.
    if (scheduler_->holdForUnlock())
        return;
    if (!wallpaper_) {
        setError(storageError());
        return;
    }
    // A snapshot read for earlier settings would put the new style and screens over the old
    // calendars: the read of the settings now applied draws instead.
    if (!drawsSame(reader_->snapshotPreferences(), preferences())) {
        if (!refreshing_)
            refresh();
        return;
    }
    ++renderCount_;
    scheduler_->drawn(now());
    // Copies: the drawing takes one value of each, whatever its callees change.
    const AgendaSnapshot shown = snapshot();
    const Preferences settings = reader_->snapshotPreferences();
    const std::vector<ConnectedScreen> screens = screens_;
    auto [names, errors] = wallpaper_->apply(shown, settings, screens);
    showApplied(names, errors);
}

void AgendaModel::showApplied(const std::vector<std::string>& names,
                              const std::vector<std::string>& errors) {
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

void AgendaModel::timelineTick() {
    const Date moment = now();
    AgendaSnapshot current = snapshot();
    current.date = moment;
    reader_->setSnapshot(std::move(current));
    AgendaSnapshot preview = previewSnapshot();
    preview.date = moment;
    reader_->setPreview(std::move(preview));
    if (!preferences().activated || refreshing_ || scheduler_->minuteDrawnAnyway(moment))
        return;
    renderActive();
}

std::optional<Date> AgendaModel::refreshTimerDate() const {
    return scheduler_->refreshAt();
}
std::optional<Date> AgendaModel::timelineTimerDate() const {
    return scheduler_->timelineAt();
}
std::optional<Date> AgendaModel::paletteTimerDate() const {
    return scheduler_->paletteAt();
}
std::optional<Date> AgendaModel::midnightTimerDate() const {
    return scheduler_->midnightAt();
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
        scheduler_->arm();
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
        scheduler_->arm();
    scheduleRefresh();
    updater_->checkAutomaticallyIfDue();
}

void AgendaModel::workspaceChanged() {
    scheduleRefresh();
}

void AgendaModel::clockChanged() {
    if (isQuitting_ || !started_)
        return;
    scheduler_->arm();
    scheduleRefresh();
}

void AgendaModel::setSessionLocked(bool locked) {
    if (!scheduler_->setLocked(locked))
        return;
    Q_EMIT changed();
    if (!locked && scheduler_->drawPendingUnlock() && !isQuitting_ && preferences().activated &&
        !refreshing_) {
        AgendaSnapshot current = snapshot();
        current.date = now();
        reader_->setSnapshot(std::move(current));
        renderActive();
    }
}

// --- quitting ---------------------------------------------------------------------------------

std::vector<std::string> AgendaModel::restoreWallpapers() {
    const auto connected = options_.screens ? options_.screens() : ConnectedScreen::all();
    return wallpaper_->restoreAll(connected);
}

std::vector<std::string> AgendaModel::restoreAndQuit() {
    // A shutdown that only restored the wallpapers still lets the user quit.
    if (isQuitting_ && !quittingForShutdown_)
        return {};
    quittingForShutdown_ = false;
    isQuitting_ = true;
    scheduler_->stop();

    std::vector<std::string> failures;
    if (wallpaper_)
        failures = restoreWallpapers();
    else if (storageError())
        failures.push_back(*storageError());
    if (auto failure = settings_->saveDeactivated())
        failures.push_back(std::move(*failure));

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
        scheduler_->arm();
    refresh();
}

void AgendaModel::restoreOnTermination() {
    if (isQuitting_)
        return;
    // Nothing may draw over the restored pictures while the program winds down.
    isQuitting_ = true;
    scheduler_->stop();
    if (!wallpaper_)
        return;
    // Nobody is there to see an alert: what could not be put back goes to the journal.
    const auto failures = restoreWallpapers();
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

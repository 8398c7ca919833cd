#pragma once

// The one controller of the running application, the face its windows and the terminal modes
// see. It owns the services and parts with one job each: the settings and their draft
// (SettingsDraft), calendar access and the calendar list (CalendarAccess), the snapshots and
// previews (SnapshotReader), when to refresh (RefreshScheduler) and the autostart entry
// (LaunchAtLogin). It runs the refresh cycle itself, draws, and quits with the user's wallpaper
// back. Main thread only. Every observable field has a change signal that fires only on a real
// change; `changed()` follows every change, for views that show derived values.

#include "Brivane/calendar/CalendarStore.h"
#include "Brivane/cloud/CloudCalendarService.h"
#include "Brivane/controller/CalendarAccess.h"
#include "Brivane/controller/LaunchAtLogin.h"
#include "Brivane/controller/SettingsDraft.h"
#include "Brivane/controller/SnapshotReader.h"
#include "Brivane/controller/TimerSource.h"
#include "Brivane/desktop/ConnectedScreen.h"
#include "Brivane/desktop/WallpaperService.h"
#include "Brivane/subscriptions/SubscriptionService.h"
#include "Brivane/updates/UpdateManager.h"
#include "BrivaneCore/AgendaSnapshot.h"
#include "BrivaneCore/Preferences.h"
#include "BrivaneCore/ReminderModel.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <chrono>
#include <coroutine>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace brivane {

class DesktopPictures;
class RefreshScheduler;
class ReminderService;
class SystemEvents;

class AgendaModel : public QObject {
    Q_OBJECT
public:
    // What the controller is built on. Anything left empty is the real thing for this session:
    // the data directory under $XDG_DATA_HOME, the iCalendar store, the keyring-backed cloud
    // service, the desktop's picture backend, QScreen, the system clock and timerfd timers, the
    // desktop's notifications, the XDG autostart entry.
    struct Options {
        std::optional<QString> directory;
        std::unique_ptr<CalendarStore> store;
        std::unique_ptr<CloudCalendarService> cloud;
        std::optional<SubscriptionService::Options> subscriptions;
        std::unique_ptr<UpdateManager> updater;
        std::shared_ptr<DesktopPictures> pictures;
        // Draws one screen's image; the wallpaper renderer when empty.
        WallpaperImageSource painter;
        std::function<std::vector<ConnectedScreen>()> screens;
        std::unique_ptr<TimerSource> timers;
        // Without one the controller does not listen to the system (tests drive it directly).
        bool systemEvents = true;
        std::optional<LoginItem::Location> loginItem;
        // Ends the application after quit-and-restore; QCoreApplication::quit when empty.
        std::function<void()> terminate;
        std::chrono::milliseconds reminderTimeLimit{12000};
    };

    // See SettingsDraft.
    static QString defaultDirectory() { return SettingsDraft::defaultDirectory(); }
    static bool defaultLaunchAtLogin() { return SettingsDraft::defaultLaunchAtLogin(); }

    explicit AgendaModel(QObject* parent = nullptr);
    explicit AgendaModel(Options options, QObject* parent = nullptr);
    ~AgendaModel() override;

    // A coroutine's hold on its controller. It reads as gone from the first line of the
    // destructor on: the members' own ends resume coroutines still waiting on them, and those
    // must return without touching a controller half taken apart.
    class Guard {
    public:
        explicit Guard(AgendaModel* model) : model_(model) {}
        explicit operator bool() const {
            const AgendaModel* model = model_.data();
            return model != nullptr && !model->destroying_;
        }
        AgendaModel* operator->() const { return model_.data(); }

    private:
        QPointer<AgendaModel> model_;
    };

    // --- Observable state ---------------------------------------------------------------------
    const Preferences& draft() const { return settings_->draft(); }
    const Preferences& preferences() const { return settings_->preferences(); }
    const std::vector<CalendarChoice>& calendars() const { return access_->calendars(); }
    const std::vector<ConnectedScreen>& screens() const { return screens_; }
    const AgendaSnapshot& snapshot() const { return reader_->snapshot(); }
    const AgendaSnapshot& previewSnapshot() const { return reader_->preview(); }
    bool authorized() const { return access_->authorized(); }
    // Something to read calendars from: access to the desktop's calendars, a cloud account or a
    // calendar by address (these two need no access).
    bool hasCalendarSource() const {
        return authorized() || !cloud_->accounts().empty() ||
               !subscriptions_->subscriptions().empty();
    }
    AuthorizationStatus accessStatus() const { return access_->status(); }
    bool refreshing() const { return refreshing_; }
    // A calendar snapshot or a preview is being read from the store.
    bool readingSnapshots() const { return reader_->reading(); }
    bool requestingAccess() const { return access_->requesting(); }
    const std::optional<std::string>& calendarAccessError() const { return access_->error(); }
    const std::optional<Date>& lastApplied() const { return lastApplied_; }
    const std::optional<Date>& lastReadAt() const { return reader_->lastReadAt(); }
    const std::optional<std::string>& message() const { return message_; }
    const std::optional<std::string>& error() const { return error_; }
    bool demonstration() const { return demonstration_; }
    LoginItemStatus loginItemStatus() const { return launchAtLogin_->status(); }
    const std::optional<std::string>& loginItemError() const { return launchAtLogin_->error(); }

    // --- Constant parts -----------------------------------------------------------------------
    CloudCalendarService& cloudCalendars() { return *cloud_; }
    SubscriptionService& subscriptions() { return *subscriptions_; }
    UpdateManager& updater() { return *updater_; }
    ReminderService& reminders() { return *reminders_; }
    const std::optional<std::string>& storageError() const { return settings_->storageError(); }
    bool isQuitting() const { return isQuitting_; }
    Date now() const;

    // --- Derived values -----------------------------------------------------------------------
    int selectedCalendarCount() const;
    bool canApply() const;
    // Why Apply cannot run now, said beside the button; absent when it can. `fault` marks
    // something gone wrong rather than a step still to take.
    struct Blocker {
        std::string text;
        bool fault = false;
    };
    std::optional<Blocker> applyBlocker() const;
    std::vector<std::string> missingCalendars() const;
    std::vector<std::string> disconnectedScreens() const;
    // The wanted launch-at-login state: the applied setting, else the default.
    bool wantsLaunchAtLogin() const { return settings_->wantsLaunchAtLogin(); }

    // Shows the "Restore incomplete" alert with these lines and returns when it is dismissed;
    // without one the lines go to standard error.
    std::function<void(const std::vector<std::string>& failures)> showQuitAlert;

    // --- Draft editing (nothing is saved until apply) -----------------------------------------
    void assign(const std::string& calendarID, std::optional<AgendaGroup> group);
    void renameGroup(AgendaGroup group, const std::string& name);
    void selectReminderList(const std::string& listID, ReminderSection section);
    // Any other edit of the draft (margins, screens, style, hours, grouping).
    void setDraft(const Preferences& draft);
    // Reads the preview of the draft. Requests while a read is out wait for it and then give
    // one more read, of the draft as it is by then.
    void updatePreview();
    void setDemonstration(bool on);
    void apply();
    void migrateNamedReminderLists(const ReminderSnapshot& snapshot);

    // --- Launch at login ----------------------------------------------------------------------
    void reconcileLoginItem();
    void setLaunchAtLogin(bool on);

    // --- Calendar access ----------------------------------------------------------------------
    void requestAccess();
    // Reads the access status, then reloads the snapshot (see SnapshotReader::reload). True when
    // this reload's result was published.
    QCoro::Task<bool> reloadCalendarSnapshot();
    // See SnapshotReader::load and SettingsDraft::read.
    static QCoro::Task<AgendaSnapshot>
    loadSnapshot(CalendarStore& store, const CloudCalendarService& cloud, bool authorized,
                 Preferences preferences, Date now, std::vector<std::string>* calendarIDs = nullptr,
                 std::optional<Preferences> availabilityOf = std::nullopt) {
        return SnapshotReader::load(store, cloud, authorized, std::move(preferences), now,
                                    calendarIDs, std::move(availabilityOf));
    }
    static std::optional<Preferences> readPreferences(const QString& directory) {
        return SettingsDraft::read(directory);
    }
    void requestReminderAccess();
    void refreshReminderLists();
    void connectCloud(CloudCalendarProvider provider);
    void openPrivacy();
    // Calendars by address: the calendar list is read again once the subscription changed, so
    // the new calendar can be grouped at once; a removed one leaves the draft's groups too.
    QCoro::Task<SubscriptionService::SubscribeResult> subscribe(QString address,
                                                                std::string name = {});
    QCoro::Task<std::optional<std::string>> unsubscribe(std::string id);
    void openCalendar();
    void openReminders();

    // --- Refresh cycle ------------------------------------------------------------------------
    void start();
    // A user's own request ("Update now", a retry) may ask for the keyring again after its
    // unlock prompt was dismissed.
    void refresh(KeyringAccess keyring = KeyringAccess::automatic);
    // Debounced refresh: a burst of calls gives one refresh half a second after the last.
    void scheduleRefresh();

    // --- Quitting -----------------------------------------------------------------------------
    // Cancels pending work, stops the timers, restores every recorded wallpaper, saves the
    // settings with the wallpaper off, shows the failures and ends the application. Returns the
    // failure lines (empty when everything was restored and saved).
    std::vector<std::string> restoreAndQuit();
    // Any other end (signal, logout, shutdown): restores the wallpapers without saving.
    void restoreOnTermination();

    // --- System notifications (the platform layer and tests call these) -----------------------
    void storeChanged();
    void timeZoneChanged();
    void screensChanged();
    void applicationActivated();
    void woke();
    void workspaceChanged();
    void setSessionLocked(bool locked);
    // logind announces a shutdown: the wallpapers go back as for any other end, but the
    // shutdown may still be called off, and then the cycle starts again.
    void shutdownStarting();
    void shutdownCancelled();
    // The wall clock jumped: every timer is computed again.
    void clockChanged();

    // For tests and benchmarks: when each timer fires next (absent when not armed).
    std::optional<Date> refreshTimerDate() const;
    std::optional<Date> timelineTimerDate() const;
    std::optional<Date> paletteTimerDate() const;
    std::optional<Date> midnightTimerDate() const;
    // Refresh sequences finished and wallpapers drawn since creation.
    int refreshCount() const { return refreshCount_; }
    int renderCount() const { return renderCount_; }

Q_SIGNALS:
    void draftChanged();
    void calendarsChanged();
    void screensListChanged();
    void snapshotChanged();
    void previewSnapshotChanged();
    void authorizedChanged();
    void accessStatusChanged();
    void refreshingChanged();
    void requestingAccessChanged();
    void calendarAccessErrorChanged();
    void lastAppliedChanged();
    void demonstrationChanged();
    void loginItemStatusChanged();
    void loginItemErrorChanged();
    void changed();
    // A refresh sequence ended (tests and benchmarks wait for it).
    void refreshFinished();

private:
    void setScreens(std::vector<ConnectedScreen> value);
    void setRefreshing(bool value);
    void setLastApplied(std::optional<Date> value);
    void setMessage(std::optional<std::string> value);
    void setError(std::optional<std::string> value);
    static QCoro::Task<> reportLaunch(Guard self, QCoro::Task<LaunchProblem> launch);

    void createServices();
    void connectParts();
    void listenToSystem();
    void updateScreens();
    void dayChanged();
    QCoro::Task<> refreshSequence();
    QCoro::Task<> askForAccess();
    void finishRefresh();
    void renderActive();
    void showApplied(const std::vector<std::string>& names, const std::vector<std::string>& errors);
    void timelineTick();
    void refreshRemindersThenRender();
    std::vector<std::string> restoreWallpapers();
    void terminateApplication();

    // First of the members, so that it is the last to go.
    bool destroying_ = false;
    // The refresh that waits for one turn of the event loop before it starts.
    std::coroutine_handle<> yielded_;
    Options options_;
    std::unique_ptr<RefreshScheduler> scheduler_;
    // Before the store, which lists its calendars.
    std::unique_ptr<SubscriptionService> subscriptions_;
    std::unique_ptr<CalendarStore> store_;
    std::unique_ptr<ReminderService> reminders_;
    std::unique_ptr<CloudCalendarService> cloud_;
    std::unique_ptr<UpdateManager> updater_;
    std::unique_ptr<WallpaperService> wallpaper_;
    std::unique_ptr<LaunchAtLogin> launchAtLogin_;
    std::unique_ptr<SettingsDraft> settings_;
    std::unique_ptr<CalendarAccess> access_;
    std::unique_ptr<SnapshotReader> reader_;
    SystemEvents* systemEvents_ = nullptr;

    std::vector<ConnectedScreen> screens_;
    bool refreshing_ = false;
    std::optional<Date> lastApplied_;
    std::optional<std::string> message_;
    std::optional<std::string> error_;
    bool demonstration_ = false;

    bool refreshQueued_ = false;
    bool isQuitting_ = false;
    // Quitting began for a shutdown or logout that may still be called off.
    bool quittingForShutdown_ = false;
    // The running or queued refresh was asked for by the user.
    bool keyringUserAction_ = false;
    bool started_ = false;
    int refreshCount_ = 0;
    int renderCount_ = 0;
};

} // namespace brivane

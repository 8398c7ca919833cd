#pragma once

// The one controller of the running application: the applied settings and the draft being
// edited, the calendar list, the screens, the current and preview snapshots, the services, the
// refresh cycle with its timers and notifications, and quitting with the user's wallpaper back.
// Main thread only. Every observable field has a change signal that fires only on a real change;
// `changed()` follows every change, for views that show derived values.

#include "Brivane/calendar/CalendarStore.h"
#include "Brivane/cloud/CloudCalendarService.h"
#include "Brivane/controller/LoginItem.h"
#include "Brivane/controller/TimerSource.h"
#include "Brivane/desktop/ConnectedScreen.h"
#include "Brivane/desktop/WallpaperService.h"
#include "Brivane/updates/UpdateManager.h"
#include "BrivaneCore/AgendaSnapshot.h"
#include "BrivaneCore/Preferences.h"
#include "BrivaneCore/ReminderModel.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace brivane {

class DesktopPictures;
class ReminderService;
class SystemEvents;

// A selectable calendar, local or cloud.
struct CalendarChoice {
    std::string id;     // the store's calendar identifier, or the cloud choice's id
    std::string name;   // the calendar's title
    std::string source; // the account or place it belongs to
    bool operator==(const CalendarChoice&) const = default;
};

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

    // The directory name from Info.json ("PelloraDataDirectoryName", else "Brivane") under
    // $XDG_DATA_HOME (else ~/.local/share).
    static QString defaultDirectory();
    // "PelloraDefaultLaunchAtLogin" from Info.json; true when missing or not a Bool.
    static bool defaultLaunchAtLogin();

    explicit AgendaModel(QObject* parent = nullptr);
    explicit AgendaModel(Options options, QObject* parent = nullptr);
    ~AgendaModel() override;

    // --- Observable state ---------------------------------------------------------------------
    const Preferences& draft() const { return draft_; }
    const Preferences& preferences() const { return preferences_; }
    const std::vector<CalendarChoice>& calendars() const { return calendars_; }
    const std::vector<ConnectedScreen>& screens() const { return screens_; }
    const AgendaSnapshot& snapshot() const { return snapshot_; }
    const AgendaSnapshot& previewSnapshot() const { return previewSnapshot_; }
    bool authorized() const { return authorized_; }
    AuthorizationStatus accessStatus() const { return accessStatus_; }
    bool refreshing() const { return refreshing_; }
    // A calendar snapshot or a preview is being read from the store.
    bool readingSnapshots() const { return snapshotReads_ > 0 || previewReading_; }
    bool requestingAccess() const { return requestingAccess_; }
    const std::optional<std::string>& calendarAccessError() const { return calendarAccessError_; }
    const std::optional<Date>& lastApplied() const { return lastApplied_; }
    const std::optional<Date>& lastReadAt() const { return lastReadAt_; }
    const std::vector<std::string>& appliedNames() const { return appliedNames_; }
    const std::optional<std::string>& message() const { return message_; }
    const std::optional<std::string>& error() const { return error_; }
    bool demonstration() const { return demonstration_; }
    LoginItemStatus loginItemStatus() const { return loginItemStatus_; }
    const std::optional<std::string>& loginItemError() const { return loginItemError_; }
    // The session is locked: timers do not draw; the first unlock draws at once.
    bool sessionLocked() const { return sessionLocked_; }

    // --- Constant parts -----------------------------------------------------------------------
    CloudCalendarService& cloudCalendars() { return *cloud_; }
    UpdateManager& updater() { return *updater_; }
    ReminderService& reminders() { return *reminders_; }
    CalendarStore& store() { return *store_; }
    WallpaperService* wallpaper() { return wallpaper_.get(); }
    const QString& directory() const { return directory_; }
    const std::optional<std::string>& storageError() const { return storageError_; }
    bool isQuitting() const { return isQuitting_; }
    Date now() const;

    // --- Derived values -----------------------------------------------------------------------
    int selectedCalendarCount() const;
    bool canApply() const;
    std::vector<std::string> missingCalendars() const;
    std::vector<std::string> disconnectedScreens() const;
    // The wanted launch-at-login state: the applied setting, else the default.
    bool wantsLaunchAtLogin() const;

    // Shows the "Restore incomplete" alert with these lines and returns when it is dismissed;
    // without one the lines go to standard error.
    std::function<void(const std::vector<std::string>& failures)> showQuitAlert;

    // --- Draft editing (nothing is saved until apply) -----------------------------------------
    void assign(const std::string& calendarID, std::optional<AgendaGroup> group);
    void renameGroup(AgendaGroup group, const std::string& name);
    void selectReminderList(const std::string& listID, ReminderSection section);
    // Any other edit of the draft (margins, screens, style, hours, grouping).
    void setDraft(const Preferences& draft);
    void updateScreens();
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
    // Reads the access status, the calendar list and the snapshot of the applied settings, then
    // asks for the preview. Reloads may overlap: a result older than the one shown is dropped,
    // as is any result once quitting has begun. True when this reload's result was published.
    QCoro::Task<bool> reloadCalendarSnapshot();
    // The snapshot of `preferences` from these sources, without reminders: the wallpaper, the
    // preview and the terminal agenda all read through it. `calendarIDs`, when given, receives
    // the calendar of each event, in the order of the events, and must outlive the task. The
    // group availability is that of `availabilityOf` when given (the applied settings while
    // reading more calendars). The cloud service is read before the first wait; the store is
    // not touched once it has gone.
    static QCoro::Task<AgendaSnapshot>
    loadSnapshot(CalendarStore& store, const CloudCalendarService& cloud, bool authorized,
                 Preferences preferences, Date now, std::vector<std::string>* calendarIDs = nullptr,
                 std::optional<Preferences> availabilityOf = std::nullopt);
    // preferences.json of `directory`; absent when there is none. Throws std::exception with a
    // description when it cannot be read or decoded.
    static std::optional<Preferences> readPreferences(const QString& directory);
    void requestReminderAccess();
    void refreshReminderLists();
    void connectCloud(CloudCalendarProvider provider);
    void openPrivacy();
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
    void dayChanged();
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
    void preferencesChanged();
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
    void lastReadAtChanged();
    void appliedNamesChanged();
    void messageChanged();
    void errorChanged();
    void demonstrationChanged();
    void loginItemStatusChanged();
    void loginItemErrorChanged();
    void sessionLockedChanged();
    void changed();
    // A refresh sequence ended (tests and benchmarks wait for it).
    void refreshFinished();

private:
    struct Timers;

    void setDraftValue(Preferences value);
    void setPreferencesValue(Preferences value);
    void setCalendars(std::vector<CalendarChoice> value);
    void setScreens(std::vector<ConnectedScreen> value);
    void setSnapshot(AgendaSnapshot value);
    void setPreviewSnapshot(AgendaSnapshot value);
    void setAuthorized(bool value);
    void setAccessStatus(AuthorizationStatus value);
    void setRefreshing(bool value);
    void setRequestingAccess(bool value);
    void setCalendarAccessError(std::optional<std::string> value);
    void setLastApplied(std::optional<Date> value);
    void setLastReadAt(std::optional<Date> value);
    void setAppliedNames(std::vector<std::string> value);
    void setMessage(std::optional<std::string> value);
    void setError(std::optional<std::string> value);
    void setLoginItemStatus(LoginItemStatus value);
    void setLoginItemError(std::optional<std::string> value);

    void savePreferences(const Preferences& preferences) const;
    void readLoginItemStatus();
    void runRefreshSequence();
    QCoro::Task<> refreshSequence();
    QCoro::Task<> readPreviews();
    QCoro::Task<> askForAccess();
    void finishRefresh();
    void renderActive();
    void scheduleRefreshTimer();
    void scheduleTimelineUpdate();
    void schedulePaletteChange();
    void scheduleMidnight();
    void armTimers();
    void stopTimers();
    void timelineTick();
    void refreshRemindersThenRender();
    void terminateApplication();

    Options options_;
    QString directory_;
    std::unique_ptr<TimerSource> timers_;
    std::unique_ptr<CalendarStore> store_;
    std::unique_ptr<ReminderService> reminders_;
    std::unique_ptr<CloudCalendarService> cloud_;
    std::unique_ptr<UpdateManager> updater_;
    std::unique_ptr<WallpaperService> wallpaper_;
    std::unique_ptr<LoginItem> loginItem_;
    SystemEvents* systemEvents_ = nullptr;
    std::unique_ptr<Timers> timerState_;

    Preferences draft_;
    Preferences preferences_;
    std::vector<CalendarChoice> calendars_;
    std::vector<ConnectedScreen> screens_;
    AgendaSnapshot snapshot_;
    AgendaSnapshot previewSnapshot_;
    bool authorized_ = false;
    AuthorizationStatus accessStatus_ = AuthorizationStatus::notDetermined;
    bool refreshing_ = false;
    bool requestingAccess_ = false;
    std::optional<std::string> calendarAccessError_;
    std::optional<Date> lastApplied_;
    std::optional<Date> lastReadAt_;
    std::vector<std::string> appliedNames_;
    std::optional<std::string> message_;
    std::optional<std::string> error_;
    bool demonstration_ = false;
    LoginItemStatus loginItemStatus_ = LoginItemStatus::notRegistered;
    std::optional<std::string> loginItemError_;
    bool sessionLocked_ = false;

    bool refreshQueued_ = false;
    // Snapshot reloads: the number of the latest one started, of the one shown, and how many
    // are out.
    int snapshotRequested_ = 0;
    int snapshotShown_ = 0;
    int snapshotReads_ = 0;
    // One preview read at a time; a request meanwhile asks for one more.
    bool previewReading_ = false;
    bool previewQueued_ = false;
    bool calendarGrantAwaitingStatus_ = false;
    bool isQuitting_ = false;
    // Quitting began for a shutdown or logout that may still be called off.
    bool quittingForShutdown_ = false;
    // The running or queued refresh was asked for by the user.
    bool keyringUserAction_ = false;
    bool started_ = false;
    // A draw was skipped while the session was locked; the unlock draws at once.
    bool renderPendingUnlock_ = false;
    std::optional<std::string> storageError_;
    std::optional<Date> lastRenderAt_;
    int refreshCount_ = 0;
    int renderCount_ = 0;
};

} // namespace brivane

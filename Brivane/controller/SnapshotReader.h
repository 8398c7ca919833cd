#pragma once

// The agenda snapshots: the one of the applied settings (the wallpaper's) and the preview of the
// draft (the settings window's). Reloads are numbered and may overlap: a result older than the
// one shown is dropped. One preview read at a time; requests meanwhile give one more read, of the
// draft as it is by then. Nothing is published once quitting has begun. Main thread only.

#include "Brivane/calendar/CalendarStore.h"
#include "BrivaneCore/AgendaSnapshot.h"
#include "BrivaneCore/Preferences.h"

#include <QObject>
#include <functional>
#include <optional>
#include <qcoro/qcorotask.h>
#include <string>
#include <vector>

namespace brivane {

class CalendarAccess;
class CloudCalendarService;
class ReminderService;
class SettingsDraft;

class SnapshotReader : public QObject {
    Q_OBJECT
public:
    // The snapshot of `preferences` from these sources, without reminders: the wallpaper, the
    // preview and the terminal agenda all read through it. `calendarIDs`, when given, receives
    // the calendar of each event, in the order of the events, and must outlive the task. The
    // group availability is that of `availabilityOf` when given (the applied settings while
    // reading more calendars). The cloud service is read before the first wait; the store is
    // not touched once it has gone.
    static QCoro::Task<AgendaSnapshot>
    load(CalendarStore& store, const CloudCalendarService& cloud, bool authorized,
         Preferences preferences, Date now, std::vector<std::string>* calendarIDs = nullptr,
         std::optional<Preferences> availabilityOf = std::nullopt);

    // The event calendars a read may list: the store's with access to the desktop's calendars,
    // else only its subscriptions'.
    static QCoro::Task<std::vector<StoreCalendar>> readableCalendars(CalendarStore& store,
                                                                     bool authorized);

    struct Sources {
        CalendarStore& store;
        const CloudCalendarService& cloud;
        ReminderService& reminders;
        CalendarAccess& access;
        const SettingsDraft& settings;
    };
    struct Hooks {
        std::function<Date()> now;
        std::function<bool()> quitting;
        // A read failed; nothing was published.
        std::function<void(const std::string&)> failed;
    };

    SnapshotReader(Sources sources, Hooks hooks, Date now, QObject* parent = nullptr);

    const AgendaSnapshot& snapshot() const { return snapshot_; }
    // The applied settings the snapshot was read for: only with these may it be drawn.
    const Preferences& snapshotPreferences() const { return snapshotPreferences_; }
    const AgendaSnapshot& preview() const { return preview_; }
    const std::optional<Date>& lastReadAt() const { return lastReadAt_; }
    // A snapshot or a preview is being read.
    bool reading() const { return reads_ > 0 || previewReading_; }

    // Reads the calendar list and the snapshot of the applied settings, then asks for the
    // preview. True when this reload's result was published.
    QCoro::Task<bool> reload();
    void requestPreview();

    void setSnapshot(AgendaSnapshot value);
    void setPreview(AgendaSnapshot value);

Q_SIGNALS:
    void snapshotChanged();
    void previewChanged();
    void lastReadAtChanged();

private:
    QCoro::Task<> readPreviews();
    void setLastReadAt(std::optional<Date> value);

    Sources sources_;
    Hooks hooks_;
    AgendaSnapshot snapshot_;
    Preferences snapshotPreferences_;
    AgendaSnapshot preview_;
    std::optional<Date> lastReadAt_;
    // The number of the latest reload started, of the one shown, and how many are out.
    int requested_ = 0;
    int shown_ = 0;
    int reads_ = 0;
    bool previewReading_ = false;
    bool previewQueued_ = false;
};

} // namespace brivane

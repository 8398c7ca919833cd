#pragma once

// The settings as saved in preferences.json and the draft the settings window edits: nothing of
// the draft is saved until it is applied. A settings file that could not be read is never
// written over; it stays for the user to inspect or fix. Main thread only.

#include "Brivane/desktop/ConnectedScreen.h"
#include "BrivaneCore/Preferences.h"
#include "BrivaneCore/ReminderModel.h"

#include <QObject>
#include <QString>
#include <optional>
#include <string>
#include <vector>

namespace brivane {

class SettingsDraft : public QObject {
    Q_OBJECT
public:
    // The directory name from Info.json ("PelloraDataDirectoryName", else "Brivane") under
    // $XDG_DATA_HOME (else ~/.local/share).
    static QString defaultDirectory();
    // "PelloraDefaultLaunchAtLogin" from Info.json; true when missing or not a Bool.
    static bool defaultLaunchAtLogin();
    // preferences.json of `directory`; absent when there is none. Throws std::exception with a
    // description when it cannot be read or decoded.
    static std::optional<Preferences> read(const QString& directory);

    explicit SettingsDraft(QString directory, QObject* parent = nullptr);

    // Reads the saved settings into both the settings and the draft. `storageFailure`: the data
    // folder itself could not be used, so nothing is read and nothing will be saved.
    void load(const std::optional<std::string>& storageFailure);

    const Preferences& draft() const { return draft_; }
    const Preferences& preferences() const { return preferences_; }
    const QString& directory() const { return directory_; }
    // Why the settings could not be read; while set, nothing is saved.
    const std::optional<std::string>& storageError() const { return storageError_; }
    // The wanted launch-at-login state: the applied setting, else the default.
    bool wantsLaunchAtLogin() const;

    // --- Draft edits --------------------------------------------------------------------------
    void setDraft(Preferences draft);
    // `calendarName`: the calendar's name and place, remembered for when it is gone.
    void assign(const std::string& calendarID, std::optional<AgendaGroup> group,
                const std::optional<std::string>& calendarName);
    void renameGroup(AgendaGroup group, const std::string& name);
    void selectReminderList(const std::string& listID, ReminderSection section);
    // Every connected screen gets an entry in the draft, named as the screen is now.
    void noteScreens(const std::vector<ConnectedScreen>& screens);

    // --- Saving (each returns the failure line, absent when saved) ----------------------------
    // The draft, normalised and activated, becomes the settings.
    std::optional<std::string> apply();
    // Named reminder lists that now each match one list are saved as that list's selection.
    std::optional<std::string> migrateNamedReminderLists(const ReminderSnapshot& reminders);
    std::optional<std::string> setLaunchAtLogin(bool on);
    // The settings with the wallpaper off, as quitting leaves them. Nothing to report for a file
    // that was never readable.
    std::optional<std::string> saveDeactivated();

Q_SIGNALS:
    void draftChanged();
    void preferencesChanged();

private:
    void save(const Preferences& preferences) const;
    void setPreferences(Preferences value);

    QString directory_;
    Preferences draft_;
    Preferences preferences_;
    std::optional<std::string> storageError_;
};

} // namespace brivane

#include "Brivane/controller/SettingsDraft.h"

#include "Brivane/AppIdentity.h"
#include "Brivane/AtomicWrite.h"
#include "BrivaneCore/AgendaLanguage.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace brivane {

namespace {

// preferences.json is a few kilobytes; anything far larger is not ours.
constexpr qint64 maximumPreferencesSize = 4 * 1024 * 1024;

const char* const preferencesFileName = "preferences.json";

std::string readSettingsText() {
    return AgendaLanguage::text("Impossibile leggere le impostazioni: ",
                                "Could not read settings: ");
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

} // namespace

QString SettingsDraft::defaultDirectory() {
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

bool SettingsDraft::defaultLaunchAtLogin() {
    const auto& info = AppInformation::document();
    const auto it = info.find("PelloraDefaultLaunchAtLogin");
    return it == info.end() || !it->is_boolean() || it->get<bool>();
}

std::optional<Preferences> SettingsDraft::read(const QString& directory) {
    return readPreferencesFile(directory + u'/' + preferencesFileName);
}

SettingsDraft::SettingsDraft(QString directory, QObject* parent)
    : QObject(parent), directory_(std::move(directory)) {}

void SettingsDraft::load(const std::optional<std::string>& storageFailure) {
    if (storageFailure) {
        storageError_ = readSettingsText() + *storageFailure;
    } else {
        try {
            if (auto loaded = read(directory_))
                preferences_ = std::move(*loaded);
        } catch (const std::exception& failure) {
            storageError_ = readSettingsText() + failure.what();
        }
    }
    preferences_.migrateGroupNamesIfNeeded();
    draft_ = preferences_;
}

bool SettingsDraft::wantsLaunchAtLogin() const {
    return preferences_.launchAtLogin.value_or(defaultLaunchAtLogin());
}

void SettingsDraft::setDraft(Preferences draft) {
    if (draft_ == draft)
        return;
    draft_ = std::move(draft);
    Q_EMIT draftChanged();
}

void SettingsDraft::setPreferences(Preferences value) {
    if (preferences_ == value)
        return;
    preferences_ = std::move(value);
    Q_EMIT preferencesChanged();
}

void SettingsDraft::save(const Preferences& preferences) const {
    // Writing the defaults over a file that could not be read would lose it.
    if (storageError_)
        throw FileWriteError(
            AgendaLanguage::text("il file delle impostazioni non è leggibile e resta com'è",
                                 "the settings file could not be read and is left as it is"));
    writeFileAtomically(directory_ + u'/' + preferencesFileName,
                        QByteArray::fromStdString(preferences.toJson().dump(2) + "\n"),
                        QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

// --- draft edits ------------------------------------------------------------------------------

void SettingsDraft::assign(const std::string& calendarID, std::optional<AgendaGroup> group,
                           const std::optional<std::string>& calendarName) {
    Preferences next = draft_;
    if (group)
        next.assignments[calendarID] = *group;
    else
        next.assignments.erase(calendarID);
    if (calendarName)
        next.calendarNames[calendarID] = *calendarName;
    setDraft(std::move(next));
}

void SettingsDraft::renameGroup(AgendaGroup group, const std::string& name) {
    Preferences next = draft_;
    if (!next.groupNames)
        next.groupNames.emplace();
    (*next.groupNames)[std::string(rawValue(group))] = name;
    setDraft(std::move(next));
}

void SettingsDraft::selectReminderList(const std::string& listID, ReminderSection section) {
    Preferences next = draft_;
    if (!next.reminderListIDs)
        next.reminderListIDs.emplace();
    const std::string key(rawValue(section));
    if (listID.empty())
        next.reminderListIDs->erase(key);
    else
        (*next.reminderListIDs)[key] = listID;
    setDraft(std::move(next));
}

void SettingsDraft::noteScreens(const std::vector<ConnectedScreen>& screens) {
    Preferences next = draft_;
    for (const auto& screen : screens) {
        auto [it, inserted] = next.screens.try_emplace(screen.id);
        it->second.name = screen.name.toStdString();
    }
    setDraft(std::move(next));
}

// --- saving -----------------------------------------------------------------------------------

std::optional<std::string> SettingsDraft::apply() {
    Preferences next = draft_;
    next.normalizeGroupNames();
    next.activated = true;
    try {
        save(next);
    } catch (const std::exception& failure) {
        return AgendaLanguage::text("Impostazioni non salvate: ", "Settings were not saved: ") +
               failure.what();
    }
    setPreferences(next);
    setDraft(std::move(next));
    return std::nullopt;
}

std::optional<std::string>
SettingsDraft::migrateNamedReminderLists(const ReminderSnapshot& reminders) {
    if (reminders.state != ReminderAvailability::available ||
        preferences_.reminderGrouping != ReminderGrouping::namedLists ||
        draft_.reminderGrouping != ReminderGrouping::namedLists)
        return std::nullopt;
    ReminderListIDs ids;
    for (ReminderSection section : allReminderSections) {
        const auto list = reminders.uniqueList(section);
        if (!list)
            return std::nullopt;
        ids[std::string(rawValue(section))] = list->id;
    }
    Preferences next = preferences_;
    next.reminderGrouping = ReminderGrouping::selectedLists;
    next.reminderListIDs = ids;
    try {
        save(next);
    } catch (const std::exception& failure) {
        return AgendaLanguage::text("Impossibile aggiornare la selezione delle attività: ",
                                    "Could not update the task list selection: ") +
               failure.what();
    }
    setPreferences(std::move(next));
    Preferences draft = draft_;
    draft.reminderGrouping = ReminderGrouping::selectedLists;
    draft.reminderListIDs = std::move(ids);
    setDraft(std::move(draft));
    return std::nullopt;
}

std::optional<std::string> SettingsDraft::setLaunchAtLogin(bool on) {
    Preferences next = preferences_;
    next.launchAtLogin = on;
    try {
        save(next);
    } catch (const std::exception& failure) {
        return AgendaLanguage::text("Impossibile salvare l'avvio automatico: ",
                                    "Could not save launch at login: ") +
               failure.what();
    }
    setPreferences(std::move(next));
    Preferences draft = draft_;
    draft.launchAtLogin = on;
    setDraft(std::move(draft));
    return std::nullopt;
}

std::optional<std::string> SettingsDraft::saveDeactivated() {
    Preferences next = preferences_;
    next.activated = false;
    try {
        save(next);
        setPreferences(std::move(next));
    } catch (const std::exception& failure) {
        // The settings of an unreadable file were never ours to save: nothing to report.
        if (!storageError_)
            return AgendaLanguage::text("Impossibile salvare le impostazioni: ",
                                        "Could not save settings: ") +
                   failure.what();
    }
    return std::nullopt;
}

} // namespace brivane

#pragma once

#include "BrivaneCore/AgendaSnapshot.h"
#include "BrivaneCore/ReminderModel.h"
#include "BrivaneCore/WallpaperStyle.h"

#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

namespace brivane {

// A settings document that cannot be read; the message names the key and what was wrong,
// in the interface language.
class PreferencesError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct ScreenPreferences {
    bool enabled = true;
    double top = 0.05;
    double bottom = 0.08;
    double right = 0.12;
    double left = 0.05;
    std::string name = "Schermo";

    bool operator==(const ScreenPreferences&) const = default;

    nlohmann::json toJson() const;
    static ScreenPreferences fromJson(const nlohmann::json& json, std::string_view path);
};

struct Preferences {
    std::map<std::string, AgendaGroup> assignments;
    std::map<std::string, std::string> calendarNames;
    std::optional<std::map<std::string, std::string>> groupNames;
    std::map<std::string, ScreenPreferences> screens;
    std::optional<ReminderGrouping> reminderGrouping;
    std::optional<ReminderListIDs> reminderListIDs;
    std::optional<WallpaperStyle> backgroundStyle;
    std::optional<int> timelineStartHour;
    std::optional<int> timelineEndHour;
    std::optional<bool> launchAtLogin;
    bool activated = false;

    static constexpr std::size_t maximumGroupNameLength = 32;

    bool operator==(const Preferences&) const = default;

    // Throws PreferencesError for a missing required key, a wrong type or an unknown value.
    static Preferences fromJson(const nlohmann::json& json);
    // Throws PreferencesError also for text that is not JSON.
    static Preferences fromJsonText(std::string_view text);
    // Absent optional fields are left out; required ones are always written.
    nlohmann::json toJson() const;

    std::pair<int, int> timelineHours() const;
    // The grouping and the style in force: an absent one reads as selected lists and glass.
    ReminderGrouping effectiveReminderGrouping() const;
    WallpaperStyle effectiveBackgroundStyle() const;
    std::set<std::string> selected(AgendaGroup group) const;
    std::string groupName(AgendaGroup group) const;
    bool groupNamesValid() const;
    void migrateGroupNamesIfNeeded();
    void normalizeGroupNames();
};

} // namespace brivane

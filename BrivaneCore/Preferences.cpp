#include "BrivaneCore/Preferences.h"

#include "BrivaneCore/AgendaLanguage.h"
#include "BrivaneCore/TextRules.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace brivane {

namespace {

using nlohmann::json;

std::string inQuotes(std::string_view s) {
    return "\u201C" + std::string(s) + "\u201D";
}

[[noreturn]] void fail(std::string italian, std::string english) {
    throw PreferencesError(AgendaLanguage::text(italian, english));
}

[[noreturn]] void missingKey(const std::string& path) {
    fail("manca la chiave " + inQuotes(path), "the key " + inQuotes(path) + " is missing");
}

[[noreturn]] void wrongType(const std::string& path, std::string_view italianType,
                            std::string_view englishType) {
    fail("la chiave " + inQuotes(path) + " dovrebbe essere " + std::string(italianType),
         "the key " + inQuotes(path) + " should be " + std::string(englishType));
}

[[noreturn]] void unknownValue(const std::string& path, std::string_view value) {
    fail("il valore " + inQuotes(value) + " della chiave " + inQuotes(path) + " non è valido",
         "the value " + inQuotes(value) + " of the key " + inQuotes(path) + " is not valid");
}

std::string join(std::string_view path, std::string_view key) {
    return path.empty() ? std::string(key) : std::string(path) + "." + std::string(key);
}

const json* member(const json& object, std::string_view key) {
    const auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

const json& required(const json& object, std::string_view key, const std::string& path) {
    const json* value = member(object, key);
    if (!value)
        missingKey(path);
    return *value;
}

// Optional keys that are missing or null read as absent.
const json* optional(const json& object, std::string_view key) {
    const json* value = member(object, key);
    return value && !value->is_null() ? value : nullptr;
}

const json& asObject(const json& value, const std::string& path) {
    if (!value.is_object())
        wrongType(path, "un oggetto", "an object");
    return value;
}

std::string asString(const json& value, const std::string& path) {
    if (!value.is_string())
        wrongType(path, "un testo", "a string");
    return value.get<std::string>();
}

bool asBool(const json& value, const std::string& path) {
    if (!value.is_boolean())
        wrongType(path, "vero o falso", "true or false");
    return value.get<bool>();
}

double asNumber(const json& value, const std::string& path) {
    if (!value.is_number())
        wrongType(path, "un numero", "a number");
    return value.get<double>();
}

// An hour of the timeline: any whole number reads, and one beyond 32 bits is held at the nearest
// end of the range, since the effective hours are held to 0…24 anyway. Losing the whole document
// over it would cost the user every other setting.
int asHour(const json& value, const std::string& path) {
    constexpr auto low = std::numeric_limits<int>::min();
    constexpr auto high = std::numeric_limits<int>::max();
    if (value.is_number_integer() && !value.is_number_unsigned())
        return static_cast<int>(std::clamp<std::int64_t>(value.get<std::int64_t>(), low, high));
    if (value.is_number_unsigned())
        return static_cast<int>(std::min<std::uint64_t>(value.get<std::uint64_t>(), high));
    if (value.is_number_float()) {
        const double v = value.get<double>();
        if (std::trunc(v) == v)
            return static_cast<int>(std::clamp<double>(v, low, high));
    }
    wrongType(path, "un numero intero", "a whole number");
}

std::map<std::string, std::string> stringMap(const json& value, const std::string& path) {
    std::map<std::string, std::string> out;
    for (const auto& [key, entry] : asObject(value, path).items())
        out.emplace(key, asString(entry, join(path, key)));
    return out;
}

template <typename Enum, typename Parse>
Enum enumValue(const json& value, const std::string& path, Parse parse) {
    const std::string raw = asString(value, path);
    const std::optional<Enum> parsed = parse(raw);
    if (!parsed)
        unknownValue(path, raw);
    return *parsed;
}

} // namespace

json ScreenPreferences::toJson() const {
    return json{{"enabled", enabled}, {"top", top},   {"bottom", bottom},
                {"right", right},     {"left", left}, {"name", name}};
}

ScreenPreferences ScreenPreferences::fromJson(const json& value, std::string_view pathView) {
    const std::string path(pathView);
    const json& object = asObject(value, path);
    ScreenPreferences s;
    s.enabled = asBool(required(object, "enabled", join(path, "enabled")), join(path, "enabled"));
    for (auto [key, field] : {std::pair{"top", &s.top}, std::pair{"bottom", &s.bottom},
                              std::pair{"right", &s.right}, std::pair{"left", &s.left}})
        *field = asNumber(required(object, key, join(path, key)), join(path, key));
    s.name = asString(required(object, "name", join(path, "name")), join(path, "name"));
    return s;
}

Preferences Preferences::fromJsonText(std::string_view text) {
    json document = json::parse(text.begin(), text.end(), nullptr, false);
    if (document.is_discarded())
        fail("il documento non è JSON valido", "the document is not valid JSON");
    return fromJson(document);
}

Preferences Preferences::fromJson(const json& document) {
    if (!document.is_object())
        fail("il documento non è un oggetto JSON", "the document is not a JSON object");
    Preferences p;
    for (const auto& [id, raw] :
         asObject(required(document, "assignments", "assignments"), "assignments").items())
        p.assignments.emplace(
            id, enumValue<AgendaGroup>(raw, "assignments." + id, agendaGroupFromRawValue));
    p.calendarNames =
        stringMap(required(document, "calendarNames", "calendarNames"), "calendarNames");
    if (const json* names = optional(document, "groupNames"))
        p.groupNames = stringMap(*names, "groupNames");
    for (const auto& [id, screen] :
         asObject(required(document, "screens", "screens"), "screens").items())
        p.screens.emplace(id, ScreenPreferences::fromJson(screen, "screens." + id));
    if (const json* grouping = optional(document, "reminderGrouping"))
        p.reminderGrouping = enumValue<ReminderGrouping>(*grouping, "reminderGrouping",
                                                         reminderGroupingFromRawValue);
    if (const json* ids = optional(document, "reminderListIDs"))
        p.reminderListIDs = stringMap(*ids, "reminderListIDs");
    if (const json* style = optional(document, "backgroundStyle"))
        p.backgroundStyle =
            enumValue<WallpaperStyle>(*style, "backgroundStyle", wallpaperStyleFromRawValue);
    if (const json* start = optional(document, "timelineStartHour"))
        p.timelineStartHour = asHour(*start, "timelineStartHour");
    if (const json* end = optional(document, "timelineEndHour"))
        p.timelineEndHour = asHour(*end, "timelineEndHour");
    if (const json* launch = optional(document, "launchAtLogin"))
        p.launchAtLogin = asBool(*launch, "launchAtLogin");
    p.activated = asBool(required(document, "activated", "activated"), "activated");
    return p;
}

json Preferences::toJson() const {
    json document = json::object();
    json a = json::object();
    for (const auto& [id, group] : assignments)
        a[id] = std::string(rawValue(group));
    document["assignments"] = std::move(a);
    document["calendarNames"] = json(calendarNames);
    if (groupNames)
        document["groupNames"] = json(*groupNames);
    json s = json::object();
    for (const auto& [id, screen] : screens)
        s[id] = screen.toJson();
    document["screens"] = std::move(s);
    if (reminderGrouping)
        document["reminderGrouping"] = std::string(rawValue(*reminderGrouping));
    if (reminderListIDs)
        document["reminderListIDs"] = json(*reminderListIDs);
    if (backgroundStyle)
        document["backgroundStyle"] = std::string(rawValue(*backgroundStyle));
    if (timelineStartHour)
        document["timelineStartHour"] = *timelineStartHour;
    if (timelineEndHour)
        document["timelineEndHour"] = *timelineEndHour;
    if (launchAtLogin)
        document["launchAtLogin"] = *launchAtLogin;
    document["activated"] = activated;
    return document;
}

std::pair<int, int> Preferences::timelineHours() const {
    const int start = std::clamp(timelineStartHour.value_or(8), 0, 23);
    int end = timelineEndHour.value_or(20);
    if (end < start + 1)
        end = start + 1;
    return {start, std::min(end, 24)};
}

ReminderGrouping Preferences::effectiveReminderGrouping() const {
    return reminderGrouping.value_or(ReminderGrouping::selectedLists);
}

WallpaperStyle Preferences::effectiveBackgroundStyle() const {
    return backgroundStyle.value_or(WallpaperStyle::glass);
}

std::set<std::string> Preferences::selected(AgendaGroup group) const {
    std::set<std::string> ids;
    for (const auto& [id, assigned] : assignments) {
        if (assigned == group)
            ids.insert(id);
    }
    return ids;
}

std::string Preferences::groupName(AgendaGroup group) const {
    if (groupNames) {
        if (const auto it = groupNames->find(std::string(rawValue(group)));
            it != groupNames->end()) {
            std::string name = text::trimmed(it->second);
            if (!name.empty())
                return name;
        }
    }
    return title(group);
}

bool Preferences::groupNamesValid() const {
    if (!groupNames)
        return false;
    auto trimmedName = [&](AgendaGroup group) {
        const auto it = groupNames->find(std::string(rawValue(group)));
        return it == groupNames->end() ? std::string() : text::trimmed(it->second);
    };
    const std::string first = trimmedName(AgendaGroup::ostrid);
    const std::string second = trimmedName(AgendaGroup::personal);
    for (const auto& name : {first, second}) {
        if (name.empty() || text::characterCount(name) > maximumGroupNameLength)
            return false;
    }
    return !text::foldedEqual(first, second);
}

void Preferences::migrateGroupNamesIfNeeded() {
    if (groupNames)
        return;
    if (!assignments.empty()) {
        groupNames = {{"ostrid", "Ostrid"},
                      {"personal", AgendaLanguage::text("Personale", "Personal")}};
    } else {
        groupNames = {{"ostrid", title(AgendaGroup::ostrid)},
                      {"personal", title(AgendaGroup::personal)}};
    }
}

void Preferences::normalizeGroupNames() {
    if (!groupNames)
        return;
    for (auto group : allAgendaGroups) {
        if (auto it = groupNames->find(std::string(rawValue(group))); it != groupNames->end())
            it->second = text::trimmed(it->second);
    }
}

} // namespace brivane

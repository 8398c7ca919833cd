// Feeds arbitrary bytes to the settings and release-feed decoders. Whatever decodes must
// encode and decode again to the same value, also once the settings window has filled in and
// trimmed the group names.
#include "BrivaneCore/PelloraRelease.h"
#include "BrivaneCore/Preferences.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    try {
        const auto preferences = brivane::Preferences::fromJsonText(text);
        const auto again = brivane::Preferences::fromJsonText(preferences.toJson().dump());
        if (!(again == preferences))
            std::abort();
        (void)preferences.timelineHours();
        (void)preferences.groupNamesValid();
        (void)preferences.effectiveReminderGrouping();
        (void)preferences.effectiveBackgroundStyle();
        // What the settings window does to a document it opens: names for both groups,
        // trimmed once for all, and the result saved and read back unchanged.
        auto opened = preferences;
        opened.migrateGroupNamesIfNeeded();
        opened.normalizeGroupNames();
        if (!opened.groupNames)
            std::abort();
        for (const auto group : brivane::allAgendaGroups) {
            (void)opened.groupName(group);
            (void)opened.selected(group);
        }
        auto twice = opened;
        twice.normalizeGroupNames();
        if (!(twice == opened) ||
            !(brivane::Preferences::fromJsonText(opened.toJson().dump()) == opened))
            std::abort();
    } catch (const brivane::PreferencesError&) {
    }
    try {
        const auto release = brivane::PelloraRelease::fromJsonText(text);
        if (!(brivane::PelloraRelease::fromJson(release.toJson()) == release))
            std::abort();
        (void)release.isNewer("1.4.2", 12);
        (void)release.hasValidVersion();
    } catch (const brivane::ReleaseDecodingError&) {
    }
    return 0;
}

#pragma once

#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace brivane {

struct DesktopRecovery {
    // The screen one of our own wallpaper images ("agenda-<screen id>-<anything>.png") was made
    // for. Longer ids are tried first: ids may contain "-", so "A-B" must win over "A".
    static std::optional<std::string> sourceDisplay(std::string_view fileName,
                                                    const std::set<std::string>& knownIDs);

    // A screen id as it appears in file names. Ids are the system's text (EDID names, connector
    // names), so anything outside letters, digits, "-", "_" and a lone "." is written as "%XX";
    // a name that would grow too long becomes "%H" and a hash. Never "/", never "..", and
    // distinct ids give distinct names.
    static std::string fileNameComponent(std::string_view id);
};

} // namespace brivane

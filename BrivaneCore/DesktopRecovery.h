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
};

} // namespace brivane

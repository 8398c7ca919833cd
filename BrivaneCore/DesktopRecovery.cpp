#include "BrivaneCore/DesktopRecovery.h"

#include <algorithm>
#include <vector>

namespace brivane {

std::optional<std::string> DesktopRecovery::sourceDisplay(std::string_view fileName,
                                                          const std::set<std::string>& knownIDs) {
    std::vector<const std::string*> ids;
    ids.reserve(knownIDs.size());
    for (const auto& id : knownIDs)
        ids.push_back(&id);
    std::stable_sort(ids.begin(), ids.end(), [](const std::string* a, const std::string* b) {
        return a->size() > b->size();
    });
    constexpr std::string_view suffix = ".png";
    if (fileName.size() < suffix.size() ||
        fileName.substr(fileName.size() - suffix.size()) != suffix)
        return std::nullopt;
    for (const std::string* id : ids) {
        const std::string prefix = "agenda-" + *id + "-";
        if (fileName.rfind(prefix, 0) == 0)
            return *id;
    }
    return std::nullopt;
}

} // namespace brivane

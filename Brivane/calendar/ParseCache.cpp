#include "Brivane/calendar/ParseCache.h"

#include "Brivane/calendar/FolderScan.h"
#include "BrivaneCore/AgendaLanguage.h"

#include <algorithm>

namespace brivane::icsstore {

const Cached* ParseCache::find(const std::string& path, const Stamp& stamp) const {
    const auto found = cache_.find(path);
    return found != cache_.end() && found->second.stamp == stamp ? &found->second : nullptr;
}

bool ParseCache::refusedAgain(const std::string& path, const Stamp& stamp, Scan& out) const {
    const auto found = refused_.find(path);
    if (found == refused_.end() || !(found->second.stamp == stamp)) {
        return false;
    }
    out.problems.push_back({path, overBudget()});
    out.refusedAgain.emplace_back(path, found->second.bytes);
    return true;
}

bool ParseCache::keepWithinBudget(Scan& out, SeenFiles seen) {
    std::unordered_map<std::string, Refused> next;
    std::size_t total = 0;
    for (auto& collection : out.collections) {
        std::erase_if(collection.files, [&](const File& file) {
            const std::size_t bytes = file.parsed->keptBytes();
            if (total + bytes <= budget) {
                total += bytes;
                return false;
            }
            out.problems.push_back({file.path, overBudget()});
            if (const auto found = seen.find(file.path); found != seen.end()) {
                next[file.path] = Refused{found->second.stamp, bytes};
                seen.erase(found);
            }
            return true;
        });
    }
    std::erase_if(out.collections, [](const Collection& c) { return c.single && c.files.empty(); });
    bool settled = true;
    for (const auto& [path, bytes] : out.refusedAgain) {
        if (total + bytes <= budget) {
            settled = false; // room again: read it at the next look
        } else if (const auto found = refused_.find(path); found != refused_.end()) {
            next.insert(*found);
        }
    }
    refused_ = std::move(next);
    cache_ = std::move(seen);
    return settled;
}

std::string ParseCache::overBudget() const {
    const std::string size = budget >= 1024 * 1024 ? std::to_string(budget / (1024 * 1024)) + " MB"
                                                   : std::to_string(budget / 1024) + " KB";
    return AgendaLanguage::text(
        "non letto: i calendari insieme occupano più di " + size + " di memoria",
        "not read: the calendars together take more than " + size + " of memory");
}

std::string ParseCache::tooLarge() {
    return AgendaLanguage::text("file troppo grande (oltre 20 MB)", "file too large (over 20 MB)");
}

} // namespace brivane::icsstore

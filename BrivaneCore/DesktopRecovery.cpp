#include "BrivaneCore/DesktopRecovery.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace brivane {

std::string DesktopRecovery::fileNameComponent(std::string_view id) {
    constexpr char hex[] = "0123456789ABCDEF";
    // Short enough that "agenda-" + name + "-" + a UUID + ".png" fits any file system's limit.
    constexpr std::size_t longest = 120;
    std::string name;
    for (std::size_t i = 0; i < id.size() && name.size() <= longest; ++i) {
        const unsigned char c = static_cast<unsigned char>(id[i]);
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '_';
        // A "." is kept unless it starts the name or touches another "." ("..", hidden files).
        const bool dot =
            c == '.' && i > 0 && id[i - 1] != '.' && (i + 1 == id.size() || id[i + 1] != '.');
        if (plain || dot) {
            name += static_cast<char>(c);
        } else {
            name += '%';
            name += hex[c >> 4];
            name += hex[c & 0xF];
        }
    }
    if (name.size() <= longest)
        return name;
    // FNV-1a: a stable name, not a secret.
    std::uint64_t hash = 14695981039346656037ull;
    for (const char c : id) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ull;
    }
    std::string hashed = "%H";
    for (int shift = 60; shift >= 0; shift -= 4)
        hashed += hex[(hash >> shift) & 0xF];
    return hashed;
}

std::optional<std::string> DesktopRecovery::sourceDisplay(std::string_view fileName,
                                                          const std::set<std::string>& knownIDs) {
    // Longest name first, as it appears in the file name.
    std::vector<std::pair<std::string, const std::string*>> ids;
    ids.reserve(knownIDs.size());
    for (const auto& id : knownIDs)
        ids.emplace_back(fileNameComponent(id), &id);
    std::stable_sort(ids.begin(), ids.end(),
                     [](const auto& a, const auto& b) { return a.first.size() > b.first.size(); });
    constexpr std::string_view suffix = ".png";
    if (fileName.size() < suffix.size() ||
        fileName.substr(fileName.size() - suffix.size()) != suffix)
        return std::nullopt;
    for (const auto& [name, id] : ids) {
        const std::string prefix = "agenda-" + name + "-";
        if (fileName.rfind(prefix, 0) == 0)
            return *id;
    }
    return std::nullopt;
}

} // namespace brivane

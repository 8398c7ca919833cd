#include "BrivaneCore/AgendaLanguage.h"

#include <algorithm>
#include <cstdlib>

namespace brivane {

namespace {

// "it_IT.UTF-8@euro" → "it-IT"; "C", "POSIX" and their variants → empty.
std::string normalise(std::string entry) {
    if (const auto cut = entry.find_first_of(".@"); cut != std::string::npos)
        entry.erase(cut);
    if (entry == "C" || entry == "POSIX")
        return {};
    std::replace(entry.begin(), entry.end(), '_', '-');
    return entry;
}

} // namespace

std::vector<std::string> AgendaLanguage::preferredLanguages() {
    std::vector<std::string> languages;
    if (const char* list = std::getenv("LANGUAGE")) {
        std::string_view rest(list);
        while (!rest.empty()) {
            const auto colon = rest.find(':');
            auto entry = normalise(std::string(rest.substr(0, colon)));
            if (!entry.empty())
                languages.push_back(std::move(entry));
            if (colon == std::string_view::npos)
                break;
            rest.remove_prefix(colon + 1);
        }
        if (!languages.empty())
            return languages;
    }
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(name);
        if (value && *value) {
            auto entry = normalise(value);
            if (!entry.empty())
                languages.push_back(std::move(entry));
            break;
        }
    }
    return languages;
}

bool AgendaLanguage::isItalian() {
    const auto languages = preferredLanguages();
    if (languages.empty())
        return false;
    const auto& first = languages.front();
    return first.size() >= 2 && std::tolower(static_cast<unsigned char>(first[0])) == 'i' &&
           std::tolower(static_cast<unsigned char>(first[1])) == 't';
}

std::string AgendaLanguage::text(std::string_view italian, std::string_view english) {
    return std::string(isItalian() ? italian : english);
}

} // namespace brivane

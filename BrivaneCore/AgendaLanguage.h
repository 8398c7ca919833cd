#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace brivane {

// Italian or English, decided at every call from the system's preferred languages.
struct AgendaLanguage {
    // LANGUAGE (colon-separated), else the first of LC_ALL, LC_MESSAGES, LANG that is set.
    // Entries are BCP 47-like ("it-IT"); "C", "POSIX" and empty entries count as none.
    static std::vector<std::string> preferredLanguages();
    static bool isItalian();
    static std::string text(std::string_view italian, std::string_view english);
};

} // namespace brivane

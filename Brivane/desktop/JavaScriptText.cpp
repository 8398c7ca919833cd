#include "Brivane/desktop/JavaScriptText.h"

#include <nlohmann/json.hpp>

namespace brivane {

std::string javaScriptString(std::string_view utf8) {
    const std::string json = nlohmann::json(std::string(utf8))
                                 .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    // JSON leaves U+2028 and U+2029 as they are, but a script engine that follows the language
    // before its 2019 edition (Qt's does) reads them as line ends: a literal holding one is a
    // syntax error, and the whole script fails.
    std::string out;
    out.reserve(json.size());
    for (std::size_t i = 0; i < json.size(); ++i) {
        if (json.compare(i, 2, "\xE2\x80") == 0 && i + 2 < json.size() &&
            (json[i + 2] == '\xA8' || json[i + 2] == '\xA9')) {
            out += json[i + 2] == '\xA8' ? "\\u2028" : "\\u2029";
            i += 2;
        } else {
            out += json[i];
        }
    }
    return out;
}

} // namespace brivane

#include "Brivane/desktop/JavaScriptText.h"

#include <nlohmann/json.hpp>

namespace brivane {

std::string javaScriptString(std::string_view utf8) {
    return nlohmann::json(std::string(utf8))
        .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

} // namespace brivane

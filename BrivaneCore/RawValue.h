#pragma once

#include <array>
#include <optional>
#include <string_view>

namespace brivane {

// The case of `all` whose rawValue() is `raw`; absent for unknown strings.
template <typename Enum, std::size_t N>
std::optional<Enum> fromRawValue(const std::array<Enum, N>& all, std::string_view raw) {
    for (const Enum value : all) {
        if (rawValue(value) == raw)
            return value;
    }
    return std::nullopt;
}

} // namespace brivane

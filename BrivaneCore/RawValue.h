#pragma once

#include "BrivaneCore/AgendaLanguage.h"

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace brivane {

// One case of an enum that is stored by name: the name in settings and files, and its title.
template <typename Enum>
struct EnumName {
    Enum value;
    std::string_view raw;
    std::string_view italian;
    std::string_view english;
};

// The rawValue / fromRawValue / title trio of an enum, read from one table of its cases.
template <typename Enum, std::size_t N>
struct EnumNames {
    EnumName<Enum> cases[N];

    // Every case, in the table's order.
    constexpr std::array<Enum, N> all() const {
        std::array<Enum, N> values{};
        for (std::size_t i = 0; i < N; ++i)
            values[i] = cases[i].value;
        return values;
    }
    constexpr std::string_view rawValue(Enum value) const { return find(value).raw; }
    // Absent for unknown names (they are compared exactly, case included).
    constexpr std::optional<Enum> fromRawValue(std::string_view raw) const {
        for (const EnumName<Enum>& entry : cases) {
            if (entry.raw == raw)
                return entry.value;
        }
        return std::nullopt;
    }
    // In the language of the moment.
    std::string title(Enum value) const {
        const EnumName<Enum>& entry = find(value);
        return AgendaLanguage::text(entry.italian, entry.english);
    }

private:
    // A value outside the enum's cases reads as the last one.
    constexpr const EnumName<Enum>& find(Enum value) const {
        for (const EnumName<Enum>& entry : cases) {
            if (entry.value == value)
                return entry;
        }
        return cases[N - 1];
    }
};

} // namespace brivane

#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unicode/uversion.h>
#include <vector>

U_NAMESPACE_BEGIN
class BasicTimeZone;
U_NAMESPACE_END

namespace brivane::tz {

// One period of constant UTC offset, starting at `start` (seconds since 1970).
struct Transition {
    std::int64_t start;
    int utcOffset;
    bool isDst;
    std::string abbreviation;
};

// The contents of a TZif file, or of a POSIX TZ string, as a list of transitions.
struct ZoneRules {
    Transition initial;                  // in force before the first transition
    std::vector<Transition> transitions; // ascending
};

// Parses TZif (versions 1–4); the POSIX footer extends the rules to `untilYear`.
std::optional<ZoneRules> parseTZif(std::string_view bytes, int untilYear = 2100);
// Parses a POSIX TZ string such as "CET-1CEST,M3.5.0,M10.5.0/3" into transitions between
// `fromYear` and `untilYear` (inclusive), all after `after`.
std::optional<ZoneRules> parsePosixTZ(std::string_view tz, int fromYear, int untilYear,
                                      std::int64_t after);

// The zone for an identifier: a name under /usr/share/zoneinfo (or $TZDIR), an absolute path
// to a TZif file, or a POSIX TZ string; absent when none of these works. Cached by identifier.
std::shared_ptr<const icu::BasicTimeZone> systemZone(const std::string& id);

} // namespace brivane::tz

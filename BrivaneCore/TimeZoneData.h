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

// A day of a POSIX TZ rule (Jn, n or Mm.w.d) and the local time of the change, in seconds.
struct RuleDate {
    enum class Kind { julianNoLeap, zeroBased, monthWeekDay } kind = Kind::monthWeekDay;
    int day = 0, month = 0, week = 0, weekday = 0;
    int time = 7200;

    // Seconds since 1970 of the rule's local wall time in `year`.
    std::int64_t localSeconds(std::int64_t year) const;
};

// A yearly pair of changes, in force from `fromYear` on.
struct AnnualRules {
    int fromYear;
    Transition standard, daylight;
    RuleDate toDaylight, toStandard;
};

// The contents of a TZif file, or of a POSIX TZ string: explicit transitions, then, where the
// rule can be said as "n-th weekday of a month", a yearly rule without end.
struct ZoneRules {
    Transition initial;                  // in force before the first transition
    std::vector<Transition> transitions; // ascending
    std::optional<AnnualRules> annual;
};

// Parses TZif (versions 1-4), with its POSIX footer for the times after the last transition.
std::optional<ZoneRules> parseTZif(std::string_view bytes);
// Parses a POSIX TZ string such as "CET-1CEST,M3.5.0,M10.5.0/3" for the years from `fromYear`,
// keeping only transitions after `after`. Rules a yearly rule cannot express are written out
// as transitions until 2100.
std::optional<ZoneRules> parsePosixTZ(std::string_view tz, int fromYear, std::int64_t after);

// The zone for an identifier: a name under /usr/share/zoneinfo (or $TZDIR), an absolute path
// to a TZif file, or a POSIX TZ string; absent when none of these works. Cached by identifier.
std::shared_ptr<const icu::BasicTimeZone> systemZone(const std::string& id);

} // namespace brivane::tz

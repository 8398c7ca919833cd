#pragma once

#include "BrivaneCore/AgendaDates.h"

#include <string>
#include <string_view>

namespace brivane {

// Upper-casing under the rules of the calendar's locale (Italian and English agree, but ICU
// also handles the characters users type into titles and group names).
std::string upperCased(std::string_view text, const Calendar& calendar);

// A whole number with at least two digits ("%02d").
std::string twoDigits(int value);

// "1 evento" / "1 event", "3 eventi" / "3 events": counts read as people write them.
std::string eventCount(std::size_t count);
// "+1 attività" / "+1 task", "+3 attività" / "+3 tasks".
std::string hiddenTaskCount(std::size_t count);

} // namespace brivane

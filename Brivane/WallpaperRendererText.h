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

} // namespace brivane

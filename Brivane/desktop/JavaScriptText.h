#pragma once

// Text put into a script that a desktop shell's JavaScript engine runs.

#include <string>
#include <string_view>

namespace brivane {

// A double-quoted JavaScript string literal that reads back as `utf8` (invalid UTF-8 becomes
// U+FFFD). Only printable ASCII and characters every edition of the language allows inside a
// literal stand unescaped.
std::string javaScriptString(std::string_view utf8);

} // namespace brivane

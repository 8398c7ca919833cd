#pragma once

#include <string>
#include <string_view>

namespace brivane::text {

// White space and newlines removed at both ends (Unicode White_Space, so no-break spaces too).
std::string trimmed(std::string_view text);
// Equal when folded for case and accents under the locale's rules (primary collation strength).
bool foldedEqual(std::string_view a, std::string_view b, const char* localeId);
// Canonical composition (NFC); comparing the results byte by byte is code-point order.
std::string nfc(std::string_view text);
// User-perceived characters (grapheme clusters).
std::size_t characterCount(std::string_view text);

} // namespace brivane::text

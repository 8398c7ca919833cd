#pragma once

#include <string>
#include <string_view>

namespace brivane::text {

// White space and newlines removed at both ends (Unicode White_Space, so no-break spaces too).
std::string trimmed(std::string_view text);
// Case and accents folded away, nothing else: canonical decomposition, nonspacing marks removed,
// simple case folding. Width, kana, ligatures, "ß" and invisible characters stay as they are, so
// names a person tells apart stay apart.
std::string folded(std::string_view text);
// Equal once both are folded, compared code point by code point.
bool foldedEqual(std::string_view a, std::string_view b);
// Canonical composition (NFC); comparing the results byte by byte is code-point order.
std::string nfc(std::string_view text);
// User-perceived characters (grapheme clusters).
std::size_t characterCount(std::string_view text);

} // namespace brivane::text

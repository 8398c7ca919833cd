#include "BrivaneCore/TextRules.h"

#include <algorithm>
#include <memory>
#include <unicode/brkiter.h>
#include <unicode/bytestream.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

namespace brivane::text {

namespace {

icu::UnicodeString unicode(std::string_view s) {
    return icu::UnicodeString::fromUTF8(icu::StringPiece(s.data(), static_cast<int32_t>(s.size())));
}

} // namespace

// ICU's UTF-8 macros cast the C way.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wold-style-cast"
std::string trimmed(std::string_view s) {
    // Walk code points from both ends; invalid bytes are not white space.
    std::size_t begin = 0;
    while (begin < s.size()) {
        int32_t i = static_cast<int32_t>(begin);
        UChar32 c = 0;
        U8_NEXT(s.data(), i, static_cast<int32_t>(s.size()), c);
        if (c < 0 || !u_isUWhiteSpace(c))
            break;
        begin = static_cast<std::size_t>(i);
    }
    std::size_t end = s.size();
    while (end > begin) {
        int32_t i = static_cast<int32_t>(end);
        UChar32 c = 0;
        U8_PREV(s.data(), static_cast<int32_t>(begin), i, c);
        if (c < 0 || !u_isUWhiteSpace(c))
            break;
        end = static_cast<std::size_t>(i);
    }
    return std::string(s.substr(begin, end - begin));
}
#pragma GCC diagnostic pop

std::string folded(std::string_view s) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
    if (U_FAILURE(status))
        return std::string(s);
    const icu::UnicodeString decomposed = nfd->normalize(unicode(s), status);
    if (U_FAILURE(status))
        return std::string(s);
    icu::UnicodeString kept;
    for (int32_t i = 0; i < decomposed.length();) {
        const UChar32 c = decomposed.char32At(i);
        i += c > 0xFFFF ? 2 : 1;
        if (u_charType(c) != U_NON_SPACING_MARK)
            kept.append(u_foldCase(c, U_FOLD_CASE_DEFAULT));
    }
    std::string out;
    kept.toUTF8String(out);
    return out;
}

bool foldedEqual(std::string_view a, std::string_view b) {
    return a == b || folded(a) == folded(b);
}

std::string nfc(std::string_view s) {
    // ASCII is always in normal form; most titles are.
    if (std::all_of(s.begin(), s.end(),
                    [](char ch) { return static_cast<unsigned char>(ch) < 0x80; }))
        return std::string(s);
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* normalizer = icu::Normalizer2::getNFCInstance(status);
    if (U_FAILURE(status))
        return std::string(s);
    std::string out;
    icu::StringByteSink<std::string> sink(&out, static_cast<int32_t>(s.size()));
    normalizer->normalizeUTF8(0, icu::StringPiece(s.data(), static_cast<int32_t>(s.size())), sink,
                              nullptr, status);
    return U_SUCCESS(status) ? out : std::string(s);
}

std::size_t characterCount(std::string_view s) {
    UErrorCode status = U_ZERO_ERROR;
    thread_local std::unique_ptr<icu::BreakIterator> characters(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (!characters)
        return s.size();
    const icu::UnicodeString u = unicode(s);
    characters->setText(u);
    std::size_t count = 0;
    for (int32_t p = characters->next(); p != icu::BreakIterator::DONE; p = characters->next())
        ++count;
    return count;
}

} // namespace brivane::text

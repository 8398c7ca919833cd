#include "Brivane/render/WallpaperRendererText.h"

#include "BrivaneCore/AgendaLanguage.h"

#include <cstdio>
#include <unicode/locid.h>
#include <unicode/unistr.h>

namespace brivane {

std::string upperCased(std::string_view text, const Calendar& calendar) {
    icu::UnicodeString unicode = icu::UnicodeString::fromUTF8(
        icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    unicode.toUpper(icu::Locale(calendar.localeId().c_str()));
    std::string result;
    unicode.toUTF8String(result);
    return result;
}

std::string twoDigits(int value) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%02d", value);
    return buffer;
}

std::string eventCount(std::size_t count) {
    const std::string n = std::to_string(count);
    return count == 1 ? AgendaLanguage::text(n + " evento", n + " event")
                      : AgendaLanguage::text(n + " eventi", n + " events");
}

std::string hiddenTaskCount(std::size_t count) {
    const std::string n = "+" + std::to_string(count);
    return AgendaLanguage::text(n + " attività", count == 1 ? n + " task" : n + " tasks");
}

} // namespace brivane

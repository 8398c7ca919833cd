// Feeds arbitrary JSON to the calendar-list and event page readers of both providers, and the
// lines of the input as page continuations to the paging guard.
#include "Brivane/cloud/CloudCalendarPages.h"

#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>

using nlohmann::json;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const brivane::Calendar local("en_GB", "Europe/Rome");
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    const json page = json::parse(text, nullptr, false);
    if (!page.is_discarded()) {
        for (const auto* format : {&brivane::googlePageFormat, &brivane::graphPageFormat}) {
            // Never more items than elements in the page's list.
            std::size_t elements = 0;
            if (page.is_object() && page.contains(format->list) && page[format->list].is_array())
                elements = page[format->list].size();
            if (brivane::calendarPage(page, *format).items.size() > elements ||
                brivane::eventPage(page, *format, local).items.size() > elements)
                std::abort();
        }
    }

    brivane::PageTrail trail;
    std::set<std::string> followed;
    std::size_t start = 0;
    while (start <= text.size()) {
        const auto end = std::min(text.find('\n', start), text.size());
        const std::string line(text.substr(start, end - start));
        if (trail.admit(line) == brivane::PageTrail::Step::follow) {
            if (!followed.insert(line).second ||
                followed.size() >= static_cast<std::size_t>(brivane::PageTrail::pageLimit))
                std::abort();
        }
        start = end + 1;
    }
    return 0;
}

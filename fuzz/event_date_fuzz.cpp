// Feeds arbitrary text to the reading of provider dates: as a date-time with and without a
// time-zone name, as a date, and as a whole JSON object. A date-time read with its own offset
// must print and read back to the same whole second.
#include "Brivane/cloud/CloudEventDate.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

using brivane::Calendar;
using nlohmann::json;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const Calendar local("en_GB", "Europe/Rome");
    const std::string text(reinterpret_cast<const char*>(data), size);
    // "dateTime|timeZone": the zone part goes through the name lookup as well.
    const auto bar = text.find('|');
    const std::string dateTime = text.substr(0, bar);
    const std::string zone = bar == std::string::npos ? std::string() : text.substr(bar + 1);

    if (auto instant = brivane::eventDate(json{{"dateTime", dateTime}}, local)) {
        const auto again =
            brivane::eventDate(json{{"dateTime", brivane::isoInstantText(*instant)}}, local);
        if (!again || *again != std::chrono::floor<std::chrono::seconds>(*instant))
            std::abort();
    }
    (void)brivane::eventDate(json{{"dateTime", dateTime}, {"timeZone", zone}}, local);
    (void)brivane::eventDate(json{{"date", dateTime}}, local);
    (void)brivane::knownTimeZoneId(zone);

    const json document = json::parse(text, nullptr, false);
    if (!document.is_discarded())
        (void)brivane::eventDate(document, local);
    return 0;
}

// Zone files and TZ strings reach the parser from the system and from the user's environment.
#include "BrivaneCore/TimeZoneData.h"

#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    (void)brivane::tz::parseTZif(bytes);
    (void)brivane::tz::parsePosixTZ(bytes, 2026, 0);
    return 0;
}

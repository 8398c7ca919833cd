// The recovery data file ("original-desktops.json") on any bytes: it is read or refused with
// RecoveryDataError, never anything else; what is read is written back and read again as the
// same records.
#include "Brivane/desktop/OriginalDesktop.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    brivane::OriginalDesktops records;
    try {
        records = brivane::decodeOriginalDesktops(bytes);
    } catch (const brivane::RecoveryDataError&) {
        return 0;
    }
    try {
        if (brivane::decodeOriginalDesktops(brivane::encodeOriginalDesktops(records)) != records)
            std::abort();
    } catch (const brivane::RecoveryDataError&) {
        std::abort();
    }
    return 0;
}

// The recovery data file ("original-desktops.json") on any bytes: it is read or refused with
// RecoveryDataError, never anything else; what is read is written back and read again, and from
// the first write on the records stay the same. (That first write may respell a URL: Qt writes a
// "#" inside a fragment as %23, a URL only a hand-edited file can hold.)
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
        const brivane::OriginalDesktops written =
            brivane::decodeOriginalDesktops(brivane::encodeOriginalDesktops(records));
        if (brivane::decodeOriginalDesktops(brivane::encodeOriginalDesktops(written)) != written)
            std::abort();
    } catch (const brivane::RecoveryDataError&) {
        std::abort();
    }
    return 0;
}

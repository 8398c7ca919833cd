// The run-length deflater must write zlib's own bytes (level 1, Z_RLE, sync flush) for any
// input: its bands sit beside bands zlib compressed in one PNG. Short fuzz inputs are also
// stretched into long runs, so block boundaries and the window's edges are reached.
#include "Brivane/render/RunLengthDeflate.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>
#include <zlib.h>

namespace {

std::vector<std::uint8_t> zlibBytes(const std::vector<std::uint8_t>& in) {
    z_stream stream{};
    if (deflateInit2(&stream, 1, Z_DEFLATED, -15, 8, Z_RLE) != Z_OK)
        std::abort();
    std::vector<std::uint8_t> out(deflateBound(&stream, in.size()) + 64);
    stream.next_in = const_cast<Bytef*>(in.data());
    stream.avail_in = static_cast<uInt>(in.size());
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    if (deflate(&stream, Z_SYNC_FLUSH) != Z_OK)
        std::abort();
    out.resize(out.size() - stream.avail_out);
    deflateEnd(&stream);
    return out;
}

// Byte pairs (value, count): each value repeated 1 + count * 37 times, up to 1 MB.
std::vector<std::uint8_t> stretched(const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i + 1 < size && out.size() < (1u << 20); i += 2)
        out.insert(out.end(), 1 + std::size_t{data[i + 1]} * 37, data[i]);
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static brivane::RunLengthDeflate deflater; // reused across inputs, as the encoder's threads do
    if (size == 0)
        return 0;
    const std::vector<std::uint8_t> input = data[0] % 2
                                                ? stretched(data + 1, size - 1)
                                                : std::vector<std::uint8_t>(data + 1, data + size);
    std::vector<std::uint8_t> ours(brivane::RunLengthDeflate::bound(input.size()));
    const std::size_t written = deflater.compress(input.data(), input.size(), ours.data());
    if (written > ours.size())
        std::abort();
    ours.resize(written);
    if (ours != zlibBytes(input))
        std::abort();
    return 0;
}

#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace brivane {

// Raw deflate blocks with run-length matching, byte for byte what zlib 1.2 writes for
//   deflateInit2(level 1, Z_DEFLATED, -15, 8, Z_RLE), then deflate(all input, Z_SYNC_FLUSH)
// (its block boundaries, its Huffman trees, its choice between stored, fixed and dynamic
// blocks, and the empty stored block of the sync flush), at about twice zlib's speed: it reads
// the input in place and writes bits 64 at a time. The PNGs of earlier versions were written by
// zlib itself; a kept band and a band compressed anew must stay interchangeable.
class RunLengthDeflate {
public:
    RunLengthDeflate();
    ~RunLengthDeflate();
    RunLengthDeflate(const RunLengthDeflate&) = delete;
    RunLengthDeflate& operator=(const RunLengthDeflate&) = delete;

    // At most this many bytes for `length` bytes of input.
    static std::size_t bound(std::size_t length);
    // Compresses `input` into `out` (at least bound(length) bytes); returns the bytes written.
    std::size_t compress(const std::uint8_t* input, std::size_t length, std::uint8_t* out);

private:
    struct State;
    State* state_;
};

} // namespace brivane

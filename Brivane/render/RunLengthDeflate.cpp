#include "Brivane/render/RunLengthDeflate.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

// The parsing, the block boundaries and the Huffman trees follow zlib 1.2.13's deflate.c and
// trees.c (Copyright (C) 1995-2022 Jean-loup Gailly and Mark Adler, zlib licence) step by step,
// ties and overflow fix-ups included: the bytes must be zlib's. What differs is only how the
// work is done: no copy into a sliding window (its position is tracked, as it decides whether a
// block may still be stored), no hash tables, symbols kept as 16-bit values and a 64-bit bit
// buffer.

namespace brivane {

namespace {

constexpr int maxBits = 15;
constexpr int maxBlBits = 7;
constexpr int literals = 256;
constexpr int lengthCodes = 29;
constexpr int lCodes = literals + 1 + lengthCodes;
constexpr int dCodes = 30;
constexpr int blCodes = 19;
constexpr int heapSize = 2 * lCodes + 1;
constexpr int endBlock = 256;
constexpr int rep3To6 = 16;
constexpr int repZero3To10 = 17;
constexpr int repZero11To138 = 18;
constexpr int smallest = 1;

constexpr std::size_t minMatch = 3;
constexpr std::size_t maxMatch = 258;
constexpr std::size_t windowBytes = 32768; // w_size at 15 window bits
constexpr std::size_t minLookahead = maxMatch + minMatch + 1;
constexpr std::size_t maxDistance = windowBytes - minLookahead;
constexpr std::size_t symbolsPerBlock = (std::size_t{1} << (8 + 6)) - 1; // memLevel 8

constexpr int extraLengthBits[lengthCodes] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                              2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr int extraDistanceBits[dCodes] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                           6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr int extraBlBits[blCodes] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 3, 7};
constexpr std::uint8_t blOrder[blCodes] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                           11, 4,  12, 3, 13, 2, 14, 1, 15};

// zlib's ct_data: frequency or code, parent or length.
struct Node {
    std::uint16_t freq = 0; // the code once the tree is built
    std::uint16_t len = 0;  // the parent while it is built
};

unsigned reverseBits(unsigned code, int length) {
    unsigned result = 0;
    do {
        result |= code & 1;
        code >>= 1;
        result <<= 1;
    } while (--length > 0);
    return result >> 1;
}

void generateCodes(Node* tree, int maxCode, const std::uint16_t* bitLengthCount) {
    std::uint16_t next[maxBits + 1];
    unsigned code = 0;
    for (int bits = 1; bits <= maxBits; ++bits) {
        code = (code + bitLengthCount[bits - 1]) << 1;
        next[bits] = static_cast<std::uint16_t>(code);
    }
    for (int n = 0; n <= maxCode; ++n) {
        const int length = tree[n].len;
        if (length == 0)
            continue;
        tree[n].freq = static_cast<std::uint16_t>(reverseBits(next[length]++, length));
    }
}

struct Tables {
    std::array<Node, lCodes + 2> staticLiterals{};
    std::array<Node, dCodes> staticDistances{};
    std::array<std::uint8_t, 256> lengthCode{};
    std::array<int, lengthCodes> baseLength{};

    Tables() {
        int length = 0;
        int code = 0;
        for (code = 0; code < lengthCodes - 1; ++code) {
            baseLength[static_cast<std::size_t>(code)] = length;
            for (int n = 0; n < (1 << extraLengthBits[code]); ++n)
                lengthCode[static_cast<std::size_t>(length++)] = static_cast<std::uint8_t>(code);
        }
        // Length 258 has two codes; the last one is used.
        lengthCode[static_cast<std::size_t>(length - 1)] = static_cast<std::uint8_t>(code);

        std::uint16_t count[maxBits + 1] = {};
        int n = 0;
        while (n <= 143)
            staticLiterals[static_cast<std::size_t>(n++)].len = 8, ++count[8];
        while (n <= 255)
            staticLiterals[static_cast<std::size_t>(n++)].len = 9, ++count[9];
        while (n <= 279)
            staticLiterals[static_cast<std::size_t>(n++)].len = 7, ++count[7];
        while (n <= 287)
            staticLiterals[static_cast<std::size_t>(n++)].len = 8, ++count[8];
        generateCodes(staticLiterals.data(), lCodes + 1, count);
        for (n = 0; n < dCodes; ++n) {
            staticDistances[static_cast<std::size_t>(n)].len = 5;
            staticDistances[static_cast<std::size_t>(n)].freq =
                static_cast<std::uint16_t>(reverseBits(static_cast<unsigned>(n), 5));
        }
    }
};

const Tables& tables() {
    static const Tables made;
    return made;
}

struct StaticTree {
    const Node* tree;
    const int* extraBits;
    int extraBase;
    int elements;
    int maxLength;
};

struct TreeDescription {
    Node* tree;
    int maxCode = 0;
    const StaticTree* fixed;
};

std::uint64_t load64(const std::uint8_t* p) {
    std::uint64_t value;
    std::memcpy(&value, p, sizeof value);
    if constexpr (std::endian::native == std::endian::big)
        value = __builtin_bswap64(value);
    return value;
}

// 0x80 in each byte of `x` that is zero, nothing elsewhere.
std::uint64_t zeroBytes(std::uint64_t x) {
    constexpr std::uint64_t low7 = 0x7F7F7F7F7F7F7F7Full;
    return ~(((x & low7) + low7) | x | low7);
}

// Bits least significant first in a 64-bit buffer, whole bytes stored after each symbol with
// one unaligned write: the output needs eight bytes to spare.
struct BitWriter {
    std::uint8_t* out;
    std::uint64_t buffer = 0;
    int count = 0;

    // At most 56 bits between two calls of flush().
    void add(unsigned value, int length) { add64(value, length); }
    void add64(std::uint64_t value, int length) {
        buffer |= value << count;
        count += length;
    }
    void flush() {
        std::uint64_t bytes = buffer;
        if constexpr (std::endian::native == std::endian::big)
            bytes = __builtin_bswap64(bytes);
        std::memcpy(out, &bytes, sizeof bytes);
        out += count >> 3;
        buffer >>= count & ~7; // count is below 64 here
        count &= 7;
    }
    void put(unsigned value, int length) {
        add(value, length);
        flush();
    }
    // To the next byte boundary, padding with zeros.
    void align() {
        flush();
        if (count > 0)
            *out++ = static_cast<std::uint8_t>(buffer);
        buffer = 0;
        count = 0;
    }
    void storedHeader(std::size_t length) {
        put(0, 3); // stored, not last
        align();
        const auto n = static_cast<std::uint16_t>(length);
        const auto complement = static_cast<std::uint16_t>(~n);
        *out++ = static_cast<std::uint8_t>(n);
        *out++ = static_cast<std::uint8_t>(n >> 8);
        *out++ = static_cast<std::uint8_t>(complement);
        *out++ = static_cast<std::uint8_t>(complement >> 8);
    }
};

// zlib's window over the input: `base` is the input position at its start, `filled` how far
// the input has been read into it. Reading happens when fewer than a longest run are ahead.
struct Window {
    std::size_t length;
    std::size_t base = 0;
    std::size_t filled = 0;

    void fill(std::size_t p) {
        do {
            const std::size_t start = p - base;
            std::size_t more = 2 * windowBytes - (filled - p) - start;
            if (start >= windowBytes + maxDistance) {
                base += windowBytes;
                more += windowBytes;
            }
            if (filled == length)
                break;
            filled += std::min(length - filled, more);
        } while (filled - p < minLookahead && filled != length);
    }
};

} // namespace

struct RunLengthDeflate::State {
    const Tables& fixed = tables();
    const StaticTree literalTree{fixed.staticLiterals.data(), extraLengthBits, literals + 1, lCodes,
                                 maxBits};
    const StaticTree distanceTree{fixed.staticDistances.data(), extraDistanceBits, 0, dCodes,
                                  maxBits};
    const StaticTree bitLengthTree{nullptr, extraBlBits, 0, blCodes, maxBlBits};

    Node literalNodes[heapSize];
    Node distanceNodes[2 * dCodes + 1];
    Node bitLengthNodes[2 * blCodes + 1];
    TreeDescription lDesc{literalNodes, 0, &literalTree};
    TreeDescription dDesc{distanceNodes, 0, &distanceTree};
    TreeDescription blDesc{bitLengthNodes, 0, &bitLengthTree};

    std::uint16_t bitLengthCount[maxBits + 1] = {};
    int heap[2 * lCodes + 1] = {};
    int heapLength = 0;
    int heapMax = 0;
    std::uint8_t depth[2 * lCodes + 1] = {};
    std::uint64_t optimalLength = 0;
    std::uint64_t staticLength = 0;

    // Literals as themselves, runs as 0x100 | (length - 3); the distance is always 1. Eight
    // to spare: literals are stored eight at a time, and only those taken are counted.
    std::uint16_t symbols[symbolsPerBlock + 8];
    std::size_t symbolCount = 0;
    // Each symbol's bits (literal or length code, extra bits, distance code) with their number
    // in the top byte, for the trees of the block being sent.
    std::uint64_t codes[2 * literals];

    void initBlock() {
        for (auto& node : literalNodes)
            node.freq = 0;
        for (auto& node : distanceNodes)
            node.freq = 0;
        for (auto& node : bitLengthNodes)
            node.freq = 0;
        literalNodes[endBlock].freq = 1;
        optimalLength = staticLength = 0;
        symbolCount = 0;
    }

    bool smaller(const Node* tree, int n, int m) const {
        return tree[n].freq < tree[m].freq ||
               (tree[n].freq == tree[m].freq && depth[n] <= depth[m]);
    }

    void downHeap(const Node* tree, int k) {
        const int v = heap[k];
        int j = k << 1;
        while (j <= heapLength) {
            if (j < heapLength && smaller(tree, heap[j + 1], heap[j]))
                ++j;
            if (smaller(tree, v, heap[j]))
                break;
            heap[k] = heap[j];
            k = j;
            j <<= 1;
        }
        heap[k] = v;
    }

    void generateBitLengths(TreeDescription& desc) {
        Node* tree = desc.tree;
        const int maxCode = desc.maxCode;
        const Node* stree = desc.fixed->tree;
        const int* extra = desc.fixed->extraBits;
        const int base = desc.fixed->extraBase;
        const int maxLength = desc.fixed->maxLength;
        int overflow = 0;

        for (auto& count : bitLengthCount)
            count = 0;
        tree[heap[heapMax]].len = 0; // the root
        int h = heapMax + 1;
        for (; h < heapSize; ++h) {
            const int n = heap[h];
            int bits = tree[tree[n].len].len + 1;
            if (bits > maxLength)
                bits = maxLength, ++overflow;
            tree[n].len = static_cast<std::uint16_t>(bits);
            if (n > maxCode)
                continue; // not a leaf
            ++bitLengthCount[bits];
            int extraBits = 0;
            if (n >= base)
                extraBits = extra[n - base];
            const std::uint16_t f = tree[n].freq;
            optimalLength +=
                static_cast<std::uint64_t>(f) * static_cast<unsigned>(bits + extraBits);
            if (stree != nullptr)
                staticLength +=
                    static_cast<std::uint64_t>(f) * static_cast<unsigned>(stree[n].len + extraBits);
        }
        if (overflow == 0)
            return;
        do {
            int bits = maxLength - 1;
            while (bitLengthCount[bits] == 0)
                --bits;
            --bitLengthCount[bits];
            bitLengthCount[bits + 1] = static_cast<std::uint16_t>(bitLengthCount[bits + 1] + 2);
            --bitLengthCount[maxLength];
            overflow -= 2;
        } while (overflow > 0);
        for (int bits = maxLength; bits != 0; --bits) {
            int n = bitLengthCount[bits];
            while (n != 0) {
                const int m = heap[--h];
                if (m > maxCode)
                    continue;
                if (static_cast<unsigned>(tree[m].len) != static_cast<unsigned>(bits)) {
                    optimalLength +=
                        (static_cast<std::uint64_t>(bits) - tree[m].len) * tree[m].freq;
                    tree[m].len = static_cast<std::uint16_t>(bits);
                }
                --n;
            }
        }
    }

    void buildTree(TreeDescription& desc) {
        Node* tree = desc.tree;
        const Node* stree = desc.fixed->tree;
        const int elements = desc.fixed->elements;
        int maxCode = -1;
        heapLength = 0;
        heapMax = heapSize;
        for (int n = 0; n < elements; ++n) {
            if (tree[n].freq != 0) {
                heap[++heapLength] = maxCode = n;
                depth[n] = 0;
            } else {
                tree[n].len = 0;
            }
        }
        // At least two codes, as the format wants one distance code and one bit per code.
        while (heapLength < 2) {
            const int node = heap[++heapLength] = (maxCode < 2 ? ++maxCode : 0);
            tree[node].freq = 1;
            depth[node] = 0;
            --optimalLength;
            if (stree != nullptr)
                staticLength -= stree[node].len;
        }
        desc.maxCode = maxCode;
        for (int n = heapLength / 2; n >= 1; --n)
            downHeap(tree, n);
        int node = elements;
        do {
            const int n = heap[smallest];
            heap[smallest] = heap[heapLength--];
            downHeap(tree, smallest);
            const int m = heap[smallest];
            heap[--heapMax] = n;
            heap[--heapMax] = m;
            tree[node].freq = static_cast<std::uint16_t>(tree[n].freq + tree[m].freq);
            depth[node] =
                static_cast<std::uint8_t>((depth[n] >= depth[m] ? depth[n] : depth[m]) + 1);
            tree[n].len = tree[m].len = static_cast<std::uint16_t>(node);
            heap[smallest] = node++;
            downHeap(tree, smallest);
        } while (heapLength >= 2);
        heap[--heapMax] = heap[smallest];
        generateBitLengths(desc);
        generateCodes(tree, maxCode, bitLengthCount);
    }

    // The code lengths of `tree` as the bit-length alphabet codes them: each code with its
    // extra bits (repeats of the last length, or of zeros), as `emit(code, extra, extraBits)`.
    template <typename Emit>
    static void forEachLengthCode(const Node* tree, int maxCode, Emit emit) {
        int previous = -1;
        int next = tree[0].len;
        int count = 0;
        int maxCount = 7;
        int minCount = 4;
        if (next == 0)
            maxCount = 138, minCount = 3;
        for (int n = 0; n <= maxCode; ++n) {
            const int current = next;
            next = tree[n + 1].len;
            if (++count < maxCount && current == next) {
                continue;
            } else if (count < minCount) {
                do
                    emit(current, 0, 0);
                while (--count != 0);
            } else if (current != 0) {
                if (current != previous) {
                    emit(current, 0, 0);
                    --count;
                }
                emit(rep3To6, count - 3, 2);
            } else if (count <= 10) {
                emit(repZero3To10, count - 3, 3);
            } else {
                emit(repZero11To138, count - 11, 7);
            }
            count = 0;
            previous = current;
            if (next == 0)
                maxCount = 138, minCount = 3;
            else if (current == next)
                maxCount = 6, minCount = 3;
            else
                maxCount = 7, minCount = 4;
        }
    }

    void scanTree(Node* tree, int maxCode) {
        tree[maxCode + 1].len = 0xffff; // guard
        forEachLengthCode(tree, maxCode,
                          [this](int code, int, int) { ++bitLengthNodes[code].freq; });
    }

    void sendCode(BitWriter& bits, int c, const Node* tree) { bits.put(tree[c].freq, tree[c].len); }

    void sendTree(BitWriter& bits, const Node* tree, int maxCode) {
        forEachLengthCode(tree, maxCode, [&](int code, int extra, int extraBits) {
            sendCode(bits, code, bitLengthNodes);
            if (extraBits != 0)
                bits.put(static_cast<unsigned>(extra), extraBits);
        });
    }

    int buildBitLengthTree() {
        scanTree(literalNodes, lDesc.maxCode);
        scanTree(distanceNodes, dDesc.maxCode);
        buildTree(blDesc);
        int maxIndex = blCodes - 1;
        for (; maxIndex >= 3; --maxIndex) {
            if (bitLengthNodes[blOrder[maxIndex]].len != 0)
                break;
        }
        optimalLength += 3 * (static_cast<std::uint64_t>(maxIndex) + 1) + 5 + 5 + 4;
        return maxIndex;
    }

    void sendAllTrees(BitWriter& bits, int lcodes, int dcodes, int blcodes) {
        bits.put(static_cast<unsigned>(lcodes - 257), 5);
        bits.put(static_cast<unsigned>(dcodes - 1), 5);
        bits.put(static_cast<unsigned>(blcodes - 4), 4);
        for (int rank = 0; rank < blcodes; ++rank)
            bits.put(bitLengthNodes[blOrder[rank]].len, 3);
        sendTree(bits, literalNodes, lcodes - 1);
        sendTree(bits, distanceNodes, dcodes - 1);
    }

    // The symbols' frequencies, counted once the block is complete: four tables by turns, as
    // the same symbol again and again (filtered rows are mostly small differences) would
    // otherwise wait on its own count.
    void countSymbols() {
        std::uint32_t counts[4][2 * literals] = {};
        std::size_t i = 0;
        for (; i + 4 <= symbolCount; i += 4) {
            ++counts[0][symbols[i]];
            ++counts[1][symbols[i + 1]];
            ++counts[2][symbols[i + 2]];
            ++counts[3][symbols[i + 3]];
        }
        for (; i < symbolCount; ++i)
            ++counts[0][symbols[i]];
        std::uint32_t runs = 0;
        for (unsigned c = 0; c < 2 * literals; ++c) {
            const std::uint32_t n = counts[0][c] + counts[1][c] + counts[2][c] + counts[3][c];
            if (c < literals) {
                literalNodes[c].freq = static_cast<std::uint16_t>(n);
                continue;
            }
            auto& length = literalNodes[fixed.lengthCode[c - literals] + literals + 1].freq;
            length = static_cast<std::uint16_t>(length + n);
            runs += n;
        }
        distanceNodes[0].freq = static_cast<std::uint16_t>(runs);
    }

    void makeCodes(const Node* ltree, const Node* dtree) {
        auto code = [](std::uint64_t bits, unsigned length) {
            return bits | std::uint64_t{length} << 56;
        };
        for (unsigned c = 0; c < literals; ++c)
            codes[c] = code(ltree[c].freq, ltree[c].len);
        for (unsigned lc = 0; lc < literals; ++lc) {
            const unsigned lengthCode = fixed.lengthCode[lc];
            const Node& length = ltree[lengthCode + literals + 1];
            if (length.len == 0 || length.len > maxBits) {
                codes[literals + lc] = 0; // unused: no code, or the guard after the last one
                continue;
            }
            std::uint64_t bits = length.freq;
            unsigned count = length.len;
            // Length 258 has no extra bits, and its code no base below it.
            const auto extra = static_cast<unsigned>(extraLengthBits[lengthCode]);
            const unsigned above = lc - static_cast<unsigned>(fixed.baseLength[lengthCode]);
            bits |= std::uint64_t{above & ((1u << extra) - 1)} << count;
            count += extra;
            // Every run has distance 1: distance code 0, no extra bits.
            bits |= std::uint64_t{dtree[0].freq} << count;
            count += dtree[0].len;
            codes[literals + lc] = code(bits, count);
        }
    }

    void compressBlock(BitWriter& bits, const Node* ltree, const Node* dtree) {
        makeCodes(ltree, dtree);
        constexpr std::uint64_t valueBits = (std::uint64_t{1} << 56) - 1;
        for (std::size_t i = 0; i < symbolCount; ++i) {
            const std::uint64_t code = codes[symbols[i]];
            bits.add64(code & valueBits, static_cast<int>(code >> 56)); // at most 35 bits
            bits.flush();
        }
        sendCode(bits, endBlock, ltree);
    }

    void literal(std::uint8_t c) { symbols[symbolCount++] = c; }

    void run(std::size_t length) {
        symbols[symbolCount++] = static_cast<std::uint16_t>(0x100 | (length - minMatch));
    }

    // The symbols of in[p, stop), where more than a longest run lies ahead of every position: no
    // reading, no clipping, and ten bytes can be read anywhere. Calls `flush(position)` when
    // a block is full; returns the position reached.
    template <typename Flush>
    std::size_t scanAhead(const std::uint8_t* in, std::size_t p, std::size_t stop, Flush flush) {
        while (p < stop) {
            // Runs start where the byte before and the next three are equal: eight positions
            // at a time, from four overlapping loads. The literals before the first start are
            // stored as eight, of which as many are taken as come before it.
            const std::uint64_t here = load64(in + p);
            const std::uint64_t starts = zeroBytes(load64(in + p - 1) ^ here) &
                                         zeroBytes(here ^ load64(in + p + 1)) &
                                         zeroBytes(here ^ load64(in + p + 2));
            const std::size_t room = std::min(stop - p, symbolsPerBlock - symbolCount);
            const std::size_t count =
                std::min(static_cast<std::size_t>(std::countr_zero(starts)) / 8, room);
            for (int i = 0; i < 8; ++i)
                symbols[symbolCount + static_cast<std::size_t>(i)] =
                    static_cast<std::uint8_t>(here >> (8 * i));
            symbolCount += count;
            p += count;
            if (starts != 0 && count < room) { // a run starts at p
                const std::size_t length = runAt(in + p);
                run(length);
                p += length;
            }
            if (symbolCount == symbolsPerBlock)
                flush(p);
        }
        return p;
    }

    // The length of the run at `at`, which repeats the byte before it at least minMatch times;
    // at least maxMatch bytes are readable from `at`.
    static std::size_t runAt(const std::uint8_t* at) {
        const std::uint8_t previous = at[-1];
        const std::uint64_t pattern = 0x0101010101010101ull * previous;
        std::size_t length = minMatch;
        for (;;) {
            if (length + 8 > maxMatch) {
                while (length < maxMatch && at[length] == previous)
                    ++length;
                return length;
            }
            if (const std::uint64_t differ = load64(at + length) ^ pattern)
                return length + static_cast<std::size_t>(std::countr_zero(differ)) / 8;
            length += 8;
        }
    }

    // One symbol at p with only `ahead` bytes read: a run clipped to them, or a literal. Returns
    // the bytes it covers.
    std::size_t scanNearEnd(const std::uint8_t* in, std::size_t p, std::size_t ahead) {
        std::size_t length = 0;
        if (ahead >= minMatch && p > 0) {
            const std::uint8_t previous = in[p - 1];
            if (in[p] == previous && in[p + 1] == previous && in[p + 2] == previous) {
                const std::size_t limit = std::min(maxMatch, ahead);
                length = minMatch;
                while (length < limit && in[p + length] == previous)
                    ++length;
            }
        }
        if (length >= minMatch) {
            run(length);
            return length;
        }
        literal(in[p]);
        return 1;
    }

    // zlib's _tr_flush_block for a block that is not the last; `stored` is the block's input
    // when it is still in zlib's window, else null.
    void flushBlock(BitWriter& bits, const std::uint8_t* stored, std::size_t storedLength) {
        countSymbols();
        buildTree(lDesc);
        buildTree(dDesc);
        const int maxBlIndex = buildBitLengthTree();
        std::uint64_t optimalBytes = (optimalLength + 3 + 7) >> 3;
        const std::uint64_t staticBytes = (staticLength + 3 + 7) >> 3;
        if (staticBytes <= optimalBytes)
            optimalBytes = staticBytes;
        if (storedLength + 4 <= optimalBytes && stored != nullptr) {
            bits.storedHeader(storedLength);
            std::memcpy(bits.out, stored, storedLength);
            bits.out += storedLength;
        } else if (staticBytes == optimalBytes) {
            bits.put(1 << 1, 3);
            compressBlock(bits, fixed.staticLiterals.data(), fixed.staticDistances.data());
        } else {
            bits.put(2 << 1, 3);
            sendAllTrees(bits, lDesc.maxCode + 1, dDesc.maxCode + 1, maxBlIndex + 1);
            compressBlock(bits, literalNodes, distanceNodes);
        }
        initBlock();
    }
};

RunLengthDeflate::RunLengthDeflate() : state_(new State) {}

RunLengthDeflate::~RunLengthDeflate() {
    delete state_;
}

std::size_t RunLengthDeflate::bound(std::size_t length) {
    return length + (length >> 3) + (length >> 6) + 64;
}

std::size_t RunLengthDeflate::compress(const std::uint8_t* in, std::size_t n, std::uint8_t* out) {
    State& s = *state_;
    BitWriter bits{out};
    s.initBlock();

    Window window{n};
    std::size_t p = 0;          // strstart
    std::size_t blockStart = 0; // where the current block's input begins
    auto flush = [&](std::size_t at) {
        s.flushBlock(bits, blockStart >= window.base ? in + blockStart : nullptr, at - blockStart);
        blockStart = at;
    };
    for (;;) {
        if (window.filled - p <= maxMatch) {
            window.fill(p);
            if (window.filled == p)
                break;
        }
        if (p > 0 && window.filled - p > maxMatch) {
            p = s.scanAhead(in, p, window.filled - maxMatch, flush);
            continue;
        }
        p += s.scanNearEnd(in, p, window.filled - p);
        if (s.symbolCount == symbolsPerBlock)
            flush(p);
    }
    if (s.symbolCount != 0)
        flush(p);
    bits.storedHeader(0); // the sync flush
    return static_cast<std::size_t>(bits.out - out);
}

} // namespace brivane

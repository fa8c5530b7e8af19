// A deflate coder made for the rows of painted pictures and masks: long runs
// of one byte and shapes repeated from the row above, found by looking
// there first, coded with Huffman tables built per block.
//
// Read in this order: the length and distance codes, the match finders
// (commonLength, runLength), the Huffman code lengths, then RowDeflater:
// addRow() finds the matches of a row, writeBlock() codes a block once
// enough is gathered, finish() ends the stream. The output is plain zlib:
// any inflater reads it, and the tests inflate it with zlib and libdeflate.

#include "core/files/rowdeflate.h"

#include <libdeflate.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <numeric>

namespace ink {

namespace {

// Tokens gathered before a block is written: small enough for the codes to
// follow the rows' statistics (a page's text and its drawings differ), large
// enough for the block headers to cost little.
constexpr size_t kBlockTokens = 4096;
constexpr size_t kMaxDistance = 32768;
constexpr size_t kMaxMatch = 258;
constexpr size_t kMinMatch = 3;
// Places where the bytes change are looked up by the shape that follows
// them, in a table of 2^kHashBits sets of the kWays newest places.
constexpr int kHashBits = 15;
constexpr int kWays = 8;
// A match ending in a run of one byte at least this long stops after the
// run's first byte: the run of the byte before codes the rest for a few
// bits, where another piece of a distant match would cost its distance again.
constexpr size_t kTrim = 4;
// A token is a literal byte, or a match with this bit set, its length in
// bits 16..24 and its distance in bits 0..15 (32768 stored as 0).
constexpr quint32 kMatchFlag = 0x80000000u;

constexpr int kLitLenSymbols = 286;
constexpr int kDistSymbols = 30;
constexpr int kCodeLengthSymbols = 19;
constexpr int kEndOfBlock = 256;

constexpr std::array<int, 29> kLengthBase = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                             15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                             67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr std::array<int, 29> kLengthExtra = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                              2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::array<int, 30> kDistBase = {
    1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr std::array<int, 30> kDistExtra = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                            6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr std::array<int, kCodeLengthSymbols> kCodeLengthOrder = {
    16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// The length code (0..28, for symbols 257..285) of each match length.
const std::array<uchar, kMaxMatch + 1> kLengthCode = [] {
    std::array<uchar, kMaxMatch + 1> codes{};
    for (int length = int(kMinMatch); length <= int(kMaxMatch); ++length) {
        int code = 0;
        while (code + 1 < 29 && kLengthBase[size_t(code) + 1] <= length)
            ++code;
        // 258 has a code of its own; 284 with all extra bits set is not used.
        codes[size_t(length)] = uchar(length == 258 ? 28 : std::min(code, 27));
    }
    return codes;
}();

int distanceCode(size_t distance) {
    int code = 0;
    while (code + 1 < kDistSymbols && size_t(kDistBase[size_t(code) + 1]) <= distance)
        ++code;
    return code;
}

// Bytes from `a` equal to `b`, at most `n`, compared eight at a time.
size_t commonLength(const uchar *a, const uchar *b, size_t n) {
    size_t i = 0;
    while (i + 8 <= n) {
        quint64 x, y;
        std::memcpy(&x, a + i, 8);
        std::memcpy(&y, b + i, 8);
        if (x != y)
            return i + size_t(__builtin_ctzll(x ^ y) / 8);
        i += 8;
    }
    while (i < n && a[i] == b[i])
        ++i;
    return i;
}

// Bytes from `a` equal to `byte`, at most `n`.
size_t runLength(const uchar *a, uchar byte, size_t n) {
    const quint64 all = 0x0101010101010101ull * byte;
    size_t i = 0;
    while (i + 8 <= n) {
        quint64 x;
        std::memcpy(&x, a + i, 8);
        if (x != all)
            return i + size_t(__builtin_ctzll(x ^ all) / 8);
        i += 8;
    }
    while (i < n && a[i] == byte)
        ++i;
    return i;
}

// The canonical codes of these lengths, bit-reversed for writing the lowest
// bit first.
void canonicalCodes(const uchar *lengths, int symbols, quint32 *codes) {
    std::array<int, 16> count{};
    for (int s = 0; s < symbols; ++s)
        ++count[lengths[s]];
    count[0] = 0;
    std::array<quint32, 16> next{};
    quint32 code = 0;
    for (int l = 1; l < 16; ++l) {
        code = (code + quint32(count[size_t(l) - 1])) << 1;
        next[size_t(l)] = code;
    }
    for (int s = 0; s < symbols; ++s) {
        const int l = lengths[s];
        if (l == 0)
            continue;
        quint32 c = next[size_t(l)]++;
        quint32 reversed = 0;
        for (int i = 0; i < l; ++i) {
            reversed = (reversed << 1) | (c & 1);
            c >>= 1;
        }
        codes[s] = reversed;
    }
}

// Makes sure at least two symbols are used.
void atLeastTwo(quint32 *frequency, int symbols) {
    int used = 0;
    for (int s = 0; s < symbols; ++s)
        used += frequency[s] > 0;
    for (int s = 0; used < 2; ++s) {
        if (frequency[s] == 0) {
            frequency[s] = 1;
            ++used;
        }
    }
}

}  // namespace

void codeLengths(const quint32 *frequency, int symbols, int limit, uchar *lengths) {
    std::fill(lengths, lengths + symbols, uchar(0));
    std::vector<int> used;
    for (int s = 0; s < symbols; ++s) {
        if (frequency[s] > 0)
            used.push_back(s);
    }
    std::stable_sort(used.begin(), used.end(),
                     [frequency](int a, int b) { return frequency[a] < frequency[b]; });
    const size_t leaves = used.size();
    // Huffman's tree with two queues: the leaves in order of frequency and
    // the inner nodes, made in order of weight.
    std::vector<quint64> weight(2 * leaves - 1);
    std::vector<size_t> parent(2 * leaves - 1, 0);
    for (size_t i = 0; i < leaves; ++i)
        weight[i] = frequency[used[i]];
    size_t leaf = 0;
    size_t inner = leaves;
    for (size_t node = leaves; node < 2 * leaves - 1; ++node) {
        for (int child = 0; child < 2; ++child) {
            const bool takeLeaf = leaf < leaves && (inner >= node || weight[leaf] <= weight[inner]);
            const size_t chosen = takeLeaf ? leaf++ : inner++;
            parent[chosen] = node;
            weight[node] += weight[chosen];
        }
    }
    std::vector<int> depth(2 * leaves - 1, 0);
    std::array<int, 64> count{};
    for (size_t node = 2 * leaves - 1; node-- > 0;) {
        if (node + 1 < 2 * leaves - 1)
            depth[node] = depth[parent[node]] + 1;
        if (node < leaves)
            ++count[size_t(std::min(depth[node], limit))];
    }
    // Too long codes shortened: those past the limit take it, and the sum of
    // 2^-length is brought back to 1 by lengthening shorter ones.
    quint64 total = 0;
    for (int l = 1; l <= limit; ++l)
        total += quint64(count[size_t(l)]) << (limit - l);
    while (total > (quint64(1) << limit)) {
        --count[size_t(limit)];
        for (int l = limit - 1; l > 0; --l) {
            if (count[size_t(l)] > 0) {
                --count[size_t(l)];
                count[size_t(l) + 1] += 2;
                break;
            }
        }
        --total;
    }
    // The rarest symbols take the longest codes.
    size_t next = 0;
    for (int l = limit; l > 0; --l) {
        for (int i = 0; i < count[size_t(l)]; ++i)
            lengths[used[next++]] = uchar(l);
    }
}

RowDeflater::RowDeflater(size_t rowLength, bool mayGiveUp)
    : m_rowLength(rowLength),
      m_mayGiveUp(mayGiveUp),
      m_window(kMaxDistance + 2 * rowLength),
      m_places(size_t(kWays) << kHashBits, 0) {
    m_tokens.reserve(kBlockTokens + 2 * rowLength);
    m_out = {0x78, 0x5E};  // deflate, a 32 KB window, a fast level
}

void RowDeflater::literal(uchar byte) {
    m_tokens.push_back(byte);
    ++m_literals;
}

void RowDeflater::match(size_t length, size_t distance) {
    while (length > 0) {
        // Lengths of 259 and 260 are split so that no piece is below 3.
        size_t piece = length;
        if (piece > kMaxMatch)
            piece = length - kMaxMatch < kMinMatch ? length - kMinMatch : kMaxMatch;
        m_tokens.push_back(kMatchFlag | quint32(piece) << 16 | quint32(distance & 0xFFFF));
        length -= piece;
    }
}

size_t RowDeflater::shapeMatch(const uchar *row, size_t i, size_t *distance) {
    const size_t n = m_rowLength;
    const size_t here = m_bytesIn + i;
    // The shape from here: the byte and length of the next three runs.
    quint64 key = 0x9E3779B97F4A7C15ull;
    size_t lengths[3] = {0, 0, 0};
    for (size_t r = 0, at = i; r < 3 && at < n; ++r) {
        // Longer than a match can be, runs count as the same.
        lengths[r] = runLength(row + at, row[at], std::min(n - at, kMaxMatch + 1));
        key = (key ^ (quint64(row[at]) << 32 | lengths[r])) * 0x9E3779B97F4A7C15ull;
        at += lengths[r];
    }
    const size_t slot = size_t(key >> (64 - kHashBits)) * size_t(kWays);
    const uchar *window = m_window.data() - m_windowStart;
    const size_t most = std::min(n - i, kMaxMatch);
    size_t best = 0;
    for (int w = 0; w < kWays; ++w) {
        const quint32 stored = m_places[slot + size_t(w)];
        if (stored == 0)
            break;
        // Places are kept in 32 bits: past 4 GB of stream an old place may
        // alias a recent one, which the comparison of the bytes then judges
        // as any other candidate.
        const size_t back = quint32(here) - (stored - 1);
        if (back == 0 || back > kMaxDistance || back > here || here - back < m_windowStart)
            break;
        const size_t from = here - back;
        size_t length = commonLength(row + i, window + from, most);
        if (length > kTrim && length < most) {
            const uchar last = row[i + length - 1];
            const quint64 all = 0x0101010101010101ull * last;
            size_t k = length - 1;
            for (quint64 word; k >= 8; k -= 8) {
                std::memcpy(&word, row + i + k - 8, 8);
                if (word != all)
                    break;
            }
            while (k > 0 && row[i + k - 1] == last)
                --k;
            if (length - k >= kTrim)
                length = k + 1;
        }
        if (length > best) {
            best = length;
            *distance = here - from;
        }
    }
    for (int w = kWays - 1; w > 0; --w)
        m_places[slot + size_t(w)] = m_places[slot + size_t(w) - 1];
    m_places[slot] = quint32(here + 1);
    // Worth more than a literal and a run of it, which code the first run.
    return best >= kMinMatch && best > lengths[0] ? best : 0;
}

bool RowDeflater::addRow(const uchar *added) {
    if (m_gaveUp)
        return false;
    const size_t n = m_rowLength;
    // The window keeps at least the last 32 KB and the row being added.
    if (m_windowSize + n > m_window.size()) {
        const size_t keep = std::min(m_windowSize, kMaxDistance);
        std::memmove(m_window.data(), m_window.data() + m_windowSize - keep, keep);
        m_windowStart += m_windowSize - keep;
        m_windowSize = keep;
    }
    uchar *const row = m_window.data() + m_windowSize;
    std::memcpy(row, added, n);
    m_windowSize += n;
    size_t i = 0;
    while (i < n) {
        const size_t run = m_bytesIn + i > 0 ? runLength(row + i, row[qptrdiff(i) - 1], n - i) : 0;
        if (run >= kMinMatch) {
            match(run, 1);
            i += run;
            continue;
        }
        size_t distance = 0;
        const size_t length = shapeMatch(row, i, &distance);
        if (length > 0) {
            match(length, distance);
            i += length;
        } else {
            literal(row[i]);
            ++i;
        }
    }
    m_adler = quint32(libdeflate_adler32(m_adler, row, n));
    m_bytesIn += n;
    if (m_mayGiveUp && m_literals > 4 * n + m_bytesIn / 16) {
        m_gaveUp = true;
        return false;
    }
    if (m_tokens.size() >= kBlockTokens)
        writeBlock(false);
    return true;
}

void RowDeflater::putBits(quint64 bits, int count) {
    m_bitBuffer |= bits << m_bitCount;
    m_bitCount += count;
    while (m_bitCount >= 8) {
        m_out.push_back(uchar(m_bitBuffer));
        m_bitBuffer >>= 8;
        m_bitCount -= 8;
    }
}

void RowDeflater::writeBlock(bool last) {
    std::array<quint32, kLitLenSymbols> litLenFrequency{};
    std::array<quint32, kDistSymbols> distFrequency{};
    for (const quint32 token : m_tokens) {
        if (token & kMatchFlag) {
            const size_t length = (token >> 16) & 0x1FF;
            const size_t distance = (token & 0xFFFF) ? (token & 0xFFFF) : kMaxDistance;
            ++litLenFrequency[257 + size_t(kLengthCode[length])];
            ++distFrequency[size_t(distanceCode(distance))];
        } else {
            ++litLenFrequency[token];
        }
    }
    litLenFrequency[kEndOfBlock] = 1;
    atLeastTwo(litLenFrequency.data(), kLitLenSymbols);
    atLeastTwo(distFrequency.data(), kDistSymbols);
    std::array<uchar, kLitLenSymbols + kDistSymbols> lengths{};
    uchar *const litLenLengths = lengths.data();
    uchar *const distLengths = lengths.data() + kLitLenSymbols;
    codeLengths(litLenFrequency.data(), kLitLenSymbols, 15, litLenLengths);
    codeLengths(distFrequency.data(), kDistSymbols, 15, distLengths);
    int litLenCount = kLitLenSymbols;
    while (litLenLengths[litLenCount - 1] == 0)
        --litLenCount;
    int distCount = kDistSymbols;
    while (distLengths[distCount - 1] == 0)
        --distCount;

    // The code lengths of both codes in one sequence, runs of a length coded
    // with symbols 16 (repeat the last 3..6 times), 17 and 18 (3..10 and
    // 11..138 zeros).
    std::vector<uchar> sequence(lengths.begin(), lengths.begin() + litLenCount);
    sequence.insert(sequence.end(), distLengths, distLengths + distCount);
    struct Item {
        uchar symbol;
        uchar extra;
    };
    std::vector<Item> items;
    for (size_t i = 0; i < sequence.size();) {
        const uchar value = sequence[i];
        size_t run = 1;
        while (i + run < sequence.size() && sequence[i + run] == value)
            ++run;
        i += run;
        if (value == 0) {
            while (run >= 11) {
                const size_t piece = std::min<size_t>(run, 138);
                items.push_back({18, uchar(piece - 11)});
                run -= piece;
            }
            if (run >= 3) {
                items.push_back({17, uchar(run - 3)});
                run = 0;
            }
        } else {
            items.push_back({value, 0});
            --run;
            while (run >= 3) {
                const size_t piece = std::min<size_t>(run, 6);
                items.push_back({16, uchar(piece - 3)});
                run -= piece;
            }
        }
        for (; run > 0; --run)
            items.push_back({value, 0});
    }
    std::array<quint32, kCodeLengthSymbols> clFrequency{};
    for (const Item &item : items)
        ++clFrequency[item.symbol];
    atLeastTwo(clFrequency.data(), kCodeLengthSymbols);
    std::array<uchar, kCodeLengthSymbols> clLengths{};
    codeLengths(clFrequency.data(), kCodeLengthSymbols, 7, clLengths.data());
    int clCount = kCodeLengthSymbols;
    while (clCount > 4 && clLengths[size_t(kCodeLengthOrder[size_t(clCount) - 1])] == 0)
        --clCount;

    std::array<quint32, kLitLenSymbols> litLenCodes{};
    std::array<quint32, kDistSymbols> distCodes{};
    std::array<quint32, kCodeLengthSymbols> clCodes{};
    canonicalCodes(litLenLengths, kLitLenSymbols, litLenCodes.data());
    canonicalCodes(distLengths, kDistSymbols, distCodes.data());
    canonicalCodes(clLengths.data(), kCodeLengthSymbols, clCodes.data());

    putBits(last ? 1 : 0, 1);
    putBits(2, 2);  // Huffman codes of its own
    putBits(quint64(litLenCount - 257), 5);
    putBits(quint64(distCount - 1), 5);
    putBits(quint64(clCount - 4), 4);
    for (int i = 0; i < clCount; ++i)
        putBits(clLengths[size_t(kCodeLengthOrder[size_t(i)])], 3);
    for (const Item &item : items) {
        putBits(clCodes[item.symbol], clLengths[item.symbol]);
        if (item.symbol == 16)
            putBits(item.extra, 2);
        else if (item.symbol == 17)
            putBits(item.extra, 3);
        else if (item.symbol == 18)
            putBits(item.extra, 7);
    }
    for (const quint32 token : m_tokens) {
        if (token & kMatchFlag) {
            const size_t length = (token >> 16) & 0x1FF;
            const size_t distance = (token & 0xFFFF) ? (token & 0xFFFF) : kMaxDistance;
            const size_t lc = kLengthCode[length];
            const int dc = distanceCode(distance);
            putBits(litLenCodes[257 + lc], litLenLengths[257 + lc]);
            putBits(quint64(length) - quint64(kLengthBase[lc]), kLengthExtra[lc]);
            putBits(distCodes[size_t(dc)], distLengths[dc]);
            putBits(quint64(distance) - quint64(kDistBase[size_t(dc)]), kDistExtra[size_t(dc)]);
        } else {
            putBits(litLenCodes[token], litLenLengths[token]);
        }
    }
    putBits(litLenCodes[kEndOfBlock], litLenLengths[kEndOfBlock]);
    m_tokens.clear();
}

const std::vector<uchar> &RowDeflater::finish() {
    writeBlock(true);
    if (m_bitCount > 0)
        putBits(0, 8 - m_bitCount);
    for (int shift = 24; shift >= 0; shift -= 8)
        m_out.push_back(uchar(m_adler >> shift));
    return m_out;
}

}  // namespace ink

#pragma once

// A zlib stream made row by row for pictures whose filtered rows are mostly
// runs of one byte, as a painted picture's are: black and white pixels give
// long runs of 00 where a row repeats the one above, and short runs of 01 or
// FF where a stroke begins or ends. A run is coded as a repeat of the byte
// before it. Where the bytes change, the shape that follows (the byte and
// length of the next three runs) is looked up among the places of the last
// 32 KB that began with the same shape, and the longest match found is
// taken: strokes, hatching and lettering repeat along a row and from one row
// to the next. Anything else is a literal. Each block of a few thousand of
// these gets Huffman codes of its own. On a painted page this is about the
// size a general deflater gives at its middle levels, in a fraction of the
// time, since the runs are passed over a word at a time. On pictures of
// other content it gives up early (addRow() says so), for the caller to
// compress the rows as before.

#include <QtGlobal>

#include <cstddef>
#include <vector>

namespace ink {

class RowDeflater {
public:
    // For rows of `rowLength` bytes each (the filter type byte included).
    // With `mayGiveUp` false it never gives up, whatever the rows hold.
    explicit RowDeflater(size_t rowLength, bool mayGiveUp = true);

    // Adds the next row. Returns false once the rows seen show too few runs
    // for this coder to compress them well: it then takes no more rows.
    bool addRow(const uchar *row);

    // Ends the stream and returns it: a zlib header, the deflated rows, and
    // the Adler-32 checksum of everything added.
    const std::vector<uchar> &finish();

private:
    size_t shapeMatch(const uchar *row, size_t i, size_t *distance);
    void literal(uchar byte);
    void match(size_t length, size_t distance);
    void writeBlock(bool last);
    void putBits(quint64 bits, int count);

    size_t m_rowLength;
    bool m_mayGiveUp;
    bool m_gaveUp = false;
    // The last 32 KB or more of the stream, from stream position
    // m_windowStart, and the row being added, for matches.
    std::vector<uchar> m_window;
    size_t m_windowStart = 0;
    size_t m_windowSize = 0;
    // Places where the bytes change, by the shape after them: stream
    // positions + 1, modulo 2^32, the newest first in each set.
    std::vector<quint32> m_places;
    size_t m_bytesIn = 0;
    size_t m_literals = 0;
    quint32 m_adler = 1;
    std::vector<quint32> m_tokens;  // the block being gathered
    std::vector<uchar> m_out;
    quint64 m_bitBuffer = 0;
    int m_bitCount = 0;
};

// Huffman code lengths of at most `limit` bits for symbols of these
// frequencies, none for a frequency of 0: optimal when no code is longer,
// else the longest ones shortened and shorter ones lengthened until the code
// is complete again, the most frequent symbols keeping the shortest codes.
// At least two symbols must be used, which keeps the code complete as
// strict decoders want.
void codeLengths(const quint32 *frequency, int symbols, int limit, uchar *lengths);

}  // namespace ink

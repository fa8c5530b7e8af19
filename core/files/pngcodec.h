#pragma once

// PNG files for the kinds of pictures the programs read and write most: the
// scans (8-bit grey, RGB, grey + alpha, RGBA, palette; grey and palette in
// 1, 2 and 4 bits too) and the outputs (the painted picture as 8-bit RGB, the
// mask as a 1-bit palette picture). Rows are inflated and deflated whole
// with libdeflate, and filtered or unfiltered here. Anything else is left to
// Qt's reader and writer, which then decide as they always have.

#include <QByteArrayView>
#include <QImage>

#include <functional>

class QIODevice;

namespace ink {

// True when writePng() writes `image`: a Format_RGB32 picture or a
// Format_Mono picture with two colours, carrying no text and no colour space
// (Qt's writer stores those; these files would lose them).
bool pngWrites(const QImage &image);

// Writes `image` (pngWrites() must be true) as a PNG file: 8-bit RGB for a
// picture, a 1-bit palette picture for a mono one, with the image's
// resolution in a pHYs chunk as Qt's writer does, every row filtered with
// Up. A picture goes to the row coder (rowdeflate.h), which gives a painted
// picture about the size Qt's writer does, several times faster, and leaves
// a picture of other content to libdeflate's level 6; a mask goes to level
// 3, within a few per cent of Qt's size. Returns false with the
// reason in `error` when memory runs out; the device's failures are for the
// caller to find.
bool writePng(const QImage &image, QIODevice *device, QString *error);

// The same, using a
// picture's own pixels as the working buffer for its filtered rows instead
// of taking as much memory again: `image` holds nothing of use afterwards,
// but keeps its size and format (its buffer can take the next picture read).
bool writePngConsuming(QImage &image, QIODevice *device, QString *error);

// Decodes `bytes`, a whole PNG file, into `picture` as 32-bit RGB (its
// buffer reused when it has the size and format), transparent pixels laid on
// white paper as layOnWhitePaper() does, and the resolution of a pHYs chunk.
// `checkSize` is called with the header's size before any pixel memory is
// taken, and may throw. `bytes` may lie in `picture`'s own buffer, within the
// room pngRoomBeforeRows() gives. Returns false, with `picture` holding nothing of use,
// for any file it leaves to Qt's reader: an interlaced or 16-bit one, one
// with text or colour-space chunks (Qt keeps them with the picture), and any
// file with something amiss (a bad checksum, a damaged stream, too little
// or too much pixel data, an unknown critical chunk), for that reader to
// refuse or accept as it does.
bool readPng(QByteArrayView bytes, QImage *picture, const std::function<void(QSize)> &checkSize);

// For a PNG file beginning with `head` (at least its signature and header
// chunk, kPngHeadBytes bytes): the picture's size, and how many bytes at the
// start of the picture's buffer readPng() leaves free of its inflated rows.
// A file no longer than that may be read there and decoded from there, the
// picture's buffer then being the file's too. 0 (and an empty size) for a
// header readPng() would leave to Qt's reader or refuse, and when the rows
// are inflated elsewhere.
constexpr qsizetype kPngHeadBytes = 33;
size_t pngRoomBeforeRows(QByteArrayView head, QSize *size);

// The decoders' target: `picture` made a 32-bit RGB picture of `size`, its
// buffer kept when it already is one with no text or colour space, its
// resolution that of a fresh picture; its pixels' memory. Throws
// std::bad_alloc when there is none.
uchar *reusePicture(QImage *picture, QSize size);

// On the calling thread, keeps the working buffers of reading and writing
// picture files (the file's bytes, inflated and filtered rows) from one file
// to the next, as the batch tool does, instead of giving them back after each
// file: a run of many pages then does not fault fresh memory in for each.
void keepCodecBuffers(bool keep);
bool codecBuffersKept();

// True when `bytes` start with the PNG signature.
bool isPng(QByteArrayView bytes);

}  // namespace ink

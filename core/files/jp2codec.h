#pragma once

// JPEG 2000 masters, as JP2 files and as bare codestreams (.j2k, .j2c),
// decoded by OpenJPEG into 32-bit RGB. Qt has no reader for them.

#include <QByteArrayView>
#include <QImage>
#include <QString>

#include <functional>

namespace ink {

// True when `bytes` start with a JP2 file's signature box, or with a bare
// codestream's start-of-codestream marker and its size segment.
bool isJpeg2000(QByteArrayView bytes);

// Decodes `bytes`, a whole JPEG 2000 file, into `picture` as 32-bit RGB (its
// buffer reused when it has the size and format), laid on white paper where
// it has an alpha channel, with the resolution of a JP2 file's capture or
// display resolution box. Grey, RGB and sYCC pictures of 1 to 16 bits a
// sample are read, signed or not, sub-sampled components too; samples of
// more than 8 bits are scaled to 8 as the other readers scale 16-bit ones.
// `checkSize` is called with the picture's size before any pixel memory is
// taken, and may throw. Returns an empty text on success; otherwise why the
// file is refused, for "Invalid picture (...)": "damaged JPEG 2000 data: "
// and OpenJPEG's words, or what it holds that is not read. OpenJPEG's
// messages never reach standard error; its warnings that mean samples were
// made up (data that stops early) refuse the file. Raises error 7 when
// OpenJPEG runs out of memory.
QString readJpeg2000(QByteArrayView bytes, QImage *picture,
                     const std::function<void(QSize)> &checkSize);

// How many threads OpenJPEG decodes a large file on: 0 (the default) for
// the machine's cores shared among the files being decoded at the time (the
// batch tool's workers each decode one). A file of less than half a
// megabyte is always decoded on the calling thread alone.
void setJpeg2000Threads(int threads);

}  // namespace ink

#pragma once

// JPEG scans decoded by libjpeg straight into 32-bit RGB, the layout the
// passes read, with the settings Qt's reader uses (so the same pixels), and
// no conversion of the rows afterwards.

#include <QByteArrayView>
#include <QImage>
#include <QString>

#include <functional>

namespace ink {

// True when `bytes` start with a JPEG start-of-image marker.
bool isJpeg(QByteArrayView bytes);

// Decodes `bytes`, a whole JPEG file, into `picture` as 32-bit RGB (its
// buffer reused when it has the size and format) with the resolution of its
// JFIF header. `checkSize` is called with the picture's size before any
// pixel memory is taken, and may throw. Returns false, with `picture`
// holding nothing of use, for any file it leaves to Qt's reader: one with
// other than 1 or 3 components (CMYK), one carrying metadata Qt keeps or acts
// on (EXIF, colour profiles, comments, any application segment but JFIF's),
// any file libjpeg refuses, and any file whose data libjpeg gets past only by
// making pixels up (see jpegDamage).
bool readJpeg(QByteArrayView bytes, QImage *picture, const std::function<void(QSize)> &checkSize);

// Why libjpeg would make pixels up to decode `bytes`, whatever reader decodes
// them, in libjpeg's words ("premature end of data segment"); empty when it
// decodes every pixel from the file, when `bytes` are not a JPEG file, and
// when libjpeg refuses the file (its reader then says why). Data that stops
// before its blocks do, left over after them, a lost restart marker or an
// invalid code are damage; warnings about metadata and stray bytes between
// the header's segments are not. Decodes the data at an eighth of the size;
// `checkSize` is called as for readJpeg().
QString jpegDamage(QByteArrayView bytes, const std::function<void(QSize)> &checkSize);

}  // namespace ink

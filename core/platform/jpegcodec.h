#pragma once

// JPEG scans decoded by libjpeg straight into 32-bit RGB, the layout the
// passes read, with the settings Qt's reader uses (so the same pixels), and
// no conversion of the rows afterwards.

#include <QByteArrayView>
#include <QImage>

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
// and any file libjpeg refuses.
bool readJpeg(QByteArrayView bytes, QImage *picture, const std::function<void(QSize)> &checkSize);

}  // namespace ink

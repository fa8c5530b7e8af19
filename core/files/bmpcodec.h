#pragma once

// BMP pictures larger than Qt's reader takes: it refuses any of more than
// 16384 x 16384 pixels, whatever memory is allowed, and an A0 sheet at
// 600 dpi has twice as many. Those are decoded here, into 32-bit RGB.

#include <QByteArrayView>
#include <QImage>
#include <QString>

#include <functional>

namespace ink {

// Pixels above which Qt's BMP reader refuses a picture.
constexpr qint64 kQtBmpPixelLimit = qint64(16384) * 16384;

// True when `bytes`, a whole file, are a BMP file whose header gives more
// pixels than Qt's reader takes.
bool bmpBeyondQt(QByteArrayView bytes);

// Decodes `bytes`, a whole BMP file whose rows are all there (see
// endsEarly), into `picture` as 32-bit RGB, as Qt's reader decodes the same
// file: uncompressed, with 1, 4 or 8 bits a pixel and a colour table, or 24
// or 32 bits (the fourth byte unused), rows bottom to top or top to bottom,
// the resolution of its header. `checkSize` is called with the picture's
// size before any pixel memory is taken, and may throw. Returns an empty
// text when decoded; otherwise why not, with `picture` holding nothing of use.
QString readBmp(QByteArrayView bytes, QImage *picture, const std::function<void(QSize)> &checkSize);

}  // namespace ink

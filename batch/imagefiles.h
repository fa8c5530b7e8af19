#pragma once

#include "image/packedmask.h"

#include <QImage>
#include <QString>

namespace ink {

// Writes `image` as PNG or TIFF, by the file name's extension, through a
// temporary file in the target folder that is renamed into place only once
// complete: a failed write leaves no partial file and keeps any file that was
// there. On failure returns false with the reason in `error`.
bool writeImageFile(const QImage &image, const QString &path, QString *error);

// The mask as a 1-bit picture of the size and resolution of `picture`, black
// where the mask is True (ink), from cells (0..width-1, 0..height-1).
QImage maskImage(const PackedMask &mask, const QImage &picture);

}  // namespace ink

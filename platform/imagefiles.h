#pragma once

#include "image/packedmask.h"

#include <QImage>
#include <QString>

namespace ink {

// Writes `image` as PNG or TIFF, by the file name's extension, through a
// temporary file with a short name (".inkmask-XXXXXX") in the target folder,
// synced and renamed into place only once complete: a failed write leaves no
// partial file and keeps any file that was there. A symbolic link is written
// through, to the file it names. On failure returns false with the reason in
// `error`: the system's text for a device that failed ("No space left on
// device"), the writer's for anything else.
bool writeImageFile(const QImage &image, const QString &path, QString *error);

// The file format for a file name's extension: "png", "tiff", or empty.
QByteArray imageFormatFor(const QString &fileName);

// Why a picture of `size` cannot be written as `path`'s format, or empty when
// it can: PNG holds at most 1,000,000 pixels in width and height.
QString imageSizeProblem(QSize size, const QString &path);

// The temporary files being written are kept in a table made once, before
// the workers start, for `writers` writers at a time (a writer beyond them
// writes unlisted). removeTemporaryFiles() deletes the listed ones and keeps
// any more from being made; it only makes async-signal-safe calls, for a
// signal handler that ends the program.
void reserveTemporaryFiles(int writers);
void removeTemporaryFiles();

// The file a write to `path` reaches: absolute, every symbolic link followed
// (a dangling one too, and within folders not made yet), "." and ".." taken
// on the folders the links lead to. In the file system's bytes.
QByteArray resolvedFileName(const QByteArray &path);

// The mask as a 1-bit picture of the size and resolution of `picture`, black
// where the mask is True (ink), from cells (0..width-1, 0..height-1).
QImage maskImage(const PackedMask &mask, const QImage &picture);

}  // namespace ink

#pragma once

// Writing pictures and masks to files, for every program: the formats that
// can be written, one table row each, the names outputs take, the mask as a
// 1-bit picture and the atomic write itself. No widget is involved.

#include "core/image/maskarray.h"
#include "core/image/packedmask.h"

#include <QByteArray>
#include <QImage>
#include <QList>
#include <QString>
#include <QStringList>

class QIODevice;

namespace ink {

// What an output file holds: the black-and-white mask (a 1-bit picture) or
// the painted picture (32-bit RGB).
enum class ImageContent { Mask, Picture };

// A file format the writer produces: one row of outputFormats().
struct OutputFormat {
    QString label;           // its name in messages: "PNG"
    QStringList extensions;  // lower case; the first one names new files
    QByteArray writerName;   // Qt's name for it, "png", and its writer unless `write` is set
    bool holdsMask = false;
    bool holdsPicture = false;
    int sizeLimit = 0;  // most pixels in width and in height; 0 for no limit
    // Options for Qt's writer, where its defaults will not do.
    QByteArray subType;
    int compression = -1;
    // A writer of its own, for a format that Qt's writers do not produce. It
    // returns false with a description in `error` when the image cannot be
    // written; the device's own failures are reported by the caller.
    bool (*write)(const QImage &image, QIODevice *device, QString *error) = nullptr;

    bool holds(ImageContent content) const {
        return content == ImageContent::Mask ? holdsMask : holdsPicture;
    }
};

// Every format the writer produces, one row each. The first, PNG, is the one
// an output named after an input takes when the input's own format cannot
// hold it.
const QList<OutputFormat> &outputFormats();

// The format of a file name's extension, whatever its case; null when no
// format has it.
const OutputFormat *outputFormatFor(const QString &fileName);

// The extensions that can hold `content`, for messages: ".png, .tif or .tiff".
QString outputExtensions(ImageContent content);

// What `content` is, in messages: "the mask", "the painted picture".
QString contentDescription(ImageContent content);

// The name, without its folder, of the file that gets `content` for the
// input `input`: the input's base name, and its own extension when its
// format can hold `content` (TIFF stays TIFF, .tif or .tiff as written),
// else the first format's. That one is always written in lower case.
QString outputFileName(const QString &input, ImageContent content);

// Writes `image` in the format of the file name's extension, through a
// temporary file with a short name (".inkmask-XXXXXX") in the target folder,
// synced and renamed into place only once complete: a failed write leaves no
// partial file and keeps any file that was there. A symbolic link is written
// through, to the file it names. On failure returns false with the reason in
// `error`: the system's text for a device that failed ("No space left on
// device"), the writer's for anything else. A 1-bit image is written as a
// mask, any other as a picture; a format that cannot hold it refuses it.
// `digest`, when given, receives the contentDigest() hex of the bytes written.
bool writeImageFile(const QImage &image, const QString &path, QString *error,
                    QByteArray *digest = nullptr);

// The same, free to use the image's pixels as working memory (the PNG
// encoder filters the painted picture's rows there): `image` holds nothing
// of use afterwards, but keeps its buffer, size and format.
bool writeImageFile(QImage &&image, const QString &path, QString *error,
                    QByteArray *digest = nullptr);

// Qt's name for the format of a file name's extension: "png", "tiff", "pbm",
// or empty.
QByteArray imageFormatFor(const QString &fileName);

// Why a picture of `size` cannot be written as `path`'s format, or empty when
// it can: PNG holds at most 1,000,000 pixels in width and height. The message
// suggests the first format with no limit.
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
// where the mask is True (ink), from cells (0..width-1, 0..height-1); the
// batch tool's packed masks and the window's give the same image. A mask
// smaller than the picture raises error 9. A null image when memory runs out.
QImage maskImage(const PackedMask &mask, const QImage &picture);
QImage maskImage(const MaskArray &mask, const QImage &picture);

}  // namespace ink

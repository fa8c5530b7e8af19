#pragma once

// Writing pictures and masks to files, for every program: the formats that
// can be written, one table row each, the names outputs take, the mask as a
// 1-bit picture and the atomic write itself. No widget is involved.

#include "core/files/georef.h"
#include "core/image/packedmask.h"

#include <QByteArray>
#include <QImage>
#include <QList>
#include <QString>
#include <QStringList>

#include <atomic>
#include <memory>
#include <vector>

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
// temporary file in the target folder, synced and renamed into place only
// once complete: a failed write leaves no partial file and keeps any file
// that was there. A symbolic link is written through, to the file it names.
// On failure returns false with the reason in `error`: the system's text for
// a device that failed ("No space left on device"), the writer's for
// anything else. A 1-bit image is written as a mask, any other as a
// picture; a format that cannot hold it refuses it. An OutputSet of one.
// `digest`, when given, receives the contentDigest() hex of the bytes written.
bool writeImageFile(const QImage &image, const QString &path, QString *error,
                    QByteArray *digest = nullptr);

// The same, free to use the image's pixels as working memory (the PNG
// encoder filters the painted picture's rows there): `image` holds nothing
// of use afterwards, but keeps its buffer, size and format.
bool writeImageFile(QImage &&image, const QString &path, QString *error,
                    QByteArray *digest = nullptr);

// The outputs of one input, written all or none: add() writes each to a
// temporary file beside its target and syncs it, commit() renames them all
// into place at once, with the signals that end the program held, and then
// syncs their folders. Until commit() every file named is as it was; the
// temporaries not committed are removed when the set goes.
class OutputSet {
public:
    OutputSet();
    ~OutputSet();
    OutputSet(const OutputSet &) = delete;
    OutputSet &operator=(const OutputSet &) = delete;

    // As writeImageFile(), into the temporary. False with the reason. A
    // TIFF file gets `geoTags` too (the scan's georeferencing).
    bool add(const QImage &image, const QString &path, QString *error, QByteArray *digest = nullptr,
             const QList<GeoTiffTag> &geoTags = {});
    bool add(QImage &&image, const QString &path, QString *error, QByteArray *digest = nullptr,
             const QList<GeoTiffTag> &geoTags = {});
    // A file of `bytes` as they are (a world file), likewise.
    bool add(const QByteArray &bytes, const QString &path, QString *error,
             QByteArray *digest = nullptr);

    // Renames every temporary onto its file. Nothing is renamed, and false
    // is returned, when `interrupt` is set or removeTemporaryFiles() has run;
    // then `error` says the run was interrupted. On a rename that fails,
    // false with failedPath() and the reason (the files renamed before it
    // keep their new contents).
    bool commit(QString *error, const std::atomic<bool> *interrupt = nullptr);

    // The files, in the order added.
    const QStringList &paths() const { return m_paths; }
    QString failedPath() const { return m_failed; }

private:
    struct Pending;
    template <typename Write>
    bool addFile(const QString &path, QString *error, QByteArray *digest, Write &&write);

    std::vector<std::unique_ptr<Pending>> m_pending;
    QStringList m_paths;
    QString m_failed;
};

// Qt's name for the format of a file name's extension: "png", "tiff", "pbm",
// or empty.
QByteArray imageFormatFor(const QString &fileName);

// Why a picture of `size` cannot be written as `path`'s format, or empty when
// it can: PNG holds at most 1,000,000 pixels in width and height. The message
// suggests the first format with no limit.
// `instead` replaces that suggestion, for an output whose format is fixed.
QString imageSizeProblem(QSize size, const QString &path, const QString &instead = {});

// Why `path` may not be replaced by an output, or empty when it may: what is
// there, directly or through links, is not a regular file (a folder, a
// device, a named pipe, a socket), or it is write-protected. Write-protected
// is judged by the mode bits of the caller's class (owner, group, others),
// as they stand for everyone but root, so that root too keeps a file whose
// write bit is off; and by access() for the others (ACLs). A file that does
// not exist yet may be written. `resolved` is resolvedFileName(path).
QString outputFileProblem(const QString &path, const QByteArray &resolved);
QString outputFileProblem(const QString &path);

// Why the world file `world` of an output of `input` may not be written, or
// empty when it may: it is `input` itself or the input's own world file
// `inputWorld` (either name, links followed, or the same file on disk), or
// outputFileProblem() finds it may not be replaced.
QString worldFileProblem(const QString &world, const QString &input, const QString &inputWorld);

// Why nothing can be made in the folder of the file `resolved`, or empty.
// With `madeWhenMissing` a folder still to be made is judged by the nearest
// one that exists; without, a missing folder is the problem itself.
QString outputFolderProblem(const QByteArray &resolved, bool madeWhenMissing);

// The temporary files being written are kept in a table made once, before
// the workers start, for `count` temporaries at a time (one beyond them is
// unlisted). removeTemporaryFiles() keeps any more from being made or
// committed, waits for the renames of a commit under way to end, and
// deletes the listed ones; it only makes async-signal-safe calls, for a
// signal handler that ends the program.
void reserveTemporaryFiles(int count);
void removeTemporaryFiles();

// Temporaries are named ".inkmask-HOST-PID-XXXXXXXX" after the host and the
// process that write them. This removes those in `folder` that this host's
// processes left and that no live process holds: their writer was killed.
// Those of other hosts, of live processes and of older names are kept.
void removeStaleTemporaries(const QByteArray &folder);

// The file a write to `path` reaches: absolute, every symbolic link followed
// (a dangling one too, and within folders not made yet), "." and ".." taken
// on the folders the links lead to. In the file system's bytes.
QByteArray resolvedFileName(const QByteArray &path);

// The mask as a 1-bit picture of the size and resolution of `picture`, black
// where the mask is True (ink), from cells (0..width-1, 0..height-1); the
// batch tool's packed masks and the window's give the same image. A mask
// smaller than the picture raises error 9. A null image when memory runs out.
QImage maskImage(const PackedMask &mask, const QImage &picture);

}  // namespace ink

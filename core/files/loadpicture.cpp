#include "core/files/loadpicture.h"

#include "core/runtime/commandline.h"

#include "core/files/bmpcodec.h"
#include "core/files/georef.h"
#include "core/files/jp2codec.h"
#include "core/files/jpegcodec.h"
#include "core/files/librarymessages.h"
#include "core/files/pngcodec.h"
#include "core/files/truncation.h"
#include "core/runtime/runtimeerror.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>

#include <algorithm>
#include <cstring>

namespace ink {

namespace {
constexpr int kFileNotFound = 53;
constexpr int kPermissionDenied = 70;
constexpr int kPathFileAccess = 75;
constexpr int kInvalidPicture = 481;

// The reasons in words of the refusals that more than one place makes.
const QString kEmptyFile = QStringLiteral("the file is empty");
const QString kEndsEarly = QStringLiteral(
    "the file ends early: it was cut short, perhaps by a copy or a download that did not "
    "finish");
const QString kDamaged = QStringLiteral("its picture data is damaged and cannot be decoded");

// Refuses what the reader cannot or must not open, naming the reason: the
// reader itself calls a folder or an unreadable file "not found", tries other
// files with an image extension added to a missing name, and would wait
// forever on a named pipe.
void checkIsReadableFile(const QString &path) {
    const QFileInfo info(path);
    if (!info.exists())
        throw RuntimeError(kFileNotFound, QStringLiteral("File not found"),
                           QStringLiteral("there is no file of that name"));
    if (info.isDir())
        throw RuntimeError(kPathFileAccess,
                           QStringLiteral("Path/File access error (a folder, not a file)"),
                           QStringLiteral("it is a folder, not a file"));
    if (!info.isFile())
        throw RuntimeError(kPathFileAccess,
                           QStringLiteral("Path/File access error (not a regular file)"),
                           QStringLiteral("it is not a file but a named pipe, a device or a "
                                          "socket"));
    if (!info.isReadable())
        throw RuntimeError(kPermissionDenied, QStringLiteral("Permission denied"),
                           QStringLiteral("its permissions do not let you read it"));
    // The reader would call it an unsupported format.
    if (info.size() == 0)
        throw RuntimeError(kInvalidPicture, QStringLiteral("Invalid picture (the file is empty)"),
                           kEmptyFile);
}

// The reader refuses a picture above the limit with no more than "Unable to
// read image data". Its header gives the size before anything is decoded, so
// the refusal can name it. Held as 32-bit RGB, as the picture area holds it.
void checkSize(const QSize &size) {
    if (!size.isValid())
        return;
    const qint64 megabytes = (qint64(size.width()) * size.height() * 4 + (1 << 20) - 1) >> 20;
    if (megabytes > kPictureAllocationLimitMB) {
        throw RuntimeError(RuntimeError::OutOfMemory,
                           QStringLiteral("Picture too large (%1 x %2 pixels need %3 MB; "
                                          "the limit is %4 MB)")
                               .arg(size.width())
                               .arg(size.height())
                               .arg(megabytes)
                               .arg(kPictureAllocationLimitMB),
                           QStringLiteral("the picture is too large to hold in memory"));
    }
}

// The file's bytes, read once: the completeness check and the reader see
// the same bytes even if the file changes meanwhile. Into `bytes`' own
// buffer when the thread keeps its buffers, read in pieces to the end
// whatever size the file had when opened.
void readBytes(const QString &path, QByteArray &bytes) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw RuntimeError(kPathFileAccess,
                           QStringLiteral("Path/File access error (%1)").arg(file.errorString()),
                           QStringLiteral("it could not be read (%1)").arg(file.errorString()));
    if (codecBuffersKept()) {
        qint64 size = 0;
        for (;;) {
            const qint64 room = std::max<qint64>(file.size() - size, 0) + (1 << 16);
            allocating([&] { bytes.resize(size + room); });
            const qint64 n = file.read(bytes.data() + size, room);
            if (n <= 0)
                break;
            size += n;
        }
        bytes.resize(size);
    } else {
        bytes = allocating([&] { return file.readAll(); });
    }
    if (file.error() != QFileDevice::NoError)
        throw RuntimeError(kPathFileAccess,
                           QStringLiteral("Path/File access error (%1)").arg(file.errorString()),
                           QStringLiteral("it could not be read (%1)").arg(file.errorString()));
    if (bytes.isEmpty())
        throw RuntimeError(kInvalidPicture, QStringLiteral("Invalid picture (the file is empty)"),
                           kEmptyFile);
}

// A PNG file that fits in the part of the picture's buffer the decoder's
// inflated rows leave free is read there and decoded from there, when the
// thread keeps its buffers (the batch tool): its bytes then take no memory
// of their own, which would otherwise stay taken while the page is worked
// on and written. False when the file is not such a file, is longer, cannot
// be read, or is not decoded: it is then read as any other file, and that
// path's verdict and message stand.
bool loadPngInPicture(const QString &path, QImage *picture) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    char head[kPngHeadBytes];
    if (file.read(head, kPngHeadBytes) != kPngHeadBytes)
        return false;
    QSize size;
    const size_t room = pngRoomBeforeRows(QByteArrayView(head, kPngHeadBytes), &size);
    if (room < size_t(kPngHeadBytes) || qint64(room) < file.size())
        return false;
    try {
        checkSize(size);
    } catch (const RuntimeError &) {
        return false;  // refused as the whole file is judged, a file cut short first
    }
    uchar *bits = allocating([&] { return reusePicture(picture, size); });
    if (size_t(picture->sizeInBytes()) != 4 * size_t(size.width()) * size_t(size.height()))
        return false;
    // To the end of the file, whatever its size now: one byte past the room
    // says it no longer fits.
    std::memcpy(bits, head, size_t(kPngHeadBytes));
    qint64 got = kPngHeadBytes;
    while (got <= qint64(room)) {
        const qint64 n = file.read(reinterpret_cast<char *>(bits) + got, qint64(room) + 1 - got);
        if (n <= 0)
            break;
        got += n;
    }
    if (file.error() != QFileDevice::NoError || got > qint64(room))
        return false;
    const QByteArrayView bytes(bits, got);
    return !endsEarly(bytes) && allocating([&] { return readPng(bytes, picture, checkSize); });
}

// True for a file that starts as a TIFF file does. The completeness check
// has nothing to say of one, so Qt's reader reads it from the file itself,
// without a copy of its bytes: a scan's TIFF is often uncompressed, as large
// as its pixels.
bool startsAsTiff(QFile &file) {
    char head[4];
    if (file.read(head, 4) != 4 || !file.seek(0))
        return false;
    // Classic TIFF, then BigTIFF.
    return std::memcmp(head, "II*\0", 4) == 0 || std::memcmp(head, "MM\0*", 4) == 0 ||
           std::memcmp(head, "II+\0", 4) == 0 || std::memcmp(head, "MM\0+", 4) == 0;
}

// What a file the reader does not know seems to hold, from its first bytes.
QString whatBytesAre(const QByteArray &head) {
    const auto starts = [&](const char *magic) { return head.startsWith(magic); };
    if (starts("%PDF"))
        return QStringLiteral("its bytes are those of a PDF document");
    if (starts("PK\x03\x04"))
        return QStringLiteral("its bytes are those of a ZIP archive, as an office document is");
    if (head.mid(4, 4) == "ftyp")
        return QStringLiteral("its bytes are those of a HEIF or AVIF picture or of a video");
    if (head.contains("<svg"))
        return QStringLiteral("its bytes are those of an SVG drawing");
    const bool text = std::all_of(head.begin(), head.end(), [](char c) {
        const auto u = uchar(c);
        return u >= 0x20 || c == '\t' || c == '\n' || c == '\r' || c == '\f';
    });
    if (text && !head.isEmpty())
        return QStringLiteral("its bytes are those of a text file");
    return QStringLiteral("its bytes are of no format it knows");
}

void loadPicture(const QString &path, QImage *picture) {
    checkIsReadableFile(path);
    if (codecBuffersKept() && loadPngInPicture(path, picture))
        return;
    static thread_local QByteArray kept;  // the last file's, see keepCodecBuffers()
    QByteArray own;
    QByteArray &bytes = codecBuffersKept() ? kept : own;
    QFile file(path);
    const bool tiff = file.open(QIODevice::ReadOnly) && startsAsTiff(file);
    if (!tiff) {
        file.close();
        readBytes(path, bytes);
        if (endsEarly(bytes))
            throw RuntimeError(kInvalidPicture,
                               QStringLiteral("Invalid picture (the file ends early)"), kEndsEarly);
        // The common PNG and JPEG files are decoded here, straight into 32-bit
        // RGB; the rest, and any file the decoder finds amiss, go to Qt's
        // reader, whose verdict and message stand.
        // Qt's reader refuses a BMP picture this large for its size alone.
        if (bmpBeyondQt(bytes)) {
            const QString why = allocating([&] { return readBmp(bytes, picture, checkSize); });
            if (why.isEmpty())
                return;
            *picture = QImage();
            throw RuntimeError(
                kInvalidPicture,
                QStringLiteral("Invalid picture (a BMP file of more than 16384 x 16384 pixels "
                               "is read only uncompressed, with 1, 4, 8, 24 or 32 bits a "
                               "pixel: this one is %1)")
                    .arg(why),
                QStringLiteral("a BMP picture this large is read only in its simplest forms"));
        }
        // Qt has no JPEG 2000 reader: OpenJPEG's verdict stands.
        if (isJpeg2000(bytes)) {
            const QString why = allocating([&] { return readJpeg2000(bytes, picture, checkSize); });
            if (why.isEmpty())
                return;
            *picture = QImage();
            throw RuntimeError(kInvalidPicture, QStringLiteral("Invalid picture (%1)").arg(why),
                               kDamaged);
        }
        if (isPng(bytes) && allocating([&] { return readPng(bytes, picture, checkSize); }))
            return;
        if (isJpeg(bytes)) {
            if (allocating([&] { return readJpeg(bytes, picture, checkSize); }))
                return;
            // Whole but damaged: libjpeg, here or in Qt's reader, would fill
            // the pixels it cannot decode with made-up ones.
            const QString damage = allocating([&] { return jpegDamage(bytes, checkSize); });
            if (!damage.isEmpty())
                throw RuntimeError(
                    kInvalidPicture,
                    QStringLiteral("Invalid picture (damaged JPEG data: %1)").arg(damage),
                    kDamaged);
        }
    }

    // A process-wide setting: made once, not by every thread that loads.
    static const bool limited = [] {
        QImageReader::setAllocationLimit(kPictureAllocationLimitMB);
        catchLibraryMessages();
        // Qt's TIFF reader then reads a GeoTIFF's tags as known ones.
        registerGeoTiffTags();
        return true;
    }();
    Q_UNUSED(limited);
    takeLibraryError();  // one an earlier file left
    QBuffer buffer;
    if (!tiff) {
        buffer.setData(bytes);
        buffer.open(QIODevice::ReadOnly);
    }
    QIODevice &device = tiff ? static_cast<QIODevice &>(file) : buffer;
    // The extension names the reader to try first, as for a file opened by
    // name; the content decides when that reader cannot read it.
    QByteArray format = QFileInfo(path).suffix().toLower().toLatin1();
    if (!format.isEmpty() && !QImageReader(&device, format).canRead())
        format.clear();
    device.seek(0);
    QImageReader reader(&device, format);
    checkSize(reader.size());
    if (!allocating([&] { return reader.read(picture); }) || picture->isNull()) {
        QString why = reader.errorString();
        if (why.isEmpty())
            why = QStringLiteral("Invalid picture");
        // The library's own reason, when the reader's says no more than
        // "Unable to read image data".
        if (const QString library = takeLibraryError(); !library.isEmpty())
            why += QStringLiteral(" (%1)").arg(library);
        const bool unknown = reader.error() == QImageReader::UnsupportedFormatError;
        device.seek(0);
        throw RuntimeError(kInvalidPicture, why,
                           unknown ? QStringLiteral("it is not a picture inkmask can read (%1)")
                                         .arg(whatBytesAre(device.peek(4096)))
                                   : kDamaged);
    }
    takeLibraryError();
    layOnWhitePaper(*picture);
}

}  // namespace

void LoadPicture(const QString &path, QImage *picture) {
    // Every refusal names the file and says why in words.
    const auto named = [&](const RuntimeError &error, const QString &reason) {
        QString name = QFileInfo(path).fileName();
        if (name.isEmpty())
            name = path;
        // A name with a line break in it must not forge a line of the report.
        name = escapeControls(name);
        return error.withDetail(QStringLiteral("Cannot open \"%1\": %2.").arg(name, reason));
    };
    const QString noMemory = QStringLiteral("there is not enough memory to open it");
    try {
        loadPicture(path, picture);
    } catch (const RuntimeError &error) {
        throw named(error, error.detail().isEmpty() ? noMemory : error.detail());
    } catch (const std::bad_alloc &) {
        throw named(RuntimeError::outOfMemory(), noMemory);
    }
}

QImage LoadPicture(const QString &path) {
    if (path.isEmpty())
        return {};
    QImage picture;
    LoadPicture(path, &picture);
    return picture;
}

void layOnWhitePaper(QImage &image) {
    if (!image.hasAlphaChannel())
        return;
    if (image.format() != QImage::Format_ARGB32) {
        image = allocating([&] { return image.convertToFormat(QImage::Format_ARGB32); });
        if (image.isNull())
            throw RuntimeError::outOfMemory();
    }
    uchar *bits = image.bits();
    if (bits == nullptr)  // the copy of a shared image failed
        throw RuntimeError::outOfMemory();
    const auto onWhite = [](int c, int a) { return (c * a + 255 * (255 - a) + 127) / 255; };
    for (int y = 0; y < image.height(); ++y) {
        QRgb *row = reinterpret_cast<QRgb *>(bits + qsizetype(y) * image.bytesPerLine());
        for (int x = 0; x < image.width(); ++x) {
            const QRgb p = row[x];
            const int a = qAlpha(p);
            if (a != 255)
                row[x] = qRgb(onWhite(qRed(p), a), onWhite(qGreen(p), a), onWhite(qBlue(p), a));
        }
    }
    image.reinterpretAsFormat(QImage::Format_RGB32);
}

}  // namespace ink

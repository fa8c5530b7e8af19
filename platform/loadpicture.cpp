#include "platform/loadpicture.h"

#include "platform/runtimeerror.h"

#include <QFileInfo>
#include <QImageReader>


namespace ink {

namespace {
constexpr int kFileNotFound = 53;
constexpr int kPermissionDenied = 70;
constexpr int kPathFileAccess = 75;
constexpr int kInvalidPicture = 481;

// Refuses what the reader cannot or must not open, naming the reason: the
// reader itself calls a folder or an unreadable file "not found", tries other
// files with an image extension added to a missing name, and would wait
// forever on a named pipe.
void checkIsReadableFile(const QString &path) {
    const QFileInfo info(path);
    if (!info.exists())
        throw RuntimeError(kFileNotFound, QStringLiteral("File not found"));
    if (info.isDir())
        throw RuntimeError(kPathFileAccess,
                           QStringLiteral("Path/File access error (a folder, not a file)"));
    if (!info.isFile())
        throw RuntimeError(kPathFileAccess,
                           QStringLiteral("Path/File access error (not a regular file)"));
    if (!info.isReadable())
        throw RuntimeError(kPermissionDenied, QStringLiteral("Permission denied"));
    // The reader would call it an unsupported format.
    if (info.size() == 0)
        throw RuntimeError(kInvalidPicture, QStringLiteral("Invalid picture (the file is empty)"));
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
                               .arg(kPictureAllocationLimitMB));
    }
}

}  // namespace

QImage LoadPicture(const QString &path) {
    if (path.isEmpty())
        return {};
    checkIsReadableFile(path);
    QImageReader::setAllocationLimit(kPictureAllocationLimitMB);
    QImageReader reader(path);
    checkSize(reader.size());
    const QImage image = allocating([&] { return reader.read(); });
    if (image.isNull()) {
        const int number =
            reader.error() == QImageReader::FileNotFoundError ? kFileNotFound : kInvalidPicture;
        QString why = reader.errorString();
        if (why.isEmpty())
            why = QStringLiteral("Invalid picture");
        throw RuntimeError(number, why);
    }
    return image;
}

}  // namespace ink

#include "platform/loadpicture.h"

#include "platform/runtimeerror.h"

#include <QImageReader>

#include <new>

namespace ink {

namespace {
constexpr int kFileNotFound = 53;
constexpr int kInvalidPicture = 481;
}  // namespace

QImage LoadPicture(const QString &path) {
    if (path.isEmpty())
        return {};
    QImageReader::setAllocationLimit(kPictureAllocationLimitMB);
    QImageReader reader(path);
    QImage image;
    try {
        image = reader.read();
    } catch (const std::bad_alloc &) {
        throw RuntimeError::outOfMemory();
    }
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

// Fuzz target: an image file through the path start-up and Reload take: the
// file checks, the completeness check and the reader (LoadPicture), the
// conversion into the picture area (Sheet), the picture area's size
// rounded to whole pixels and the two masks allocated one larger. A picture
// either loads, opaque, with masks that fit it, or is refused with a run-time
// error; nothing else may happen. The batch tool's form, reading into a
// reused buffer, must give the same pixels. The completeness check must be
// consistent: a file it calls whole stays whole with bytes added after it.
//
// The first byte picks the file name's extension, so that every reader is
// reached both by its extension and by the content alone.

#include "core/files/loadpicture.h"
#include "core/files/truncation.h"
#include "core/image/module1.h"
#include "core/image/sheet.h"
#include "core/runtime/convert.h"
#include "core/runtime/runtimeerror.h"

#include <QDir>
#include <QFile>

#include <unistd.h>

#include <cstdint>
#include <cstdlib>

namespace {

const char *extensionFor(uint8_t selector) {
    static const char *const extensions[] = {"",    "png",  "bmp", "jpg", "gif",  "tif",
                                             "ppm", "pgm",  "xpm", "xbm", "webp", "ico",
                                             "tga", "wbmp", "cur", "icns"};
    return extensions[selector % std::size(extensions)];
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // The readers warn about every malformed file; the checks below say enough.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    const QByteArray bytes(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    const QByteArray extension(extensionFor(data[0]));
    const QString path = QDir::temp().filePath(
        QStringLiteral("inkmask-fuzz-%1.%2").arg(getpid()).arg(QLatin1String(extension)));
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            file.write(bytes) != bytes.size())
            std::abort();
    }

    const bool cut = ink::endsEarly(bytes);
    if (!cut && ink::endsEarly(bytes + QByteArray("\0\xFF\xD9;", 4)))
        std::abort();

    QImage picture;
    try {
        picture = ink::LoadPicture(path);
    } catch (const ink::RuntimeError &error) {
        if (error.description().isEmpty() || error.description().contains(QLatin1Char('\n')))
            std::abort();  // the start-up message needs it on one line
        if (cut != error.description().contains(QLatin1String("the file ends early")))
            std::abort();
        return 0;
    }
    if (picture.isNull() || cut || picture.hasAlphaChannel())
        std::abort();  // only an empty path gives an empty picture

    // Into a buffer of the same size and format, holding other pixels.
    QImage reused(picture.size(), picture.format());
    reused.fill(0x5A);
    try {
        ink::LoadPicture(path, &reused);
    } catch (const ink::RuntimeError &) {
        std::abort();
    }
    if (reused.convertToFormat(QImage::Format_RGB32) !=
        picture.convertToFormat(QImage::Format_RGB32))
        std::abort();

    ink::Sheet surface;
    ink::Module1 module;
    try {
        surface.setImage(picture);
        module.Mask.allocate(ink::roundToInt32(surface.Width()),
                             ink::roundToInt32(surface.Height()));
        module.WorkMask.allocate(ink::roundToInt32(surface.Width()),
                                 ink::roundToInt32(surface.Height()));
    } catch (const ink::RuntimeError &error) {
        if (error.number() != ink::RuntimeError::OutOfMemory)
            std::abort();
        return 0;
    }
    if (surface.Width() != float(picture.width()) || surface.Height() != float(picture.height()) ||
        module.Mask.upperX() != picture.width() || module.Mask.upperY() != picture.height() ||
        !(module.Mask == module.WorkMask) || module.Mask.countBlack() != 0)
        std::abort();
    // Every pixel reads back as a colour; just beyond the surface there is none.
    const QImage rgb = picture.convertToFormat(QImage::Format_RGB32);
    for (int y = 0; y < picture.height(); y += 1 + picture.height() / 8) {
        for (int x = 0; x < picture.width(); x += 1 + picture.width() / 8) {
            const QRgb p = rgb.pixel(x, y);
            if (surface.Point(x, y) != (qRed(p) | (qGreen(p) << 8) | (qBlue(p) << 16)))
                std::abort();
        }
    }
    if (surface.Point(picture.width(), 0) != ink::kNoPixel ||
        surface.Point(0, picture.height()) != ink::kNoPixel)
        std::abort();
    return 0;
}

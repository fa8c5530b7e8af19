// Fuzz target: bytes fed to the PNG decoder (readPng), or when they start as
// a JPEG file does to the JPEG decoder (readJpeg), as a BMP file does to the
// BMP decoder (readBmp), or as a JP2 file or a bare codestream does to the
// JPEG 2000 decoder (readJpeg2000). The last two must decode or refuse them
// with a reason: a picture or none, never both; a JPEG 2000 file decoded into
// a reused picture holding other pixels must give the same pixels and
// resolution again. The first two either decode the file or leave it to Qt's
// reader; when one decodes a file, Qt's reader must load it too, with the
// same pixels (laid on white paper) and resolution, and a decode into a
// reused picture holding other pixels must give the same again, as must a
// decode of the file from inside the picture's own buffer; a JPEG file
// decoded must have no damage to name. Any other file gets the PNG signature
// put in front, so that no run is spent on files the decoders turn away at
// once.

#include "core/files/bmpcodec.h"
#include "core/files/jp2codec.h"
#include "core/files/jpegcodec.h"
#include "core/files/loadpicture.h"
#include "core/files/pngcodec.h"
#include "core/files/truncation.h"
#include "core/runtime/runtimeerror.h"

#include <QBuffer>
#include <QImageReader>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

struct TooLarge {};

void checkSize(QSize size) {
    if (qint64(size.width()) * size.height() * 4 > (qint64(ink::kPictureAllocationLimitMB) << 20))
        throw TooLarge();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    QImageReader::setAllocationLimit(ink::kPictureAllocationLimitMB);
    // One thread: a run's result must not hang on the threads' order.
    ink::setJpeg2000Threads(1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    // A BMP or JPEG 2000 file, whole as LoadPicture has it, to its decoder:
    // it must decode or refuse it, without reading past it.
    const bool jp2 = ink::isJpeg2000(bytes);
    if (jp2 || bytes.startsWith("BM")) {
        if (ink::endsEarly(bytes))
            return 0;
        const auto decode = [&](QImage *picture) {
            try {
                const QString why = jp2 ? ink::readJpeg2000(bytes, picture, checkSize)
                                        : ink::readBmp(bytes, picture, checkSize);
                if (why.isEmpty() == picture->isNull())
                    std::abort();
                return why.isEmpty();
            } catch (const TooLarge &) {
            } catch (const ink::RuntimeError &error) {
                if (!jp2 || error.number() != ink::RuntimeError::OutOfMemory)
                    std::abort();
            }
            return false;
        };
        QImage picture;
        if (!decode(&picture) || !jp2)
            return 0;
        QImage reused = picture.copy();
        reused.fill(0xFF123456);
        reused.setDotsPerMeterX(1);
        if (!decode(&reused) || reused != picture ||
            reused.dotsPerMeterX() != picture.dotsPerMeterX() ||
            reused.dotsPerMeterY() != picture.dotsPerMeterY())
            std::abort();
        return 0;
    }
    const bool jpeg = ink::isJpeg(bytes);
    if (!jpeg && !ink::isPng(bytes))
        bytes.prepend("\x89PNG\r\n\x1A\n", 8);
    const auto decode = [&](QImage *picture) {
        return jpeg ? ink::readJpeg(bytes, picture, checkSize)
                    : ink::readPng(bytes, picture, checkSize);
    };
    QImage picture;
    bool decoded = false;
    try {
        decoded = decode(&picture);
    } catch (const TooLarge &) {
        return 0;
    }
    // The batch tool reads a PNG file that fits into the picture's own
    // buffer, before the rows the decoder inflates there, and decodes it
    // from there: the same verdict and pixels as from a buffer of its own.
    QSize header;
    const size_t room = jpeg ? 0 : ink::pngRoomBeforeRows(bytes, &header);
    if (room >= size_t(ink::kPngHeadBytes) && size_t(bytes.size()) <= room) {
        try {
            checkSize(header);  // as before any pixel memory is taken
        } catch (const TooLarge &) {
            return 0;
        }
        QImage inPlace;
        uchar *bits = ink::reusePicture(&inPlace, header);
        std::memcpy(bits, bytes.constData(), size_t(bytes.size()));
        const QByteArrayView view(bits, bytes.size());
        if (ink::readPng(view, &inPlace, checkSize) != decoded || (decoded && inPlace != picture))
            std::abort();
    }
    // A file decoded is one whose data libjpeg decodes with no pixel made up.
    if (jpeg) {
        QString damage;
        try {
            damage = ink::jpegDamage(bytes, checkSize);
        } catch (const TooLarge &) {
            if (decoded)
                std::abort();  // its size was accepted once already
            return 0;
        }
        if (decoded && !damage.isEmpty())
            std::abort();
    }
    if (!decoded)
        return 0;
    if (picture.format() != QImage::Format_RGB32 || picture.isNull())
        std::abort();

    QImage again(picture.size(), QImage::Format_RGB32);
    again.fill(0x5A);
    if (!decode(&again) || again != picture)
        std::abort();

    // A file cut short is refused before any reader sees it; Qt's reader
    // would fill in what is missing.
    if (ink::endsEarly(bytes))
        return 0;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QImage qt = QImageReader(&buffer, jpeg ? "jpeg" : "png").read();
    if (qt.isNull())
        std::abort();  // decoded here, refused there
    ink::layOnWhitePaper(qt);
    if (qt.convertToFormat(QImage::Format_RGB32) != picture ||
        qt.dotsPerMeterX() != picture.dotsPerMeterX() ||
        qt.dotsPerMeterY() != picture.dotsPerMeterY())
        std::abort();
    return 0;
}

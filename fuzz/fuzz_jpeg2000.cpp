// Fuzz target: bytes fed to the JPEG 2000 decoder (readJpeg2000) as
// LoadPicture feeds it, a JP2 file or a bare codestream whole as the
// completeness check passes it. Bytes that start as neither get the
// codestream's first markers put in front. The decoder must decode the
// file or refuse it with a reason: a picture of the declared size or none,
// never both. A decode into a reused picture holding other pixels must
// give the same pixels and resolution again.

#include "core/files/jp2codec.h"
#include "core/files/loadpicture.h"
#include "core/files/truncation.h"
#include "core/runtime/runtimeerror.h"

#include <cstdint>
#include <cstdlib>

namespace {

struct TooLarge {};

void checkSize(QSize size) {
    if (qint64(size.width()) * size.height() * 4 > (qint64(ink::kPictureAllocationLimitMB) << 20))
        throw TooLarge();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // One thread: a run's result must not hang on the threads' order.
    ink::setJpeg2000Threads(1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    if (!ink::isJpeg2000(bytes))
        bytes.prepend("\xFF\x4F\xFF\x51", 4);
    if (ink::endsEarly(bytes))
        return 0;
    const auto decode = [&](QImage *picture) {
        try {
            const QString why = ink::readJpeg2000(bytes, picture, checkSize);
            if (why.isEmpty() == picture->isNull())
                std::abort();
            return why.isEmpty();
        } catch (const TooLarge &) {
            return false;
        } catch (const ink::RuntimeError &error) {
            if (error.number() != ink::RuntimeError::OutOfMemory)
                std::abort();
            return false;
        }
    };
    QImage picture;
    if (!decode(&picture))
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

// JPEG files decoded by libjpeg straight into 32-bit RGB, and the check that
// refuses a damaged file instead of showing made-up pixels.
//
// Read in this order: the error manager (libjpeg's errors become
// exceptions, its warnings are sorted into harmless ones and damage), the
// decompressor and its header, row reading, then readJpeg() and
// jpegDamage(), which decodes a file Qt's reader takes at 1/8 size to find
// damage the same way.

#include "core/files/jpegcodec.h"

#include "core/files/pngcodec.h"

#include <QColorSpace>

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include <jpeglib.h>
// after jpeglib.h, which it needs
#include <jerror.h>

namespace ink {

namespace {

// libjpeg's errors end the decode through a jump back to the caller, which
// then leaves the file to Qt's reader. So do the warnings that say pixels
// were made up: libjpeg gets past damaged data by filling in what it could
// not decode, and Qt's reader takes the result as it comes. Their text is
// kept for the refusal.
struct ErrorManager {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
    bool inHeader = false;  // reading the segments before the first scan
    char damage[JMSG_LENGTH_MAX] = {};
};

void errorExit(j_common_ptr info) {
    std::longjmp(reinterpret_cast<ErrorManager *>(info->err)->jump, 1);
}

// Warnings about the file's metadata leave every pixel as it was coded.
// Stray bytes before a marker are harmless between the header's segments;
// after a scan's data they are what the data's blocks did not use, as when
// damage threw the decoder off the blocks' boundaries. Every other warning
// (data that stops before its blocks do, a lost restart marker, a code
// that is no code, a scan that is not what its frame says) means pixels
// were filled in.
bool harmless(int code, bool inHeader) {
    switch (code) {
        case JWRN_ADOBE_XFORM:
        case JWRN_JFIF_MAJOR:
        case JWRN_BOGUS_ICC:
            return true;
        case JWRN_EXTRANEOUS_DATA:
            return inHeader;
        default:
            return false;
    }
}

void emitMessage(j_common_ptr info, int level) {
    auto *errors = reinterpret_cast<ErrorManager *>(info->err);
    if (level >= 0 || harmless(errors->manager.msg_code, errors->inHeader))
        return;  // a trace message, or a harmless warning
    info->err->format_message(info, errors->damage);
    std::longjmp(errors->jump, 1);
}

// The segments before the first scan: false when one of them is something
// Qt's reader keeps with the picture or acts on (APP1 EXIF and XMP, APP2
// colour profiles, APP14 Adobe colour transforms, comments, any other
// application segment), or when the segments are not well formed.
bool plainSegments(const uchar *data, size_t size) {
    size_t at = 2;
    while (at + 4 <= size) {
        if (data[at] != 0xFF)
            return false;
        const uchar marker = data[at + 1];
        if (marker == 0xFF) {  // fill byte
            ++at;
            continue;
        }
        if (marker == 0xDA)  // start of scan
            return true;
        if ((marker >= 0xE1 && marker <= 0xEF) || marker == 0xFE)
            return false;
        at += 2 + (size_t(data[at + 2]) << 8 | data[at + 3]);
    }
    return false;
}

// The dots per metre Qt's reader gives for a JFIF density, or 0 for none.
int dotsPerMeter(int unit, int density) {
    if (unit == 1)
        return int(100. * density / 2.54);
    if (unit == 2)
        return int(100. * density);
    return 0;
}

struct Decompressor {
    jpeg_decompress_struct info;
    ErrorManager errors;
    Decompressor() {
        info.err = jpeg_std_error(&errors.manager);
        errors.manager.error_exit = errorExit;
        errors.manager.emit_message = emitMessage;
        jpeg_create_decompress(&info);
    }
    ~Decompressor() { jpeg_destroy_decompress(&info); }
    Decompressor(const Decompressor &) = delete;
    Decompressor &operator=(const Decompressor &) = delete;
};

// Reads the header alone; false when libjpeg refuses it. Each function here
// that calls libjpeg sets its own jump: no C++ object lives in its frame
// across the jump.
bool readHeaderOnly(Decompressor &d, const uchar *data, size_t size) {
    if (setjmp(d.errors.jump))
        return false;
    jpeg_mem_src(&d.info, data, static_cast<unsigned long>(size));
    d.errors.inHeader = true;
    if (jpeg_read_header(&d.info, TRUE) != JPEG_HEADER_OK)
        return false;
    d.errors.inHeader = false;
    return true;
}

// Reads the header and sets the output up as Qt's reader does (its default
// quality: the accurate integer DCT, fancy upsampling), the pixels as 32-bit
// RGB.
bool readHeader(Decompressor &d, const uchar *data, size_t size) {
    if (!readHeaderOnly(d, data, size))
        return false;
    if (setjmp(d.errors.jump))
        return false;
    if (!((d.info.num_components == 3 && d.info.jpeg_color_space == JCS_YCbCr) ||
          (d.info.num_components == 1 && d.info.jpeg_color_space == JCS_GRAYSCALE)))
        return false;
    d.info.dct_method = JDCT_ISLOW;
    d.info.do_fancy_upsampling = TRUE;
    d.info.out_color_space = JCS_EXT_BGRX;  // QRgb's bytes in memory, on little-endian
    jpeg_calc_output_dimensions(&d.info);
    return true;
}

bool readRows(Decompressor &d, uchar *bits, size_t stride) {
    if (setjmp(d.errors.jump))
        return false;
    jpeg_start_decompress(&d.info);
    if (d.info.output_components != 4)
        return false;
    while (d.info.output_scanline < d.info.output_height) {
        JSAMPROW rows[16];
        const JDIMENSION first = d.info.output_scanline;
        const JDIMENSION count = std::min<JDIMENSION>(16, d.info.output_height - first);
        for (JDIMENSION i = 0; i < count; ++i)
            rows[i] = bits + size_t(first + i) * stride;
        if (jpeg_read_scanlines(&d.info, rows, count) == 0)
            return false;
    }
    jpeg_finish_decompress(&d.info);
    return true;
}

// The header for a check of the data: the output at an eighth of the size
// (the blocks' average colours, no transform), in libjpeg's own colours.
// False when libjpeg refuses the file.
bool readHeaderForCheck(Decompressor &d, const uchar *data, size_t size) {
    if (!readHeaderOnly(d, data, size))
        return false;
    if (setjmp(d.errors.jump))
        return false;
    d.info.scale_num = 1;
    d.info.scale_denom = 8;
    d.info.dct_method = JDCT_IFAST;
    d.info.do_fancy_upsampling = FALSE;
    jpeg_calc_output_dimensions(&d.info);
    return true;
}

// Decodes every scan's data into `row`, one row of the small output, to see
// whether libjpeg makes any pixel up. False when it does, its warning kept.
bool decodesWhole(Decompressor &d, JSAMPLE *row) {
    if (setjmp(d.errors.jump))
        return d.errors.damage[0] == '\0';
    jpeg_start_decompress(&d.info);
    JSAMPROW rows[1] = {row};
    while (d.info.output_scanline < d.info.output_height) {
        if (jpeg_read_scanlines(&d.info, rows, 1) == 0)
            return true;
    }
    jpeg_finish_decompress(&d.info);
    return true;
}

// libjpeg's text for a warning, without the prefix they share.
QString damageText(const char *message) {
    QString text = QString::fromLatin1(message);
    const QLatin1StringView corrupt("Corrupt JPEG data: ");
    if (text.startsWith(corrupt))
        text.remove(0, corrupt.size());
    if (!text.isEmpty())
        text[0] = text[0].toLower();
    return text;
}

}  // namespace

bool isJpeg(QByteArrayView bytes) {
    return bytes.size() >= 3 && uchar(bytes[0]) == 0xFF && uchar(bytes[1]) == 0xD8 &&
           uchar(bytes[2]) == 0xFF;
}

bool readJpeg(QByteArrayView bytes, QImage *picture, const std::function<void(QSize)> &checkSize) {
    static_assert(Q_BYTE_ORDER == Q_LITTLE_ENDIAN, "JCS_EXT_BGRX is QRgb's layout here only");
    const uchar *data = reinterpret_cast<const uchar *>(bytes.data());
    const size_t size = size_t(bytes.size());
    if (!isJpeg(bytes) || !plainSegments(data, size))
        return false;
    Decompressor d;
    if (!readHeader(d, data, size))
        return false;
    const QSize dimensions(int(d.info.output_width), int(d.info.output_height));
    checkSize(dimensions);
    uchar *bits = reusePicture(picture, dimensions);
    if (!readRows(d, bits, size_t(picture->bytesPerLine()))) {
        *picture = QImage();
        return false;
    }
    if (d.info.saw_JFIF_marker) {
        const int x = dotsPerMeter(d.info.density_unit, d.info.X_density);
        const int y = dotsPerMeter(d.info.density_unit, d.info.Y_density);
        if (x != 0)
            picture->setDotsPerMeterX(x);
        if (y != 0)
            picture->setDotsPerMeterY(y);
    }
    return true;
}

QString jpegDamage(QByteArrayView bytes, const std::function<void(QSize)> &checkSize) {
    if (!isJpeg(bytes))
        return {};
    Decompressor d;
    const auto *data = reinterpret_cast<const uchar *>(bytes.data());
    if (!readHeaderForCheck(d, data, size_t(bytes.size())))
        return d.errors.damage[0] == '\0' ? QString() : damageText(d.errors.damage);
    // A progressive file's coefficients are all held at once, whatever the
    // output's size.
    checkSize(QSize(int(d.info.image_width), int(d.info.image_height)));
    std::vector<JSAMPLE> row(size_t(d.info.output_width) * size_t(d.info.out_color_components));
    if (decodesWhole(d, row.data()))
        return {};
    return damageText(d.errors.damage);
}

}  // namespace ink

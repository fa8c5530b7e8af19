// JPEG 2000 files (.jp2 boxes or a bare .j2k codestream) read through
// OpenJPEG into 32-bit RGB.
//
// Read in this order: the memory source OpenJPEG reads from, the message
// handlers (errors and warnings become the refusal's reason, nothing
// reaches standard error), the resolution boxes, the planes scaled to 8
// bits and converted (grey, RGB, sYCC, sub-sampled), then readJpeg2000().
// A warning while the image data is decoded refuses the file: OpenJPEG
// then fills what it could not decode.

#include "core/files/jp2codec.h"

#include "core/files/pngcodec.h"
#include "core/runtime/runtimeerror.h"

#include <QThread>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include <openjpeg.h>

namespace ink {

namespace {

std::atomic<int> g_threads{0};
// Decodes running now, on all threads: they share the cores.
std::atomic<int> g_decoding{0};

struct Decoding {
    int count = g_decoding.fetch_add(1) + 1;
    ~Decoding() { g_decoding.fetch_sub(1); }
    Decoding() = default;
    Decoding(const Decoding &) = delete;
    Decoding &operator=(const Decoding &) = delete;
};

// Below this many bytes of coded data a file decodes in a few tens of
// milliseconds: threads would cost more than they save.
constexpr qsizetype kThreadedBytes = 512 * 1024;

const char kJp2Signature[] = "\x00\x00\x00\x0C\x6A\x50\x20\x20\x0D\x0A\x87\x0A";

bool isJp2File(QByteArrayView bytes) {
    return bytes.startsWith(QByteArrayView(kJp2Signature, 12));
}

// The bytes as OpenJPEG's input stream.
struct Source {
    const uchar *data;
    OPJ_SIZE_T size;
    OPJ_SIZE_T at = 0;
};

OPJ_SIZE_T readSource(void *buffer, OPJ_SIZE_T count, void *user) {
    auto *s = static_cast<Source *>(user);
    const OPJ_SIZE_T n = std::min(count, s->size - s->at);
    if (n == 0)
        return OPJ_SIZE_T(-1);
    std::memcpy(buffer, s->data + s->at, n);
    s->at += n;
    return n;
}

OPJ_OFF_T skipSource(OPJ_OFF_T count, void *user) {
    auto *s = static_cast<Source *>(user);
    if (count < 0 ? OPJ_SIZE_T(-count) > s->at : OPJ_SIZE_T(count) > s->size - s->at)
        return -1;
    s->at = OPJ_SIZE_T(OPJ_OFF_T(s->at) + count);
    return count;
}

OPJ_BOOL seekSource(OPJ_OFF_T to, void *user) {
    auto *s = static_cast<Source *>(user);
    if (to < 0 || OPJ_SIZE_T(to) > s->size)
        return OPJ_FALSE;
    s->at = OPJ_SIZE_T(to);
    return OPJ_TRUE;
}

// What OpenJPEG said while decoding one file: its first error, and its
// first warning once the samples are being decoded. Its notes are dropped.
struct Messages {
    QString error;
    QString warning;
    bool decoding = false;
};

QString messageText(const char *message) {
    return QString::fromLocal8Bit(message).trimmed();
}

void onError(const char *message, void *user) {
    auto *m = static_cast<Messages *>(user);
    if (m->error.isEmpty())
        m->error = messageText(message);
}

// Warnings while the header is read are about what the reader skips
// (unknown boxes and markers, a box after the codestream); while the
// samples are decoded, that data stopped or is out of place, which leaves
// samples made up.
void onWarning(const char *message, void *user) {
    auto *m = static_cast<Messages *>(user);
    if (m->decoding && m->warning.isEmpty())
        m->warning = messageText(message);
}

void onInfo(const char *, void *) {}

struct CodecCloser {
    void operator()(opj_codec_t *codec) const { opj_destroy_codec(codec); }
};
struct StreamCloser {
    void operator()(opj_stream_t *stream) const { opj_stream_destroy(stream); }
};
struct ImageCloser {
    void operator()(opj_image_t *image) const { opj_image_destroy(image); }
};

// OpenJPEG names a failed allocation in its error.
bool outOfMemory(const QString &error) {
    return error.contains(QLatin1String("memory"), Qt::CaseInsensitive);
}

QString damaged(const Messages &m, const char *otherwise) {
    QString why = !m.error.isEmpty() ? m.error : m.warning;
    if (why.isEmpty())
        why = QString::fromLatin1(otherwise);
    if (why.endsWith(u'.'))
        why.chop(1);
    if (!why.isEmpty())
        why[0] = why[0].toLower();
    return QStringLiteral("damaged JPEG 2000 data: ") + why;
}

// Boxes of a JP2 file from `at` to `end`: the position of the contents of
// the first box of `type`, and their size; -1 when there is none.
qint64 findBox(QByteArrayView bytes, qint64 at, qint64 end, const char *type, qint64 *size) {
    const auto u8 = [&](qint64 i) { return quint64(uchar(bytes[qsizetype(i)])); };
    const auto be32 = [&](qint64 i) {
        return u8(i) << 24 | u8(i + 1) << 16 | u8(i + 2) << 8 | u8(i + 3);
    };
    while (at + 8 <= end) {
        quint64 length = be32(at);
        qint64 header = 8;
        if (length == 1) {
            if (at + 16 > end)
                return -1;
            length = be32(at + 8) << 32 | be32(at + 12);
            header = 16;
        } else if (length == 0) {
            length = quint64(end - at);
        }
        if (length < quint64(header) || length > quint64(end - at))
            return -1;
        if (std::memcmp(bytes.data() + at + 4, type, 4) == 0) {
            *size = qint64(length) - header;
            return at + header;
        }
        at += qint64(length);
    }
    return -1;
}

// Dots per metre from a resolution box (JP2's capture "resc" or default
// display "resd" box): a fraction and a power of ten for each direction,
// in points per metre. 0 for none that makes sense.
void boxResolution(QByteArrayView bytes, qint64 at, int *x, int *y) {
    const auto u16 = [&](qint64 i) {
        return int(uchar(bytes[qsizetype(i)])) << 8 | int(uchar(bytes[qsizetype(i + 1)]));
    };
    const auto value = [&](qint64 i, qint64 exponent) {
        const int numerator = u16(i);
        const int denominator = u16(i + 2);
        if (numerator == 0 || denominator == 0)
            return 0;
        const double perMetre = double(numerator) / denominator *
                                std::pow(10.0, double(qint8(uchar(bytes[qsizetype(exponent)]))));
        return perMetre >= 1 && perMetre < 1e8 ? int(std::lround(perMetre)) : 0;
    };
    *y = value(at, at + 8);
    *x = value(at + 4, at + 9);
}

// The resolution a JP2 file states, the capture one (the scanner's) first.
void jp2Resolution(QByteArrayView bytes, QImage *picture) {
    qint64 size = 0;
    const qint64 header = findBox(bytes, 0, bytes.size(), "jp2h", &size);
    if (header < 0)
        return;
    qint64 resSize = 0;
    const qint64 res = findBox(bytes, header, header + size, "res ", &resSize);
    if (res < 0)
        return;
    for (const char *type : {"resc", "resd"}) {
        qint64 boxSize = 0;
        const qint64 box = findBox(bytes, res, res + resSize, type, &boxSize);
        if (box < 0 || boxSize < 10)
            continue;
        int x = 0;
        int y = 0;
        boxResolution(bytes, box, &x, &y);
        if (x > 0 && y > 0) {
            picture->setDotsPerMeterX(x);
            picture->setDotsPerMeterY(y);
            return;
        }
    }
}

// One component as the picture reads it: which sample each column and row
// takes (a sub-sampled component's samples each cover several pixels), and
// how a sample becomes 8 bits.
struct Plane {
    const OPJ_INT32 *data = nullptr;
    std::vector<int> columns;
    std::vector<int> rows;
    size_t stride = 0;
    int offset = 0;  // added to a signed component's samples
    int maximum = 255;

    // The sample at a pixel, from 0 to `maximum`.
    int raw(int x, int y) const {
        return std::clamp(
            data[size_t(rows[size_t(y)]) * stride + size_t(columns[size_t(x)])] + offset, 0,
            maximum);
    }
    // A sample of this component's range rounded to the nearest of 256
    // levels: for 16 bits, v / 257.
    int eight(int v) const {
        return maximum == 255 ? v : int((qint64(v) * 255 + maximum / 2) / maximum);
    }
    int at(int x, int y) const { return eight(raw(x, y)); }
};

// The component's samples for each pixel of the image area from (x0, y0).
bool makePlane(const opj_image_t &image, const opj_image_comp_t &c, QSize size, Plane *plane) {
    if (!c.data || c.w == 0 || c.h == 0 || c.dx == 0 || c.dy == 0 || c.prec < 1 || c.prec > 16)
        return false;
    plane->data = c.data;
    plane->stride = c.w;
    plane->maximum = (1 << c.prec) - 1;
    plane->offset = c.sgnd ? 1 << (c.prec - 1) : 0;
    const auto index = [](qint64 position, qint64 step, qint64 first, qint64 count) {
        return int(std::clamp<qint64>(position / step - first, 0, count - 1));
    };
    plane->columns.resize(size_t(size.width()));
    for (int x = 0; x < size.width(); ++x)
        plane->columns[size_t(x)] = index(qint64(image.x0) + x, c.dx, c.x0, c.w);
    plane->rows.resize(size_t(size.height()));
    for (int y = 0; y < size.height(); ++y)
        plane->rows[size_t(y)] = index(qint64(image.y0) + y, c.dy, c.y0, c.h);
    return true;
}

// sYCC to RGB in the luma's range, with the coefficients opj_decompress
// uses, truncated as it truncates them.
QRgb syccToRgb(const Plane &luma, int y, int cb, int cr) {
    const int half = (luma.maximum + 1) / 2;
    cb -= half;
    cr -= half;
    const auto channel = [&luma](int v) { return luma.eight(std::clamp(v, 0, luma.maximum)); };
    return qRgb(channel(y + int(1.402 * float(cr))),
                channel(y - int(0.344 * float(cb) + 0.714 * float(cr))),
                channel(y + int(1.772 * float(cb))));
}

QString fillPicture(const opj_image_t &image, QSize size, QImage *picture) {
    const OPJ_UINT32 count = image.numcomps;
    // The colour components come first; an alpha one is flagged as such.
    OPJ_UINT32 colours = 0;
    while (colours < count && colours < 3 && !image.comps[colours].alpha)
        ++colours;
    if (colours == 2)
        colours = 1;
    if (colours != 1 && colours != 3)
        return QStringLiteral("a JPEG 2000 picture of %1 components is not read").arg(count);
    if (image.color_space == OPJ_CLRSPC_CMYK || image.color_space == OPJ_CLRSPC_EYCC)
        return QStringLiteral("a JPEG 2000 picture in CMYK or e-sYCC colours is not read");
    int alphaIndex = -1;
    for (OPJ_UINT32 i = colours; i < count; ++i) {
        if (image.comps[i].alpha || (count == colours + 1 && i == colours)) {
            alphaIndex = int(i);
            break;
        }
    }
    std::vector<Plane> planes(colours + (alphaIndex >= 0 ? 1 : 0));
    for (OPJ_UINT32 i = 0; i < planes.size(); ++i) {
        const opj_image_comp_t &c = image.comps[i < colours ? i : OPJ_UINT32(alphaIndex)];
        if (!makePlane(image, c, size, &planes[i]))
            return c.prec > 16 ? QStringLiteral(
                                     "a JPEG 2000 picture of %1 bits a sample is "
                                     "not read (16 at most)")
                                     .arg(c.prec)
                               : QStringLiteral(
                                     "damaged JPEG 2000 data: a component has no "
                                     "samples");
    }
    uchar *bits = reusePicture(picture, size);
    const size_t stride = size_t(picture->bytesPerLine());
    // A bare codestream names no colours: one whose second and third
    // components are sub-sampled is taken for YCbCr, as opj_decompress
    // takes it.
    const bool sycc = colours == 3 && (image.color_space == OPJ_CLRSPC_SYCC ||
                                       (image.color_space == OPJ_CLRSPC_UNSPECIFIED &&
                                        (image.comps[1].dx != 1 || image.comps[1].dy != 1)));
    const Plane *alpha = alphaIndex >= 0 ? &planes.back() : nullptr;
    const auto onWhite = [](int c, int a) { return (c * a + 255 * (255 - a) + 127) / 255; };
    for (int y = 0; y < size.height(); ++y) {
        QRgb *row = reinterpret_cast<QRgb *>(bits + size_t(y) * stride);
        for (int x = 0; x < size.width(); ++x) {
            QRgb p;
            if (colours == 1) {
                const int v = planes[0].at(x, y);
                p = qRgb(v, v, v);
            } else if (sycc) {
                p = syccToRgb(planes[0], planes[0].raw(x, y), planes[1].raw(x, y),
                              planes[2].raw(x, y));
            } else {
                p = qRgb(planes[0].at(x, y), planes[1].at(x, y), planes[2].at(x, y));
            }
            if (alpha) {
                const int a = alpha->at(x, y);
                p = qRgb(onWhite(qRed(p), a), onWhite(qGreen(p), a), onWhite(qBlue(p), a));
            }
            row[x] = p;
        }
    }
    return {};
}

}  // namespace

bool isJpeg2000(QByteArrayView bytes) {
    return isJp2File(bytes) || bytes.startsWith("\xFF\x4F\xFF\x51");
}

void setJpeg2000Threads(int threads) {
    g_threads.store(std::max(0, threads));
}

QString readJpeg2000(QByteArrayView bytes, QImage *picture,
                     const std::function<void(QSize)> &checkSize) {
    const bool jp2 = isJp2File(bytes);
    Messages messages;
    const std::unique_ptr<opj_codec_t, CodecCloser> codec(
        opj_create_decompress(jp2 ? OPJ_CODEC_JP2 : OPJ_CODEC_J2K));
    if (!codec)
        throw RuntimeError::outOfMemory();
    opj_codec_t *c = codec.get();
    opj_set_error_handler(c, onError, &messages);
    opj_set_warning_handler(c, onWarning, &messages);
    opj_set_info_handler(c, onInfo, nullptr);
    opj_dparameters_t parameters;
    opj_set_default_decoder_parameters(&parameters);
    if (!opj_setup_decoder(c, &parameters))
        return damaged(messages, "the decoder cannot be set up");
    // Data that stops before its code-blocks do is an error, not a picture
    // finished with whatever the missing samples default to.
    opj_decoder_set_strict_mode(c, OPJ_TRUE);
    const Decoding decoding;
    if (bytes.size() >= kThreadedBytes && opj_has_thread_support()) {
        const int threads = g_threads.load();
        opj_codec_set_threads(
            c, threads > 0 ? threads : std::max(1, QThread::idealThreadCount() / decoding.count));
    }

    Source source{reinterpret_cast<const uchar *>(bytes.data()), OPJ_SIZE_T(bytes.size())};
    const std::unique_ptr<opj_stream_t, StreamCloser> stream(opj_stream_create(1 << 16, OPJ_TRUE));
    if (!stream)
        throw RuntimeError::outOfMemory();
    opj_stream_t *s = stream.get();
    opj_stream_set_user_data(s, &source, nullptr);
    opj_stream_set_user_data_length(s, OPJ_UINT64(source.size));
    opj_stream_set_read_function(s, readSource);
    opj_stream_set_skip_function(s, skipSource);
    opj_stream_set_seek_function(s, seekSource);

    opj_image_t *header = nullptr;
    const bool read = opj_read_header(s, c, &header);
    const std::unique_ptr<opj_image_t, ImageCloser> image(header);
    if (!read || !header) {
        if (outOfMemory(messages.error))
            throw RuntimeError::outOfMemory();
        return damaged(messages, "the header cannot be read");
    }
    if (header->x1 <= header->x0 || header->y1 <= header->y0 || header->numcomps == 0)
        return damaged(messages, "the picture has no pixels");
    const quint64 width = header->x1 - header->x0;
    const quint64 height = header->y1 - header->y0;
    if (width > quint64(INT_MAX) || height > quint64(INT_MAX))
        return damaged(messages, "the picture's size is out of range");
    const QSize size{int(width), int(height)};
    checkSize(size);

    messages.decoding = true;
    if (!opj_decode(c, s, header) || !opj_end_decompress(c, s) || !messages.warning.isEmpty() ||
        !messages.error.isEmpty()) {
        if (outOfMemory(messages.error))
            throw RuntimeError::outOfMemory();
        return damaged(messages, "the samples cannot be decoded");
    }
    const QString refused = fillPicture(*header, size, picture);
    if (!refused.isEmpty()) {
        *picture = QImage();
        return refused;
    }
    if (jp2)
        jp2Resolution(bytes, picture);
    return {};
}

}  // namespace ink

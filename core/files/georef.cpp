#include "core/files/georef.h"

#include <QFile>
#include <QFileInfo>
#include <QLocale>

#include <cmath>
#include <cstdarg>
#include <cstring>
#include <memory>

#include <tiffio.h>

namespace ink {

namespace {

constexpr quint32 kModelPixelScale = 33550;
constexpr quint32 kModelTiepoint = 33922;
constexpr quint32 kModelTransformation = 34264;
constexpr quint32 kGeoKeyDirectory = 34735;
constexpr quint32 kGeoDoubleParams = 34736;
constexpr quint32 kGeoAsciiParams = 34737;
constexpr quint32 kGdalMetadata = 42112;
constexpr quint32 kGdalNodata = 42113;

constexpr quint16 kRasterTypeKey = 1025;  // GTRasterTypeGeoKey
constexpr quint16 kPixelIsPoint = 2;

// How libtiff is to read and write each: a count of doubles or shorts
// before the values, or a text.
const TIFFFieldInfo kFields[] = {
    {kModelPixelScale, TIFF_VARIABLE, TIFF_VARIABLE, TIFF_DOUBLE, FIELD_CUSTOM, 1, 1,
     const_cast<char *>("ModelPixelScale")},
    {kModelTiepoint, TIFF_VARIABLE, TIFF_VARIABLE, TIFF_DOUBLE, FIELD_CUSTOM, 1, 1,
     const_cast<char *>("ModelTiepoint")},
    {kModelTransformation, TIFF_VARIABLE, TIFF_VARIABLE, TIFF_DOUBLE, FIELD_CUSTOM, 1, 1,
     const_cast<char *>("ModelTransformation")},
    {kGeoKeyDirectory, TIFF_VARIABLE, TIFF_VARIABLE, TIFF_SHORT, FIELD_CUSTOM, 1, 1,
     const_cast<char *>("GeoKeyDirectory")},
    {kGeoDoubleParams, TIFF_VARIABLE, TIFF_VARIABLE, TIFF_DOUBLE, FIELD_CUSTOM, 1, 1,
     const_cast<char *>("GeoDoubleParams")},
    {kGeoAsciiParams, -1, -1, TIFF_ASCII, FIELD_CUSTOM, 1, 0, const_cast<char *>("GeoAsciiParams")},
    {kGdalMetadata, -1, -1, TIFF_ASCII, FIELD_CUSTOM, 1, 0, const_cast<char *>("GDALMetadata")},
    {kGdalNodata, -1, -1, TIFF_ASCII, FIELD_CUSTOM, 1, 0, const_cast<char *>("GDALNoDataValue")},
};

TIFFExtendProc g_nextExtender = nullptr;

void extend(TIFF *tiff) {
    TIFFMergeFieldInfo(tiff, kFields, int(std::size(kFields)));
    if (g_nextExtender)
        g_nextExtender(tiff);
}

int quiet(TIFF *, void *, const char *, const char *, va_list) {
    return 1;
}

struct TiffCloser {
    void operator()(TIFF *tiff) const { TIFFClose(tiff); }
};

int typeSize(TIFFDataType type) {
    return type == TIFF_DOUBLE ? 8 : type == TIFF_SHORT ? 2 : 1;
}

TIFFDataType typeOf(quint32 tag) {
    for (const TIFFFieldInfo &field : kFields)
        if (field.field_tag == tag)
            return field.field_type;
    return TIFF_NOTYPE;
}

QList<double> doublesOf(const GeoTiffTag *tag) {
    QList<double> values;
    if (tag)
        for (quint32 i = 0; i < tag->count; ++i) {
            double v;
            std::memcpy(&v, tag->values.constData() + 8 * i, 8);
            values << v;
        }
    return values;
}

// The world file's six numbers from the tags, when they place the picture:
// a transformation, or a tie point with a pixel scale. Pixel-is-area ties
// the corner of a pixel, pixel-is-point its centre.
std::optional<std::array<double, 6>> worldOfTags(const QList<GeoTiffTag> &tags) {
    const auto find = [&tags](quint32 id) -> const GeoTiffTag * {
        for (const GeoTiffTag &tag : tags)
            if (tag.tag == id)
                return &tag;
        return nullptr;
    };
    bool point = false;
    if (const GeoTiffTag *keys = find(kGeoKeyDirectory)) {
        const auto key = [keys](quint32 i) {
            quint16 v;
            std::memcpy(&v, keys->values.constData() + 2 * i, 2);
            return v;
        };
        for (quint32 k = 4; k + 3 < keys->count; k += 4)
            if (key(k) == kRasterTypeKey && key(k + 1) == 0)
                point = key(k + 3) == kPixelIsPoint;
    }
    const double centre = point ? 0.0 : 0.5;  // where the top left pixel's centre is
    std::array<double, 6> world;
    const QList<double> matrix = doublesOf(find(kModelTransformation));
    const QList<double> scale = doublesOf(find(kModelPixelScale));
    const QList<double> tie = doublesOf(find(kModelTiepoint));
    if (matrix.size() >= 8) {
        world = {matrix[0],
                 matrix[4],
                 matrix[1],
                 matrix[5],
                 matrix[3] + centre * (matrix[0] + matrix[1]),
                 matrix[7] + centre * (matrix[4] + matrix[5])};
    } else if (scale.size() >= 2 && tie.size() >= 6) {
        world = {scale[0],
                 0.0,
                 0.0,
                 -scale[1],
                 tie[3] + (centre - tie[0]) * scale[0],
                 tie[4] - (centre - tie[1]) * scale[1]};
    } else {
        return std::nullopt;
    }
    for (const double v : world)
        if (!std::isfinite(v))
            return std::nullopt;
    if (world[0] * world[3] - world[1] * world[2] == 0)
        return std::nullopt;
    return world;
}

QList<GeoTiffTag> readTags(const QString &path) {
    registerGeoTiffTags();
    TIFFOpenOptions *options = TIFFOpenOptionsAlloc();
    TIFFOpenOptionsSetErrorHandlerExtR(options, quiet, nullptr);
    TIFFOpenOptionsSetWarningHandlerExtR(options, quiet, nullptr);
    const std::unique_ptr<TIFF, TiffCloser> tiff(
        TIFFOpenExt(QFile::encodeName(path).constData(), "rm", options));
    TIFFOpenOptionsFree(options);
    QList<GeoTiffTag> tags;
    if (!tiff)
        return tags;
    for (const TIFFFieldInfo &field : kFields) {
        GeoTiffTag tag;
        tag.tag = field.field_tag;
        if (field.field_type == TIFF_ASCII) {
            const char *text = nullptr;
            if (TIFFGetField(tiff.get(), field.field_tag, &text) != 1 || !text)
                continue;
            tag.values = QByteArray(text);
            tag.count = quint32(tag.values.size());
        } else {
            quint16 count = 0;
            const void *values = nullptr;
            if (TIFFGetField(tiff.get(), field.field_tag, &count, &values) != 1 || !values ||
                count == 0)
                continue;
            tag.count = count;
            tag.values = QByteArray(static_cast<const char *>(values),
                                    qsizetype(count) * typeSize(field.field_type));
        }
        tags << tag;
    }
    return tags;
}

bool isTiffName(const QString &path) {
    const QString suffix = QFileInfo(path).suffix().toLower();
    return suffix == QLatin1String("tif") || suffix == QLatin1String("tiff");
}

// Whether the bytes begin with the six numbers of a world file.
bool parseWorldFile(const QByteArray &bytes) {
    const QList<QByteArray> words = bytes.simplified().split(' ');
    if (words.size() < 6)
        return false;
    for (int i = 0; i < 6; ++i) {
        bool ok = false;
        const double v = words[i].toDouble(&ok);
        if (!ok || !std::isfinite(v))
            return false;
    }
    return true;
}

}  // namespace

void registerGeoTiffTags() {
    static const bool registered = [] {
        g_nextExtender = TIFFSetTagExtender(extend);
        return true;
    }();
    Q_UNUSED(registered);
}

void setGeoTiffTags(TIFF *file, const QList<GeoTiffTag> &tags) {
    for (const GeoTiffTag &tag : tags) {
        const TIFFDataType type = typeOf(tag.tag);
        if (type == TIFF_ASCII)
            TIFFSetField(file, tag.tag, tag.values.constData());
        else if (type != TIFF_NOTYPE)
            TIFFSetField(file, tag.tag, int(tag.count), tag.values.constData());
    }
}

QStringList worldFileCandidates(const QString &path) {
    const QFileInfo info(path);
    const QString suffix = info.suffix().toLower();
    QStringList extensions;
    if (suffix.size() >= 2)
        extensions << QString(suffix.front()) + suffix.back() + QLatin1Char('w');
    if (!suffix.isEmpty())
        extensions << suffix + QLatin1Char('w');
    extensions << QStringLiteral("wld");
    const QString base =
        info.path() + QLatin1Char('/') + info.completeBaseName() + QLatin1Char('.');
    QStringList names;
    for (const QString &extension : std::as_const(extensions))
        names << base + extension << base + extension.toUpper();
    return names;
}

GeoReference readGeoReference(const QString &path) {
    GeoReference geo;
    QFile file(path);
    char head[4];
    if (file.open(QIODevice::ReadOnly) && file.read(head, 4) == 4 &&
        (std::memcmp(head, "II*\0", 4) == 0 || std::memcmp(head, "MM\0*", 4) == 0 ||
         std::memcmp(head, "II+\0", 4) == 0 || std::memcmp(head, "MM\0+", 4) == 0)) {
        file.close();
        geo.tiffTags = readTags(path);
        geo.tagWorld = worldOfTags(geo.tiffTags);
    }
    for (const QString &name : worldFileCandidates(path)) {
        QFile world(name);
        if (!QFileInfo(name).isFile() || !world.open(QIODevice::ReadOnly))
            continue;
        // A world file is six short lines; anything far longer is not one.
        const QByteArray bytes = world.read(4096);
        if (world.error() != QFileDevice::NoError) {
            geo.problem = QStringLiteral("%1 cannot be read (%2), not carried")
                              .arg(name, world.errorString());
        } else if (!world.atEnd() || !parseWorldFile(bytes)) {
            geo.problem = QStringLiteral("%1 is not a world file, not carried").arg(name);
        } else {
            geo.worldFile = bytes;
            geo.worldFileName = name;
            geo.problem.clear();
        }
        break;
    }
    return geo;
}

QByteArray GeoReference::worldFileFor(const QString &output) const {
    if (!worldFile.isEmpty())
        return worldFile;
    if (!tagWorld || isTiffName(output))
        return {};
    QByteArray text;
    for (const double v : *tagWorld)
        text += QByteArray::number(v, 'g', QLocale::FloatingPointShortest) + '\n';
    return text;
}

QString worldFileName(const QString &path) {
    const QFileInfo info(path);
    const QString suffix = info.suffix();
    const bool upper =
        !suffix.isEmpty() && suffix == suffix.toUpper() && suffix != suffix.toLower();
    QString extension = QStringLiteral("wld");
    if (isTiffName(path))
        extension = QStringLiteral("tfw");
    else if (suffix.toLower() == QLatin1String("png"))
        extension = QStringLiteral("pgw");
    const QString folder =
        info.path() == QLatin1String(".") && !path.startsWith(QLatin1String("./"))
            ? QString()
            : info.path() + QLatin1Char('/');
    return folder + info.completeBaseName() + QLatin1Char('.') +
           (upper ? extension.toUpper() : extension);
}

}  // namespace ink

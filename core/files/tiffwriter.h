#pragma once

// The writers of the formats that Qt's image writers do not produce as
// archives want them: TIFF through libtiff (a mask as 1-bit CCITT Group 4, a
// picture as Deflate-compressed RGB) and the raw PBM bitmap. Each streams the
// image row by row into `device` and returns false with a description in
// `error` when it cannot write it; failures of the device itself are the
// caller's to report (the atomic writer keeps them with their errno).

#include <QImage>
#include <QList>
#include <QString>

class QIODevice;

namespace ink {

struct GeoTiffTag;

// A 1-bit image (QImage::Format_Mono, black = ink, as maskImage() makes it)
// is written as a Group 4 bitmap in which 1 is black; any other image as
// 8-bit RGB. Both with the image's resolution.
// An image whose file could pass 4 GB, which the classic layout's offsets
// cannot address, is written as BigTIFF: the bound, taken before writing,
// is a byte a pixel and two a line for a mask (Group 4 codes never take
// more) and three a pixel for a picture (Deflate's stored blocks add a few
// bytes each).
bool writeTiff(const QImage &image, QIODevice *device, QString *error);
// The same with the scan's georeferencing tags (see georef.h).
bool writeTiff(const QImage &image, QIODevice *device, QString *error,
               const QList<GeoTiffTag> &geoTags);

// For tests: the bound above which writeTiff() writes BigTIFF, in bytes;
// negative for the default, 4 GB less room for the tags and strip tables.
void setBigTiffBound(qint64 bytes);

// A 1-bit image as raw PBM ("P4"), 1 = black. Only masks: any other image is
// refused.
bool writePbm(const QImage &image, QIODevice *device, QString *error);

}  // namespace ink

#pragma once

// Where a scanned map lies on the ground, carried from the scan to what is
// written from it. The mask and the painted picture have the scan's pixel
// grid, so the scan's georeferencing holds for them unchanged: a TIFF output
// gets the scan's GeoTIFF tags (and GDAL's metadata and nodata tags), and an
// output gets a world file beside it when the scan had one, or, for the
// formats that have no tags of their own, one worked out from the GeoTIFF
// tags. The coordinate system travels only in the tags.

#include <QByteArray>
#include <QList>
#include <QString>

#include <array>
#include <optional>

struct tiff;

namespace ink {

// One of the carried TIFF tags, as libtiff gives it: its values' bytes.
struct GeoTiffTag {
    quint32 tag = 0;
    quint32 count = 0;  // values, or for ASCII the text's bytes without its NUL
    QByteArray values;
};

struct GeoReference {
    // ModelPixelScale, ModelTiepoint, ModelTransformation, GeoKeyDirectory,
    // GeoDoubleParams, GeoAsciiParams, GDAL_METADATA, GDAL_NODATA: those the
    // scan has, in that order.
    QList<GeoTiffTag> tiffTags;
    // The world file beside the scan, its bytes as they are, or empty.
    QByteArray worldFile;
    QString worldFileName;  // its name, when there is one
    // The six numbers of a world file (A D B E C F: the centre of the top
    // left pixel is C, F) worked out from the tags, when they place the
    // picture.
    std::optional<std::array<double, 6>> tagWorld;
    // Why a world file or the tags beside the scan were not carried, for a
    // warning; empty when nothing was amiss.
    QString problem;

    bool isEmpty() const { return tiffTags.isEmpty() && worldFile.isEmpty() && !tagWorld; }
    // The world file an output named `output` gets, or empty for none: the
    // scan's own, else, for an output that is not a TIFF, the one the tags
    // give.
    QByteArray worldFileFor(const QString &output) const;
};

// Reads the georeferencing of the scan at `path`: its GeoTIFF tags when it is
// a TIFF file, and the world file beside it (scan.tfw or scan.tifw for
// scan.tif, scan.pgw or scan.pngw for scan.png, scan.jgw or scan.jpgw for
// scan.jpg, scan.wld for any; in lower or upper case). Nothing found gives an
// empty reference; a TIFF that libtiff cannot read gives no tags (the loader
// names its fault).
GeoReference readGeoReference(const QString &path);

// The name of the world file beside the output `path`: its base name with
// the extension GIS programs look for, .tfw for .tif and .tiff, .pgw for
// .png and .wld for any other (.pbm), in the output's case.
QString worldFileName(const QString &path);

// The names of the world files that may lie beside the scan at `path`, the
// ones readGeoReference() looks for, lower case first.
QStringList worldFileCandidates(const QString &path);

// Makes libtiff know the carried tags by type, in every TIFF opened from
// now on, Qt's reader's too: it then reads them without a warning. Once, from
// any thread.
void registerGeoTiffTags();

// Sets the tags on the directory being written.
void setGeoTiffTags(tiff *file, const QList<GeoTiffTag> &tags);

}  // namespace ink

// Writing pictures and masks: which file names take which format, what the
// batch tool's options make of them, and the mask as a 1-bit picture from
// either kind of mask, read back from the files written. The archival
// outputs: masks as Group 4 TIFF and as PBM, pictures as compressed TIFF,
// read back equal, kept small, refused where a format cannot hold the
// content, and written whole or not at all when the disk fills.

#include "batch/options.h"
#include "core/files/imagefiles.h"
#include "core/files/loadpicture.h"
#include "core/files/tiffwriter.h"
#include "core/image/packedmask.h"
#include "samplegen.h"
#include "support.h"

#include <QBuffer>
#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <sys/resource.h>
#include <cerrno>
#include <csignal>
#include <cstring>

using namespace ink;
using namespace ink::test;

namespace {

// A random mask of `width` x `height` as the 1-bit picture the writers get.
QImage randomMaskImage(int width, int height, Rng &rng) {
    QImage picture(width, height, QImage::Format_RGB32);
    picture.setDotsPerMeterX(11811);
    picture.setDotsPerMeterY(11811);
    return maskImage(randomMask(width, height, rng, 1 + rng.below(99)), picture);
}

// The image as black and white pixels, whatever its format.
QImage blackAndWhite(const QImage &image) {
    return image.convertToFormat(QImage::Format_RGB32);
}

QByteArray encoded(bool (*write)(const QImage &, QIODevice *, QString *), const QImage &image) {
    QBuffer buffer;
    buffer.open(QIODevice::ReadWrite);
    QString error;
    return write(image, &buffer, &error) ? buffer.data() : QByteArray();
}

}  // namespace

class TestMaskFormats : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;

    // A fresh empty folder for each test row.
    QString freshFolder() {
        const QString path = m_dir.filePath(QString::number(++m_folders));
        QDir().mkpath(path);
        return path;
    }
    static QStringList filesIn(const QString &folder) {
        return QDir(folder).entryList(QDir::Files | QDir::Hidden);
    }
    int m_folders = 0;

private Q_SLOTS:
    // Random masks of every width from 1 to 300 (every partial byte, one
    // 64-pixel word and several) at heights around a word's edge: Group 4
    // (through Qt's TIFF reader, which is libtiff's) and PBM read back equal
    // to the mask, black as black.
    void maskRoundTrip_data() {
        QTest::addColumn<int>("height");
        for (const int height : {1, 2, 63, 64, 65})
            QTest::addRow("height %d", height) << height;
    }
    void maskRoundTrip() {
        QFETCH(int, height);
        Rng rng{quint64(height) * 7919};
        for (int width = 1; width <= 300; ++width) {
            const QImage mask = randomMaskImage(width, height, rng);
            const QImage expected = blackAndWhite(mask);
            const QString where = QStringLiteral("%1 x %2").arg(width).arg(height);

            const QByteArray tiff = encoded(writeTiff, mask);
            QVERIFY2(blackAndWhite(QImage::fromData(tiff, "TIFF")) == expected, qPrintable(where));
            const QByteArray pbm = encoded(writePbm, mask);
            const QByteArray header =
                "P4\n" + QByteArray::number(width) + ' ' + QByteArray::number(height) + '\n';
            QVERIFY(pbm.startsWith(header));
            QCOMPARE(pbm.size(), header.size() + (width + 7) / 8 * height);
            QVERIFY2(blackAndWhite(QImage::fromData(pbm, "PBM")) == expected, qPrintable(where));
        }
    }

    // A mask whose colour table is the other way round (0 = black, as Qt's
    // own conversion to 1 bit makes it) is written with the same pixels.
    void invertedColourTable() {
        Rng rng{5};
        const QImage mask = randomMaskImage(77, 9, rng);
        QImage inverted = mask.copy();
        inverted.invertPixels();
        inverted.setColorTable({qRgb(0, 0, 0), qRgb(255, 255, 255)});
        QCOMPARE(blackAndWhite(inverted), blackAndWhite(mask));
        QCOMPARE(blackAndWhite(QImage::fromData(encoded(writeTiff, inverted), "TIFF")),
                 blackAndWhite(mask));
        QCOMPARE(encoded(writePbm, inverted), encoded(writePbm, mask));
    }

    // The resolution read back by Qt is the picture's: whole dots per inch
    // stored as such, anything else as dots per centimetre.
    void resolutionKept_data() {
        QTest::addColumn<int>("x");
        QTest::addColumn<int>("y");
        QTest::newRow("300 dpi") << 11811 << 11811;
        QTest::newRow("600 x 300 dpi") << 23622 << 11811;
        QTest::newRow("72 dpi") << 2835 << 2835;
        QTest::newRow("not whole inches") << 1000 << 12345;
    }
    void resolutionKept() {
        QFETCH(int, x);
        QFETCH(int, y);
        Rng rng{1};
        QImage mask = randomMaskImage(40, 30, rng);
        mask.setDotsPerMeterX(x);
        mask.setDotsPerMeterY(y);
        QImage picture = blackAndWhite(mask);
        picture.setDotsPerMeterX(x);
        picture.setDotsPerMeterY(y);
        for (const QImage &image : {mask, picture}) {
            const QString path = m_dir.filePath(QStringLiteral("dpi.tif"));
            QString error;
            QVERIFY2(writeImageFile(image, path, &error), qPrintable(error));
            const QImage read(path);
            QCOMPARE(read.dotsPerMeterX(), x);
            QCOMPARE(read.dotsPerMeterY(), y);
            QCOMPARE(blackAndWhite(read), picture);
        }
    }

    // An A4 page at 300 dpi: its Group 4 mask under a tenth of the 1-bit
    // TIFF it replaces, and the painted picture (black and white in RGB)
    // under a twentieth of its raw size, read back equal.
    void a4Sizes() {
        const QImage scan = makeSampleScan(2480, 3508, 1);
        PackedMask cells;
        cells.allocate(scan.width(), scan.height());
        for (int y = 0; y < scan.height(); ++y) {
            const QRgb *row = reinterpret_cast<const QRgb *>(scan.constScanLine(y));
            for (int x = 0; x < scan.width(); ++x)
                cells.set(x, y,
                          qRed(row[x]) <= 180 && qGreen(row[x]) <= 180 && qBlue(row[x]) <= 180);
        }
        const QImage mask = maskImage(cells, scan);
        const qint64 uncompressed = qint64(scan.height()) * ((scan.width() + 7) / 8);
        const QByteArray g4 = encoded(writeTiff, mask);
        QVERIFY2(g4.size() * 10 < uncompressed, qPrintable(QString::number(g4.size())));
        const QImage painted = blackAndWhite(mask);
        const QByteArray picture = encoded(writeTiff, painted);
        QVERIFY2(picture.size() * 20 < qint64(scan.width()) * scan.height() * 3,
                 qPrintable(QString::number(picture.size())));
        QCOMPARE(blackAndWhite(QImage::fromData(picture, "TIFF")), painted);
    }

    // Forced to BigTIFF, as a page past 4 GB is written: a mask and a
    // picture, with their resolution, load back equal.
    void bigTiffReadBack() {
        Rng rng{17};
        const QImage mask = randomMaskImage(301, 97, rng);
        QImage picture = noiseImage(67, 45, 17);
        picture.setDotsPerMeterX(11811);
        picture.setDotsPerMeterY(11811);
        const QString folder = freshFolder();
        setBigTiffBound(0);
        for (const QImage &image : {mask, picture}) {
            const QString path = folder + QStringLiteral("/big.tif");
            QString error;
            QVERIFY2(writeImageFile(image, path, &error), qPrintable(error));
            QCOMPARE(contents(path).left(4), QByteArray("II+\0", 4));
            const QImage read = LoadPicture(path);
            QCOMPARE(blackAndWhite(read), blackAndWhite(image));
            QCOMPARE(read.dotsPerMeterX(), 11811);
        }
        setBigTiffBound(-1);
        QCOMPARE(encoded(writeTiff, mask).left(4), QByteArray("II*\0", 4));
    }

    // The painted picture to PBM is refused with the formats that can hold
    // it, and nothing is written.
    void pictureToPbmRefused() {
        const QImage picture(8, 8, QImage::Format_RGB32);
        const QString folder = freshFolder();
        QString error;
        QVERIFY(!writeImageFile(picture, folder + QStringLiteral("/p.pbm"), &error));
        QCOMPARE(error, QStringLiteral("PBM cannot hold the painted picture: write .png, .tif "
                                       "or .tiff"));
        QCOMPARE(filesIn(folder), QStringList());
    }

    // A disk that fills during the write: the cause is the system's, and no
    // file, temporary or final, is left behind.
    void diskFull_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("isMask");
        QTest::newRow("Group 4 mask") << "m.tif" << true;
        QTest::newRow("PBM mask") << "m.pbm" << true;
        QTest::newRow("TIFF picture") << "p.tiff" << false;
    }
    void diskFull() {
        QFETCH(QString, name);
        QFETCH(bool, isMask);
        Rng rng{9};
        const QImage mask = randomMaskImage(600, 400, rng);  // noise: far over the limit
        const QImage image = isMask ? mask : blackAndWhite(mask);
        rlimit previous;
        getrlimit(RLIMIT_FSIZE, &previous);
        const auto oldHandler = signal(SIGXFSZ, SIG_IGN);
        rlimit limit = previous;
        limit.rlim_cur = 4096;
        setrlimit(RLIMIT_FSIZE, &limit);
        const QString folder = freshFolder();
        QString error;
        const bool written = writeImageFile(image, folder + QLatin1Char('/') + name, &error);
        setrlimit(RLIMIT_FSIZE, &previous);
        signal(SIGXFSZ, oldHandler);
        QVERIFY(!written);
        QCOMPARE(error, qt_error_string(EFBIG));
        QCOMPARE(filesIn(folder), QStringList());
    }

    // The format of a file name, the size it can hold and the message when
    // it cannot.
    void formatOfName_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("format");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<QString>("problem");
        const QSize largest(1000000, 1000000);
        QTest::newRow("png at the limit") << "a.png" << QByteArray("png") << largest << "";
        QTest::newRow("png too wide")
            << "A.PNG" << QByteArray("png") << QSize(1000001, 1)
            << "PNG cannot hold a picture 1000001 pixels wide: write TIFF";
        QTest::newRow("png too high")
            << "d.x/a.Png" << QByteArray("png") << QSize(1, 1000001)
            << "PNG cannot hold a picture 1000001 pixels high: write TIFF";
        QTest::newRow("tif") << "b.TIF" << QByteArray("tiff") << QSize(2000000, 1) << "";
        QTest::newRow("tiff") << "b.tiff" << QByteArray("tiff") << QSize(1, 2000000) << "";
        QTest::newRow("jpeg") << "c.jpg" << QByteArray() << QSize(2000000, 1) << "";
        QTest::newRow("folder named .png") << "d.png/e" << QByteArray() << largest << "";
        QTest::newRow("compressed png") << "e.png.gz" << QByteArray() << largest << "";
    }
    void formatOfName() {
        QFETCH(QString, name);
        QFETCH(QByteArray, format);
        QFETCH(QSize, size);
        QFETCH(QString, problem);
        QCOMPARE(imageFormatFor(name), format);
        QCOMPARE(imageSizeProblem(size, name), problem);
    }

    // The batch tool's outputs: the formats -o and --mask accept, and the
    // names given in --output-dir and --mask-dir.
    void batchOutputs_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QString>("picture");
        QTest::addColumn<QString>("mask");
        const auto refused = [](const char *name, const char *extensions = ".png, .tif or .tiff") {
            return QStringLiteral("%1: the output must be a %2 file").arg(name, extensions);
        };
        const auto row = [](const char *tag, const QStringList &arguments, const QString &error,
                            const char *picture = "", const char *mask = "") {
            QTest::newRow(tag) << arguments << error << QString::fromUtf8(picture)
                               << QString::fromUtf8(mask);
        };
        row("-o jpeg", {"-o", "o.jpg", "in.png"}, refused("o.jpg"));
        row("--mask bmp", {"--mask", "m.bmp", "in.png"},
            refused("m.bmp", ".png, .tif, .tiff or .pbm"));
        row("-o pbm", {"-o", "o.pbm", "in.png"},
            "o.pbm: PBM cannot hold the painted picture: write .png, .tif or .tiff");
        row("--mask pbm", {"--mask", "m.PBM", "in.png"}, "", "", "m.PBM");
        row("pbm input", {"--output-dir", "p", "--mask-dir", "m", "in.pbm"}, "", "p/in.png",
            "m/in.pbm");
        row("no extension", {"-o", "o", "in.png"}, refused("o"));
        row("-o and --mask", {"-o", "o.TIFF", "--mask", "m.Png", "in.png"}, "", "o.TIFF", "m.Png");
        const QStringList dirs{"--output-dir", "p", "--mask-dir", "m"};
        row("jpeg input", dirs + QStringList{"in.jpg"}, "", "p/in.png", "m/in.png");
        row("tif input", dirs + QStringList{"in.TIF"}, "", "p/in.TIF", "m/in.TIF");
        row("tiff input", dirs + QStringList{"in.tiff"}, "", "p/in.tiff", "m/in.tiff");
        row("png input, upper case", dirs + QStringList{"in.PNG"}, "", "p/in.png", "m/in.png");
        row("dotted name", dirs + QStringList{"d/a.b.c.bmp"}, "", "p/a.b.c.png", "m/a.b.c.png");
        row("input with no extension", dirs + QStringList{"d/scan"}, "", "p/scan.png",
            "m/scan.png");
    }
    void batchOutputs() {
        QFETCH(QStringList, arguments);
        QFETCH(QString, error);
        QFETCH(QString, picture);
        QFETCH(QString, mask);
        const ParsedArguments parsed =
            parseBatchArguments(QStringList{"inkmask-batch"} + arguments, 1);
        QCOMPARE(parsed.error, error);
        if (!error.isEmpty())
            return;
        QCOMPARE(parsed.options.pictureFor(0), picture);
        QCOMPARE(parsed.options.maskFor(0), mask);
    }

    // Random masks of every width from 1 to 100 (every partial byte and
    // 64-pixel word of a line, one word and more) give the same image
    // from both kinds of mask, black exactly where the mask is True; the
    // cells in the extra row and column are not drawn. Some are written to
    // files of each format and read back.
    void maskFromEitherKind_data() {
        QTest::addColumn<int>("height");
        for (const int height : {1, 9, 64, 65, 130})
            QTest::addRow("height %d", height) << height;
    }
    void maskFromEitherKind() {
        QFETCH(int, height);
        Rng rng{quint64(height)};
        for (int width = 1; width <= 100; ++width) {
            QImage picture(width, height, QImage::Format_RGB32);
            picture.setDotsPerMeterX(11811);
            picture.setDotsPerMeterY(5906);
            const int density = 1 + rng.below(99);  // sparse to dense
            const PackedMask cells = randomMask(width, height, rng, density);
            PackedMask packed;
            packed.assign(cells);

            QImage expected(width, height, QImage::Format_RGB32);
            for (int y = 0; y < height; ++y)
                for (int x = 0; x < width; ++x)
                    expected.setPixel(x, y, cells.at(x, y) ? qRgb(0, 0, 0) : qRgb(255, 255, 255));

            const QImage image = maskImage(cells, picture);
            const QString where = QStringLiteral("%1 x %2").arg(width).arg(height);
            QCOMPARE(image.format(), QImage::Format_Mono);
            QCOMPARE(image.dotsPerMeterX(), 11811);
            QCOMPARE(image.dotsPerMeterY(), 5906);
            // Byte for byte, pad bits included: they reach the files written.
            const QImage fromPacked = maskImage(packed, picture);
            QVERIFY2(fromPacked == image, qPrintable(where));
            for (int y = 0; y < height; ++y)
                QVERIFY2(std::memcmp(fromPacked.constScanLine(y), image.constScanLine(y),
                                     size_t(width + 7) / 8) == 0,
                         qPrintable(where));
            QList<QImage> readBack{image};
            if (width % 25 == 0 || width == 1 || width == 63) {
                for (const char *suffix : {".png", ".tif"}) {
                    const QString path = m_dir.filePath(
                        QStringLiteral("m%1x%2").arg(width).arg(height) + QLatin1String(suffix));
                    QString error;
                    QVERIFY2(writeImageFile(image, path, &error), qPrintable(error));
                    readBack << QImage(path);
                }
            }
            for (const QImage &read : readBack)
                QVERIFY2(read.convertToFormat(QImage::Format_RGB32) == expected, qPrintable(where));
        }
    }

    // A mask that does not reach the picture's last row or column is an
    // error, never a read past its end.
    void maskSmallerThanPicture() {
        const QImage picture(70, 70, QImage::Format_RGB32);
        for (const QSize upper : {QSize(68, 70), QSize(70, 68)}) {
            PackedMask cells;
            cells.allocate(upper.width(), upper.height());
            PackedMask packed;
            packed.assign(cells);
            QVERIFY_THROWS_EXCEPTION(RuntimeError, maskImage(cells, picture));
            QVERIFY_THROWS_EXCEPTION(RuntimeError, maskImage(packed, picture));
        }
    }
};

QTEST_MAIN(TestMaskFormats)
#include "test_maskformats.moc"

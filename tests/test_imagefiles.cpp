// Writing pictures and masks: which file names take which format, what the
// batch tool's options make of them, and the mask as a 1-bit picture from
// either kind of mask, read back from the files written.

#include "batch/options.h"
#include "core/files/imagefiles.h"
#include "core/image/packedmask.h"
#include "support.h"

#include <QTemporaryDir>
#include <QTest>

#include <cstring>

using namespace ink;
using ink::test::randomMask;
using ink::test::Rng;

class TestImageFiles : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;

private Q_SLOTS:
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

QTEST_MAIN(TestImageFiles)
#include "test_imagefiles.moc"

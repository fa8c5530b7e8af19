// The archival outputs: masks as Group 4 TIFF and as PBM, pictures as
// compressed TIFF. Read back equal, kept small, refused where a format cannot
// hold the content, and written whole or not at all when the disk fills.

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

using namespace ink;
using ink::test::contents;
using ink::test::Rng;

namespace {

// A random mask of `width` x `height` as the 1-bit picture the writers get.
QImage randomMask(int width, int height, Rng &rng) {
    PackedMask cells;
    cells.allocate(width, height);
    const int density = 1 + rng.below(99);
    for (int x = 0; x < width; ++x)
        for (int y = 0; y < height; ++y)
            cells.set(x, y, rng.below(100) < density);
    QImage picture(width, height, QImage::Format_RGB32);
    picture.setDotsPerMeterX(11811);
    picture.setDotsPerMeterY(11811);
    return maskImage(cells, picture);
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
            const QImage mask = randomMask(width, height, rng);
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
        const QImage mask = randomMask(77, 9, rng);
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
        QImage mask = randomMask(40, 30, rng);
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
        const QImage mask = randomMask(301, 97, rng);
        QImage picture(67, 45, QImage::Format_RGB32);
        for (int y = 0; y < picture.height(); ++y)
            for (int x = 0; x < picture.width(); ++x)
                picture.setPixel(x, y, qRgb(rng.below(256), rng.below(256), rng.below(256)));
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
        const QImage mask = randomMask(600, 400, rng);  // noise: far over the limit
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
};

QTEST_MAIN(TestMaskFormats)
#include "test_maskformats.moc"

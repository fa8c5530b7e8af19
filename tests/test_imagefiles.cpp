// Writing pictures and masks: which file names take which format, and what
// the batch tool's options make of them.

#include "batch/options.h"
#include "platform/imagefiles.h"

#include <QTest>

using namespace ink;

class TestImageFiles : public QObject {
    Q_OBJECT

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
        const auto refused = [](const char *name) {
            return QStringLiteral("%1: the output must be a .png, .tif or .tiff file").arg(name);
        };
        const auto row = [](const char *tag, const QStringList &arguments, const QString &error,
                            const char *picture = "", const char *mask = "") {
            QTest::newRow(tag) << arguments << error << QString::fromUtf8(picture)
                               << QString::fromUtf8(mask);
        };
        row("-o jpeg", {"-o", "o.jpg", "in.png"}, refused("o.jpg"));
        row("--mask bmp", {"--mask", "m.bmp", "in.png"}, refused("m.bmp"));
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
};

QTEST_MAIN(TestImageFiles)
#include "test_imagefiles.moc"

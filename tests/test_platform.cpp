// Command line, text and number conversions, the colour split and the mask's
// bounds: the small pieces every handler relies on.

#include "image/colorvalue.h"
#include "image/maskarray.h"
#include "platform/commandline.h"
#include "platform/convert.h"
#include "platform/runtimeerror.h"

#include <QLocale>
#include <QTest>

using namespace ink;

namespace {
int errorNumberOf(const std::function<void()> &f) {
    try {
        f();
    } catch (const RuntimeError &e) {
        return e.number();
    }
    return 0;
}
}  // namespace

class TestPlatform : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void imagePath_data() {
        QTest::addColumn<QString>("commandLine");
        QTest::addColumn<QString>("path");
        QTest::newRow("plain") << "plan.png"
                               << "plan.png";
        QTest::newRow("quoted with blanks around") << "   \"C:\\scans\\plan 1.bmp\"  "
                                                   << "C:\\scans\\plan 1.bmp";
        QTest::newRow("opening quote only") << "\"plan.png"
                                            << "\"plan.png";
        QTest::newRow("two quoted names") << "\"a.png\" \"b.png\""
                                          << "a.png\" \"b.png";
        QTest::newRow("just two quotes") << "\"\""
                                         << "";
        QTest::newRow("empty") << ""
                               << "";
        QTest::newRow("tabs stay") << "\tplan.png\t"
                                   << "\tplan.png\t";
        QTest::newRow("inner quotes and blanks stay") << "\" a \"\" b \""
                                                      << " a \"\" b ";
        QTest::newRow("lone quote kept") << " \" "
                                         << "\"";
        QTest::newRow("not trimmed again") << "\" plan.png \""
                                           << " plan.png ";
    }
    void imagePath() {
        QFETCH(QString, commandLine);
        QFETCH(QString, path);
        QCOMPARE(imagePathFromCommandLine(commandLine), path);
    }

    void textToDouble_data() {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QString>("text");
        QTest::addColumn<double>("value");
        QTest::addColumn<bool>("ok");
        QTest::newRow("plain") << "en_US"
                               << "180" << 180.0 << true;
        QTest::newRow("blanks around") << "en_US"
                                       << "  42 " << 42.0 << true;
        QTest::newRow("fraction, dot locale") << "en_US"
                                              << "180.5" << 180.5 << true;
        QTest::newRow("fraction, comma locale") << "fr_FR"
                                                << "180,5" << 180.5 << true;
        QTest::newRow("dot still read where dot groups") << "de_DE"
                                                         << "180.5" << 180.5 << true;
        QTest::newRow("empty") << "en_US"
                               << "" << 0.0 << false;
        QTest::newRow("letters") << "en_US"
                                 << "abc" << 0.0 << false;
        QTest::newRow("trailing junk") << "en_US"
                                       << "12x" << 0.0 << false;
        QTest::newRow("grouped thousands refused") << "en_US"
                                                   << "1,800" << 0.0 << false;
        QTest::newRow("infinity refused") << "en_US"
                                          << "inf" << 0.0 << false;
    }
    void textToDouble() {
        QFETCH(QString, locale);
        QFETCH(QString, text);
        QFETCH(double, value);
        QFETCH(bool, ok);
        QLocale::setDefault(QLocale(locale));
        auto restore = qScopeGuard([] { QLocale::setDefault(QLocale::c()); });
        if (ok) {
            QCOMPARE(ink::textToDouble(text), value);
        } else {
            try {
                ink::textToDouble(text, QStringLiteral("bbox"));
                QFAIL("no error raised");
            } catch (const RuntimeError &e) {
                QCOMPARE(e.number(), 13);
                QVERIFY(e.description().startsWith(QStringLiteral("Type mismatch")));
                QVERIFY2(e.description().contains(QStringLiteral("bbox")),
                         qPrintable(e.description()));
            }
        }
    }

    void rounding() {
        QCOMPARE(roundToInt32(2.5), 2);
        QCOMPARE(roundToInt32(3.5), 4);
        QCOMPARE(roundToInt32(-2.5), -2);
        QCOMPARE(roundToInt32(1279.5f), 1280);
        QCOMPARE(roundToInt32(2147483647.0), 2147483647);
        QCOMPARE(errorNumberOf([] { roundToInt32(2147483648.0); }), 6);
        QCOMPARE(errorNumberOf([] { roundToInt16(32768.0); }), 6);
        QCOMPARE(errorNumberOf([] { checkedAdd(2147483647, 1); }), 6);
        QCOMPARE(errorNumberOf([] { checkedSub(-2147483647 - 1, 1); }), 6);
    }

    void colorToRGB_data() {
        QTest::addColumn<int>("c");
        QTest::addColumn<int>("r");
        QTest::addColumn<int>("g");
        QTest::addColumn<int>("b");
        QTest::newRow("no pixel") << -1 << 0 << 0 << 0;
        QTest::newRow("white") << 0xFFFFFF << 255 << 255 << 255;
        QTest::newRow("mixed") << 0x123456 << 0x56 << 0x34 << 0x12;
        QTest::newRow("red") << 0x0000FF << 255 << 0 << 0;
        QTest::newRow("green") << 0x00FF00 << 0 << 255 << 0;
        QTest::newRow("blue") << 0xFF0000 << 0 << 0 << 255;
    }
    void colorToRGB() {
        QFETCH(int, c);
        QFETCH(int, r);
        QFETCH(int, g);
        QFETCH(int, b);
        const RGBTriple t = ColorToRGB(c);
        QCOMPARE(t.R, r);
        QCOMPARE(t.G, g);
        QCOMPARE(t.B, b);
    }

    void colorToRGBRefusesNonColours() {
        QCOMPARE(errorNumberOf([] { ColorToRGB(qint32(0xFFFFFF00)); }), 6);
        QCOMPARE(errorNumberOf([] { ColorToRGB(0x01000000); }), 6);
        QCOMPARE(errorNumberOf([] { ColorToRGB(-2); }), 6);
    }

    void maskBounds() {
        MaskArray mask;
        QVERIFY(!mask.isAllocated());
        QCOMPARE(errorNumberOf([&] { mask.at(0, 0); }), 9);

        mask.allocate(1280, 1024);
        QCOMPARE(mask.upperX(), 1280);
        QCOMPARE(mask.upperY(), 1024);
        QCOMPARE(mask.countBlack(), 0);
        mask.set(1280, 1024, true);
        QVERIFY(mask.at(1280, 1024));
        QVERIFY(!mask.at(1279, 1024));
        QCOMPARE(errorNumberOf([&] { mask.at(1281, 0); }), 9);
        QCOMPARE(errorNumberOf([&] { mask.at(0, 1025); }), 9);
        QCOMPARE(errorNumberOf([&] { mask.at(-1, 0); }), 9);
        QCOMPARE(errorNumberOf([&] { mask.set(0, -1, true); }), 9);

        MaskArray copy;
        copy.assign(mask);
        QVERIFY(copy == mask);
        mask.allocate(3, 2);
        QCOMPARE(mask.countBlack(), 0);
        QVERIFY(!(copy == mask));
    }

    void maskTooLargeIsOutOfMemory() {
        MaskArray mask;
        mask.allocate(2, 2);
        QCOMPARE(errorNumberOf([&] { mask.allocate(2147483647, 2147483647); }), 7);
        QCOMPARE(mask.upperX(), 2);  // the old mask is kept
    }
};

QTEST_GUILESS_MAIN(TestPlatform)
#include "test_platform.moc"

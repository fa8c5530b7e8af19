// Command line, text and number conversions, the colour split and the mask's
// bounds: the small pieces every handler relies on.

#include "core/image/colorvalue.h"
#include "core/image/packedmask.h"
#include "core/runtime/commandline.h"
#include "core/runtime/convert.h"
#include "core/runtime/runtimeerror.h"

#include <QByteArrayList>
#include <QLocale>
#include <QTest>

#include <vector>

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

    static void row(const char *name, const QString &in, const QString &out) {
        QTest::newRow(name) << in << out;
    }

private Q_SLOTS:
    // Blanks (not tabs) go from both ends, then one pair of enclosing quotes.
    void imagePath_data() {
        QTest::addColumn<QString>("commandLine");
        QTest::addColumn<QString>("path");
        row("quoted with blanks around", "   \"C:\\scans\\plan 1.bmp\"  ", "C:\\scans\\plan 1.bmp");
        row("opening quote only", "\"plan.png", "\"plan.png");
        row("just two quotes", "\"\"", "");
        row("lone quote kept", " \" ", "\"");
        row("tabs stay", "\tplan.png\t", "\tplan.png\t");
        row("not trimmed inside quotes", "\" a \"\" b \"", " a \"\" b ");
    }
    void imagePath() {
        QFETCH(QString, commandLine);
        QFETCH(QString, path);
        QCOMPARE(imagePathFromCommandLine(commandLine), path);
    }

    // main()'s arguments after the program's name, byte for byte: every one
    // is part of the path, and a name whose bytes are not UTF-8 is flagged
    // (the text itself has replacement characters and names no file).
    void commandLineFromArgv_data() {
        QTest::addColumn<QByteArrayList>("arguments");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        const auto row = [](const char *name, QByteArrayList arguments, const QString &text,
                            bool valid) { QTest::newRow(name) << arguments << text << valid; };
        row("none", {}, "", true);
        row("looks like a toolkit option", {"-reverse"}, "-reverse", true);
        row("several joined by blanks", {"-style", "x.png"}, "-style x.png", true);
        row("quoted name with a blank", {"\"plan", "1.png\""}, "\"plan 1.png\"", true);
        row("UTF-8 accent", {"caf\xc3\xa9.png"}, QString::fromUtf8("café.png"), true);
        row("byte order mark kept",
            {"\xef\xbb\xbf"
             "a.png"},
            QStringLiteral("\uFEFFa.png"), true);
        row("Latin-1 accent", {"caf\xe9.png"}, QStringLiteral("caf\uFFFD.png"), false);
        row("bad byte in a later argument", {"a.png", "\xff"}, QStringLiteral("a.png \uFFFD"),
            false);
        row("encoded surrogate", {"\xed\xa0\x80.png"}, QString(), false);
        row("overlong slash", {"\xc0\xaf.png"}, QString(), false);
    }
    void commandLineFromArgv() {
        QFETCH(QByteArrayList, arguments);
        QFETCH(QString, text);
        QFETCH(bool, valid);
        std::vector<const char *> argv{"inkmask"};
        for (const QByteArray &argument : arguments)
            argv.push_back(argument.constData());
        argv.push_back(nullptr);
        const CommandLine commandLine = ink::commandLineFromArgv(int(argv.size()) - 1, argv.data());
        QCOMPARE(commandLine.validUtf8, valid);
        if (!text.isNull())
            QCOMPARE(commandLine.text, text);
    }

    // The user's locale first, then the C locale; group separators never.
    void textToDouble_data() {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QString>("text");
        QTest::addColumn<double>("value");  // 0: error 13
        QTest::newRow("blanks around") << "en_US" << QString(" 42 ") << 42.0;
        QTest::newRow("comma locale") << "fr_FR" << QString("180,5") << 180.5;
        QTest::newRow("dot where dot groups") << "de_DE" << QString("180.5") << 180.5;
        QTest::newRow("empty") << "en_US" << QString() << 0.0;
        QTest::newRow("trailing junk") << "en_US" << QString("12x") << 0.0;
        QTest::newRow("grouped thousands") << "en_US" << QString("1,800") << 0.0;
        QTest::newRow("infinity") << "en_US" << QString("inf") << 0.0;
    }
    void textToDouble() {
        QFETCH(QString, locale);
        QFETCH(QString, text);
        QFETCH(double, value);
        QLocale::setDefault(QLocale(locale));
        auto restore = qScopeGuard([] { QLocale::setDefault(QLocale::c()); });
        try {
            QCOMPARE(ink::textToDouble(text, QStringLiteral("bbox")), value);
            QVERIFY(value != 0);
        } catch (const RuntimeError &e) {
            QCOMPARE(value, 0.0);
            QCOMPARE(e.number(), 13);
            QVERIFY2(e.description().startsWith(QStringLiteral("Type mismatch")) &&
                         e.description().contains(QStringLiteral("bbox")),
                     qPrintable(e.description()));
        }
    }

    void roundingAndOverflow() {
        QCOMPARE(roundToInt32(2.5), 2);
        QCOMPARE(roundToInt32(3.5), 4);
        QCOMPARE(roundToInt32(2147483647.0), 2147483647);
        QCOMPARE(errorNumberOf([] { roundToInt32(2147483648.0); }), 6);
        QCOMPARE(errorNumberOf([] { roundToInt16(32768.0); }), 6);
        QCOMPARE(errorNumberOf([] { checkedAdd(2147483647, 1); }), 6);
        QCOMPARE(errorNumberOf([] { checkedSub(-2147483647 - 1, 1); }), 6);
    }

    // A value with a top byte is no colour: error 6.
    void colorToRGB() {
        QCOMPARE(ColorToRGB(-1), (RGBTriple{0, 0, 0}));
        QCOMPARE(ColorToRGB(0xFFFFFF), (RGBTriple{255, 255, 255}));
        QCOMPARE(ColorToRGB(0x123456), (RGBTriple{0x56, 0x34, 0x12}));
        QCOMPARE(errorNumberOf([] { ColorToRGB(0x01000000); }), 6);
        QCOMPARE(errorNumberOf([] { ColorToRGB(-2); }), 6);
    }

    void maskBounds() {
        PackedMask mask;
        QCOMPARE(errorNumberOf([&] { mask.at(0, 0); }), 9);
        mask.allocate(1280, 1024);
        mask.set(1280, 1024, true);
        QVERIFY(mask.at(1280, 1024) && !mask.at(1279, 1024));
        QCOMPARE(mask.countBlack(), 1);
        QCOMPARE(errorNumberOf([&] { mask.at(1281, 0); }), 9);
        QCOMPARE(errorNumberOf([&] { mask.at(0, 1025); }), 9);
        QCOMPARE(errorNumberOf([&] { mask.set(-1, 0, true); }), 9);

        PackedMask copy;
        copy.assign(mask);
        QVERIFY(copy == mask);
        mask.allocate(3, 2);
        QCOMPARE(mask.countBlack(), 0);
        QCOMPARE(errorNumberOf([&] { mask.allocate(2147483647, 2147483647); }), 7);
        QCOMPARE(mask.upperX(), 3);  // the old mask is kept
    }
};

QTEST_GUILESS_MAIN(TestPlatform)
#include "test_platform.moc"

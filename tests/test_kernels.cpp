// The batch tool's whole-column kernels against the per-pixel passes, which
// are the reference: same picture, same masks, same end-of-column steps, bit
// for bit, on seeded random pictures and masks.

#include "image/imagesurface.h"
#include "image/packedmask.h"
#include "image/paintedsurface.h"
#include "ops/holefill.h"
#include "ops/kernels.h"
#include "ops/spurremoval.h"
#include "ops/threshold.h"
#include "support.h"

#include <QTest>

using namespace ink;
using namespace ink::test;

namespace {

enum class Step { Nb, Bouchtrou, Affine };

struct Outcome {
    QImage picture;
    MaskArray mask;
    MaskArray workMask;
    QStringList calls;
};

// A picture of strokes and specks: mostly dark or light pixels, some exactly
// at or just past the thresholds, and some already pure black or white.
QImage randomPicture(int w, int h, Rng &rng) {
    QImage image(w, h, QImage::Format_RGB32);
    const int levels[] = {0, 90, 179, 180, 181, 200, 254, 255};
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            auto channel = [&] { return levels[rng.below(8)]; };
            switch (rng.below(6)) {
                case 0:
                    image.setPixel(x, y, qRgb(channel(), channel(), channel()));
                    break;
                case 1:
                    image.setPixel(x, y, qRgb(255, 255, 255));
                    break;
                default: {
                    const int v = rng.below(3) == 0 ? 40 : 230;
                    image.setPixel(x, y, qRgb(v, v + rng.below(20), v - rng.below(20)));
                }
            }
        }
    }
    return image;
}

MaskArray randomMask(int w, int h, Rng &rng, int blackPercent) {
    MaskArray mask;
    mask.allocate(w, h);
    for (int x = 0; x <= w; ++x)
        for (int y = 0; y <= h; ++y)
            mask.set(x, y, rng.below(100) < blackPercent);
    return mask;
}

void scriptCancel(ScriptedStep &step, qint32 cancelAfter) {
    if (cancelAfter >= 0)
        step.at(cancelAfter, [&step] { step.cancel = 1; });
}

Outcome runReference(const QImage &image, const MaskArray &mask, const QList<Step> &steps,
                     Thresholds thresholds, qint32 cancelAfter) {
    Module1 module;
    module.Mask = mask;
    module.WorkMask.allocate(0, 0);  // the pass start replaces it
    ImageSurface picture(image);
    ScriptedStep step;
    FixedThresholds source(thresholds);
    for (Step s : steps) {
        scriptCancel(step, cancelAfter);
        ThresholdPass nb(source);
        HoleFillPass bouchtrou;
        SpurRemovalPass affine;
        ColumnOperation &op = s == Step::Nb          ? static_cast<ColumnOperation &>(nb)
                              : s == Step::Bouchtrou ? static_cast<ColumnOperation &>(bouchtrou)
                                                     : static_cast<ColumnOperation &>(affine);
        runColumnPass(module, picture, step, op);
    }
    return {picture.image(), module.Mask, module.WorkMask, step.calls};
}

Outcome runKernels(const QImage &image, const MaskArray &mask, const QList<Step> &steps,
                   Thresholds thresholds, qint32 cancelAfter) {
    KernelModel model;
    model.load(image);
    model.Mask.assign(mask);
    Module1 module;  // not used by the kernels
    ScriptedStep step;
    for (Step s : steps) {
        scriptCancel(step, cancelAfter);
        ThresholdKernel nb(model, thresholds);
        HoleFillKernel bouchtrou(model);
        SpurRemovalKernel affine(model);
        ColumnOperation &op = s == Step::Nb          ? static_cast<ColumnOperation &>(nb)
                              : s == Step::Bouchtrou ? static_cast<ColumnOperation &>(bouchtrou)
                                                     : static_cast<ColumnOperation &>(affine);
        runColumnPass(module, model.picture, step, op);
    }
    return {model.picture.image(), model.Mask.toMaskArray(), model.WorkMask.toMaskArray(),
            step.calls};
}

// The first differing pixel or cell, for a readable failure.
QString firstDifference(const Outcome &a, const Outcome &b) {
    for (int y = 0; y < a.picture.height(); ++y)
        for (int x = 0; x < a.picture.width(); ++x)
            if (a.picture.pixel(x, y) != b.picture.pixel(x, y))
                return QStringLiteral("picture at %1,%2").arg(x).arg(y);
    for (qint32 x = 0; x <= a.mask.upperX(); ++x)
        for (qint32 y = 0; y <= a.mask.upperY(); ++y)
            if (a.mask.at(x, y) != b.mask.at(x, y))
                return QStringLiteral("Mask at %1,%2").arg(x).arg(y);
    return QStringLiteral("WorkMask or steps");
}

}  // namespace

Q_DECLARE_METATYPE(Step)
Q_DECLARE_METATYPE(ink::Thresholds)

class TestKernels : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void bitTranspose() {
        Rng rng(7);
        quint64 tile[64];
        quint64 original[64];
        for (auto &w : original)
            w = rng.next();
        std::copy(std::begin(original), std::end(original), tile);
        transposeBits(tile);
        for (int r = 0; r < 64; ++r)
            for (int c = 0; c < 64; ++c)
                QCOMPARE((tile[c] >> r) & 1, (original[r] >> c) & 1);
    }

    void packedMaskRoundTrip() {
        Rng rng(3);
        for (auto [w, h] : {std::pair{0, 0}, {4, 62}, {9, 63}, {3, 64}, {70, 130}}) {
            const MaskArray mask = randomMask(w, h, rng, 50);
            PackedMask packed;
            packed.assign(mask);
            QCOMPARE(packed.countBlack(), mask.countBlack());
            QVERIFY(packed.toMaskArray() == mask);
            for (qint32 x = 0; x <= w; ++x)
                QCOMPARE(packed.column(x)[-1] | packed.column(x)[packed.wordsPerColumn()], 0u);
        }
        PackedMask packed;
        packed.allocate(3, 3);
        QVERIFY_THROWS_EXCEPTION(RuntimeError, packed.at(4, 0));
        QVERIFY_THROWS_EXCEPTION(RuntimeError, packed.set(0, -1, true));
    }

    // Point and PSet as on the window's picture: black and white go to the
    // layers, other colours into the image, and the flattened picture agrees.
    void paintedSurfaceActsLikeImageSurface() {
        Rng rng(11);
        const QImage image = randomPicture(70, 9, rng);
        ImageSurface reference(image);
        PaintedSurface painted;
        painted.setImage(image);
        const ColorValue colours[] = {kBlack, kWhite, 0x123456, kBlack | 0x7F000000, -1};
        for (int i = 0; i < 400; ++i) {
            const qint64 x = rng.below(74) - 2;
            const qint64 y = rng.below(13) - 2;
            const ColorValue c = colours[rng.below(5)];
            reference.PSet(x, y, c);
            painted.PSet(x, y, c);
            QCOMPARE(painted.Point(x, y), reference.Point(x, y));
        }
        QCOMPARE(painted.image(), reference.image());
        QCOMPARE(painted.takeImage(), reference.image());
    }

    void kernelsMatchPerPixelPasses_data() {
        QTest::addColumn<int>("w");
        QTest::addColumn<int>("h");
        QTest::addColumn<int>("startMask");  // percent of black cells before the steps
        QTest::addColumn<QList<Step>>("steps");
        QTest::addColumn<Thresholds>("thresholds");
        QTest::addColumn<int>("cancelAfter");  // column after which Cancel is ticked, or -1

        const QList<Step> chain{Step::Nb, Step::Bouchtrou, Step::Affine};
        const QList<Step> again{Step::Nb,     Step::Bouchtrou, Step::Affine,
                                Step::Affine, Step::Nb,        Step::Bouchtrou};
        const Thresholds standard{180, 180, 180};
        QTest::newRow("1x1") << 1 << 1 << 0 << chain << standard << -1;
        QTest::newRow("5x5") << 5 << 5 << 0 << again << standard << -1;
        QTest::newRow("7x7") << 7 << 7 << 0 << again << standard << -1;
        QTest::newRow("12x12 clean-up on a random mask")
            << 12 << 12 << 70 << QList<Step>{Step::Bouchtrou, Step::Affine, Step::Bouchtrou}
            << standard << -1;
        QTest::newRow("64x64") << 64 << 64 << 0 << again << standard << -1;
        QTest::newRow("65x63 fractional")
            << 65 << 63 << 0 << again << Thresholds{180.5, 90, 255} << -1;
        QTest::newRow("130x129 all black")
            << 130 << 129 << 0 << again << Thresholds{255, 255, 300} << -1;
        QTest::newRow("67x70 nothing black")
            << 67 << 70 << 30 << again << Thresholds{-0.5, 200, 200} << -1;
        QTest::newRow("200x70 zero thresholds")
            << 200 << 70 << 0 << again << Thresholds{0, 0, 0} << -1;
        // Dense masks give gaps two rows high, also across the words' edges.
        QTest::newRow("200x140 dense random mask")
            << 200 << 140 << 90 << QList<Step>{Step::Bouchtrou, Step::Affine, Step::Bouchtrou}
            << standard << -1;
        // Pixels painted white by affine, read back by NB at 255.
        QTest::newRow("painted white read back")
            << 80 << 70 << 50 << QList<Step>{Step::Affine, Step::Nb, Step::Affine, Step::Nb}
            << Thresholds{255, 255, 255} << -1;
        QTest::newRow("3x300 tall") << 3 << 300 << 50 << again << standard << -1;
        QTest::newRow("2100x3 wider than a band") << 2100 << 3 << 0 << chain << standard << -1;
        QTest::newRow("2100x9 cancelled past a band")
            << 2100 << 9 << 0 << chain << standard << 2060;
        QTest::newRow("90x90 random mask, cancelled") << 90 << 90 << 60 << again << standard << 40;
        QTest::newRow("140x75 cancelled at the first column")
            << 140 << 75 << 0 << again << standard << 1;
    }
    void kernelsMatchPerPixelPasses() {
        QFETCH(int, w);
        QFETCH(int, h);
        QFETCH(int, startMask);
        QFETCH(QList<Step>, steps);
        QFETCH(Thresholds, thresholds);
        QFETCH(int, cancelAfter);
        const QStringList forms = imageScanForms();
        for (quint64 seed = 1; seed <= quint64(forms.size()) + 1; ++seed) {
            // Each seed with another form of the image scan, the fastest twice.
            useImageScanForm(forms[int(seed - 1) % forms.size()]);
            Rng rng(seed * 1000 + quint64(w) * 7 + quint64(h));
            const QImage image = randomPicture(w, h, rng);
            const MaskArray mask = randomMask(w, h, rng, startMask);
            const Outcome expected = runReference(image, mask, steps, thresholds, cancelAfter);
            const Outcome actual = runKernels(image, mask, steps, thresholds, cancelAfter);
            const bool same = actual.picture == expected.picture && actual.mask == expected.mask &&
                              actual.workMask == expected.workMask &&
                              actual.calls == expected.calls;
            if (!same)
                QFAIL(qPrintable(QStringLiteral("seed %1 (%2): %3")
                                     .arg(seed)
                                     .arg(forms[int(seed - 1) % forms.size()],
                                          firstDifference(expected, actual))));
        }
        useImageScanForm(forms.first());
    }

    // A mask smaller than the picture: the kernel refuses the column before
    // touching it, with the error the per-pixel pass raises.
    void maskTooSmallRaisesSubscriptError() {
        KernelModel model;
        model.load(solidImage(12, 12, kBlack));
        model.Mask.allocate(8, 8);
        Module1 module;
        ScriptedStep step;
        SpurRemovalKernel affine(model);
        try {
            runColumnPass(module, model.picture, step, affine);
            QFAIL("no error");
        } catch (const RuntimeError &e) {
            QCOMPARE(e.number(), int(RuntimeError::SubscriptOutOfRange));
        }
        QVERIFY(step.columns.empty());
    }
};

QTEST_MAIN(TestKernels)
#include "test_kernels.moc"

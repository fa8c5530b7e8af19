// The batch tool's whole-column kernels against the per-pixel passes, which
// are the reference: same picture, same masks, same end-of-column steps, bit
// for bit, on seeded random pictures and masks; and the kernels' picture.

#include "image/imagesurface.h"
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

// The passes by their names ("nb", "bouchtrou", "affine"): as the window runs
// them, pixel by pixel, or as the batch tool does, by whole columns.
std::unique_ptr<ColumnOperation> perPixelPass(const QString &name, ThresholdSource &source) {
    if (name == QLatin1String("nb"))
        return std::make_unique<ThresholdPass>(source);
    if (name == QLatin1String("bouchtrou"))
        return std::make_unique<HoleFillPass>();
    return std::make_unique<SpurRemovalPass>();
}

std::unique_ptr<ColumnOperation> kernelPass(const QString &name, KernelModel &model,
                                            const Thresholds &thresholds) {
    if (name == QLatin1String("nb"))
        return std::make_unique<ThresholdKernel>(model, thresholds);
    if (name == QLatin1String("bouchtrou"))
        return std::make_unique<HoleFillKernel>(model);
    return std::make_unique<SpurRemovalKernel>(model);
}

// Strokes and dots: dark or light pixels, some at or just past the
// thresholds, some pure white.
QImage randomPicture(int w, int h, Rng &rng) {
    QImage image(w, h, QImage::Format_RGB32);
    const int levels[] = {0, 90, 179, 180, 181, 200, 254, 255};
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const int kind = rng.below(6);
            const int v = rng.below(3) == 0 ? 40 : 230;
            image.setPixel(
                x, y,
                kind == 0   ? qRgb(levels[rng.below(8)], levels[rng.below(8)], levels[rng.below(8)])
                : kind == 1 ? qRgb(255, 255, 255)
                            : qRgb(v, v + rng.below(20), v - rng.below(20)));
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

// Runs the named steps from `mask` on `image` through the per-pixel passes
// and through the kernels, with Cancel ticked after column `cancelAfter` of
// each pass, and compares the pictures, both masks and every step's calls.
void compareRuns(const QImage &image, const MaskArray &mask, const QStringList &steps,
                 Thresholds thresholds, qint32 cancelAfter, const QString &what) {
    Module1 module;
    module.Mask = mask;
    ImageSurface surface(image);
    FixedThresholds source(thresholds);
    Module1 kernelModule = module;
    KernelModel model;
    model.load(image);
    model.Mask.assign(mask);
    ScriptedStep step;
    ScriptedStep kernelStep;
    for (const QString &name : steps) {
        if (cancelAfter >= 0) {
            step.at(cancelAfter, [&step] { step.cancel = 1; });
            kernelStep.at(cancelAfter, [&kernelStep] { kernelStep.cancel = 1; });
        }
        runColumnPass(module, surface, step, *perPixelPass(name, source));
        runColumnPass(kernelModule, model.picture, kernelStep,
                      *kernelPass(name, model, thresholds));
    }
    QVERIFY2(model.picture.image() == surface.image(), qPrintable(what + " picture"));
    QVERIFY2(model.Mask.toMaskArray() == module.Mask, qPrintable(what + " Mask"));
    QVERIFY2(model.WorkMask.toMaskArray() == module.WorkMask, qPrintable(what + " WorkMask"));
    QVERIFY2(kernelStep.calls == step.calls, qPrintable(what + " steps"));
}

}  // namespace

Q_DECLARE_METATYPE(ink::Thresholds)

class TestKernels : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Point and PSet as on the window's picture, in and out of bounds: black
    // and white go to the layers, other colours into the image, and the
    // flattened picture agrees.
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

    // The kernels against the per-pixel passes on random pictures and start
    // masks (which also carry the packed masks to and fro), each seed with
    // another form of the image scan: picture, both masks and every step.
    void kernelsMatchPerPixelPasses_data() {
        QTest::addColumn<int>("w");
        QTest::addColumn<int>("h");
        QTest::addColumn<int>("startMask");  // percent of black cells before the steps
        QTest::addColumn<QString>("steps");
        QTest::addColumn<Thresholds>("thresholds");
        QTest::addColumn<int>("cancelAfter");  // column after which Cancel is ticked, or -1

        const QString chain = QStringLiteral("nb,bouchtrou,affine");
        const QString again = QStringLiteral("nb,bouchtrou,affine,affine,nb,bouchtrou");
        const Thresholds standard{180, 180, 180};
        QTest::newRow("1x1") << 1 << 1 << 0 << chain << standard << -1;
        QTest::newRow("5x5") << 5 << 5 << 0 << again << standard << -1;
        QTest::newRow("7x7") << 7 << 7 << 0 << again << standard << -1;
        QTest::newRow("64x64") << 64 << 64 << 0 << again << standard << -1;
        QTest::newRow("65x63 fractional")
            << 65 << 63 << 0 << again << Thresholds{180.5, 90, 255} << -1;
        QTest::newRow("130x129 all black")
            << 130 << 129 << 0 << again << Thresholds{255, 255, 300} << -1;
        QTest::newRow("67x70 nothing black")
            << 67 << 70 << 30 << again << Thresholds{-0.5, 200, 200} << -1;
        QTest::newRow("3x300 tall") << 3 << 300 << 50 << again << Thresholds{0, 0, 0} << -1;
        // Dense masks give gaps two rows high, also across the words' edges.
        QTest::newRow("200x140 dense random mask")
            << 200 << 140 << 90 << "bouchtrou,affine,bouchtrou" << standard << -1;
        // Pixels painted white by affine, read back by NB at 255.
        QTest::newRow("painted white read back")
            << 80 << 70 << 50 << "affine,nb,affine,nb" << Thresholds{255, 255, 255} << -1;
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
        QFETCH(QString, steps);
        QFETCH(Thresholds, thresholds);
        QFETCH(int, cancelAfter);
        const QStringList names = steps.split(QLatin1Char(','));
        const QStringList forms = imageScanForms();  // the fastest twice
        for (int seed = 1; seed <= forms.size() + 1; ++seed) {
            const QString form = forms[(seed - 1) % forms.size()];
            useImageScanForm(form);
            Rng rng(quint64(seed) * 1000 + quint64(w) * 7 + quint64(h));
            const QImage image = randomPicture(w, h, rng);
            const MaskArray mask = randomMask(w, h, rng, startMask);
            compareRuns(image, mask, names, thresholds, cancelAfter,
                        QStringLiteral("seed %1, %2:").arg(seed).arg(form));
            if (QTest::currentTestFailed())
                break;
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

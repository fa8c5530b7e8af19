// The column-pass frame: ranges, the end-of-column step, Cancel, Reload inside
// the pump, and errors that must leave `Mask` as it was.

#include "image/columnpass.h"
#include "image/imagesurface.h"
#include "support.h"

#include <QTest>

using namespace ink;
using namespace ink::test;

namespace {

// Marks every visited pixel black in `WorkMask` and records the row ranges.
class MarkingOperation : public ColumnOperation {
public:
    explicit MarkingOperation(PassRange r) : m_range(r) {}
    PassRange range() const override { return m_range; }
    void processColumn(Module1 &module, PixelSurface &picture, qint32 x, qint32 y0,
                       qint32 y1) override {
        rows.push_back({x, y0, y1});
        for (qint32 y = y0; y <= y1; ++y) {
            if (failAt == QPoint(x, y))
                throw RuntimeError::overflow();
            module.WorkMask.set(x, y, true);
            picture.PSet(x, y, kBlack);
        }
    }
    struct Rows {
        qint32 x, y0, y1;
    };
    std::vector<Rows> rows;
    QPoint failAt{-1, -1};

private:
    PassRange m_range;
};

struct Fixture {
    Fixture(int w, int h) : picture(solidImage(w, h, kWhite)) {
        module.Mask.allocate(w, h);
        module.WorkMask.allocate(w, h);
    }
    Module1 module;
    ImageSurface picture;
    ScriptedStep step;
};

}  // namespace

class TestPassFrame : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void fullPassVisitsRangeAndCopiesBack() {
        Fixture f(10, 8);
        f.module.Mask.set(0, 0, true);  // outside the range: must survive the pass start copy
        MarkingOperation op({3, 4.0f, 3, 4.0f});
        const PassOutcome outcome = runColumnPass(f.module, f.picture, f.step, op);

        QVERIFY(!outcome.cancelled);
        QCOMPARE(outcome.columnsDone, 4);
        QCOMPARE(f.step.columns, (std::vector<qint32>{3, 4, 5, 6}));
        QCOMPARE(f.step.progress, QStringLiteral("i=6"));
        QCOMPARE(f.module.Mask.countBlack(), 1 + 4 * 2);  // rows 3..4 of columns 3..6
        QVERIFY(f.module.Mask.at(0, 0));
        QVERIFY(f.module.Mask == f.module.WorkMask);
        QCOMPARE(f.picture.Point(3, 3), kBlack);
        QCOMPARE(f.picture.Point(7, 3), kWhite);
    }

    void surfaceReadsBackWritesAndKeepsSnapshotsApart_data() {
        QTest::addColumn<int>("w");
        QTest::addColumn<int>("h");
        QTest::newRow("small") << 7 << 5;
        QTest::newRow("large enough for large pages") << 2100 << 2100;
    }
    void surfaceReadsBackWritesAndKeepsSnapshotsApart() {
        QFETCH(int, w);
        QFETCH(int, h);
        ImageSurface picture(solidImage(w, h, 0x123456));
        const QImage before = picture.image();
        picture.PSet(w - 1, h - 1, 0xABCDEF);
        picture.PSet(w, 0, kBlack);  // beyond the drawing surface: no effect
        QCOMPARE(picture.Point(w - 1, h - 1), 0xABCDEF);
        QCOMPARE(picture.Point(0, 0), 0x123456);
        QCOMPARE(picture.Point(w, 0), kNoPixel);
        QCOMPARE(picture.Point(0, -1), kNoPixel);
        QCOMPARE(before.pixel(w - 1, h - 1), qRgb(0x56, 0x34, 0x12));
        QCOMPARE(picture.image().pixel(w - 1, h - 1), qRgb(0xEF, 0xCD, 0xAB));
    }

    void stepOrder() {
        Fixture f(4, 4);
        MarkingOperation op({1, 3.0f, 0, 0.0f});
        runColumnPass(f.module, f.picture, f.step, op);
        QCOMPARE(f.step.calls,
                 (QStringList{"refreshPicture", "setProgress i=1", "refreshWindow", "doEvents"}));
    }

    void emptyColumnRangeOnlyCopies() {
        Fixture f(6, 6);
        f.module.Mask.set(2, 2, true);
        f.module.WorkMask.set(4, 4, true);  // stale output buffer is replaced by the pass start
        MarkingOperation op({3, 4.0f, 3, 4.0f});  // last column 2
        runColumnPass(f.module, f.picture, f.step, op);
        QVERIFY(f.step.calls.isEmpty());
        QVERIFY(op.rows.empty());
        QCOMPARE(f.module.Mask.countBlack(), 1);
        QVERIFY(f.module.Mask == f.module.WorkMask);
    }

    void emptyRowRangeStillStepsEveryColumn() {
        Fixture f(9, 5);
        MarkingOperation none({3, 2.0f, 4, 2.0f});  // rows 4..3: empty
        runColumnPass(f.module, f.picture, f.step, none);
        QCOMPARE(f.step.columns, (std::vector<qint32>{3, 4, 5, 6, 7}));
        QCOMPARE(f.module.Mask.countBlack(), 0);
        QCOMPARE(none.rows.front().y0, 4);
        QCOMPARE(none.rows.front().y1, 3);
    }

    void halfPixelSizesRoundToEven() {
        // A width of 6.5 rounds to 6 and 7.5 to 8: the frame takes single
        // values and rounds halves to even.
        class HalfSurface : public ImageSurface {
        public:
            using ImageSurface::ImageSurface;
            float Width() const override { return w; }
            float Height() const override { return 4.5f; }
            float w = 6.5f;
        };
        HalfSurface picture(solidImage(8, 8, kWhite));
        Module1 module;
        module.Mask.allocate(8, 8);
        module.WorkMask.allocate(8, 8);
        ScriptedStep step;
        MarkingOperation op({1, 0.0f, 0, 0.0f});
        runColumnPass(module, picture, step, op);
        QCOMPARE(step.columns.back(), 6);
        QCOMPARE(op.rows.front().y1, 4);
        picture.w = 7.5f;
        step = ScriptedStep();
        runColumnPass(module, picture, step, op);
        QCOMPARE(step.columns.back(), 8);
    }

    void cancelTickedBeforeDoesOneColumn() {
        Fixture f(10, 10);
        f.step.cancel = 1;
        MarkingOperation op({3, 4.0f, 3, 4.0f});
        const PassOutcome outcome = runColumnPass(f.module, f.picture, f.step, op);
        QVERIFY(outcome.cancelled);
        QCOMPARE(f.step.columns, (std::vector<qint32>{3}));
        QCOMPARE(f.step.cancel, 0);
        QCOMPARE(f.step.progress, QStringLiteral("i=3"));
        QVERIFY(f.module.Mask.at(3, 3));
        QVERIFY(!f.module.Mask.at(4, 3));
    }

    void greyedCancelDoesNotStop() {
        Fixture f(10, 10);
        f.step.cancel = 2;
        MarkingOperation op({3, 4.0f, 3, 4.0f});
        QVERIFY(!runColumnPass(f.module, f.picture, f.step, op).cancelled);
        QCOMPARE(f.step.cancel, 2);
        QCOMPARE(f.step.columns.size(), size_t(4));
    }

    void cancelAfterColumnKeepsFinishedColumns() {
        Fixture f(20, 6);
        f.step.at(10, [&] { f.step.cancel = 1; });
        MarkingOperation op({1, 0.0f, 2, 0.0f});
        runColumnPass(f.module, f.picture, f.step, op);
        QCOMPARE(f.step.columns.back(), 10);
        QCOMPARE(f.step.progress, QStringLiteral("i=10"));
        QVERIFY(f.module.Mask.at(10, 2));
        QVERIFY(!f.module.Mask.at(11, 2));
        QCOMPARE(f.picture.Point(11, 2), kWhite);
        QVERIFY(f.module.Mask == f.module.WorkMask);
    }

    void reloadInsidePumpEndsWithFreshMasks() {
        Fixture f(20, 6);
        f.module.Mask.set(0, 0, true);
        // What Reload does inside the pump: tick Cancel, reallocate both masks
        // (here to another picture size).
        f.step.at(5, [&] {
            f.step.cancel = 1;
            f.module.Mask.allocate(30, 7);
            f.module.WorkMask.allocate(30, 7);
        });
        MarkingOperation op({1, 0.0f, 2, 0.0f});
        runColumnPass(f.module, f.picture, f.step, op);
        QCOMPARE(f.step.columns.back(), 5);
        QCOMPARE(f.step.cancel, 0);
        QCOMPARE(f.module.Mask.upperX(), 30);
        QCOMPARE(f.module.Mask.countBlack(), 0);
        QVERIFY(f.module.Mask == f.module.WorkMask);
    }

    void errorSkipsCopyBack() {
        Fixture f(12, 6);
        f.module.Mask.set(0, 0, true);
        const MaskArray before = f.module.Mask;
        MarkingOperation op({1, 0.0f, 2, 0.0f});
        op.failAt = QPoint(4, 3);
        try {
            runColumnPass(f.module, f.picture, f.step, op);
            QFAIL("the error did not propagate");
        } catch (const RuntimeError &e) {
            QCOMPARE(e.number(), 6);
        }
        QVERIFY(f.module.Mask == before);
        QCOMPARE(f.step.columns.back(), 3);
        // What was painted before the error stays painted.
        QCOMPARE(f.picture.Point(4, 2), kBlack);
        QCOMPARE(f.picture.Point(4, 3), kWhite);
    }
};

QTEST_GUILESS_MAIN(TestPassFrame)
#include "test_passframe.moc"

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
    // Pixels written are read back, outside the surface reads -1 and writes
    // nothing, and a snapshot does not change under later writes.
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
        picture.PSet(w, 0, kBlack);
        QCOMPARE(picture.Point(w - 1, h - 1), 0xABCDEF);
        QCOMPARE(picture.Point(0, 0), 0x123456);
        QCOMPARE(picture.Point(w, 0), kNoPixel);
        QCOMPARE(picture.Point(0, -1), kNoPixel);
        QCOMPARE(before.pixel(w - 1, h - 1), qRgb(0x56, 0x34, 0x12));
    }

    // The frame visits its column range, steps after every column in order,
    // and copies back; the pass start replaces a stale output buffer.
    void fullPass() {
        Fixture f(10, 8);
        f.module.Mask.set(0, 0, true);
        f.module.WorkMask.set(9, 7, true);
        MarkingOperation op({3, 4.0f, 3, 4.0f});
        const PassOutcome outcome = runColumnPass(f.module, f.picture, f.step, op);

        QVERIFY(!outcome.cancelled);
        QCOMPARE(f.step.columns, (std::vector<qint32>{3, 4, 5, 6}));
        QCOMPARE(f.step.calls.mid(0, 4),
                 (QStringList{"refreshPicture", "setProgress i=3", "refreshWindow", "doEvents"}));
        QCOMPARE(f.step.progress, QStringLiteral("i=6"));
        QCOMPARE(f.module.Mask.countBlack(), 1 + 4 * 2);  // rows 3..4 of columns 3..6
        QVERIFY(f.module.Mask.at(0, 0) && !f.module.Mask.at(9, 7));
        QVERIFY(f.module.Mask == f.module.WorkMask);
        QCOMPARE(f.picture.Point(3, 3), kBlack);
        QCOMPARE(f.picture.Point(7, 3), kWhite);
    }

    // An empty column range does nothing but the two copies; an empty row
    // range still runs the step for every column.
    void emptyRanges() {
        Fixture f(9, 5);
        f.module.Mask.set(2, 2, true);
        MarkingOperation noColumns({3, 7.0f, 3, 4.0f});
        runColumnPass(f.module, f.picture, f.step, noColumns);
        QVERIFY(f.step.calls.isEmpty() && noColumns.rows.empty());
        QCOMPARE(f.module.Mask.countBlack(), 1);

        MarkingOperation noRows({3, 2.0f, 4, 2.0f});
        runColumnPass(f.module, f.picture, f.step, noRows);
        QCOMPARE(f.step.columns, (std::vector<qint32>{3, 4, 5, 6, 7}));
        QCOMPARE(f.module.Mask.countBlack(), 1);
    }

    // Sizes are single values rounded half to even: 6.5 gives 6, 7.5 gives 8.
    void halfPixelSizesRoundToEven() {
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
        ScriptedStep step;
        MarkingOperation op({1, 0.0f, 0, 0.0f});
        runColumnPass(module, picture, step, op);
        QCOMPARE(step.columns.back(), 6);
        QCOMPARE(op.rows.front().y1, 4);
        picture.w = 7.5f;
        runColumnPass(module, picture, step, op);
        QCOMPARE(step.columns.back(), 8);
    }

    // Cancel: 1 stops after the column and unticks; 2 (greyed) does not stop.
    void cancel_data() {
        QTest::addColumn<int>("value");
        QTest::addColumn<int>("tickAfter");  // column whose pump ticks the box; 0: before
        QTest::addColumn<int>("lastColumn");
        QTest::addColumn<int>("valueAfter");
        QTest::newRow("ticked before the pass") << 1 << 0 << 1 << 0;
        QTest::newRow("ticked after column 10") << 1 << 10 << 10 << 0;
        QTest::newRow("greyed") << 2 << 0 << 20 << 2;
    }
    void cancel() {
        QFETCH(int, value);
        QFETCH(int, tickAfter);
        QFETCH(int, lastColumn);
        QFETCH(int, valueAfter);
        Fixture f(20, 6);
        if (tickAfter == 0)
            f.step.cancel = value;
        else
            f.step.at(tickAfter, [&] { f.step.cancel = value; });
        MarkingOperation op({1, 0.0f, 2, 0.0f});
        QCOMPARE(runColumnPass(f.module, f.picture, f.step, op).cancelled, value == 1);
        QCOMPARE(f.step.columns.back(), lastColumn);
        QCOMPARE(f.step.progress, QStringLiteral("i=%1").arg(lastColumn));
        QCOMPARE(f.step.cancel, valueAfter);
        QVERIFY(f.module.Mask.at(lastColumn, 2));
        if (lastColumn < 20) {
            QVERIFY(!f.module.Mask.at(lastColumn + 1, 2));
            QCOMPARE(f.picture.Point(lastColumn + 1, 2), kWhite);
        }
        QVERIFY(f.module.Mask == f.module.WorkMask);
    }

    // Reload inside the pump ticks Cancel and reallocates: the pass stops and
    // copies the fresh, all-white buffer back, at the new size.
    void reloadInsidePumpEndsWithFreshMasks() {
        Fixture f(20, 6);
        f.module.Mask.set(0, 0, true);
        f.step.at(5, [&] {
            f.step.cancel = 1;
            f.module.Mask.allocate(30, 7);
            f.module.WorkMask.allocate(30, 7);
        });
        MarkingOperation op({1, 0.0f, 2, 0.0f});
        runColumnPass(f.module, f.picture, f.step, op);
        QCOMPARE(f.step.columns.back(), 5);
        QCOMPARE(f.module.Mask.upperX(), 30);
        QCOMPARE(f.module.Mask.countBlack(), 0);
        QVERIFY(f.module.Mask == f.module.WorkMask);
    }

    // An error ends the pass without its copy-back; what was painted stays.
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
        QCOMPARE(f.picture.Point(4, 2), kBlack);
        QCOMPARE(f.picture.Point(4, 3), kWhite);
    }
};

QTEST_GUILESS_MAIN(TestPassFrame)
#include "test_passframe.moc"

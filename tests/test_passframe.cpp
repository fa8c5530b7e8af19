// The column-pass frame: ranges, the end-of-column step, Cancel, Reload inside
// the pump, and errors that must leave `Mask` as it was.

#include "core/image/columnpass.h"
#include "core/image/sheet.h"
#include "support.h"

#include <QTest>

using namespace ink;
using namespace ink::test;

namespace {

// Marks every visited pixel black in `WorkMask` and counts the columns.
class MarkingOperation : public ColumnOperation {
public:
    explicit MarkingOperation(PassRange r) : m_range(r) {}
    PassRange range() const override { return m_range; }
    void processColumn(Module1 &module, PixelSurface &picture, qint32 x, qint32 y0,
                       qint32 y1) override {
        ++columns;
        lastRow = y1;
        for (qint32 y = y0; y <= y1; ++y) {
            if (failAt == QPoint(x, y))
                throw RuntimeError::overflow();
            module.WorkMask.set(x, y, true);
            picture.PSet(x, y, kBlack);
        }
    }
    int columns = 0;
    qint32 lastRow = -1;
    QPoint failAt{-1, -1};

private:
    PassRange m_range;
};

// A surface whose size may be a fraction of a pixel, as a zoomed or scaled
// picture box reports it.
class SizedSurface : public Sheet {
public:
    SizedSurface(float w, float h)
        : Sheet(solidImage(int(w) + 1, int(h) + 1, kWhite)), w(w), h(h) {}
    float Width() const override { return w; }
    float Height() const override { return h; }
    float w, h;
};

struct Fixture {
    Fixture(float w, float h) : picture(w, h) {
        module.Mask.allocate(qint32(w) + 1, qint32(h) + 1);
        module.WorkMask.allocate(qint32(w) + 1, qint32(h) + 1);
    }
    Module1 module;
    SizedSurface picture;
    ScriptedStep step;
};

}  // namespace

class TestPassFrame : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Pixels written are read back, outside the surface reads -1 and writes
    // nothing, and a snapshot does not change under later writes (also at a
    // size large enough for large pages).
    void surfaceReadsBackWritesAndKeepsSnapshotsApart() {
        for (const int w : {7, 2100}) {
            Sheet picture(solidImage(w, w, 0x123456));
            const QImage before = picture.image();
            picture.PSet(w - 1, w - 1, 0xABCDEF);
            picture.PSet(w, 0, kBlack);
            QCOMPARE(picture.Point(w - 1, w - 1), 0xABCDEF);
            QCOMPARE(picture.Point(0, 0), 0x123456);
            QCOMPARE(picture.Point(w, 0), kNoPixel);
            QCOMPARE(picture.Point(0, -1), kNoPixel);
            QCOMPARE(before.pixel(w - 1, w - 1), qRgb(0x56, 0x34, 0x12));
        }
    }

    // The frame visits its column range, steps after every column in order,
    // and copies back; the pass start replaces a stale output buffer. The last
    // column and row are the size less the margin, rounded half to even; the
    // last column is taken once, before a picture that grows in the pump.
    void columnAndRowRange_data() {
        QTest::addColumn<float>("w");
        QTest::addColumn<float>("rowMargin");
        QTest::addColumn<int>("lastColumn");  // 2: no column
        QTest::addColumn<int>("lastRow");     // 2: no row
        QTest::newRow("no columns") << 5.0f << 0.0f << 2 << 5;
        QTest::newRow("no rows") << 12.0f << 3.0f << 9 << 2;
        QTest::newRow("6.5 to 6") << 9.5f << 0.5f << 6 << 4;
        QTest::newRow("7.5 to 8") << 10.5f << 0.5f << 8 << 4;
    }
    void columnAndRowRange() {
        QFETCH(float, w);
        QFETCH(float, rowMargin);
        QFETCH(int, lastColumn);
        QFETCH(int, lastRow);
        Fixture f(w, 5.0f);
        f.module.Mask.set(0, 0, true);
        f.module.WorkMask.set(1, 1, true);
        f.step.at(3, [&] { f.picture.w += 10; });
        MarkingOperation op({3, 3.0f, 3, rowMargin});
        QVERIFY(!runColumnPass(f.module, f.picture, f.step, op).cancelled);
        QCOMPARE(op.columns, lastColumn - 2);
        QCOMPARE(int(f.step.columns.size()), lastColumn - 2);
        QCOMPARE(f.module.Mask.countBlack(), 1 + (lastColumn - 2) * (lastRow - 2));
        QVERIFY(f.module.Mask.at(0, 0) && f.module.Mask == f.module.WorkMask);
        if (lastColumn > 2) {
            QCOMPARE(f.step.calls.mid(0, 4), (QStringList{"refreshPicture", "setProgress i=3",
                                                          "refreshWindow", "doEvents"}));
            QCOMPARE(f.step.progress, QStringLiteral("i=%1").arg(lastColumn));
            QCOMPARE(op.lastRow, lastRow);
        }
    }

    // Cancel: 1 stops after the column and unticks; 2 (greyed) does not stop.
    // Reload inside the pump ticks Cancel and reallocates: the pass stops and
    // copies the fresh, all-white buffer back, at the new size.
    void cancel_data() {
        QTest::addColumn<int>("value");
        QTest::addColumn<int>("tickAfter");  // column whose pump ticks the box; 0: before
        QTest::addColumn<bool>("reload");
        QTest::addColumn<int>("lastColumn");
        QTest::newRow("ticked before the pass") << 1 << 0 << false << 1;
        QTest::newRow("ticked after column 10") << 1 << 10 << false << 10;
        QTest::newRow("greyed") << 2 << 0 << false << 20;
        QTest::newRow("Reload after column 5") << 1 << 5 << true << 5;
    }
    void cancel() {
        QFETCH(int, value);
        QFETCH(int, tickAfter);
        QFETCH(bool, reload);
        QFETCH(int, lastColumn);
        Fixture f(20, 6);
        f.step.cancel = tickAfter == 0 ? value : 0;
        f.step.at(tickAfter, [&] {
            f.step.cancel = value;
            if (reload) {
                f.module.Mask.allocate(30, 7);
                f.module.WorkMask.allocate(30, 7);
            }
        });
        MarkingOperation op({1, 0.0f, 2, 0.0f});
        QCOMPARE(runColumnPass(f.module, f.picture, f.step, op).cancelled, value == 1);
        QCOMPARE(f.step.progress, QStringLiteral("i=%1").arg(lastColumn));
        QCOMPARE(f.step.cancel, value == 1 ? 0 : value);
        QCOMPARE(f.module.Mask.upperX(), reload ? 30 : 21);
        QCOMPARE(f.module.Mask.countBlack(), reload ? 0 : lastColumn * 5);  // rows 2..6
        QVERIFY(f.module.Mask == f.module.WorkMask);
        QCOMPARE(f.picture.Point(lastColumn + 1, 2), lastColumn < 20 ? kWhite : kNoPixel);
    }

    // An error ends the pass without its copy-back; what was painted stays.
    void errorSkipsCopyBack() {
        Fixture f(12, 6);
        f.module.Mask.set(0, 0, true);
        const PackedMask before = f.module.Mask;
        MarkingOperation op({1, 0.0f, 2, 0.0f});
        op.failAt = QPoint(4, 3);
        QVERIFY_THROWS_EXCEPTION(RuntimeError, runColumnPass(f.module, f.picture, f.step, op));
        QVERIFY(f.module.Mask == before);
        QCOMPARE(f.step.columns.back(), 3);
        QCOMPARE(f.picture.Point(4, 2), kBlack);
        QCOMPARE(f.picture.Point(4, 3), kWhite);
    }
};

QTEST_GUILESS_MAIN(TestPassFrame)
#include "test_passframe.moc"

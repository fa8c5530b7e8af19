// The column-pass frame: ranges, the end-of-column step, Cancel, Reload
// inside the pump, and errors that must leave `Mask` as it was. Then
// bouchtrou and affine: each rule on small drawings over two runs, the reach
// of both passes, a mask too short for the picture, and random masks (some of
// them cancelled) compared with a plain restatement of both rules; taches on
// small drawings, whole and cancelled.

#include "core/image/columnpass.h"
#include "core/image/sheet.h"
#include "core/ops/despeckle.h"
#include "core/ops/holefill.h"
#include "core/ops/spurremoval.h"
#include "reference_rules.h"
#include "support.h"

#include <QTest>

using namespace ink;
using namespace ink::test;

namespace {

// A mask from rows of text: 'X' or '#' black, anything else white. The mask's
// bounds are (0..width-1, 0..rows-1), so a picture of (width-1) x (rows-1)
// pixels has masks of this shape.
PackedMask maskFromRows(const QStringList &rows) {
    PackedMask mask;
    const qint32 width = rows.isEmpty() ? 0 : qint32(rows.first().size());
    mask.allocate(width - 1, qint32(rows.size()) - 1);
    for (qint32 y = 0; y < rows.size(); ++y) {
        for (qint32 x = 0; x < width; ++x) {
            const QChar c = rows[y].at(x);
            mask.set(x, y, c == QLatin1Char('X') || c == QLatin1Char('#'));
        }
    }
    return mask;
}

QStringList rowsFromMask(const PackedMask &mask) {
    QStringList rows;
    for (qint32 y = 0; y <= mask.upperY(); ++y) {
        QString row;
        for (qint32 x = 0; x <= mask.upperX(); ++x)
            row += mask.at(x, y) ? QLatin1Char('X') : QLatin1Char('.');
        rows << row;
    }
    return rows;
}

using Paints = std::map<std::pair<qint64, qint64>, QList<ColorValue>>;

// A w x h picture with its masks, on which bouchtrou (`fill`) or affine runs;
// it records every colour written to each pixel.
struct Bench : Sheet {
    Bench(const PackedMask &mask, int w, int h, bool fill)
        : Sheet(solidImage(w, h, 0x808080)), fill(fill) {
        module.Mask = mask;
    }
    void PSet(qint64 x, qint64 y, ColorValue color) override {
        writes[{x, y}] << color;
        Sheet::PSet(x, y, color);
    }
    // Runs the pass, or `other`, keeping the number of the run-time error it
    // raised in `error`.
    void run(ColumnOperation *other = nullptr) {
        HoleFillPass holeFill;
        SpurRemovalPass spurRemoval;
        writes.clear();
        try {
            runColumnPass(module, *this, step,
                          other  ? *other
                          : fill ? static_cast<ColumnOperation &>(holeFill)
                                 : spurRemoval);
        } catch (const RuntimeError &e) {
            error = e.number();
        }
    }
    // What is wrong after a run that should have turned `before` into
    // `after`: both masks must hold `after`, and each changed cell must have
    // been painted once, in its new colour, and no other.
    QString wrongRun(const PackedMask &before, const PackedMask &after) {
        Paints paints;
        for (int x = 0; x <= after.upperX(); ++x)
            for (int y = 0; y <= after.upperY(); ++y)
                if (before.at(x, y) != after.at(x, y))
                    paints[{x, y}] = {after.at(x, y) ? kBlack : kWhite};
        const QString pass = name + QStringLiteral(": ");
        if (error != 0)
            return pass + QStringLiteral("error %1").arg(error);
        if (!(module.Mask == after) || !(module.WorkMask == after))
            return pass + rowsFromMask(module.Mask).join(QLatin1Char(' ')) +
                   QStringLiteral(" for ") + rowsFromMask(after).join(QLatin1Char(' '));
        return writes == paints ? QString() : pass + QStringLiteral("painted otherwise");
    }
    Module1 module;
    ScriptedStep step;
    bool fill;
    QString name = fill ? QStringLiteral("bouchtrou") : QStringLiteral("affine");
    Paints writes;
    int error = 0;
};

// The mask of a w x h picture, all black or all white but for `others`.
QStringList field(int w, int h, bool black, const QList<QPoint> &others) {
    PackedMask mask;
    mask.allocate(w, h);
    for (qint32 x = 0; x <= w; ++x)
        for (qint32 y = 0; y <= h; ++y)
            mask.set(x, y, black != others.contains(QPoint(x, y)));
    return rowsFromMask(mask);
}

PackedMask flipped(PackedMask mask, const QList<QPoint> &cells) {
    for (const QPoint &p : cells)
        mask.set(p.x(), p.y(), !mask.at(p.x(), p.y()));
    return mask;
}

// Both rules on columns 3..lastX and rows 3..lastY: bouchtrou (`fill`) or
// affine, every decision on `m`.
PackedMask plainRule(const PackedMask &m, bool fill, int lastX, int lastY) {
    PackedMask out = m;
    for (int x = 3; x <= lastX; ++x) {
        for (int y = 3; y <= lastY; ++y) {
            if (!fill) {
                if (reference::spurErased(m, x, y))
                    out.set(x, y, false);
                continue;
            }
            if (reference::holeFilled(m, x, y))
                out.set(x, y, true);
            if (reference::gapAt(m, x, y)) {
                out.set(x, y, true);
                out.set(x, y + 1, true);
            }
        }
    }
    return out;
}

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

class TestCleanup : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // A drawing run twice: the mask gains (bouchtrou) or loses (affine)
    // exactly the `first` cells, then the `second` ones, since every decision
    // is taken on the mask as it stood before the run.
    void drawings_data() {
        QTest::addColumn<QString>("pass");
        QTest::addColumn<QStringList>("rows");
        QTest::addColumn<QList<QPoint>>("first");
        QTest::addColumn<QList<QPoint>>("second");
        using Cells = QList<QPoint>;
        // 9 x 9 pictures: bouchtrou tests columns and rows 3..5, affine 3..7.
        QTest::newRow("SingleHole, diagonals play no part")
            << "bouchtrou" << field(9, 9, true, {{3, 3}, {4, 4}}) << Cells{{3, 3}, {4, 4}}
            << Cells{};
        QTest::newRow("LeftNotch and RightNotch") << "bouchtrou"
                                                  << QStringList{"..........",  //
                                                                 "...###....",  //
                                                                 "...###....",  //
                                                                 "....##....",  //
                                                                 "...###....",  //
                                                                 "...##.....",  //
                                                                 "...###....",  //
                                                                 "...###....",  //
                                                                 "..........",  //
                                                                 ".........."}
                                                  << Cells{{3, 3}, {5, 5}} << Cells{};
        QTest::newRow("VerticalGap") << "bouchtrou" << field(9, 9, true, {{4, 4}, {4, 5}})
                                     << Cells{{4, 4}, {4, 5}} << Cells{};
        QTest::newRow("gap waits for the hole below it")
            << "bouchtrou" << field(12, 12, true, {{5, 5}, {5, 6}, {6, 7}}) << Cells{{6, 7}}
            << Cells{{5, 5}, {5, 6}};
        // W = H = 12: bouchtrou tests columns and rows 3..8 (a gap's lower
        // half lies in row 9), affine 3..10; what lies outside stays.
        QTest::newRow("bouchtrou reach")
            << "bouchtrou"
            << field(12, 12, true,
                     {{2, 5}, {9, 3}, {5, 2}, {6, 9}, {3, 3}, {8, 5}, {8, 8}, {5, 8}, {5, 9}})
            << Cells{{3, 3}, {8, 5}, {8, 8}, {5, 8}, {5, 9}} << Cells{};
        const Cells outside{{0, 6}, {1, 4}, {2, 8}, {11, 5}, {12, 7},
                            {6, 0}, {4, 1}, {8, 2}, {5, 11}, {7, 12}};
        const Cells inside{{3, 3}, {10, 10}, {3, 10}, {10, 3}};
        QTest::newRow("affine reach")
            << "affine" << field(12, 12, false, outside + inside) << inside << Cells{};
        QTest::newRow("support two away, not diagonal; then alone")
            << "affine" << field(9, 9, false, {{5, 5}, {5, 3}, {7, 5}, {6, 6}})
            << Cells{{5, 3}, {7, 5}, {6, 6}} << Cells{{5, 5}};
        QTest::newRow("spur off a 3-wide stroke") << "affine"
                                                  << QStringList{"..###.....",  //
                                                                 "..###.....",  //
                                                                 "..###.....",  //
                                                                 "..###.....",  //
                                                                 "..###.....",  //
                                                                 "..########",  //
                                                                 "..###.....",  //
                                                                 "..###.....",  //
                                                                 "..###.....",  //
                                                                 "..###....."}
                                                  << Cells{{5, 5}, {6, 5}, {7, 5}} << Cells{};
    }
    void drawings() {
        QFETCH(QString, pass);
        QFETCH(QStringList, rows);
        QFETCH(QList<QPoint>, first);
        QFETCH(QList<QPoint>, second);
        const PackedMask before = maskFromRows(rows);
        Bench bench(before, before.upperX(), before.upperY(), pass == QLatin1String("bouchtrou"));
        const PackedMask afterFirst = flipped(before, first);
        bench.run();
        QCOMPARE(bench.wrongRun(before, afterFirst), QString());
        bench.run();
        QCOMPARE(bench.wrongRun(afterFirst, flipped(afterFirst, second)), QString());
    }

    // taches with speck size 2 on pictures whose masks hold, as after NB,
    // the column and row past the picture in black (white in the last row
    // of "holes"): what it flips at once, nothing on a second run, and, when
    // cancelled after column 3, only the flips up to that column.
    void despeckleDrawings_data() {
        QTest::addColumn<QStringList>("rows");
        QTest::addColumn<QList<QPoint>>("flipped");
        using Cells = QList<QPoint>;
        // Single specks at the picture's edges and corner, however they touch
        // the black cells past it; a diagonal pair is one blob of 2; three
        // cells are one too many.
        QTest::newRow("blobs") << QStringList{"........X#",  //
                                              ".X.......#",  //
                                              "...X.....#",  //
                                              "....X....#",  //
                                              "......XX.#",  //
                                              "......X..#",  //
                                              "X........#",  //
                                              "##########"}
                               << Cells{{8, 0}, {1, 1}, {3, 2}, {4, 3}, {0, 6}};
        // Holes of 1 and 2; one touching another at a corner only is a hole
        // of its own; three cells are too many; white at the picture's edge
        // is paper, alone or joined to a hole.
        QTest::newRow("holes") << QStringList{"#########.",  //
                                              "#.##..####",  //
                                              "###.######",  //
                                              "#.#####..#",  //
                                              "#..#######",  //
                                              "#######.##",  //
                                              "##.#######",  //
                                              ".........."}
                               << Cells{{1, 1}, {4, 1}, {5, 1}, {3, 2}, {7, 5}};
    }
    void despeckleDrawings() {
        QFETCH(QStringList, rows);
        QFETCH(QList<QPoint>, flipped);
        const PackedMask before = maskFromRows(rows);
        FixedSettings settings(PassSettings(Thresholds{}, 2));
        for (const bool cancelled : {false, true}) {
            Bench bench(before, before.upperX(), before.upperY(), false);
            DespecklePass pass(settings);
            bench.name = QStringLiteral("taches");
            QList<QPoint> first = flipped;
            if (cancelled) {
                bench.step.at(3, [&] { bench.step.cancel = 1; });
                first.removeIf([](const QPoint &p) { return p.x() > 3; });
            }
            const PackedMask after = ::flipped(before, first);
            bench.run(&pass);
            QCOMPARE(bench.wrongRun(before, after), QString());
            QCOMPARE(bench.step.columns.size(), size_t(cancelled ? 4 : before.upperX()));
            if (!cancelled) {
                bench.run(&pass);
                QCOMPARE(bench.wrongRun(after, after), QString());
            }
        }
    }

    // Masks two rows shorter than the 12 x 12 picture: column 5 reads below
    // them, and the pass stops there with error 9 and no copy-back; column 3's
    // change stays in WorkMask and in the picture only.
    void maskTooShort_data() {
        QTest::addColumn<QString>("pass");
        QTest::addColumn<QStringList>("rows");
        QTest::newRow("bouchtrou") << "bouchtrou" << field(12, 10, true, {{3, 4}, {5, 8}, {5, 9}});
        QTest::newRow("affine") << "affine" << field(12, 10, false, {{3, 4}, {5, 9}});
    }
    void maskTooShort() {
        QFETCH(QString, pass);
        QFETCH(QStringList, rows);
        const PackedMask before = maskFromRows(rows);
        Bench bench(before, 12, 12, pass == QLatin1String("bouchtrou"));
        bench.run();
        QCOMPARE(bench.error, 9);
        QCOMPARE(bench.step.columns, (std::vector<qint32>{3, 4}));
        QVERIFY(bench.module.Mask == before);
        QVERIFY(bench.module.WorkMask == flipped(before, {{3, 4}}));
        QVERIFY(bench.writes == (Paints{{{3, 4}, {bench.fill ? kBlack : kWhite}}}));
    }

    // Random masks of many sizes and densities, run twice, against the plain
    // rules: masks that fit the picture, larger ones, ones shorter than a
    // column's reach where the drawing never makes the pass read below them
    // (the bounds-checked path), and passes cancelled after column 6.
    void randomMasks_data() {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<int>("density");  // percent of black cells
        QTest::addColumn<QString>("shape");
        QTest::addColumn<quint64>("seed");
        quint64 seed = 0;
        for (const QSize size :
             {QSize(5, 5), QSize(7, 7), QSize(12, 12), QSize(40, 33), QSize(9, 24)})
            for (int density : {10, 30, 50, 65, 75, 85, 90, 97})
                for (const char *shape : {"fitting", "larger", "shorter", "cancelled"})
                    QTest::addRow("%dx%d %d%% %s", size.width(), size.height(), density, shape)
                        << size << density << QString(shape) << ++seed;
    }
    void randomMasks() {
        QFETCH(QSize, size);
        QFETCH(int, density);
        QFETCH(QString, shape);
        QFETCH(quint64, seed);
        const int w = size.width(), h = size.height();
        const bool larger = shape == QLatin1String("larger");
        const bool shorter = shape == QLatin1String("shorter");
        for (const bool fill : {true, false}) {
            Rng rng(seed);
            const int upperY = larger ? h + 2 : shorter ? (fill ? h - 2 : h - 1) : h;
            PackedMask mask = randomMask(larger ? w + 3 : w, upperY, rng, density);
            // No gap at the last row tested (bouchtrou), no ink there (affine).
            for (int x = 0; shorter && x <= w; ++x)
                mask.set(x, fill ? h - 3 : h - 2, fill);
            Bench bench(mask, w, h, fill);
            const int margin = fill ? 4 : 2;
            int lastX = w - margin;
            if (shape == QLatin1String("cancelled")) {
                bench.step.at(6, [&] { bench.step.cancel = 1; });
                lastX = qMin(lastX, 6);
            }
            PackedMask expected = mask;
            for (int run = 0; run < 2; ++run) {
                const PackedMask next = plainRule(expected, fill, lastX, h - margin);
                bench.run();
                QCOMPARE(bench.wrongRun(expected, next), QString());
                expected = next;
            }
        }
    }

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

QTEST_GUILESS_MAIN(TestCleanup)
#include "test_cleanup.moc"

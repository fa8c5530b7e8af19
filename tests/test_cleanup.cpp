// bouchtrou and affine: each rule on small drawings, the reach of both
// passes, decisions taken on the mask as it stood before the pass, empty
// ranges, Cancel, masks of another shape than the picture, and random masks
// compared with a plain restatement of both rules.

#include "ops/holefill.h"
#include "ops/spurremoval.h"
#include "support.h"

#include <QTest>

#include <memory>

using namespace ink;
using namespace ink::test;

namespace {

// An in-memory picture that counts the writes to each pixel.
class CountingSurface : public ImageSurface {
public:
    using ImageSurface::ImageSurface;
    void PSet(qint64 x, qint64 y, ColorValue color) override {
        ++writes[{x, y}];
        ImageSurface::PSet(x, y, color);
    }
    std::map<std::pair<qint64, qint64>, int> writes;
};

// One picture with its masks, on which passes are run one after the other.
struct Bench {
    Bench(const MaskArray &mask, const QImage &image) : picture(image) {
        module.Mask = mask;
        module.WorkMask.allocate(mask.upperX(), mask.upperY());
    }
    // Runs bouchtrou or affine; returns the number of the run-time error it
    // raised, or 0.
    int run(const QString &pass) {
        std::unique_ptr<ColumnOperation> op;
        if (pass == QLatin1String("bouchtrou"))
            op = std::make_unique<HoleFillPass>();
        else
            op = std::make_unique<SpurRemovalPass>();
        picture.writes.clear();
        try {
            runColumnPass(module, picture, step, *op);
        } catch (const RuntimeError &e) {
            return e.number();
        }
        return 0;
    }
    Module1 module;
    CountingSurface picture;
    ScriptedStep step;
};

ColorValue paintOf(const QString &pass) {
    return pass == QLatin1String("bouchtrou") ? kBlack : kWhite;
}

// The mask of a w x h picture, all black or all white but for `others`.
QStringList field(int w, int h, bool black, const QList<QPoint> &others) {
    MaskArray mask = filledMask(w, h, black);
    for (const QPoint &p : others)
        mask.set(p.x(), p.y(), !black);
    return rowsFromMask(mask);
}

MaskArray flipped(MaskArray mask, const QList<QPoint> &cells) {
    for (const QPoint &p : cells)
        mask.set(p.x(), p.y(), !mask.at(p.x(), p.y()));
    return mask;
}

// A w x h picture in two greys after `mask`, so that any write shows.
QImage greyPicture(const MaskArray &mask, int w, int h) {
    ImageSurface surface(solidImage(w, h, 0xE0E0E0));
    for (int x = 0; x < w; ++x)
        for (int y = 0; y < h; ++y)
            if (mask.contains(x, y) && mask.at(x, y))
                surface.PSet(x, y, 0x202020);
    return surface.image();
}

std::vector<qint32> columnsFrom(qint32 first, qint32 last) {
    std::vector<qint32> columns;
    for (qint32 x = first; x <= last; ++x)
        columns.push_back(x);
    return columns;
}

// A mask that gives the pass work in every column: a checkerboard is all
// single holes; dots three apart along diagonals have no support at all.
MaskArray busyMask(const QString &pass, int w, int h) {
    MaskArray mask;
    mask.allocate(w, h);
    for (int x = 0; x <= w; ++x)
        for (int y = 0; y <= h; ++y)
            mask.set(x, y,
                     pass == QLatin1String("bouchtrou") ? (x + y) % 2 == 0 : (x - y) % 3 == 0);
    return mask;
}

// Both rules as plainly as they can be said, on a w x h picture.
MaskArray plainHoleFill(const MaskArray &m, int w, int h) {
    MaskArray out = m;
    auto ink = [&](int x, int y) { return m.at(x, y); };
    for (int x = 3; x <= w - 4; ++x) {
        for (int y = 3; y <= h - 4; ++y) {
            if (ink(x, y))
                continue;
            const bool above = ink(x, y - 1), below = ink(x, y + 1);
            const bool column = ink(x, y - 2) && above && below && ink(x, y + 2);
            const bool singleHole = above && below && ink(x - 1, y) && ink(x + 1, y);
            const bool leftNotch = column && ink(x + 1, y - 1) && ink(x + 1, y) &&
                                   ink(x + 1, y + 1) && !ink(x - 1, y - 1) && !ink(x - 1, y) &&
                                   !ink(x - 1, y + 1);
            const bool rightNotch = column && ink(x - 1, y - 1) && ink(x - 1, y) &&
                                    ink(x - 1, y + 1) && !ink(x + 1, y - 1) && !ink(x + 1, y) &&
                                    !ink(x + 1, y + 1);
            if (singleHole || leftNotch || rightNotch)
                out.set(x, y, true);
            if (below)
                continue;
            bool gap = true;
            for (int dx = -1; dx <= 1; ++dx)
                for (int dy : {-2, -1, 2, 3})
                    gap = gap && ink(x + dx, y + dy);
            if (gap) {
                out.set(x, y, true);
                out.set(x, y + 1, true);
            }
        }
    }
    return out;
}

MaskArray plainSpurRemoval(const MaskArray &m, int w, int h) {
    MaskArray out = m;
    for (int x = 3; x <= w - 2; ++x) {
        for (int y = 3; y <= h - 2; ++y) {
            if (!m.at(x, y))
                continue;
            const bool vertical =
                m.at(x, y - 2) || m.at(x, y - 1) || m.at(x, y + 1) || m.at(x, y + 2);
            const bool horizontal =
                m.at(x - 2, y) || m.at(x - 1, y) || m.at(x + 1, y) || m.at(x + 2, y);
            if (!vertical || !horizontal)
                out.set(x, y, false);
        }
    }
    return out;
}

}  // namespace

class TestCleanup : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // One run over a drawing: the mask gains (bouchtrou) or loses (affine)
    // exactly the `changed` cells, each painted once, in black or white, and
    // nothing else is painted.
    void oneRun_data() {
        QTest::addColumn<QString>("pass");
        QTest::addColumn<QStringList>("rows");
        QTest::addColumn<QList<QPoint>>("changed");
        // 9 x 9 pictures: bouchtrou tests columns and rows 3..5, affine 3..7.
        QTest::newRow("SingleHole, diagonals white") << "bouchtrou"
                                                     << QStringList{"##########",  //
                                                                    "##########",  //
                                                                    "##.#.#####",  //
                                                                    "###.######",  //
                                                                    "##.#.#####",  //
                                                                    "##########",  //
                                                                    "##########",  //
                                                                    "##########",  //
                                                                    "##########",  //
                                                                    "##########"}
                                                     << QList<QPoint>{{3, 3}, {4, 4}};
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
                                                  << QList<QPoint>{{3, 3}, {5, 5}};
        QTest::newRow("VerticalGap")
            << "bouchtrou" << field(9, 9, true, {{4, 4}, {4, 5}}) << QList<QPoint>{{4, 4}, {4, 5}};
        QTest::newRow("2 x 2 block: one gap per column")
            << "bouchtrou" << field(9, 9, true, {{3, 4}, {4, 4}, {3, 5}, {4, 5}})
            << QList<QPoint>{{3, 4}, {4, 4}, {3, 5}, {4, 5}};
        QTest::newRow("side by side, or three high: stay")
            << "bouchtrou" << field(9, 9, true, {{3, 3}, {4, 3}, {5, 3}, {5, 4}, {5, 5}})
            << QList<QPoint>{};
        QTest::newRow("band across a 3-wide stroke") << "bouchtrou"
                                                     << QStringList{"...###....",  //
                                                                    "...###....",  //
                                                                    "...###....",  //
                                                                    "...###....",  //
                                                                    "..........",  //
                                                                    "..........",  //
                                                                    "...###....",  //
                                                                    "...###....",  //
                                                                    "...###....",  //
                                                                    "...###...."}
                                                     << QList<QPoint>{{4, 4}, {4, 5}};
        QTest::newRow("breaks in one-pixel lines stay open") << "bouchtrou"
                                                             << QStringList{"...#.#....",  //
                                                                            "...#.#....",  //
                                                                            "...#.#....",  //
                                                                            "...#.#....",  //
                                                                            "..........",  //
                                                                            "...#......",  //
                                                                            "...#.#....",  //
                                                                            "...#.#....",  //
                                                                            "...#.#....",  //
                                                                            "...#.#...."}
                                                             << QList<QPoint>{};
        // W = H = 12: bouchtrou tests columns and rows 3..8.
        // Holes in columns 2 and W - 3 and rows 2 and H - 3 stay.
        QTest::newRow("bouchtrou reach")
            << "bouchtrou"
            << field(12, 12, true, {{2, 5}, {9, 3}, {5, 2}, {6, 9}, {3, 3}, {8, 5}, {5, 8}, {8, 8}})
            << QList<QPoint>{{3, 3}, {8, 5}, {5, 8}, {8, 8}};
        QTest::newRow("VerticalGap lower half in row H - 3")
            << "bouchtrou" << field(12, 12, true, {{5, 8}, {5, 9}})
            << QList<QPoint>{{5, 8}, {5, 9}};
        QTest::newRow("all white: nothing to fill")
            << "bouchtrou" << field(12, 12, false, {}) << QList<QPoint>{};

        QTest::newRow("isolated dot")
            << "affine" << field(9, 9, false, {{5, 5}}) << QList<QPoint>{{5, 5}};
        QTest::newRow("one-pixel lines")
            << "affine"
            << QStringList{"..........",  //
                           "..........",  //
                           "..........",  //
                           "##########",  //
                           "..........",  //
                           "..........",  //
                           "......#...",  //
                           "......#...",  //
                           "......#...",  //
                           "......#..."}
            << QList<QPoint>{{3, 3}, {4, 3}, {5, 3}, {6, 3}, {7, 3}, {6, 6}, {6, 7}};
        QTest::newRow("two-pixel line kept, ends included")
            << "affine"
            << field(
                   9, 9, false,
                   {{3, 4}, {4, 4}, {5, 4}, {6, 4}, {7, 4}, {3, 5}, {4, 5}, {5, 5}, {6, 5}, {7, 5}})
            << QList<QPoint>{};
        QTest::newRow("2 x 2 block kept")
            << "affine" << field(9, 9, false, {{5, 5}, {6, 5}, {5, 6}, {6, 6}}) << QList<QPoint>{};
        QTest::newRow("diagonal neighbours only")
            << "affine" << field(9, 9, false, {{4, 4}, {5, 5}, {6, 6}, {5, 7}})
            << QList<QPoint>{{4, 4}, {5, 5}, {6, 6}, {5, 7}};
        QTest::newRow("support across a one-pixel gap")
            << "affine" << field(9, 9, false, {{5, 5}, {5, 3}, {7, 5}})
            << QList<QPoint>{{5, 3}, {7, 5}};
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
                                                  << QList<QPoint>{{5, 5}, {6, 5}, {7, 5}};
        // W = H = 12: affine tests columns and rows 3..10; dots outside stay.
        const QList<QPoint> outside{{0, 6}, {1, 4}, {2, 8}, {11, 5}, {12, 7},
                                    {6, 0}, {4, 1}, {8, 2}, {5, 11}, {7, 12}};
        const QList<QPoint> inside{{3, 3}, {10, 10}, {3, 10}, {10, 3}};
        QTest::newRow("affine reach")
            << "affine" << field(12, 12, false, outside + inside) << inside;
    }
    void oneRun() {
        QFETCH(QString, pass);
        QFETCH(QStringList, rows);
        QFETCH(QList<QPoint>, changed);
        const MaskArray before = maskFromRows(rows);
        Bench bench(before, imageFromMask(before));
        QCOMPARE(bench.run(pass), 0);

        const MaskArray expected = flipped(before, changed);
        QCOMPARE(rowsFromMask(bench.module.Mask), rowsFromMask(expected));
        QVERIFY(bench.module.WorkMask == expected);
        QCOMPARE(bench.picture.image(), imageFromMask(expected));
        QCOMPARE(bench.picture.writes.size(), size_t(changed.size()));
        for (const QPoint &p : changed)
            QCOMPARE((bench.picture.writes[{p.x(), p.y()}]), 1);
    }

    // Decisions are taken on the mask before the pass; the second run works
    // on the first run's result.
    void twoRuns_data() {
        QTest::addColumn<QString>("pass");
        QTest::addColumn<QStringList>("rows");
        QTest::addColumn<QList<QPoint>>("first");
        QTest::addColumn<QList<QPoint>>("second");
        QTest::newRow("gap waits for the hole below it")
            << "bouchtrou" << field(12, 12, true, {{5, 5}, {5, 6}, {6, 7}}) << QList<QPoint>{{6, 7}}
            << QList<QPoint>{{5, 5}, {5, 6}};
        QTest::newRow("corner of an L kept once")
            << "affine" << field(16, 16, false, {{10, 10}, {11, 10}, {10, 11}})
            << QList<QPoint>{{11, 10}, {10, 11}} << QList<QPoint>{{10, 10}};
    }
    void twoRuns() {
        QFETCH(QString, pass);
        QFETCH(QStringList, rows);
        QFETCH(QList<QPoint>, first);
        QFETCH(QList<QPoint>, second);
        const MaskArray before = maskFromRows(rows);
        Bench bench(before, imageFromMask(before));
        QCOMPARE(bench.run(pass), 0);
        const MaskArray afterFirst = flipped(before, first);
        QCOMPARE(rowsFromMask(bench.module.Mask), rowsFromMask(afterFirst));
        QCOMPARE(bench.picture.image(), imageFromMask(afterFirst));
        QCOMPARE(bench.run(pass), 0);
        const MaskArray afterSecond = flipped(afterFirst, second);
        QCOMPARE(rowsFromMask(bench.module.Mask), rowsFromMask(afterSecond));
        QCOMPARE(bench.picture.image(), imageFromMask(afterSecond));
    }

    // Where the column or the row range is empty nothing may change.
    void emptyRanges_data() {
        QTest::addColumn<QString>("pass");
        QTest::addColumn<int>("w");
        QTest::addColumn<int>("h");
        QTest::addColumn<int>("lastColumn");  // 2: no column at all
        QTest::newRow("bouchtrou, W = 6") << "bouchtrou" << 6 << 12 << 2;
        QTest::newRow("bouchtrou, H = 6") << "bouchtrou" << 10 << 6 << 6;
        QTest::newRow("affine, W = 4") << "affine" << 4 << 12 << 2;
        QTest::newRow("affine, H = 4") << "affine" << 10 << 4 << 8;
    }
    void emptyRanges() {
        QFETCH(QString, pass);
        QFETCH(int, w);
        QFETCH(int, h);
        QFETCH(int, lastColumn);
        const MaskArray before = busyMask(pass, w, h);
        Bench bench(before, imageFromMask(before));
        QCOMPARE(bench.run(pass), 0);
        QCOMPARE(bench.step.columns, columnsFrom(3, lastColumn));
        QCOMPARE(bench.step.calls.isEmpty(), lastColumn < 3);
        QVERIFY(bench.module.Mask == before);
        QVERIFY(bench.picture.writes.empty());
    }

    void cancel_data() {
        QTest::addColumn<QString>("pass");
        QTest::addColumn<int>("cancelAfter");  // 0: ticked before the pass
        QTest::addColumn<int>("lastColumn");
        QTest::newRow("bouchtrou, ticked before") << "bouchtrou" << 0 << 3;
        QTest::newRow("bouchtrou, after column 5") << "bouchtrou" << 5 << 5;
        QTest::newRow("affine, ticked before") << "affine" << 0 << 3;
        QTest::newRow("affine, after column 6") << "affine" << 6 << 6;
    }
    void cancel() {
        QFETCH(QString, pass);
        QFETCH(int, cancelAfter);
        QFETCH(int, lastColumn);
        const int w = 14, h = 14;
        const MaskArray before = busyMask(pass, w, h);
        const QImage original = imageFromMask(before);
        Bench full(before, original);
        QCOMPARE(full.run(pass), 0);

        Bench bench(before, original);
        if (cancelAfter == 0)
            bench.step.cancel = 1;
        else
            bench.step.at(cancelAfter, [&] { bench.step.cancel = 1; });
        QCOMPARE(bench.run(pass), 0);
        QCOMPARE(bench.step.columns, columnsFrom(3, lastColumn));
        QCOMPARE(bench.step.progress, QStringLiteral("i=%1").arg(lastColumn));
        QCOMPARE(bench.step.cancel, 0);
        QVERIFY(bench.module.Mask == bench.module.WorkMask);
        // Finished columns as after a full pass, later ones as before it.
        for (int x = 0; x <= w; ++x) {
            const bool done = x <= lastColumn;
            for (int y = 0; y <= h; ++y) {
                QCOMPARE(bench.module.Mask.at(x, y), (done ? full.module.Mask : before).at(x, y));
                if (x < w && y < h)
                    QCOMPARE(bench.picture.image().pixel(x, y),
                             (done ? full.picture.image() : original).pixel(x, y));
            }
        }
    }

    // Masks two rows shorter than the 12 x 12 picture: column 5 reads below
    // them and the pass stops there with error 9, without its copy-back.
    // Column 3's change stays in WorkMask and in the picture only.
    void maskTooSmall_data() {
        QTest::addColumn<QString>("pass");
        QTest::addColumn<QStringList>("rows");
        QTest::newRow("bouchtrou") << "bouchtrou" << field(12, 10, true, {{3, 4}, {5, 8}, {5, 9}});
        QTest::newRow("affine") << "affine" << field(12, 10, false, {{3, 4}, {5, 9}});
    }
    void maskTooSmall() {
        QFETCH(QString, pass);
        QFETCH(QStringList, rows);
        const MaskArray before = maskFromRows(rows);
        Bench bench(before, greyPicture(before, 12, 12));
        QCOMPARE(bench.run(pass), 9);
        QCOMPARE(bench.step.columns, columnsFrom(3, 4));
        QVERIFY(bench.module.Mask == before);
        QCOMPARE(bench.module.WorkMask.at(3, 4), !before.at(3, 4));
        QCOMPARE(bench.picture.Point(3, 4), paintOf(pass));
        QCOMPARE(bench.picture.writes.size(), size_t(1));
    }

    // Random masks of many sizes and densities against the plain rules, over
    // two runs. Masks that fit the picture, masks larger than it, and masks
    // shorter than the rows a column could reach but that the drawing never
    // makes the pass read (the checked path).
    void randomMasks_data() {
        QTest::addColumn<int>("w");
        QTest::addColumn<int>("h");
        QTest::addColumn<int>("density");  // percent of black cells
        QTest::addColumn<QString>("shape");
        QTest::addColumn<quint64>("seed");
        const QList<QSize> sizes{{1, 1}, {5, 5}, {7, 7}, {12, 12}, {40, 33}, {9, 24}};
        quint64 seed = 1;
        for (const QSize &size : sizes) {
            for (int density : {10, 50, 75, 90, 97}) {
                for (const char *shape : {"fitting", "larger", "shorter"}) {
                    if (QLatin1String(shape) == QLatin1String("shorter") && size.height() < 8)
                        continue;
                    for (int i = 0; i < 2; ++i, ++seed)
                        QTest::addRow("%dx%d %d%% %s #%d", size.width(), size.height(), density,
                                      shape, i)
                            << size.width() << size.height() << density << QString(shape) << seed;
                }
            }
        }
    }
    void randomMasks() {
        QFETCH(int, w);
        QFETCH(int, h);
        QFETCH(int, density);
        QFETCH(QString, shape);
        QFETCH(quint64, seed);
        for (const QString &pass : {QStringLiteral("bouchtrou"), QStringLiteral("affine")}) {
            const bool fill = pass == QLatin1String("bouchtrou");
            Rng rng(seed);
            MaskArray mask;
            if (shape == QLatin1String("larger"))
                mask.allocate(w + 3, h + 2);
            else if (shape == QLatin1String("shorter"))
                mask.allocate(w, fill ? h - 2 : h - 1);
            else
                mask.allocate(w, h);
            for (int x = 0; x <= mask.upperX(); ++x)
                for (int y = 0; y <= mask.upperY(); ++y)
                    mask.set(x, y, rng.below(100) < density);
            if (shape == QLatin1String("shorter")) {
                // No gap at the last row tested (bouchtrou), no ink there (affine).
                for (int x = 0; x <= w; ++x)
                    mask.set(x, fill ? h - 3 : h - 2, fill);
            }

            Bench bench(mask, greyPicture(mask, w, h));
            QImage expectedPicture = greyPicture(mask, w, h);
            MaskArray expected = mask;
            for (int run = 1; run <= 2; ++run) {
                const QByteArray what = pass.toLatin1() + " run " + QByteArray::number(run);
                QVERIFY2(bench.run(pass) == 0, what);
                const MaskArray next =
                    fill ? plainHoleFill(expected, w, h) : plainSpurRemoval(expected, w, h);
                size_t changes = 0;
                for (int x = 0; x <= mask.upperX(); ++x) {
                    for (int y = 0; y <= mask.upperY(); ++y) {
                        if (next.at(x, y) == expected.at(x, y))
                            continue;
                        ++changes;
                        expectedPicture.setPixel(x, y, fill ? qRgb(0, 0, 0) : qRgb(255, 255, 255));
                        QVERIFY2((bench.picture.writes[{x, y}] == 1), what);
                    }
                }
                expected = next;
                QVERIFY2(bench.module.Mask == expected, what);
                QVERIFY2(bench.module.WorkMask == expected, what);
                QVERIFY2(bench.picture.image() == expectedPicture, what);
                QVERIFY2(bench.picture.writes.size() == changes, what);
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestCleanup)
#include "test_cleanup.moc"

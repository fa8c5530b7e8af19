// Undo and redo of passes in a session, and what a pass is recorded to have
// changed: every step is checked against snapshots of the picture and `Mask`
// taken by the test, and the counts against a plain count of differing cells.

#include "core/ops/passes.h"
#include "core/session/history.h"
#include "core/session/session.h"
#include "support.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <functional>
#include <map>
#include <memory>

using namespace ink;
using namespace ink::test;

namespace {

// A scan of random colours with some pure black and white among them, so
// that NB paints over every kind of old colour.
QImage randomScan(int w, int h, quint64 seed) {
    Rng rng(seed);
    QImage image(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const int kind = rng.below(6);
            image.setPixel(x, y,
                           kind == 0   ? 0xFF000000u
                           : kind == 1 ? 0xFFFFFFFFu
                                       : 0xFF000000u | quint32(rng.next() & 0xFFFFFF));
        }
    }
    return image;
}

class View : public SessionView {
public:
    void refreshPicture(qint32 column) override { m_column = column; }
    void setProgress(const QString &) override {}
    void refreshWindow() override {}
    void doEvents() override {
        if (m_column == cancelAt)
            cancel = 1;
        if (m_column == reloadAt)
            session->reload();
    }
    int cancelValue() override { return cancel; }
    void setCancelValue(int value) override { cancel = value; }
    QString thresholdText(ThresholdBox) override {
        if (m_column >= badBoxFrom)
            return QStringLiteral("x");
        return m_column >= lowerFrom ? QStringLiteral("100") : QStringLiteral("150");
    }
    void reportError(const RuntimeError &) override { ++errors; }
    void closeNow() override {}

    int cancel = 0;
    qint32 cancelAt = -1;
    qint32 reloadAt = -1;
    Session *session = nullptr;
    qint32 badBoxFrom = 1 << 30;
    qint32 lowerFrom = 1 << 30;  // the boxes read 100 from this column on
    int errors = 0;

private:
    qint32 m_column = 0;
};

// A pass of the test's own over the whole picture, column by column.
class OwnPass : public ColumnOperation {
public:
    using Column = std::function<void(Module1 &, PixelSurface &, qint32, qint32, qint32)>;
    explicit OwnPass(Column column) : m_column(std::move(column)) {}
    PassRange range() const override { return {0, 1.0f, 0, 1.0f}; }
    void processColumn(Module1 &module, PixelSurface &picture, qint32 x, qint32 y0,
                       qint32 y1) override {
        m_column(module, picture, x, y0, y1);
    }

private:
    Column m_column;
};

// The test's own passes, by name; null for any other name.
std::unique_ptr<ColumnOperation> ownPass(const QString &name) {
    // Paints colours that are neither black, white nor the scan's, and flips
    // `WorkMask`, over every third column.
    if (name == QLatin1String("odd"))
        return std::make_unique<OwnPass>(
            [](Module1 &module, PixelSurface &picture, qint32 x, qint32 y0, qint32 y1) {
                if (x % 3)
                    return;
                for (qint32 y = y0; y <= y1; ++y) {
                    picture.PSet(x, y, 0x123456 + x + y);
                    picture.PSet(x, y, 0x654321 + x);  // written twice: the first old colour counts
                    module.WorkMask.set(x, y, !module.Mask.at(x, y));
                }
            });
    // Paints beyond its column too: the next column (before that column's own
    // turn) and the one before (after its turn), and puts some of its own pixels
    // back as they were.
    if (name == QLatin1String("reach"))
        return std::make_unique<OwnPass>(
            [](Module1 &, PixelSurface &picture, qint32 x, qint32 y0, qint32 y1) {
                for (qint32 y = y0; y <= y1; ++y) {
                    const ColorValue was = picture.Point(x, y);
                    picture.PSet(x, y, (x + y) % 2 ? kBlack : 0x102030 + y);
                    if (y % 3 == 0)
                        picture.PSet(x, y, was);
                    if ((x + y) % 5 == 0)
                        picture.PSet(x + 1, y, 0x405060 + x);
                    if ((x + y) % 7 == 0)
                        picture.PSet(x - 1, y, y % 2 ? kWhite : 0x708090);
                }
            });
    // Paints its own column, and from the last one goes back to columns 1 and 2,
    // whose group of columns is compared by then: puts some of column 1 back as
    // it was before the pass, and paints others again.
    if (name == QLatin1String("late"))
        return std::make_unique<OwnPass>(
            [was = std::vector<ColorValue>()](Module1 &, PixelSurface &picture, qint32 x, qint32 y0,
                                              qint32 y1) mutable {
                for (qint32 y = y0; y <= y1; ++y) {
                    if (x == 1)
                        was.push_back(picture.Point(x, y));
                    picture.PSet(x, y, (x + y) % 3 ? kWhite : 0x203040 + y);
                }
                if (x + 1 < qint32(picture.Width()))
                    return;
                for (qint32 y = y0; y <= y1 && size_t(y - y0) < was.size(); ++y) {
                    picture.PSet(1, y, y % 2 ? was[size_t(y - y0)] : 0x506070 + y);
                    if (y % 4 == 0)
                        picture.PSet(2, y, kBlack);
                }
            });
    // Changes `WorkMask` in its own column only and only where it paints, as
    // the passes do, but also where it paints a pixel its own colour again, and
    // in the masks' row past the picture's last (painted there, off the
    // picture); paints some pixels without changing the mask.
    if (name == QLatin1String("sparse"))
        return std::make_unique<OwnPass>(
            [](Module1 &module, PixelSurface &picture, qint32 x, qint32 y0, qint32 y1) {
                for (qint32 y = y0; y <= y1 + 1; ++y) {
                    if ((x * 7 + y) % 41 == 0 || y == y1 + 1) {
                        picture.PSet(x, y, picture.Point(x, y));
                        module.WorkMask.set(x, y, !module.Mask.at(x, y));
                    } else if ((x + y) % 53 == 0) {
                        picture.PSet(x, y, kBlack);
                    }
                }
            });
    // Paints a few pixels colours other than black and white, as the blinking
    // cursor does: the kernels leave them to NB's per-pixel rule.
    if (name == QLatin1String("dots"))
        return std::make_unique<OwnPass>(
            [](Module1 &, PixelSurface &picture, qint32 x, qint32 y0, qint32 y1) {
                for (qint32 y = y0; y <= y1; ++y)
                    if ((x * 31 + y * 17) % 211 == 0)
                        picture.PSet(x, y, y % 2 ? 0x102030 : 0xF0E0D0);
            });
    // Turns black pixels white and all others black, one in seven, so that a
    // pass run again paints over its own black and white where the scan has the
    // other colour, or the same.
    if (name == QLatin1String("invert"))
        return std::make_unique<OwnPass>(
            [](Module1 &, PixelSurface &picture, qint32 x, qint32 y0, qint32 y1) {
                for (qint32 y = y0; y <= y1; ++y)
                    if ((x + 2 * y) % 7 == 0)
                        picture.PSet(x, y, picture.Point(x, y) == kBlack ? kWhite : kBlack);
            });
    return nullptr;
}

struct Snapshot {
    QImage picture;
    PackedMask mask;
};

struct Fixture {
    explicit Fixture(QSize size) {
        paths << dir.filePath(QStringLiteral("a.png")) << dir.filePath(QStringLiteral("b.png"));
        randomScan(size.width(), size.height(), 1).save(paths[0]);
        randomScan(size.height(), size.width(), 2).save(paths[1]);
        module.ImagePath = paths[0];
        view.session = &session;
        session.load();
    }
    const Sheet &surface() const { return module.picture; }
    Snapshot snap() const { return {surface().image(), module.Mask}; }

    QTemporaryDir dir;
    QStringList paths;
    Module1 module;
    View view;
    Session session{module, view};
};

// A pass of a script run to its end, unrecorded, from `before`: what the
// recorded pass must leave.
Snapshot unrecorded(const QString &name, const Snapshot &before) {
    Module1 module;
    module.Mask = before.mask;
    module.WorkMask = before.mask;
    Sheet picture(before.picture);
    // The boxes as the session's view reads them, lowered from a column on
    // with "nb~N".
    View step;
    const QStringList parts = name.split(QLatin1Char('~'));
    step.lowerFrom = parts.size() > 1 ? parts[1].toInt() : 1 << 30;
    struct Boxes : SettingsSource {
        View &view;
        explicit Boxes(View &v) : view(v) {}
        Thresholds thresholds() override {
            const double t = view.thresholdText(ThresholdBox::rbox).toDouble();
            return Thresholds(t, t, t);
        }
        qint32 speckSize() override { return kDefaultSpeckSize; }
    } boxes(step);
    std::unique_ptr<ColumnOperation> pass = ownPass(name);
    if (!pass)
        pass = findPass(parts[0])->perPixel(boxes);
    runColumnPass(module, picture, step, *pass);
    return {picture.image(), module.Mask};
}

// Runs one step of a script: "nb", "bouchtrou", "affine" (a pass), "nb/3"
// (cancelled after column 3), "nb!3" (a box that is no number from column 3),
// "nb@3" (Reload clicked after column 3),
// "odd" (OddPaint), "reach" (Reach), "late" (Late), "sparse" (Sparse), "invert" (Invert), "U",
// "R", "L" (Reload), "O" (Open of the other file). Returns what the session said, or whether the
// pass ran.
bool act(Fixture &f, const QString &step) {
    if (step == QLatin1String("U"))
        return f.session.undo();
    if (step == QLatin1String("R"))
        return f.session.redo();
    if (step == QLatin1String("L"))
        return f.session.reload();
    if (step == QLatin1String("O")) {
        bool done = false;
        const QString path = f.paths[f.module.ImagePath == f.paths[0] ? 1 : 0];
        f.session.open(path, [&](const RuntimeError *) { done = true; });
        return QTest::qWaitFor([&] { return done; });
    }
    if (auto own = ownPass(step))
        return f.session.runPass(*own);
    const QStringList parts = step.split(QRegularExpression(QStringLiteral("[/!@~]")));
    f.view.cancel = 0;
    f.view.cancelAt = step.contains(QLatin1Char('/')) ? parts[1].toInt() : -1;
    f.view.reloadAt = step.contains(QLatin1Char('@')) ? parts[1].toInt() : -1;
    f.view.badBoxFrom = step.contains(QLatin1Char('!')) ? parts[1].toInt() : 1 << 30;
    f.view.lowerFrom = step.contains(QLatin1Char('~')) ? parts[1].toInt() : 1 << 30;
    return f.session.runPass(*findPass(parts[0]));
}

// Runs a script of steps: after each one the picture and `Mask` equal the
// snapshot the script says they must, and after a pass what the same pass
// leaves unrecorded.
void runScript(QSize size, const QString &script) {
    Fixture f(size);
    std::vector<Snapshot> states{f.snap()};
    size_t current = 0;
    for (const QString &step : script.split(QLatin1Char(' '))) {
        const QString &where = step;
        const bool result = act(f, step);
        if (step == QLatin1String("U") || step == QLatin1String("R")) {
            const bool possible =
                step == QLatin1String("U") ? current > 0 : current + 1 < states.size();
            QCOMPARE(result, possible);
            if (possible)
                current += step == QLatin1String("U") ? -1 : 1;
            // The pass's working copy follows, as after a copy-back.
            QVERIFY(f.module.WorkMask == f.module.Mask);
        } else if (step == QLatin1String("L") || step == QLatin1String("O") ||
                   step.contains(QLatin1Char('@'))) {
            QVERIFY(result);
            states = {f.snap()};
            current = 0;
        } else {
            QVERIFY(result);
            // Recording leaves the pass's work as it is.
            if (!step.contains(QRegularExpression(QStringLiteral("[/!]")))) {
                const Snapshot plain = unrecorded(step, states[current]);
                QVERIFY2(f.surface().image() == plain.picture, qPrintable(where));
                QVERIFY2(f.module.Mask == plain.mask, qPrintable(where));
            }
            states.resize(current + 1);
            states.push_back(f.snap());
            ++current;
        }
        const Snapshot &expected = states[current];
        QVERIFY2(f.surface().image() == expected.picture, qPrintable(where));
        QVERIFY2(f.module.Mask == expected.mask, qPrintable(where));
        const auto last = f.session.lastChanges();
        QCOMPARE(last != nullptr, current > 0);
        if (last) {
            const auto [filled, erased] = changedCells(states[current - 1].mask, expected.mask);
            QCOMPARE(last->filledCount, filled);
            QCOMPARE(last->erasedCount, erased);
            for (qint32 x = 0; x <= expected.mask.upperX(); ++x)
                for (qint32 y = 0; y <= expected.mask.upperY(); ++y)
                    QCOMPARE(
                        last->contains(last->filled, x, y) || last->contains(last->erased, x, y),
                        states[current - 1].mask.at(x, y) != expected.mask.at(x, y));
        }
    }
    QCOMPARE(f.view.errors, script.contains(QLatin1Char('!')) ? 1 : 0);
}

}  // namespace

class TestHistory : public QObject {
    Q_OBJECT

private slots:
    // After every step the picture and `Mask` equal the snapshot the script
    // says they must, and the last pass's counts are those of the two states
    // it lies between.
    void sequences_data() {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<QString>("script");
        QTest::newRow("passes undone and redone")
            << QSize(70, 130) << "nb bouchtrou affine U U U U R R R R";
        QTest::newRow("a new pass drops the redo")
            << QSize(65, 64) << "nb affine U bouchtrou R U U R";
        QTest::newRow("cancelled passes") << QSize(40, 90) << "nb/7 U R nb affine/20 U R U U";
        QTest::newRow("pass ended by an error") << QSize(33, 65) << "nb!5 U R U nb U R";
        QTest::newRow("other colours") << QSize(50, 129) << "nb odd U odd odd U U R R";
        QTest::newRow("writes beyond the column")
            << QSize(37, 70) << "nb reach U R odd reach reach U U U R R";
        QTest::newRow("writes into groups compared")
            << QSize(150, 70) << "nb late U R odd late late U U U R R";
        QTest::newRow("mask changed where painted")
            << QSize(140, 75) << "nb sparse U R sparse affine U U U R R R";
        QTest::newRow("nb over its own picture")
            << QSize(140, 67) << "nb odd nb U R U U R R nb/70 U R";
        QTest::newRow("black and white over the scan's")
            << QSize(130, 66) << "nb invert invert U R U U R R invert U";
        // NB finds the picture's black and white where `Mask` has the other:
        // the mask changes where the colour stays.
        QTest::newRow("nb over black and white off the mask")
            << QSize(131, 70) << "nb invert nb U R U R nb";
        QTest::newRow("reload starts afresh") << QSize(30, 30) << "nb affine L U R nb U";
        QTest::newRow("reload during a pass") << QSize(30, 70) << "nb affine@4 U R bouchtrou U R";
        QTest::newRow("open starts afresh")
            << QSize(64, 63) << "nb affine U O U R nb bouchtrou U U R";
        QTest::newRow("one pixel") << QSize(1, 1) << "nb U R affine U";
        QTest::newRow("thresholds changed during nb") << QSize(90, 70) << "nb~7 U R dots nb~40 U R";
        QTest::newRow("a few other colours under nb") << QSize(100, 80) << "dots nb U R dots nb";
    }
    void sequences() {
        QFETCH(QSize, size);
        QFETCH(QString, script);
        runScript(size, script);
    }
    // Band and word edges: every width and every height up to 200 (the other
    // side odd), through NB, affine, and both undone and redone.
    void everySize() {
        for (int side = 1; side <= 200; ++side) {
            for (const QSize size : {QSize(side, 67), QSize(3, side)}) {
                Fixture f(size);
                const Snapshot start = f.snap();
                act(f, QStringLiteral("nb"));
                act(f, QStringLiteral("affine"));
                const Snapshot end = f.snap();
                QVERIFY(f.session.undo() && f.session.undo());
                QVERIFY2(f.surface().image() == start.picture && f.module.Mask == start.mask,
                         qPrintable(QStringLiteral("%1x%2").arg(size.width()).arg(size.height())));
                QVERIFY(f.session.redo() && f.session.redo());
                QVERIFY2(f.surface().image() == end.picture && f.module.Mask == end.mask,
                         qPrintable(QStringLiteral("%1x%2").arg(size.width()).arg(size.height())));
            }
        }
    }

    // Beyond the budget the oldest passes go; those kept still undo to the
    // right states, and the history never holds more than the budget.
    void budget() {
        for (const int keep : {0, 1, 2, 4}) {
            Fixture f(QSize(90, 70));
            std::vector<Snapshot> states{f.snap()};
            std::vector<size_t> sizes;
            for (const char *step : {"nb", "affine", "bouchtrou", "affine"}) {
                act(f, QLatin1String(step));
                states.push_back(f.snap());
                sizes.push_back(f.session.lastChanges()->bytes());
            }
            size_t budget = 0;
            for (int i = 0; i < keep; ++i)
                budget += sizes[sizes.size() - 1 - size_t(i)];
            // The budget applies when it is set as when a pass is pushed.
            f.session.history().setBudget(budget);
            QCOMPARE(f.session.history().undoCount(), keep);
            QVERIFY(f.session.history().bytes() <= budget);
            for (int i = 1; i <= keep; ++i) {
                QVERIFY(f.session.undo());
                QVERIFY(f.surface().image() == states[states.size() - 1 - size_t(i)].picture);
                QVERIFY(f.module.Mask == states[states.size() - 1 - size_t(i)].mask);
            }
            QVERIFY(!f.session.undo());
        }
    }

    void countsText_data() {
        QTest::addColumn<qint64>("filled");
        QTest::addColumn<qint64>("erased");
        QTest::addColumn<QString>("text");
        QTest::newRow("small") << qint64(0) << qint64(999) << "0 filled, 999 erased";
        QTest::newRow("thousands") << qint64(1234) << qint64(5678) << "1,234 filled, 5,678 erased";
        QTest::newRow("millions") << qint64(35000000) << qint64(100000)
                                  << "35,000,000 filled, 100,000 erased";
    }
    void countsText() {
        QFETCH(qint64, filled);
        QFETCH(qint64, erased);
        QFETCH(QString, text);
        QLocale::setDefault(QLocale(QLocale::German));
        QCOMPARE(changeCountsText(filled, erased), text);
        QLocale::setDefault(QLocale::c());
    }
};

QTEST_GUILESS_MAIN(TestHistory)
#include "test_history.moc"

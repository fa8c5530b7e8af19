// The kernels' columns on several threads at once, in bands of columns: the
// same picture and masks as on one thread for every size, every column's
// end-of-column step run once, Cancel still heard; and inkmask-batch with a
// spare worker on one file writing the files it writes with one.

#include "core/ops/kernels.h"
#include "core/ops/passes.h"
#include "support.h"

#include <QCryptographicHash>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <atomic>
#include <mutex>

using namespace ink;
using namespace ink::test;

namespace {

// An end-of-column step that may be called from several threads: it keeps
// the columns whose step ran and ticks Cancel once `cancelAfter` columns are
// done (never when negative).
class SharedStep : public ColumnStep {
public:
    explicit SharedStep(qint64 cancelAfter = -1) : m_cancelAfter(cancelAfter) {}

    void refreshPicture(qint32 column) override {
        std::lock_guard lock(m_lock);
        columns.push_back(column);
        if (qint64(columns.size()) == m_cancelAfter)
            cancel.store(1);
    }
    void setProgress(const QString &) override {}
    void refreshWindow() override {}
    void doEvents() override {}
    int cancelValue() override { return cancel.load(); }
    void setCancelValue(int value) override { cancel.store(value); }

    std::vector<qint32> columns;
    std::atomic<int> cancel{0};

private:
    std::mutex m_lock;
    qint64 m_cancelAfter;
};

QImage randomPicture(int w, int h, Rng &rng) {
    QImage image(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y) {
        QRgb *row = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < w; ++x) {
            const int v = rng.below(3) == 0 ? 40 + rng.below(200) : 230;
            row[x] = qRgb(v, std::min(255, v + rng.below(30)), std::max(0, v - rng.below(30)));
        }
    }
    return image;
}

// Clean-up passes first, on a random mask, so that the threshold pass meets
// painted pixels, then the chain.
const QStringList kSteps{"bouchtrou", "affine", "nb", "bouchtrou", "affine"};

struct Result {
    QImage picture;
    PackedMask mask;
    PackedMask workMask;
    std::vector<qint64> columnsDone;
};

Result runSteps(const QImage &image, const PackedMask &mask, int threads,
                const Thresholds &thresholds) {
    KernelModel model;
    model.load(image);
    model.Mask.assign(mask);
    Result result;
    for (const QString &name : kSteps) {
        const std::unique_ptr<PackedOperation> pass = findPass(name)->packed(thresholds);
        SharedStep step;
        result.columnsDone.push_back(runColumnPass(model, step, *pass, threads).columnsDone);
        // Every column's step ran once, whichever thread did the column.
        std::sort(step.columns.begin(), step.columns.end());
        const bool once =
            std::adjacent_find(step.columns.begin(), step.columns.end()) == step.columns.end();
        if (!once || qint64(step.columns.size()) != result.columnsDone.back())
            qFatal("a column's end-of-column step ran %s", once ? "never" : "twice");
    }
    result.picture = model.picture.image();
    result.mask = model.Mask;
    result.workMask = model.WorkMask;
    return result;
}

}  // namespace

class TestBands : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Every width from 1 to 300 (bands of 64 columns and more, partial
    // ones last) at heights around the 64-row words: two and three threads
    // give the picture and both masks of one.
    void sameAsOneThread_data() {
        QTest::addColumn<int>("height");
        QTest::addColumn<bool>("local");
        for (const int height : {1, 63, 64, 65, 130})
            QTest::addRow("height %d", height) << height << false;
        // NB with each 8 x 8 cell against limits of its own.
        for (const int height : {9, 600})
            QTest::addRow("height %d, local rule", height) << height << true;
    }
    void sameAsOneThread() {
        QFETCH(int, height);
        QFETCH(bool, local);
        Rng rng{quint64(height) * 31};
        for (int width = 1; width <= 300; width += local ? 7 : 1) {
            const QImage image = randomPicture(width, height, rng);
            const int density = 20 + rng.below(70);
            const PackedMask mask = randomMask(width, height, rng, density);
            Thresholds thresholds{180, 180, 180};
            if (local)
                thresholds.paper = randomPaper(width, height, rng);
            const Result one = runSteps(image, mask, 1, thresholds);
            for (const int threads : {2, 3}) {
                const Result more = runSteps(image, mask, threads, thresholds);
                const QByteArray where = QStringLiteral("%1 x %2, %3 threads")
                                             .arg(width)
                                             .arg(height)
                                             .arg(threads)
                                             .toUtf8();
                QVERIFY2(more.picture == one.picture, where);
                QVERIFY2(more.mask == one.mask, where);
                QVERIFY2(more.workMask == one.workMask, where);
                QVERIFY2(more.columnsDone == one.columnsDone, where);
            }
        }
    }

    // Cancel ticked during a banded pass stops every thread and is unticked
    // once; the columns done, and only they, reach `Mask`.
    void cancelStopsEveryThread() {
        const int width = 2000;
        const int height = 70;
        QImage black(width, height, QImage::Format_RGB32);
        black.fill(qRgb(0, 0, 0));
        KernelModel model;
        model.load(black);
        SharedStep step(300);
        ThresholdKernel pass(Thresholds{180, 180, 180});
        const PassOutcome outcome = runColumnPass(model, step, pass, 2);
        QVERIFY(outcome.cancelled);
        QCOMPARE(step.cancel.load(), 0);
        QCOMPARE(qint64(step.columns.size()), outcome.columnsDone);
        QVERIFY(outcome.columnsDone < width / 2);
        const PackedMask mask = model.Mask;
        for (int x = 0; x < width; ++x) {
            const bool done =
                std::find(step.columns.begin(), step.columns.end(), x) != step.columns.end();
            QVERIFY2(mask.at(x, height / 2) == done, qPrintable(QString::number(x)));
        }
    }

    // A mask narrower than the picture: NB, bouchtrou and affine raise error 9
    // at the column whose reach leaves it, on one thread or two. `Mask` stays
    // as it was and `WorkMask` holds the pass start's copy of it in every
    // column not done, whatever it held before.
    void errorMidwayLeavesMaskAndPassStart() {
        Rng rng{5};
        const PackedMask start = randomMask(200, 70, rng, 50);
        for (const char *name : {"nb", "bouchtrou", "affine"}) {
            for (const int threads : {1, 2}) {
                KernelModel model;
                model.load(randomPicture(300, 70, rng));
                model.Mask.assign(start);
                model.WorkMask.allocate(200, 70);
                SharedStep step;
                try {
                    runColumnPass(model, step, *findPass(name)->packed(Thresholds{180, 180, 180}),
                                  threads);
                    QFAIL("no error");
                } catch (const RuntimeError &e) {
                    QCOMPARE(e.number(), int(RuntimeError::SubscriptOutOfRange));
                }
                QVERIFY(model.Mask == start);
                const QByteArray where =
                    QStringLiteral("%1, %2 threads").arg(name).arg(threads).toUtf8();
                for (qint32 x = 0; x <= start.upperX(); ++x) {
                    if (std::find(step.columns.begin(), step.columns.end(), x) !=
                        step.columns.end())
                        continue;
                    for (qint32 y = 0; y <= start.upperY(); ++y)
                        QVERIFY2(model.WorkMask.at(x, y) == start.at(x, y), where);
                }
            }
        }
    }

    // Both masks allocated afresh and larger in the middle of a pass, as
    // Reload does in the window's pump, then Cancel: both end white.
    void masksReplacedMidway() {
        struct Reload : SharedStep {
            KernelModel *model = nullptr;
            void refreshPicture(qint32 column) override {
                SharedStep::refreshPicture(column);
                if (column == 20) {
                    model->Mask.allocate(400, 90);
                    model->WorkMask.allocate(400, 90);
                    cancel.store(1);
                }
            }
        };
        Rng rng{9};
        for (const char *name : {"bouchtrou", "affine"}) {
            KernelModel model;
            model.load(randomPicture(200, 70, rng));
            model.Mask.assign(randomMask(200, 70, rng, 80));
            Reload step;
            step.model = &model;
            QVERIFY(runColumnPass(model, step, *findPass(name)->packed(Thresholds{180, 180, 180}))
                        .cancelled);
            QCOMPARE(model.Mask.countBlack() + model.WorkMask.countBlack(), 0);
        }
    }

    // The program with -j 2 on one file writes the bytes it writes with -j 1.
    void batchSpareWorker() {
        QTemporaryDir dir;
        Rng rng{3};
        const QString input = dir.filePath(QStringLiteral("scan.png"));
        QVERIFY(randomPicture(1500, 300, rng).save(input));
        QList<QByteArray> digests;
        for (const char *jobs : {"1", "2"}) {
            const QString picture = dir.filePath(QStringLiteral("p%1.png").arg(jobs));
            const QString mask = dir.filePath(QStringLiteral("m%1.tif").arg(jobs));
            QProcess process;
            process.start(QStringLiteral(INKMASK_BATCH),
                          {"-j", jobs, input, "-o", picture, "--mask", mask});
            QVERIFY(process.waitForFinished(60000));
            QCOMPARE(process.exitCode(), 0);
            QByteArray both;
            for (const QString &file : {picture, mask}) {
                QFile f(file);
                QVERIFY(f.open(QIODevice::ReadOnly));
                both += QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha256);
            }
            digests << both;
        }
        QCOMPARE(digests[1], digests[0]);
    }
};

QTEST_MAIN(TestBands)
#include "test_bands.moc"

#pragma once

#include "batch/options.h"
#include "core/files/imagefiles.h"
#include "core/ops/packedengine.h"

#include <QImage>
#include <QStringList>

#include <QList>

#include <algorithm>
#include <atomic>
#include <functional>

namespace ink {

// What became of one input: what the report says of it, and the summary
// counts. Filled by BatchRunner::run.
struct FileResult {
    enum class Status { Done, Failed, Interrupted };
    struct Output {
        // World: the world file beside one of the others.
        enum class Kind { Mask, Picture, Changes, World };
        QString file;
        Kind kind = Kind::Mask;
        qint64 bytes = 0;   // its size once written
        QByteArray digest;  // contentDigest() of its bytes
    };
    struct StepChanges {
        qint64 filled = 0;  // pixels the step turned black
        qint64 erased = 0;  // pixels the step turned white
    };

    QString input;
    QList<Output> outputs;       // the files written, in the order written
    Thresholds thresholds;       // the thresholds NB used
    QList<StepChanges> changes;  // per step done, in order
    qint64 started = 0;          // milliseconds since the epoch, when reading began
    qint64 milliseconds = 0;     // from reading to the last write
    Status status = Status::Done;
    QStringList errors;    // each with the file's name and the reason
    QStringList warnings;  // what the user should look at in a file done
};

// The warning for a picture `percent` black after NB.
QString mostlyBlackWarning(int percent);

// Where a running file stands, for the progress line: read by another thread.
struct FileProgress {
    std::atomic<int> step{-1};    // index into the steps, -1 before the first
    std::atomic<int> percent{0};  // of the step's columns done
    // With --thresholds auto, once computed: red << 16 | green << 8 | blue.
    std::atomic<int> autoThresholds{-1};
    // Percent of the picture NB left black, when over kMostlyBlackPercent.
    std::atomic<int> mostlyBlack{-1};
    // The cells of the mask the last step done filled and erased.
    std::atomic<qint64> filled{0};
    std::atomic<qint64> erased{0};
};

// The threads of a run that have no file left to start, which the files
// still running borrow to do their passes on several threads. Shared by the
// runners; a thread is lent to one pass at a time.
class SpareThreads {
public:
    void add(int count) { m_free.fetch_add(count); }
    // Takes up to `most` of them; returns how many.
    int borrow(int most) {
        int free = m_free.load();
        int taken;
        do
            taken = std::clamp(free, 0, most);
        while (taken > 0 && !m_free.compare_exchange_weak(free, free - taken));
        return taken;
    }
    void giveBack(int count) { m_free.fetch_add(count); }

private:
    std::atomic<int> m_free{0};
};

// Runs the steps on one file after another, on one thread. Its buffers (the
// picture's paint layers, the masks, the image read) are allocated for the
// first file and reused for the next ones.
class BatchRunner {
public:
    // `interrupt` is polled after every column, as the window polls Cancel:
    // once set, the running pass stops at its next column and nothing of the
    // file is written.
    //
    // Each pass also runs on threads borrowed from `spare`, when given, up
    // to `threadsPerFile` in all (the cores: more would only wait).
    BatchRunner(const BatchOptions &options, const std::atomic<bool> &interrupt,
                SpareThreads *spare = nullptr, int threadsPerFile = 1)
        : m_options(options),
          m_interrupt(interrupt),
          m_spare(spare),
          m_threadsPerFile(threadsPerFile) {}

    using Result = FileResult::Status;

    // Reads input `index`, runs the steps, writes what was asked. Every read
    // or write failure is in the result's errors, with the file's name and
    // reason.
    FileResult run(int index, FileProgress &progress);

    // The steps on a picture already in memory, as the window's buttons would
    // run them on it; false when interrupted. The results stay in model().
    // With --thresholds auto, NB's thresholds are computed from `picture`
    // first, as the window's Ctrl+T computes them.
    bool runSteps(QImage picture, FileProgress *progress = nullptr);
    KernelModel &model() { return m_model; }

    // The picture of what the clean-up steps changed: cells that went from
    // white to black between `before` (the mask as the last NB left it) and
    // `after` in blue, from black to white in vermillion, other ink light
    // grey, paper white; one pixel per cell of a width x height picture.
    static QImage changesImage(const PackedMask &before, const PackedMask &after, QSize size);

private:
    Result runFile(int index, FileProgress &progress, FileResult &result);
    // Writes the file's outputs into `outputs`, each listed in `pending`
    // with its kind and digest, to be committed by the caller.
    Result writeOutputs(int index, OutputSet &outputs, QStringList &errors,
                        QList<FileResult::Output> &pending);

    const BatchOptions &m_options;
    const std::atomic<bool> &m_interrupt;
    SpareThreads *m_spare;
    int m_threadsPerFile;
    KernelModel m_model;
    GeoReference m_geo;       // the file in hand's georeferencing
    QImage m_image;           // the last picture written, its buffer reused by the next read
    Thresholds m_thresholds;  // NB's, for the file in hand
    QList<FileResult::StepChanges> m_changes;  // per step done on the file in hand
    QStringList m_warnings;                    // about the file in hand
    PackedMask m_before;                       // the mask before the running step
    PackedMask m_baseline;                     // the mask after the last NB step, for --changes
};

}  // namespace ink

#pragma once

#include "batch/options.h"
#include "core/ops/packedengine.h"

#include <QImage>
#include <QStringList>

#include <atomic>
#include <functional>
#include <vector>

namespace ink {

// Where a running file stands, for the progress line: read by another thread.
struct FileProgress {
    std::atomic<int> step{-1};    // index into the steps, -1 before the first
    std::atomic<int> percent{0};  // of the step's columns done
    // The cells of the mask the last step done filled and erased.
    std::atomic<qint64> filled{0};
    std::atomic<qint64> erased{0};
};

// What became of one input, for the summary and the report.
struct FileResult {
    QString input;
    QStringList outputs;    // written
    Thresholds thresholds;  // NB's
    // Per step done, in order: the cells of the mask it turned black (filled)
    // and white (erased).
    struct StepCounts {
        qint64 filled = 0;
        qint64 erased = 0;
    };
    std::vector<StepCounts> steps;
    qint64 milliseconds = 0;
    enum class Status { Done, Failed, Interrupted } status = Status::Done;
    QString error;  // the first failure, with the file's name and reason
};

// Runs the steps on one file after another, on one thread. Its buffers (the
// picture's paint layers, the masks, the image read) are allocated for the
// first file and reused for the next ones.
class BatchRunner {
public:
    // `interrupt` is polled after every column, as the window polls Cancel:
    // once set, the running pass stops at its next column and nothing of the
    // file is written.
    BatchRunner(const BatchOptions &options, const std::atomic<bool> &interrupt)
        : m_options(options), m_interrupt(interrupt) {}

    enum class Result { Done, Failed, Interrupted };

    // Reads input `index`, runs the steps, writes what was asked. Every read
    // or write failure is added to `errors`, with the file's name and reason.
    // lastResult() then tells what became of it.
    Result run(int index, FileProgress &progress, QStringList &errors);
    const FileResult &lastResult() const { return m_result; }

    // The steps on a picture already in memory, as the window's buttons would
    // run them on it; false when interrupted. The results stay in model(),
    // each step's counts in lastResult().steps.
    bool runSteps(QImage picture, FileProgress *progress = nullptr);
    KernelModel &model() { return m_model; }

    // The picture of what the clean-up steps changed: cells that went from
    // white to black between `before` (the mask as the last NB left it) and
    // `after` in blue, from black to white in vermillion, other ink light
    // grey, paper white; one pixel per cell of a width x height picture.
    static QImage changesImage(const PackedMask &before, const PackedMask &after, QSize size);

private:
    Result runFile(int index, FileProgress &progress, QStringList &errors);
    // Writes `image` to `path` unless interrupted; a failure goes to `errors`.
    bool write(const QImage &image, const QString &path, QStringList &errors);

    const BatchOptions &m_options;
    const std::atomic<bool> &m_interrupt;
    KernelModel m_model;
    PackedMask m_before;    // the mask before the running step
    PackedMask m_baseline;  // the mask after the last NB step, for --changes
    FileResult m_result;
    QImage m_image;  // the last picture written, its buffer reused by the next read
};

}  // namespace ink

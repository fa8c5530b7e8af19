#pragma once

#include "batch/options.h"
#include "core/ops/packedengine.h"

#include <QImage>
#include <QStringList>

#include <atomic>
#include <functional>
#include <optional>

namespace ink {

// Where a running file stands, for the progress line: read by another thread.
struct FileProgress {
    std::atomic<int> step{-1};    // index into the steps, -1 before the first
    std::atomic<int> percent{0};  // of the step's columns done
    // With --thresholds auto, once computed: red << 16 | green << 8 | blue.
    std::atomic<int> autoThresholds{-1};
};

struct FileResult;

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
    // `record`, when given, receives what became of the file.
    Result run(int index, FileProgress &progress, QStringList &errors,
               FileResult *record = nullptr);

    // The steps on a picture already in memory, as the window's buttons would
    // run them on it; false when interrupted. The results stay in model().
    // With --thresholds auto, NB's thresholds are computed from `picture`
    // first, as the window's Ctrl+T computes them; thresholdsUsed() has them.
    bool runSteps(QImage picture, FileProgress *progress = nullptr);
    const Thresholds &thresholdsUsed() const { return m_thresholds; }
    KernelModel &model() { return m_model; }

private:
    Result runFile(int index, FileProgress &progress, QStringList &errors, FileResult *record);

    const BatchOptions &m_options;
    const std::atomic<bool> &m_interrupt;
    KernelModel m_model;
    QImage m_image;           // the last picture written, its buffer reused by the next read
    Thresholds m_thresholds;  // NB's, for the file in hand
};

// What became of one input, for the progress line, the summary and the report.
struct FileResult {
    QString input;
    QStringList outputs;  // files written
    // NB's thresholds, when a step was nb.
    std::optional<Thresholds> thresholds;
    // Per step, in order: the pixels it made ink and those it made paper.
    struct StepCount {
        qint64 filled = 0;
        qint64 erased = 0;
    };
    QList<StepCount> steps;
    qint64 milliseconds = 0;
    BatchRunner::Result status = BatchRunner::Result::Done;
    QString error;  // the first failure's text, with the file's name
};

}  // namespace ink

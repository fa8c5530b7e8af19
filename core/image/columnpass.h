#pragma once

#include "core/image/module1.h"
#include "core/image/pixelsurface.h"

#include <QString>

#include <functional>

namespace ink {

// The end-of-column step of a pass: what happens between two columns.
// The window implements it with its controls; tests script it; the batch
// tool runs it quietly.
class ColumnStep {
public:
    virtual ~ColumnStep() = default;

    // Brings the picture on screen up to date; `column` is the one just done.
    virtual void refreshPicture(qint32 column) = 0;
    virtual void setProgress(const QString &text) = 0;
    virtual void refreshWindow() = 0;
    // Handles pending events (clicks, keys, typing, Reload) and returns.
    virtual void doEvents() = 0;
    // The Cancel box: 0 unticked, 1 ticked, 2 greyed.
    virtual int cancelValue() = 0;
    virtual void setCancelValue(int value) = 0;
    // A step that shows nothing (the batch tool's): the frame then makes no
    // progress text for it and does not time it, which took a tenth of the
    // batch tool's passes on one thread, and calls setProgress() no more.
    virtual bool quiet() const { return false; }
};

// Where a pass works: columns from firstColumn to round(Width - columnMargin),
// computed once before the first column, and in each column rows from
// firstRow to round(Height - rowMargin), computed afresh for every column.
// Sizes are single-precision and rounded half to even.
struct PassRange {
    qint32 firstColumn = 0;
    float columnMargin = 0;
    qint32 firstRow = 0;
    float rowMargin = 0;

    friend bool operator==(const PassRange &, const PassRange &) = default;
};

// One operation of the per-pixel engine: it works on Module1's masks and a
// PixelSurface, one pixel at a time. The window, the tests and the reference
// passes use it.
class ColumnOperation {
public:
    virtual ~ColumnOperation() = default;
    virtual PassRange range() const = 0;
    // Applies the operation's rule to rows y0..y1 of column x, in that order
    // (the range may be empty). Reads the picture or `Mask`, writes only
    // `WorkMask` and the picture, and paints each change at once.
    virtual void processColumn(Module1 &module, PixelSurface &picture, qint32 x, qint32 y0,
                               qint32 y1) = 0;

    // The pass start and the copy-back: whole copies of `Mask` into `WorkMask`
    // and back.
    virtual void passStart(Module1 &module) { module.WorkMask.assign(module.Mask); }
    virtual void copyBack(Module1 &module) { module.Mask.assign(module.WorkMask); }
};

struct PassOutcome {
    bool cancelled = false;
    qint64 columnsDone = 0;
    // Time spent in the end-of-column steps (repaints and the event pump).
    qint64 stepNanoseconds = 0;
};

// Runs one pass:
//  1. pass start: `Mask` is copied into `WorkMask`;
//  2. for each column, left to right: the operation's rule over the column's
//     rows, then the end-of-column step (refresh the picture, progress "i=" and
//     the column, refresh the window, pump events, poll Cancel; a ticked box is
//     unticked and ends the column loop);
//  3. copy-back: `WorkMask` is copied into `Mask`, also after a cancel.
// A RuntimeError from the rule or the step propagates at once and skips the
// copy-back, so `Mask` keeps what it held before the pass.
PassOutcome runColumnPass(Module1 &module, PixelSurface &picture, ColumnStep &step,
                          ColumnOperation &operation);

// Step 2 of a pass, whatever holds its masks: the columns of `range` on
// `picture`, each given to `processColumn` (x, first row, last row) and
// followed by the end-of-column step. Both engines, the per-pixel one above
// and the batch tool's packed one, run their passes through it.
PassOutcome runColumns(const PixelSurface &picture, ColumnStep &step, const PassRange &range,
                       const std::function<void(qint32, qint32, qint32)> &processColumn);

QString progressText(qint32 column);

}  // namespace ink

#pragma once

#include "core/image/columnpass.h"
#include "core/image/packedmask.h"
#include "core/image/paintedsurface.h"
#include "core/ops/passsettings.h"

#include <functional>
#include <memory>
#include <vector>

namespace ink {

// The batch tool's engine. Nothing watches the picture while it works, so its
// passes keep the masks one bit per cell (PackedMask) and record painting in
// the picture's bit layers (PaintedSurface), and may do a column as a whole.
// Its passes run in the same column frame as the window's (runColumns), over
// the same columns and rows, and the end-of-column step still runs after every
// column, so Cancel stops them at the same place.

// The picture and the two masks of the packed engine. The batch tool keeps one
// per worker and reuses its buffers from pass to pass and file to file.
struct KernelModel {
    PaintedSurface picture;
    PackedMask Mask;
    PackedMask WorkMask;

    // The kernels' working buffers, kept here so that they are allocated for
    // the first pass and reused by the next passes and pictures.
    struct Scratch {
        std::vector<quint64> band;      // the threshold kernel's band of columns
        std::vector<quint8> skip;       // per tile of the band: all painted, not read
        std::vector<quint64> rowWords;  // 64 rows of the band, one bit per pixel
        std::vector<quint64> column;    // one column's words
        std::vector<quint64> more;      // another column's words
        std::vector<quint32> limits;    // the local rule's limits for a row
    } scratch;
    // The same for each further thread that takes columns of a pass.
    std::vector<Scratch> bandScratch;

    // Takes a new picture and allocates both masks (0..W, 0..H), all False,
    // where W x H is the picture's size, as start-up does in the window.
    void load(QImage image);
};

// One operation of the packed engine.
class PackedOperation {
public:
    virtual ~PackedOperation() = default;
    virtual PassRange range() const = 0;
    // Applies the operation's rule to rows y0..y1 of column x (the range may
    // be empty): reads the picture or `Mask`, writes only `WorkMask` and the
    // picture.
    virtual void processColumn(KernelModel &model, qint32 x, qint32 y0, qint32 y1) = 0;

    // The pass start and the copy-back: by default whole copies of `Mask` into
    // `WorkMask` and back.
    virtual void passStart(KernelModel &model) { model.WorkMask.assign(model.Mask); }
    virtual void copyBack(KernelModel &model) { model.Mask.assign(model.WorkMask); }

    // For running a pass's columns on several threads at once. An operation
    // may do so when a column's result does not depend on the order in which
    // columns are done: it reads only `Mask`, which stays as it was at the
    // pass start, and the picture's cells of the column itself, and writes
    // only the column's cells. It then gives a worker for another thread,
    // with `scratch` as its working buffers and changes of its own that
    // joinWorker() takes back before the copy-back. Null for an operation
    // whose columns must be done one after another.
    virtual std::unique_ptr<PackedOperation> bandWorker(KernelModel::Scratch &) { return nullptr; }
    virtual void joinWorker(PackedOperation &) {}
    // The next columns given to processColumn lie in first..last, a band of
    // the pass's columns: work done ahead stays within it.
    virtual void startBand(qint32 /*first*/, qint32 /*last*/) {}
};

// Runs one pass of the packed engine: pass start, the columns with their
// end-of-column steps, copy-back (also after a cancel). As in the window, a
// RuntimeError propagates at once and skips the copy-back.
//
// With `threads` above 1, and an operation that gives band workers, the
// columns are handed out in bands of adjacent columns to that many threads,
// the calling one among them, with the same result. After each column, on
// the thread that did it, the step's refreshPicture() (the column done) and
// cancelValue() run, so `step` must take calls from several threads at once;
// a ticked Cancel stops every thread at its next column, and the pass then
// unticks it once. The columns done are counted, not their end-of-column
// time, and no other step call is made.
PassOutcome runColumnPass(KernelModel &model, ColumnStep &step, PackedOperation &operation,
                          int threads = 1);

// A per-pixel operation run on the packed engine, for a pass that has no
// packed form: the packed masks are converted to one byte per cell for the
// pass and back after it, and the painted surface is the picture. Slower, but
// the same result.
class PerPixelOnPacked : public PackedOperation {
public:
    using Make = std::function<std::unique_ptr<ColumnOperation>(SettingsSource &)>;
    // `make` builds the operation; one that reads settings gets `settings`.
    PerPixelOnPacked(const Make &make, const PassSettings &settings)
        : m_settings(settings), m_operation(make(m_settings)) {}

    PassRange range() const override { return m_operation->range(); }
    void passStart(KernelModel &model) override;
    void processColumn(KernelModel &model, qint32 x, qint32 y0, qint32 y1) override;
    void copyBack(KernelModel &model) override;

private:
    FixedSettings m_settings;
    std::unique_ptr<ColumnOperation> m_operation;
    Module1 m_module;  // the masks, one byte per cell, while the pass runs
};

}  // namespace ink

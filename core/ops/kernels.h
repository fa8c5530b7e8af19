#pragma once

#include "core/ops/despeckle.h"
#include "core/ops/holefill.h"
#include "core/ops/packedengine.h"
#include "core/ops/spurremoval.h"
#include "core/ops/threshold.h"

#include <QStringList>

#include <array>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

namespace ink {

// Whole-column forms of the passes, for the packed engine. They give, bit for
// bit, the picture and masks of the per-pixel passes (ThresholdPass,
// HoleFillPass, SpurRemovalPass, DespecklePass), which stay the reference,
// over the same columns and rows.
//
// What differs is how a column is done: the masks are bit-packed (one word
// operation decides 64 rows), painting sets bits in the picture's paint
// layers, and the threshold pass reads the image row by row, a band of
// columns ahead, instead of one pixel per image row.
//
// They rely on nothing else changing the picture or the masks while a pass
// runs (in the batch tool the end-of-column step only polls Ctrl-C), and on
// masks that cover the rows and columns the pass reads: a column whose reach
// leaves the masks raises error 9 before anything of it is done.

// Paints the rows set in words k0..k1 of `changes` in column x: black or
// white in the paint layers, on the picture's own rows only.
void paintRows(Sheet &picture, qint32 x, const quint64 *changes, qint32 k0, qint32 k1, bool black);

// The base of the kernels: pass start and copy-back on the packed masks.
class KernelOperation : public PackedOperation {
public:
    // `changesOnly`: the operation lists every column of `WorkMask` it
    // changes, and the copy-back copies just those.
    explicit KernelOperation(bool changesOnly, bool columnsCopy = false)
        : m_changesOnly(changesOnly), m_columnsCopy(columnsCopy) {}
    void passStart(KernelModel &model) override;
    void copyBack(KernelModel &model) override;
    void passFailed(KernelModel &model) override;
    // Every kernel's columns may run on several threads: each column reads
    // `Mask`, or the picture's cells of that column, and writes only its own
    // cells of `WorkMask` and the picture.
    void joinWorker(PackedOperation &worker) override;

protected:
    // A copy of `kernel` for another thread, working in `scratch`.
    template <class Kernel>
    static std::unique_ptr<PackedOperation> workerOf(const Kernel &kernel,
                                                     KernelModel::Scratch &scratch) {
        auto worker = std::make_unique<Kernel>(kernel);
        worker->m_scratch = &scratch;
        worker->m_changed.clear();
        return worker;
    }
    KernelModel::Scratch &scratch(KernelModel &model) const {
        return m_scratch ? *m_scratch : model.scratch;
    }
    // The pass start's copy of column x of `Mask` into `WorkMask`, when the
    // columns make it (which the kernel does before it writes the column).
    void copyColumn(KernelModel &model, qint32 x) {
        if (copying(model) && !(*m_copied)[size_t(x)]) {
            const size_t bytes = (size_t(model.Mask.wordsPerColumn()) + 2) * sizeof(quint64);
            // The guards too. Where the column is already equal, as it is
            // after a copy-back, it is not written.
            const quint64 *from = model.Mask.column(x) - 1;
            quint64 *to = model.WorkMask.column(x) - 1;
            if (std::memcmp(to, from, bytes) != 0)
                std::memcpy(to, from, bytes);
            (*m_copied)[size_t(x)] = 1;
        }
    }

    bool m_changesOnly;
    // `columnsCopy`: where both masks have the same bounds, the pass start
    // copies no column; each column copies its own as it is done (its words
    // of `Mask` are then at hand), and the copy-back, or the error, the rest.
    bool m_columnsCopy;
    std::shared_ptr<std::vector<quint8>> m_copied;  // per column: copied; shared by the workers
    qint32 m_copiedRows = 0;                        // the masks' upperY then
    // Whether the columns still copy: the masks kept the bounds they had at
    // the pass start (in the window, Reload allocates both afresh, equal).
    bool copying(const KernelModel &model) const {
        return m_copied && model.Mask.upperX() + 1 == qint32(m_copied->size()) &&
               model.WorkMask.upperX() == model.Mask.upperX() &&
               model.Mask.upperY() == m_copiedRows && model.WorkMask.upperY() == m_copiedRows;
    }
    std::vector<qint32> m_changed;              // columns changed in `WorkMask`
    KernelModel::Scratch *m_scratch = nullptr;  // a worker's own; else the model's
};

// NB on whole columns: the threshold pass with fixed thresholds.
class ThresholdKernel : public KernelOperation {
public:
    explicit ThresholdKernel(Thresholds thresholds);

    PassRange range() const override { return ThresholdPass::kRange; }
    void passStart(KernelModel &model) override;
    void processColumn(KernelModel &model, qint32 x, qint32 y0, qint32 y1) override;
    std::unique_ptr<PackedOperation> bandWorker(KernelModel::Scratch &scratch) override;
    void startBand(qint32 first, qint32 last) override;
    // On several threads the whole image is classified ahead, in strips of
    // rows, each read across the whole width.
    qint32 aheadParts(KernelModel &model) override;
    void doAhead(KernelModel &model, qint32 part) override;

    // Columns classified ahead in one go: the image is read this many pixels
    // of a row at a time. Long stretches of each row keep the memory streaming;
    // reading 1024 pixels (4 KB) of a row before jumping to the next row took
    // twice as long on a 7000-pixel sheet as reading whole rows.
    static constexpr qint32 kBandColumns = 8192;

    // Rows of tiles (64 rows each) classified in one part done ahead, and
    // groups of 64 columns whose all-painted tiles are found in one part.
    static constexpr qint32 kAheadTileRows = 8;
    static constexpr qint32 kAheadGroups = 16;

private:
    void classifyBand(KernelModel &model, qint32 x0, qint32 x1);
    // Marks in `skip` the tiles of columns x0..x1 and tile rows k0..k1 whose
    // pixels are all painted: skip[(k - k0) * groups + g] for tile (g, k),
    // g counted from column `first`.
    static void findPainted(const KernelModel &model, qint32 first, qint32 x0, qint32 x1, qint32 k0,
                            qint32 k1, quint8 *skip, qint32 groups);
    // Classifies columns x0..x1 over tile rows k0..k1 into `tiles`, which
    // holds the tiles of columns x0 on, leaving those marked in `skip` (from
    // row k0, as findPainted() leaves it) at 0.
    void classify(KernelModel &model, qint32 x0, qint32 x1, qint32 k0, qint32 k1,
                  const quint8 *skip, quint64 *tiles) const;

    // A pixel is black when each channel is at most its limit: the threshold
    // rounded down, -1 when below 0 (nothing is black), 255 from 255 up.
    int m_redLimit;
    int m_greenLimit;
    int m_blueLimit;
    bool m_zeroIsBlack;   // (0, 0, 0): a pixel painted black, or no pixel
    bool m_whiteIsBlack;  // (255, 255, 255): a pixel painted white
    quint32 m_limits;     // the three limits laid out like a pixel
    // The local rule: the paper, and per channel the limit under each paper
    // value; the row's limits, one per pixel, are made from them.
    std::shared_ptr<const PaperEstimate> m_paper;
    std::array<std::array<quint8, 256>, 3> m_cellLimits{};
    void localLimits(qint32 y, qint32 x0, qint32 columns, std::vector<quint32> &row) const;

    // The loaded image's classification, columns m_bandFirst..m_bandLast, is
    // kept in scratch.band as 64 x 64 tiles of column words: tile (g, k) holds
    // word k of the band's columns 64 g .. 64 g + 63, so a tile is written in
    // one go.
    static quint64 *tileAt(quint64 *tiles, const KernelModel &model, qint32 g, qint32 k) {
        return tiles + (size_t(g) * size_t(model.WorkMask.wordsPerColumn()) + size_t(k)) * 64;
    }
    quint64 *m_tiles = nullptr;  // the band's tiles
    qint32 m_bandFirst = 0;
    qint32 m_bandLast = -1;
    // The whole image classified ahead, shared by the threads of the pass:
    // no tiles when it was not.
    struct Ahead {
        quint64 *tiles = nullptr;
        quint8 *skip = nullptr;  // as findPainted() leaves it, rows from 0
        qint32 last = -1;
        int round = 0;  // of the parts done ahead
    };
    std::shared_ptr<Ahead> m_ahead;
    // The last column classified ahead: that of the band of columns this
    // thread does.
    qint32 m_classifyLast = std::numeric_limits<qint32>::max();
};

// The threshold kernel's image scan comes in forms for several instruction
// sets; the fastest one the processor runs is used. Tests run every form.
QStringList imageScanForms();                // those this processor runs, fastest first
void useImageScanForm(const QString &name);  // one of them

// bouchtrou on whole columns: the four templates as word operations.
class HoleFillKernel : public KernelOperation {
public:
    HoleFillKernel() : KernelOperation(true, true) {}
    std::unique_ptr<PackedOperation> bandWorker(KernelModel::Scratch &scratch) override {
        return workerOf(*this, scratch);
    }

    PassRange range() const override { return HoleFillPass::kRange; }
    void processColumn(KernelModel &model, qint32 x, qint32 y0, qint32 y1) override;
};

// affine on whole columns: vertical and horizontal support as word operations.
class SpurRemovalKernel : public KernelOperation {
public:
    SpurRemovalKernel() : KernelOperation(true, true) {}
    std::unique_ptr<PackedOperation> bandWorker(KernelModel::Scratch &scratch) override {
        return workerOf(*this, scratch);
    }

    PassRange range() const override { return SpurRemovalPass::kRange; }
    void processColumn(KernelModel &model, qint32 x, qint32 y0, qint32 y1) override;
};

// taches on whole columns. The pass start labels the blobs and holes of the
// whole picture at once: each column of `Mask` is cut into runs of black and
// of white rows, the runs of neighbouring columns that touch are joined
// (union-find, black runs also across a corner), and each region's size is
// summed. Each column then flips its runs that belong to small regions.
class DespeckleKernel : public KernelOperation {
public:
    explicit DespeckleKernel(qint32 speckSize) : KernelOperation(true), m_speckSize(speckSize) {}
    std::unique_ptr<PackedOperation> bandWorker(KernelModel::Scratch &scratch) override {
        return workerOf(*this, scratch);
    }

    PassRange range() const override { return DespecklePass::kRange; }
    void passStart(KernelModel &model) override;
    void processColumn(KernelModel &model, qint32 x, qint32 y0, qint32 y1) override;

    // What the pass start found, shared by the threads that paint.
    struct Regions;

private:
    qint32 m_speckSize;
    std::shared_ptr<const Regions> m_regions;
};

}  // namespace ink

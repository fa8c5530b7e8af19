#include "core/ops/packedengine.h"

#include "core/runtime/convert.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <thread>

namespace ink {

namespace {

// The columns of one pass on several threads: bands of adjacent columns,
// two per thread so that a thread slowed by other work leaves some of its
// share to the others, handed out in order from a shared counter. Bands are
// kept wide because the threshold kernel reads each band's rows as long
// stretches, which the memory serves much faster than short ones.
PassOutcome runBands(KernelModel &model, ColumnStep &step, PackedOperation &operation,
                     const std::vector<PackedOperation *> &workers) {
    const PassRange range = operation.range();
    const qint64 first = range.firstColumn;
    const qint64 last = roundToInt32(model.picture.Width() - range.columnMargin);
    const qint32 lastRow = roundToInt32(model.picture.Height() - range.rowMargin);
    const qint64 columns = std::max<qint64>(0, last - first + 1);
    // A multiple of 64 columns, so that the threshold kernel's tiles of 64
    // columns are not split between bands.
    const qint64 bandWidth =
        std::max<qint64>(64, (columns / (2 * qint64(workers.size())) + 63) / 64 * 64);
    const qint64 bands = (columns + bandWidth - 1) / bandWidth;

    std::atomic<qint64> nextBand{0};
    std::atomic<qint64> columnsDone{0};
    std::atomic<bool> stop{false};
    std::atomic<bool> cancelled{false};
    std::mutex failureLock;
    std::exception_ptr failure;
    const auto work = [&](PackedOperation &worker) {
        try {
            for (qint64 band;
                 !stop.load(std::memory_order_relaxed) && (band = nextBand.fetch_add(1)) < bands;) {
                const qint64 x0 = first + band * bandWidth;
                const qint64 x1 = std::min(last, x0 + bandWidth - 1);
                worker.startBand(qint32(x0), qint32(x1));
                for (qint64 x = x0; x <= x1 && !stop.load(std::memory_order_relaxed); ++x) {
                    worker.processColumn(model, qint32(x), range.firstRow, lastRow);
                    columnsDone.fetch_add(1, std::memory_order_relaxed);
                    step.refreshPicture(qint32(x));
                    if (step.cancelValue() == 1) {
                        cancelled.store(true);
                        stop.store(true);
                    }
                }
            }
        } catch (...) {
            std::lock_guard lock(failureLock);
            if (!failure)
                failure = std::current_exception();
            stop.store(true);
        }
    };
    std::vector<std::thread> threads;
    for (size_t i = 1; i < workers.size(); ++i)
        threads.emplace_back(work, std::ref(*workers[i]));
    work(*workers[0]);
    for (std::thread &thread : threads)
        thread.join();
    if (failure)
        std::rethrow_exception(failure);

    PassOutcome outcome;
    outcome.columnsDone = columnsDone.load();
    if (cancelled.load()) {
        step.setCancelValue(0);
        outcome.cancelled = true;
    }
    return outcome;
}

}  // namespace

PassOutcome runColumnPass(KernelModel &model, ColumnStep &step, PackedOperation &operation,
                          int threads) {
    operation.passStart(model);
    std::vector<std::unique_ptr<PackedOperation>> helpers;
    if (threads > 1) {
        if (model.bandScratch.size() < size_t(threads - 1))
            model.bandScratch.resize(size_t(threads - 1));
        for (int i = 0; i + 1 < threads; ++i) {
            std::unique_ptr<PackedOperation> helper =
                operation.bandWorker(model.bandScratch[size_t(i)]);
            if (!helper)
                break;
            helpers.push_back(std::move(helper));
        }
    }
    PassOutcome outcome;
    if (helpers.empty()) {
        outcome = runColumns(
            model.picture, step, operation.range(),
            [&](qint32 x, qint32 y0, qint32 y1) { operation.processColumn(model, x, y0, y1); });
    } else {
        std::vector<PackedOperation *> workers{&operation};
        for (const auto &helper : helpers)
            workers.push_back(helper.get());
        outcome = runBands(model, step, operation, workers);
        for (const auto &helper : helpers)
            operation.joinWorker(*helper);
    }
    operation.copyBack(model);
    return outcome;
}

}  // namespace ink

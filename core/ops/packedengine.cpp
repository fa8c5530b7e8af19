#include "core/ops/packedengine.h"

#include "core/runtime/convert.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <optional>
#include <span>
#include <system_error>

namespace ink {

PassCrew::PassCrew(int helpers) {
    for (int t = 1; t <= helpers; ++t) {
        try {
            m_threads.emplace_back([this, t] { serve(t); });
        } catch (const std::system_error &) {
            break;  // fewer threads, the same results
        }
    }
}

PassCrew::~PassCrew() {
    {
        std::lock_guard lock(m_lock);
        m_quit = true;
        ++m_round;
    }
    m_wake.notify_all();
    for (std::thread &thread : m_threads)
        thread.join();
}

void PassCrew::run(const std::function<void(int)> &job) {
    {
        std::lock_guard lock(m_lock);
        m_job = &job;
        m_busy = int(m_threads.size());
        m_failure = nullptr;
        ++m_round;
    }
    m_wake.notify_all();
    std::exception_ptr failure;
    try {
        job(0);
    } catch (...) {
        failure = std::current_exception();
    }
    std::unique_lock lock(m_lock);
    m_done.wait(lock, [this] { return m_busy == 0; });
    m_job = nullptr;
    if (!failure)
        failure = m_failure;
    if (failure)
        std::rethrow_exception(failure);
}

void PassCrew::serve(int t) {
    quint64 seen = 0;
    for (;;) {
        const std::function<void(int)> *job;
        {
            std::unique_lock lock(m_lock);
            m_wake.wait(lock, [&] { return m_round != seen; });
            seen = m_round;
            if (m_quit)
                return;
            job = m_job;
        }
        std::exception_ptr failure;
        try {
            (*job)(t);
        } catch (...) {
            failure = std::current_exception();
        }
        std::lock_guard lock(m_lock);
        if (failure && !m_failure)
            m_failure = failure;
        if (--m_busy == 0)
            m_done.notify_one();
    }
}

void copyMask(PackedMask &to, const PackedMask &from, PassCrew *crew) {
    if (!crew || crew->size() < 2 || &to == &from || to.upperX() != from.upperX() ||
        to.upperY() != from.upperY()) {
        to.assign(from);
        return;
    }
    // Shares of whole cache lines, so that no line is written by two threads.
    const std::span<const quint64> source = from.words();
    const std::span<quint64> target = to.words();
    const size_t lines = (source.size() + 7) / 8;
    const size_t threads = size_t(crew->size());
    crew->run([&](int t) {
        const size_t a = std::min(source.size(), lines * size_t(t) / threads * 8);
        const size_t b = std::min(source.size(), lines * size_t(t + 1) / threads * 8);
        if (b > a)
            std::memcpy(target.data() + a, source.data() + a, (b - a) * sizeof(quint64));
    });
}

void copyColumns(PackedMask &to, const PackedMask &from, const std::vector<qint32> &columns,
                 PassCrew *crew) {
    const size_t bytes = size_t(from.wordsPerColumn()) * sizeof(quint64);
    const auto copy = [&](size_t a, size_t b) {
        for (size_t i = a; i < b; ++i)
            std::memcpy(to.column(columns[i]), from.column(columns[i]), bytes);
    };
    if (!crew || crew->size() < 2 || columns.size() < 64) {
        copy(0, columns.size());
        return;
    }
    const size_t threads = size_t(crew->size());
    crew->run([&](int t) {
        copy(columns.size() * size_t(t) / threads, columns.size() * size_t(t + 1) / threads);
    });
}

namespace {

// The columns of one pass on several threads: bands of adjacent columns,
// two per thread so that a thread slowed by other work leaves some of its
// share to the others, handed out in order from a shared counter. Bands are
// kept wide because the threshold kernel reads each band's rows as long
// stretches, which the memory serves much faster than short ones.
PassOutcome runBands(KernelModel &model, ColumnStep &step, PackedOperation &operation,
                     const std::vector<PackedOperation *> &workers, PassCrew &crew) {
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

    // The rounds of work ahead; an error propagates from here.
    for (qint32 parts; (parts = operation.aheadParts(model)) > 0;) {
        std::atomic<qint32> nextPart{0};
        crew.run([&](int t) {
            if (size_t(t) < workers.size())
                for (qint32 part; (part = nextPart++) < parts;)
                    workers[size_t(t)]->doAhead(model, part);
        });
    }

    std::atomic<qint64> nextBand{0};
    std::atomic<qint64> columnsDone{0};
    std::atomic<bool> stop{false};
    std::atomic<bool> cancelled{false};
    std::mutex failureLock;
    std::exception_ptr failure;
    const auto fail = [&] {
        std::lock_guard lock(failureLock);
        if (!failure)
            failure = std::current_exception();
        stop.store(true);
    };
    const auto work = [&](PackedOperation &worker) {
        // Counted here: one shared counter, written by every thread after
        // each column, took a twentieth of the chain's time.
        qint64 done = 0;
        try {
            for (qint64 band;
                 !stop.load(std::memory_order_relaxed) && (band = nextBand.fetch_add(1)) < bands;) {
                const qint64 x0 = first + band * bandWidth;
                const qint64 x1 = std::min(last, x0 + bandWidth - 1);
                worker.startBand(qint32(x0), qint32(x1));
                for (qint64 x = x0; x <= x1 && !stop.load(std::memory_order_relaxed); ++x) {
                    worker.processColumn(model, qint32(x), range.firstRow, lastRow);
                    ++done;
                    step.refreshPicture(qint32(x));
                    if (step.cancelValue() == 1) {
                        cancelled.store(true);
                        stop.store(true);
                    }
                }
            }
        } catch (...) {
            fail();
        }
        columnsDone.fetch_add(done);
    };
    crew.run([&](int t) {
        if (size_t(t) < workers.size())
            work(*workers[size_t(t)]);
    });
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

namespace {
// The pass start and the columns of runColumnPass.
PassOutcome runColumnsOf(KernelModel &model, ColumnStep &step, PackedOperation &operation,
                         std::optional<PassCrew> &crew);
}  // namespace

PassOutcome runColumnPass(KernelModel &model, ColumnStep &step, PackedOperation &operation,
                          int threads) {
    std::optional<PassCrew> crew;
    if (threads > 1)
        crew.emplace(threads - 1);
    // The crew is the pass's alone: it ends with the pass.
    struct Lend {
        PackedOperation &operation;
        ~Lend() { operation.m_crew = nullptr; }
    } lend{operation};
    operation.m_crew = crew && crew->size() > 1 ? &*crew : nullptr;

    PassOutcome outcome;
    try {
        outcome = runColumnsOf(model, step, operation, crew);
    } catch (...) {
        operation.passFailed(model);
        throw;
    }
    operation.copyBack(model);
    return outcome;
}

namespace {

PassOutcome runColumnsOf(KernelModel &model, ColumnStep &step, PackedOperation &operation,
                         std::optional<PassCrew> &crew) {
    operation.passStart(model);
    std::vector<std::unique_ptr<PackedOperation>> helpers;
    if (crew && crew->size() > 1) {
        const int threads = crew->size();
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
        outcome = runBands(model, step, operation, workers, *crew);
        for (const auto &helper : helpers)
            operation.joinWorker(*helper);
    }
    return outcome;
}

}  // namespace

}  // namespace ink

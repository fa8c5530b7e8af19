#pragma once

#include "core/image/columnpass.h"
#include "core/image/module1.h"
#include "core/ops/passsettings.h"

#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace ink {

// The batch tool's engine. Nothing watches the picture while it works, so its
// passes keep the masks one bit per cell (PackedMask) and record painting in
// the picture's bit layers (Sheet), and may do a column as a whole.
// Its passes run in the same column frame as the window's (runColumns), over
// the same columns and rows, and the end-of-column step still runs after every
// column, so Cancel stops them at the same place.

// The threads one pass of the packed engine runs on: the calling thread and
// helpers started with the pass, which take its jobs in turn.
class PassCrew {
public:
    // Starts `helpers` threads, or as many as the system gives.
    explicit PassCrew(int helpers);
    ~PassCrew();
    PassCrew(const PassCrew &) = delete;
    PassCrew &operator=(const PassCrew &) = delete;

    int size() const { return int(m_threads.size()) + 1; }
    // Runs job(t) on each thread t of the crew at once, 0 being the calling
    // one, and returns when all are done; the first exception one of them
    // threw is then rethrown.
    void run(const std::function<void(int)> &job);

private:
    void serve(int t);

    std::vector<std::thread> m_threads;
    std::mutex m_lock;
    std::condition_variable m_wake;
    std::condition_variable m_done;
    const std::function<void(int)> *m_job = nullptr;
    quint64 m_round = 0;
    int m_busy = 0;
    bool m_quit = false;
    std::exception_ptr m_failure;
};

// Copies `from` into `to` as PackedMask::assign() does, split among the
// crew's threads when there is one and both masks have the same bounds.
void copyMask(PackedMask &to, const PackedMask &from, PassCrew *crew);
// Copies the given columns of `from` into `to`, which has the same bounds.
void copyColumns(PackedMask &to, const PackedMask &from, const std::vector<qint32> &columns,
                 PassCrew *crew);

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
    virtual void passStart(KernelModel &model) { copyMask(model.WorkMask, model.Mask, crew()); }
    virtual void copyBack(KernelModel &model) { copyMask(model.Mask, model.WorkMask, crew()); }

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
    // Work done ahead of all the columns when they run on several threads, in
    // rounds of parts the threads share out: aheadParts() is asked for the
    // parts of a round, after the workers are made and again after each
    // round, then doAhead() runs once for each part, on one of the threads
    // (the operation's own or a worker), in any order. The next round, and
    // then the first column, start when every part is done; 0 parts ends the
    // rounds. It fills only buffers the columns read, never the masks or the
    // picture.
    virtual qint32 aheadParts(KernelModel &) { return 0; }
    virtual void doAhead(KernelModel &, qint32 /*part*/) {}
    // Called when the pass start or a column raised an error, before it
    // propagates: an operation that left part of the pass start's work to
    // its columns finishes it here, so that `WorkMask` holds what it would
    // have held had the whole pass start been done first.
    virtual void passFailed(KernelModel &) {}

protected:
    // The threads of the pass, for the pass start's and copy-back's work;
    // null when the pass runs on one thread.
    PassCrew *crew() const { return m_crew; }

private:
    friend PassOutcome runColumnPass(KernelModel &, ColumnStep &, PackedOperation &, int);
    PassCrew *m_crew = nullptr;
};

// Runs one pass of the packed engine: pass start, the columns with their
// end-of-column steps, copy-back (also after a cancel). As in the window, a
// RuntimeError propagates at once and skips the copy-back (the operation's
// passFailed() runs first).
//
// With `threads` above 1, and an operation that gives band workers, the
// columns are handed out in bands of adjacent columns to that many threads,
// the calling one among them, with the same result; the threads are started
// for the pass (a PassCrew) and also share its work ahead and the copies of
// the masks that the pass start and copy-back make. After each column, on
// the thread that did it, the step's refreshPicture() (the column done) and
// cancelValue() run, so `step` must take calls from several threads at once;
// a ticked Cancel stops every thread at its next column, and the pass then
// unticks it once. The columns done are counted, not their end-of-column
// time, and no other step call is made.
PassOutcome runColumnPass(KernelModel &model, ColumnStep &step, PackedOperation &operation,
                          int threads = 1);

// A per-pixel operation run by the packed engine, for a pass that has no
// whole-column form: both engines hold the same masks and picture, so it
// simply runs. Slower, but the same result by construction.
class PerPixelOperation : public PackedOperation {
public:
    using Make = std::unique_ptr<ColumnOperation> (*)(SettingsSource &);
    // The operation `make` builds, reading `source`, or else the settings
    // kept here.
    PerPixelOperation(Make make, SettingsSource &source) : m_operation(make(source)) {}
    PerPixelOperation(Make make, const PassSettings &settings)
        : m_settings(settings), m_operation(make(m_settings)) {}
    PassRange range() const override { return m_operation->range(); }
    void passStart(KernelModel &model) override { m_operation->passStart(model); }
    void processColumn(KernelModel &model, qint32 x, qint32 y0, qint32 y1) override {
        m_operation->processColumn(model, model.picture, x, y0, y1);
    }
    void copyBack(KernelModel &model) override { m_operation->copyBack(model); }

private:
    FixedSettings m_settings{PassSettings()};
    std::unique_ptr<ColumnOperation> m_operation;
};

}  // namespace ink

#pragma once

#include "core/image/columnpass.h"
#include "core/image/module1.h"
#include "core/ops/passes.h"
#include "core/runtime/runtimeerror.h"
#include "core/session/history.h"
#include "core/session/pictureread.h"

#include <QImage>

#include <memory>

#include <functional>
#include <new>
#include <optional>

namespace ink {

struct PaperEstimate;

// The threshold boxes, named as the user sees them: R, V and B.
enum class ThresholdBox { rbox, vbox, bbox };

// What a session asks of whoever shows it. Between two columns of a pass it
// is the end-of-column step (repaint the column, progress text, refresh, pump
// events, the Cancel box); besides, it gives the boxes' texts, shows
// the report of a run-time error and closes once a close asked for during a
// pass may go ahead.
class SessionView : public ColumnStep {
public:
    virtual QString thresholdText(ThresholdBox box) = 0;
    // The text of taches' speck size box; a view without one gives the
    // default size.
    virtual QString speckText() { return QString::number(kDefaultSpeckSize); }
    virtual void reportError(const RuntimeError &error) = 0;
    virtual void closeNow() = 0;
    // The sheet now holds another picture (load, Open, Reload): whatever
    // shows it starts afresh.
    virtual void pictureReplaced() {}
};

// The rules of one working session on one picture: one pass at a time,
// Reload, closing during a pass, and the error guard around what the user
// sets off. The window, the fuzzer and the tests drive the same rules through
// their own views.
class Session : private ColumnStep {
public:
    Session(Module1 &module, SessionView &view);

    Module1 &module() { return m_module; }
    Sheet &picture() { return m_module.picture; }

    // Reads the picture at ImagePath and allocates both masks, all before
    // replacing anything: a file that cannot be read leaves picture and masks
    // as they were, and the RuntimeError goes to the caller.
    void load();

    // Open: reads `path` on a worker thread; once read, the picture and fresh
    // masks replace the old ones as load() does and `path` becomes ImagePath.
    // `done` is called from the event loop when the read has ended, with the
    // error or nullptr; after an error nothing has changed. Refused (returns
    // false, nothing happens) during a pass and while another file is read.
    using OpenDone = std::function<void(const RuntimeError *error)>;
    bool open(const QString &path, OpenDone done);
    // A file is being read by open(); passes, Reload and Open are refused.
    bool reading() const { return m_read.busy(); }

    // Reload: refused (returns false, Cancel untouched) while open() reads.
    // Otherwise ticks Cancel, then loads as load() does. A failure is reported
    // and changes nothing else. A running pass worked out its columns for the
    // picture replaced, so it stops at its next Cancel poll even if the box is
    // clicked off again before then. Returns whether the picture was replaced.
    bool reload();

    // Runs `operation` through the column-pass frame, one pixel at a time.
    // Refused (returns false) while another pass runs, which goes on
    // undisturbed. A run-time error is reported and ends the pass without its
    // copy-back, so `Mask` keeps what it held before the pass. Refused as well
    // while open() reads a file.
    bool runPass(ColumnOperation &operation);
    // One of the user's passes, run by its whole-column kernel in the same
    // frame, with the same end-of-column step after every column. NB reads
    // the boxes vbox, bbox, rbox in that order, once per column, taches its
    // speck size box (tachesbox) once at its start, and a text that is not a
    // number is error 13 naming its box.
    bool runPass(const PassEntry &pass);
    bool passRunning() const { return m_passRunning; }
    // How the last pass that ran to its copy-back went.
    const PassOutcome &lastPassOutcome() const { return m_lastPassOutcome; }

    // Undo and redo: put the picture and `Mask` back as they were before the
    // last pass still in effect, or do the last pass taken back again. Every
    // pass is one step, a cancelled one with what it did, a pass ended by an
    // error with what it painted. load(), open() and reload() start a new
    // history. Refused (returns false) during a pass, while open() reads, and
    // when there is nothing to take back or do again.
    bool undo();
    bool redo();
    // Whether the picture or `Mask` has changed since it was loaded or last
    // saved: a pass ran (cancelled or ended by an error too), or one was
    // taken back or done again. markSaved() is told when Save wrote a file.
    bool unsaved() const { return m_edits != m_savedEdits; }
    void markSaved() { m_savedEdits = m_edits; }
    History &history() { return m_history; }
    // What the last pass still in effect changed, or null.
    std::shared_ptr<const PassChanges> lastChanges() const { return m_history.last(); }
    // The scan as it was loaded, before any pass (32-bit RGB).
    const QImage &loadedPicture() const { return m_module.picture.original(); }
    // The scan's georeferencing, read with it by load(), open() and reload(),
    // which Save carries to what it writes.
    const GeoReference &geoReference() const { return m_geo; }

    // The local rule: NB compares each channel against the paper around the
    // pixel, estimated from the scan as loaded (made on first use). Kept
    // across files, as the threshold boxes are.
    void setLocal(bool on) { m_local = on; }
    bool local() const { return m_local; }
    std::shared_ptr<const PaperEstimate> paper();

    // A close asked for by the user. Returns true when it may happen now;
    // during a pass it is put off: the pass stops at its next column as with
    // Cancel, copies back, and then the view is closed. Returns false then.
    // A file being read when the close goes ahead is dropped unseen.
    bool requestClose();

    // The Cancel box: 0 unticked, 1 ticked, 2 greyed.
    int cancelValue() override { return m_view.cancelValue(); }
    void setCancelValue(int value) override { m_view.setCancelValue(value); }

    // Runs a handler's body; a run-time error it raises, running out of memory
    // included, is reported and the program goes on.
    template <typename Body>
    void guarded(Body &&body) {
        try {
            body();
        } catch (const RuntimeError &error) {
            m_view.reportError(error);
        } catch (const std::bad_alloc &) {
            m_view.reportError(RuntimeError::outOfMemory());
        }
    }

private:
    // ColumnStep: the view's, plus the stop that a close or Reload asked for.
    void refreshPicture(qint32 column) override { m_view.refreshPicture(column); }
    void setProgress(const QString &text) override { m_view.setProgress(text); }
    void refreshWindow() override { m_view.refreshWindow(); }
    void doEvents() override;
    // Replaces picture and masks with `picture`'s, all allocated first.
    void install(QImage picture);
    bool step(bool forward);
    // Runs `body` (the pass itself) as a recorded pass.
    template <typename Body>
    bool recorded(Body &&body);

    Module1 &m_module;
    SessionView &m_view;
    bool m_passRunning = false;
    PassOutcome m_lastPassOutcome;
    bool m_closePending = false;
    bool m_pictureReplaced = false;  // by a Reload during the running pass
    PictureRead m_read;
    History m_history;
    std::optional<PassStart> m_start;  // the running or last pass's starting point
    GeoReference m_geo;
    std::shared_ptr<const PaperEstimate> m_paper;  // of the scan, once made
    bool m_local = false;
    quint64 m_edits = 0;  // passes, undos and redos since the picture was loaded
    quint64 m_savedEdits = 0;
};

}  // namespace ink

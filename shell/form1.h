#pragma once

#include "core/image/module1.h"
#include "core/ops/autothreshold.h"
#include "core/runtime/commandline.h"
#include "core/session/session.h"

#include <QElapsedTimer>
#include <QWidget>

#include <functional>

class QAction;
class QCheckBox;
class QEventLoop;
class QLabel;
class QLineEdit;
class QPushButton;
class QScrollArea;
class QTimer;

namespace ink {

class HistogramWindow;
class PictureBox;

// The main window: the picture area, the information line, the threshold
// boxes, the pass buttons, Reload, the Cancel box and the progress box; right
// of them taches' button and its speck size box.
// Controls keep their design names (and object names, by which tests find
// them); each handled event has one handler named after the control and the
// event.
//
// The rules of the session (one pass at a time, Reload, closing during a pass,
// the error guard) are the Session's; the window is its view and its picture:
// between two columns it repaints the column just written and the progress
// box, pumps events and polls the Cancel box.
class Form1 : public QWidget, private SessionView {
    Q_OBJECT

public:
    explicit Form1(Module1 &module, QWidget *parent = nullptr);
    ~Form1() override;

    // Start-up: takes the image path from the command line, sizes the window to
    // the screen, shows it and loads the picture, read on a worker while the
    // window goes on drawing and answering. Returns false when the picture
    // could not be loaded; the failure message has then been shown and the
    // program is to end. Returns false too when the window was closed during
    // the read.
    bool Form_Load(const QString &commandLine);
    // The same from the command line as received: one whose bytes are not
    // UTF-8 names no file Qt can open, and the failure message says so.
    bool Form_Load(const CommandLine &commandLine);

    // Open: reads the scan at `path` on a worker, the picture area saying
    // which file; once read it replaces the picture as start-up does (fresh
    // masks, cursor (1, 1)) and becomes ImagePath and the caption. A file that
    // cannot be read is reported and changes nothing. Refused (returns false)
    // during a pass and while another file is read.
    bool openFile(const QString &path);

    // Handlers.
    void Command1_Click();
    // Ctrl+O: the file dialog, then openFile().
    void Open_Key();
    // Save (and Ctrl+S): the dialog, then the mask or the painted picture
    // written as the chosen file type; refused during a pass, and asks before
    // writing onto the scan itself.
    void Command2_Click();
    void rgb2nb_Click();
    void bouchtrou_Click();
    void affine_Click();
    // taches, with the speck size in tachesbox (read once, at its start).
    void taches_Click();
    // Inspector: the mouse or an arrow key moves the cursor, then the
    // information line is written. Positions are in image pixels.
    void Picture1_MouseMove(int button, int shift, float x, float y);
    void Picture1_KeyDown(int &keyCode, int shift);
    // Ctrl+T: writes into rbox, vbox and bbox the thresholds computed from the
    // picture as loaded (automaticThresholds()). Nothing else changes: no
    // mask, no pixel; NB then uses them as typed numbers. Allowed during a
    // pass, like typing: NB reads the boxes at each column.
    void Thresholds_Key();
    // Ctrl+click on the picture: the boxes from that pixel as paper (each
    // channel less one), Ctrl+Shift+click as ink (each channel). The pixel as
    // the picture holds it now; outside the picture nothing happens.
    void Picture1_Pick(int shift, float x, float y);
    // Ctrl+H: shows the histogram window, or hides it when shown.
    void Histogram_Key();
    // A value picked on the histogram of `channel` (0 red, 1 green, 2 blue,
    // -1 all three): written into its box as the threshold.
    void Histogram_Pick(int channel, int value);
    HistogramWindow *histogramWindow() const { return m_histogramWindow; }
    // The histograms of the picture as loaded, which Ctrl+T uses.
    const ChannelHistograms &loadedHistograms() const { return m_loadedHistograms; }

    // Escape: during a pass ticks the Cancel box, otherwise hides NB's preview.
    void Escape_Key();
    // NB's preview over the picture: what NB would make of the scan as loaded
    // with the boxes' thresholds, and the local rule when ticked, drawn over
    // the picture without painting it or touching a mask. Shown shortly after
    // a box is edited (kPreviewDelayMs), not during a pass; a box that holds
    // no number hides it, as do NB and Escape.
    void showPreview();
    void hidePreview();
    static constexpr int kPreviewDelayMs = 150;

    // Tick of Timer1 (which is never started): paints the cursor pixel in the
    // blink colour, repaints the window and flips the caption of clign.
    void Timer1_Timer();
    // Ctrl+Z, and Ctrl+Shift+Z or Ctrl+Y: take the last pass back, or do the
    // last pass taken back again (see Session::undo); refused during a pass.
    bool Undo_Key();
    bool Redo_Key();

    // Runs `operation` as a pass of the session (see Session::runPass).
    bool runPass(ColumnOperation &operation);
    bool passRunning() const { return m_session.passRunning(); }
    // How the last pass that ran to its copy-back went.
    const PassOutcome &lastPassOutcome() const { return m_session.lastPassOutcome(); }

    // The Cancel box's value: 0 unticked, 1 ticked, 2 greyed.
    int cancelBoxValue() const;
    void setCancelBoxValue(int value);

    // The Save dialog: given the proposed name, the file types and the one
    // selected, the chosen name and type; an empty name when cancelled.
    // Tests install their own in place of the real one; an empty function
    // restores it.
    struct SaveRequest {
        QString proposed;
        QStringList filters;
        QString filter;
    };
    struct SaveAnswer {
        QString path;
        QString filter;
    };
    using SaveDialog = std::function<SaveAnswer(QWidget *parent, const SaveRequest &request)>;
    static void setSaveDialog(SaveDialog dialog);

    Module1 &module() { return m_module; }
    Session &session() { return m_session; }

    // State fields of the window.
    qint32 CursorX = 0;
    qint32 CursorY = 0;
    qint16 BlinkColor = 0;

    // Where the picture area sits in the window.
    static constexpr QPoint kPictureOrigin{16, 80};
    static constexpr int kStatusHeight = 22;

protected:
    void closeEvent(QCloseEvent *event) override;
    // The view's keys (zoom, Backslash, C) that no control took, wherever
    // the focus is; typing in a box keeps its letters.
    void keyPressEvent(QKeyEvent *event) override;
    void keyReleaseEvent(QKeyEvent *event) override;
    void changeEvent(QEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    // A single local file dropped on the window is opened.
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    // SessionView
    void refreshPicture(qint32 column) override;
    void setProgress(const QString &text) override;
    void refreshWindow() override;
    void doEvents() override;
    int cancelValue() override { return cancelBoxValue(); }
    void setCancelValue(int value) override { setCancelBoxValue(value); }
    QString thresholdText(ThresholdBox box) override;
    QString speckText() override;
    void reportError(const RuntimeError &error) override;
    void closeNow() override { close(); }
    void pictureReplaced() override;

    void createControls();
    // Before the picture is replaced or the window closed (`doing` says
    // which, for the question): with passes not yet saved, asks whether to
    // save them first, throw them away or keep them. False when they are
    // kept: the caller then does nothing.
    bool mayDiscard(const QString &doing);
    // Enables the actions a pass or a file being read refuses, as neither runs
    // (`starting`: a pass is about to).
    void updateActions(bool starting = false);
    // Runs a pass whose last column is `lastColumn`, kept for the progress
    // box's tooltip while it runs.
    template <typename Run>
    bool runCountedPass(const QString &caption, qint32 lastColumn, Run run);
    // The status line: the picture's size, the zoom, the inspected pixel,
    // the overlay and Compare when on, then `m_statusMessage`: how the last
    // pass ended, or what Save did.
    void updateStatusLine();
    void showStatus(const QString &message);
    // A newly opened picture larger than the view is fitted to it, any
    // other shown at 1.
    void fitOpenedPicture();
    // The list of every key and mouse action (F1).
    void showKeys();
    // The pass of a pass button, by its name in the registry.
    void runButtonPass(const char *name);
    // Shows `caption` as the window's title, character for character.
    void setCaption(const QString &caption);
    // Writes the cursor pixel's position, colour and mask value into Text1.
    void ShowPixelInfo();
    // The same once a pixel has been inspected, for what may have changed
    // it: undo, redo, the zoom, another picture.
    void refreshPixelInfo();
    bool m_inspected = false;
    // The picture area's hint: the file being read, else with no picture how
    // to open one, else none.
    void showHint(const QString &reading = {});
    // Writes three thresholds into rbox, vbox and bbox.
    void setThresholdBoxes(const Thresholds &thresholds);
    // The histograms of the values NB compares in the picture as loaded:
    // evened against `paper` with the local rule.
    void updateLoadedHistograms(const QImage &loaded,
                                const std::shared_ptr<const PaperEstimate> &paper);
    // The boxes' numbers to the histogram window, when it exists.
    void updateHistogramMarks();
    // Starts (again) the wait before the preview is shown.
    void schedulePreview();
    // Frames in red a box whose text its pass would refuse or not take as
    // typed, its tooltip saying why; the typing itself is left alone.
    void markBox(QLineEdit *box);
    // Gives the picture box the scan as loaded and the last pass's changes,
    // and puts the changes' counts in the tooltips of Progress and Text1.
    void showChanges();

    // Controls, with their design names.
    PictureBox *Picture1 = nullptr;
    QAction *m_openAction = nullptr;
    QAction *m_undoAction = nullptr;
    QAction *m_redoAction = nullptr;
    QLineEdit *Text1 = nullptr;
    QPushButton *Command1 = nullptr;
    QLineEdit *rbox = nullptr;
    QLineEdit *vbox = nullptr;
    QLineEdit *bbox = nullptr;
    QPushButton *Command2 = nullptr;
    QPushButton *clign = nullptr;
    QPushButton *load = nullptr;
    QPushButton *rgb2nb = nullptr;
    QPushButton *bouchtrou = nullptr;
    QPushButton *affine = nullptr;
    QLabel *Label1 = nullptr;
    QLabel *Label2 = nullptr;
    QLabel *Label3 = nullptr;
    QCheckBox *ckbCancel = nullptr;
    QCheckBox *ckbLocal = nullptr;  // beyond the design: NB's local rule
    QLabel *nbWarning = nullptr;    // beyond the design: NB's mask mostly black
    QLabel *statusLine = nullptr;   // beyond the design: below everything
    QString m_statusMessage;
    QWidget *m_keysList = nullptr;  // made on the first F1
    bool m_passFailed = false;      // the running pass was ended by a run-time error

    QLineEdit *Progress = nullptr;
    QTimer *Timer1 = nullptr;
    // Beyond the design.
    QPushButton *taches = nullptr;
    QLineEdit *tachesbox = nullptr;

    // The picture area's scrollable view, anchored where the design puts it.
    QScrollArea *pictureView = nullptr;

    // The running pass's last column and the column it reached, for the
    // progress box's tooltip; 0 when no pass runs.
    qint32 m_passLastColumn = 0;
    qint32 m_passColumn = 0;
    // During a pass run by the window the screen is brought up to date once
    // a frame (showFrame()): the columns painted since, and the progress box.
    static constexpr int kFrameMilliseconds = 8;
    bool m_framing = false;
    qint32 m_dirtyFirst = -1;
    qint32 m_dirtyLast = -1;
    QElapsedTimer m_frameClock;
    void showFrame();

    // The type and folder of the last file saved to, which the next Save
    // proposes; empty before the first.
    QString m_saveFilter;
    QString m_saveFolder;

    Module1 &m_module;
    Session m_session;
    QEventLoop *m_startupRead = nullptr;  // runs while Form_Load waits for its read
    // Counted when a picture is loaded: the passes paint the picture, and
    // Ctrl+T must not see their black and white.
    ChannelHistograms m_loadedHistograms;
    HistogramWindow *m_histogramWindow = nullptr;  // made on the first Ctrl+H
    QTimer *m_previewTimer = nullptr;              // the wait after an edit
};

}  // namespace ink

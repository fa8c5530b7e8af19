#include "shell/form1.h"

#include "core/ops/paper.h"

#include "core/inspector/inspector.h"
#include "core/runtime/commandline.h"
#include "core/runtime/convert.h"
#include "core/session/saving.h"
#include "shell/histogramwindow.h"
#include "shell/messagebox.h"
#include "shell/opendialog.h"
#include "shell/picturebox.h"
#include "shell/thresholdpreview.h"

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDialog>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QEventLoop>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontInfo>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMimeData>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QStyle>
#include <QTimer>
#include <QVBoxLayout>

#include <bit>
#include <tuple>

namespace ink {

namespace {

// The pass behind one of the pass buttons, by its name in the registry.
const PassEntry &registeredPass(const char *name) {
    const PassEntry *pass = findPass(QLatin1String(name));
    Q_ASSERT(pass);
    return *pass;
}

constexpr int kBadFileName = 52;

QPushButton *button(QWidget *parent, const char *name, const QString &caption, QRect geometry) {
    auto *b = new QPushButton(caption, parent);
    b->setObjectName(QLatin1String(name));
    b->setGeometry(geometry);
    return b;
}

QLineEdit *textBox(QWidget *parent, const char *name, const QString &text, QRect geometry) {
    auto *t = new QLineEdit(text, parent);
    t->setObjectName(QLatin1String(name));
    t->setGeometry(geometry);
    return t;
}

// Shrinks the box's font, not below 8 pixels, until `sample` fits its width.
void fitFont(QLineEdit *box, const QString &sample) {
    QFont font = box->font();
    int pixels = QFontInfo(font).pixelSize();
    // The frame and the box's inner margins take a few pixels on each side.
    const int frame = box->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, box);
    const int room = box->width() - 2 * frame - 4;
    bool changed = false;
    while (pixels > 8 && QFontMetrics(font).horizontalAdvance(sample) > room) {
        font.setPixelSize(--pixels);
        changed = true;
    }
    if (changed)
        box->setFont(font);
}

// The path of the one local file a drag carries; empty for anything else.
QString draggedFile(const QMimeData *data) {
    if (!data || !data->hasUrls() || data->urls().size() != 1)
        return {};
    const QUrl url = data->urls().constFirst();
    return url.isLocalFile() ? url.toLocalFile() : QString();
}

// Texts used in more than one place, translated when they are asked for.
QString progressTip() {
    return Form1::tr("The column the last pass reached");
}
QString thresholdKeysTip() {
    return Form1::tr(
        ".\nCtrl+T: the three thresholds from the picture's histograms (Ctrl+H shows them); "
        "Ctrl+click on paper or Ctrl+Shift+click on ink: from that pixel.\n"
        "Ctrl+L or the local box: compare each channel against the paper around the pixel, so "
        "that shadows and uneven light do not turn black");
}
QString text1Tip() {
    return Form1::tr(
        "The pixel under the pointer or stepped to with the arrow keys: position, red, green "
        "and blue values, and its mask value (True for ink)");
}

Form1::SaveDialog &installedSaveDialog() {
    static Form1::SaveDialog dialog;
    return dialog;
}

// The real Save dialog, wide enough for its columns: each file type gives a
// name typed without an extension its first one, so that the dialog's own
// question about replacing a file is about the file that will be written, and
// choosing a type renames the proposed name to match (see renamedForChoice).
Form1::SaveAnswer showSaveDialog(QWidget *parent, const Form1::SaveRequest &request,
                                 const QString &scan) {
    QFileDialog dialog(parent, Form1::tr("Save"), request.proposed);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilters(request.filters);
    dialog.selectNameFilter(request.filter);
    const auto chosen = [&](const QString &filter) {
        const SaveChoice *choice = saveChoiceFor(filter);
        return choice ? choice : &saveChoices().first();
    };
    dialog.setDefaultSuffix(chosen(request.filter)->format->extensions.first());
    QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog, [&](const QString &filter) {
        const SaveChoice *choice = chosen(filter);
        dialog.setDefaultSuffix(choice->format->extensions.first());
        const QString name = dialog.selectedFiles().value(0);
        if (!name.isEmpty() && !QFileInfo(name).isDir()) {
            if (const QString renamed = renamedForChoice(name, scan, *choice); renamed != name)
                dialog.selectFile(renamed);
        }
    });
    QSize size = dialog.sizeHint().expandedTo(QSize(900, 600));
    if (const QScreen *screen = parent ? parent->screen() : nullptr)
        size = size.boundedTo(screen->availableSize());
    dialog.resize(size);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return {dialog.selectedFiles().first(), dialog.selectedNameFilter()};
}

// What is wrong with the text of a threshold box, for NB; empty when nothing.
QString thresholdProblem(const QString &text) {
    double value = 0;
    try {
        value = textToDouble(text);
    } catch (const RuntimeError &) {
        return Form1::tr("Not a number: NB will report error 13");
    }
    if (value < 0)
        return Form1::tr("Below 0: no pixel can become ink");
    if (value > 255)
        return Form1::tr("Above 255: this channel never keeps a pixel white");
    return {};
}

// The same for taches' speck size, a whole number of pixels from 0 up.
QString speckProblem(const QString &text) {
    double value = 0;
    qint32 size = 0;
    try {
        value = textToDouble(text);
    } catch (const RuntimeError &) {
        return Form1::tr("Not a number: taches will report error 13");
    }
    try {
        size = roundToInt32(value);
    } catch (const RuntimeError &) {
        return Form1::tr("Too large: taches will report error 6");
    }
    if (value < 0)
        return Form1::tr("Below 0: taches will change nothing");
    if (size != value)
        return Form1::tr("Not a whole number: taches will take %1").arg(size);
    return {};
}

QLabel *label(QWidget *parent, const char *name, const QString &caption, QRect geometry) {
    auto *l = new QLabel(caption, parent);
    l->setObjectName(QLatin1String(name));
    l->setGeometry(geometry);
    return l;
}

}  // namespace

Form1::Form1(Module1 &module, QWidget *parent)
    : QWidget(parent), m_module(module), m_session(module, *this) {
    setObjectName(QStringLiteral("Form1"));
    setCaption(QStringLiteral("Form1"));
    resize(769, 615);
    createControls();
    setAcceptDrops(true);
    showHint();
}

Form1::~Form1() = default;

void Form1::setCaption(const QString &caption) {
    // Qt reads "[*]" in a title as the place of the modified mark and drops
    // it; "[*][*]" is its escape for a literal "[*]".
    QString title = caption;
    title.replace(QLatin1String("[*]"), QLatin1String("[*][*]"));
    setWindowTitle(title);
}

void Form1::createControls() {
    pictureView = new QScrollArea(this);
    pictureView->setObjectName(QStringLiteral("pictureView"));
    pictureView->setFrameShape(QFrame::NoFrame);
    pictureView->setFocusPolicy(Qt::NoFocus);
    pictureView->setWidgetResizable(false);
    pictureView->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Picture1 = new PictureBox;
    Picture1->setObjectName(QStringLiteral("Picture1"));
    pictureView->setWidget(Picture1);
    pictureView->setGeometry(QRect(kPictureOrigin, QSize(1280, 1024)));

    Text1 = textBox(this, "Text1", QStringLiteral("Text1"), {8, 8, 169, 19});
    // The box is narrow for the information line: make a long one fit whole.
    fitFont(Text1, QStringLiteral("1280*1024   255 255 255--False"));
    Command1 = button(this, "Command1", QStringLiteral("Reload"), {256, 16, 65, 41});
    rbox = textBox(this, "rbox", QStringLiteral("180"), {32, 48, 49, 19});
    vbox = textBox(this, "vbox", QStringLiteral("180"), {112, 48, 49, 25});
    bbox = textBox(this, "bbox", QStringLiteral("180"), {192, 48, 57, 25});
    Command2 = button(this, "Command2", QStringLiteral("Save"), {344, 24, 57, 33});
    clign = button(this, "clign", QStringLiteral("1"), {496, 32, 33, 25});
    load = button(this, "load", QStringLiteral("LoadRAm"), {408, 0, 81, 33});
    load->setVisible(false);
    rgb2nb = button(this, "rgb2nb", registeredPass("nb").caption, {408, 40, 81, 33});
    bouchtrou = button(this, "bouchtrou", registeredPass("bouchtrou").caption, {496, 8, 73, 25});
    affine = button(this, "affine", registeredPass("affine").caption, {496, 48, 73, 25});
    Label1 = label(this, "Label1", QStringLiteral("R"), {16, 48, 9, 17});
    Label2 = label(this, "Label2", QStringLiteral("V"), {96, 48, 9, 17});
    Label3 = label(this, "Label3", QStringLiteral("B"), {184, 48, 9, 17});
    ckbCancel = new QCheckBox(QStringLiteral("Cancel"), this);
    ckbCancel->setObjectName(QStringLiteral("ckbCancel"));
    ckbCancel->setGeometry(600, 16, 65, 25);
    Progress = textBox(this, "Progress", QStringLiteral("Text2"), {192, 8, 57, 33});
    // Beyond the design's controls, right of them: NB's local rule.
    ckbLocal = new QCheckBox(QStringLiteral("local"), this);
    ckbLocal->setObjectName(QStringLiteral("ckbLocal"));
    ckbLocal->setGeometry(600, 48, 65, 25);
    nbWarning = new QLabel(this);
    nbWarning->setObjectName(QStringLiteral("nbWarning"));
    nbWarning->setGeometry(8, 29, 180, 17);
    nbWarning->setStyleSheet(QStringLiteral("color: #b00000"));
    ckbLocal->setToolTip(
        tr("NB compares each channel against the paper around the pixel, as if the page were lit "
           "evenly (Ctrl+L)"));
    Progress->setToolTip(progressTip());
    // Beyond the design: taches and its speck size, right of the Cancel box.
    taches = button(this, "taches", registeredPass("taches").caption, {680, 16, 57, 25});
    tachesbox = textBox(this, "tachesbox", QString::number(kDefaultSpeckSize), {680, 48, 57, 25});
    // What the program writes there is not for typing over.
    Text1->setReadOnly(true);
    Progress->setReadOnly(true);
    statusLine = new QLabel(this);
    statusLine->setObjectName(QStringLiteral("statusLine"));
    statusLine->setContentsMargins(8, 0, 8, 0);
    statusLine->setTextFormat(Qt::PlainText);

    // What each control does; the captions stay those of the design.
    Text1->setToolTip(text1Tip());
    const QString thresholdTip =
        tr("%1 threshold of NB: a pixel becomes ink when none of its red, green and blue values "
           "exceeds its threshold");
    for (auto [caption, box, name] :
         {std::tuple{Label1, rbox, "Red"}, std::tuple{Label2, vbox, "Green"},
          std::tuple{Label3, bbox, "Blue"}}) {
        caption->setToolTip(thresholdTip.arg(QLatin1String(name)) + thresholdKeysTip());
        box->setToolTip(thresholdTip.arg(QLatin1String(name)));
    }
    Command1->setToolTip(
        tr("Read the file again and start the masks afresh; a running pass stops (ticks Cancel)"));
    Command2->setToolTip(
        tr("Save the mask (PNG, TIFF or PBM) or the painted picture (PNG or TIFF) (Ctrl+S)"));
    clign->setToolTip(tr("Blink indicator of the inspected pixel"));
    load->setToolTip(tr("Not in use"));
    rgb2nb->setToolTip(
        tr("Turn the picture black and white: ink where no channel exceeds its threshold R, V, B"));
    bouchtrou->setToolTip(
        tr("Fill small white holes in black strokes: pinholes, one-pixel notches and cracks"));
    affine->setToolTip(tr("Erase thin black things: isolated dots, one-pixel lines and spurs"));
    ckbCancel->setToolTip(tr("Tick to stop the running pass after its current column"));
    taches->setToolTip(
        tr("Remove black specks and fill white holes of at most the pixels in the box below"));
    tachesbox->setToolTip(
        tr("Speck size of taches: black blobs (corners join) and white holes (corners do not) "
           "of at most this many pixels are removed; white reaching the picture's edge is paper"));
    Picture1->setToolTip(
        tr("The picture: point at a pixel to inspect it; Ctrl+wheel zooms; hold \\ to see the scan "
           "as loaded; C shows what the last pass changed"));

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    // The timer is laid out without an interval: it is never started, since a
    // started zero-interval timer would fire continuously.

    // Keyboard order of the design; the picture area comes first, so it holds
    // the focus when the window opens.
    const QList<QWidget *> order{Picture1,  Text1,    Command1, rbox,     vbox,      bbox,
                                 Command2,  clign,    load,     rgb2nb,   bouchtrou, affine,
                                 ckbCancel, Progress, taches,   tachesbox};
    for (qsizetype i = 1; i < order.size(); ++i)
        setTabOrder(order[i - 1], order[i]);

    connect(Command1, &QPushButton::clicked, this, &Form1::Command1_Click);
    connect(Command2, &QPushButton::clicked, this, &Form1::Command2_Click);
    // The window's keys, as actions of the window: they work wherever the
    // focus is. Those a pass or a file being read would refuse are disabled
    // meanwhile (updateActions()); Save stays, to say why it waits.
    const auto action = [this](const QString &text, const QList<QKeySequence> &keys) {
        auto *a = new QAction(text, this);
        a->setShortcuts(keys);
        a->setShortcutContext(Qt::WindowShortcut);
        addAction(a);
        return a;
    };
    connect(action(tr("Save"), {QKeySequence::Save}), &QAction::triggered, this,
            &Form1::Command2_Click);
    connect(rgb2nb, &QPushButton::clicked, this, &Form1::rgb2nb_Click);
    connect(bouchtrou, &QPushButton::clicked, this, &Form1::bouchtrou_Click);
    connect(affine, &QPushButton::clicked, this, &Form1::affine_Click);
    connect(taches, &QPushButton::clicked, this, &Form1::taches_Click);
    connect(Picture1, &PictureBox::keyDown, this, [this](int keyCode, int shift) {
        m_session.guarded([&] { Picture1_KeyDown(keyCode, shift); });
    });
    connect(Picture1, &PictureBox::mouseMove, this,
            [this](int button, int shift, float x, float y) {
                m_session.guarded([&] { Picture1_MouseMove(button, shift, x, y); });
            });
    connect(Timer1, &QTimer::timeout, this,
            [this] { m_session.guarded([this] { Timer1_Timer(); }); });
    m_openAction = action(tr("Open"), {QKeySequence::Open});
    connect(m_openAction, &QAction::triggered, this, &Form1::Open_Key);
    connect(action(tr("Thresholds from the picture"), {QKeySequence(Qt::CTRL | Qt::Key_T)}),
            &QAction::triggered, this, &Form1::Thresholds_Key);
    connect(action(tr("Histograms"), {QKeySequence(Qt::CTRL | Qt::Key_H)}), &QAction::triggered,
            this, &Form1::Histogram_Key);
    connect(action(tr("Local rule"), {QKeySequence(Qt::CTRL | Qt::Key_L)}), &QAction::triggered,
            ckbLocal, &QCheckBox::toggle);
    connect(ckbLocal, &QCheckBox::toggled, this, [this](bool on) {
        m_session.guarded([&] {
            m_session.setLocal(on);
            updateLoadedHistograms(m_session.loadedPicture(), m_session.paper());
        });
    });
    connect(Picture1, &PictureBox::pick, this, [this](int shift, float x, float y) {
        m_session.guarded([&] { Picture1_Pick(shift, x, y); });
    });
    for (QLineEdit *box : {rbox, vbox, bbox})
        connect(box, &QLineEdit::textChanged, this, &Form1::updateHistogramMarks);
    // The pass buttons' keys; their captions stay those of the design.
    for (auto [pass, name, key] :
         {std::tuple{rgb2nb, "nb", Qt::Key_F5}, std::tuple{bouchtrou, "bouchtrou", Qt::Key_F6},
          std::tuple{affine, "affine", Qt::Key_F7}, std::tuple{taches, "taches", Qt::Key_F8}}) {
        connect(action(registeredPass(name).caption, {QKeySequence(key)}), &QAction::triggered,
                pass, &QPushButton::click);
        pass->setToolTip(pass->toolTip() + QStringLiteral(" (%1)").arg(QKeySequence(key).toString(
                                               QKeySequence::NativeText)));
    }
    connect(action(tr("Keys and mouse"), {QKeySequence::HelpContents}), &QAction::triggered, this,
            &Form1::showKeys);
    connect(Picture1, &PictureBox::viewChanged, this, [this] {
        refreshPixelInfo();
        updateStatusLine();
    });
    m_undoAction = action(tr("Undo"), {QKeySequence::Undo});
    connect(m_undoAction, &QAction::triggered, this, &Form1::Undo_Key);
    // Ctrl+Shift+Z and Ctrl+Y alike, whatever the platform's own redo key.
    m_redoAction = action(tr("Redo"), {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z),
                                       QKeySequence(Qt::CTRL | Qt::Key_Y)});
    connect(m_redoAction, &QAction::triggered, this, &Form1::Redo_Key);

    m_previewTimer = new QTimer(this);
    m_previewTimer->setSingleShot(true);
    m_previewTimer->setInterval(kPreviewDelayMs);
    connect(m_previewTimer, &QTimer::timeout, this, &Form1::showPreview);
    for (QLineEdit *box : {rbox, vbox, bbox})
        connect(box, &QLineEdit::textChanged, this, &Form1::schedulePreview);
    connect(ckbLocal, &QCheckBox::toggled, this, [this] {
        if (Picture1->preview())
            schedulePreview();
    });
    for (QLineEdit *box : {rbox, vbox, bbox, tachesbox})
        connect(box, &QLineEdit::textChanged, this, [this, box] { markBox(box); });
    connect(action(tr("Cancel the pass, or hide the preview"), {QKeySequence(Qt::Key_Escape)}),
            &QAction::triggered, this, &Form1::Escape_Key);
}

void Form1::updateActions(bool starting) {
    const bool free = !starting && !m_session.passRunning() && !m_session.reading();
    for (QAction *a : {m_openAction, m_undoAction, m_redoAction})
        if (a)
            a->setEnabled(free);
}

bool Form1::Undo_Key() {
    const std::shared_ptr<const PassChanges> undone = m_session.lastChanges();
    const bool done = m_session.undo();
    if (done) {
        Picture1->refreshColumns(undone->firstColumn, undone->lastColumn);
        showChanges();
        refreshPixelInfo();
        showStatus(tr("The last pass taken back (Ctrl+Shift+Z does it again)"));
    }
    return done;
}

bool Form1::Redo_Key() {
    const bool done = m_session.redo();
    if (done) {
        const std::shared_ptr<const PassChanges> redone = m_session.lastChanges();
        Picture1->refreshColumns(redone->firstColumn, redone->lastColumn);
        showChanges();
        refreshPixelInfo();
        showStatus(tr("The pass taken back done again"));
    }
    return done;
}

void Form1::showChanges() {
    const std::shared_ptr<const PassChanges> changes = m_session.lastChanges();
    Picture1->setChanges(changes);
    const QString counts =
        changes ? tr("\nLast pass: ") + changeCountsText(changes->filledCount, changes->erasedCount)
                : QString();
    Progress->setToolTip(progressTip() + counts);
    Text1->setToolTip(text1Tip() + counts);
}

bool Form1::Form_Load(const QString &commandLine) {
    return Form_Load(CommandLine{commandLine, true});
}

bool Form1::Form_Load(const CommandLine &commandLine) {
    m_module.ImagePath = imagePathFromCommandLine(commandLine.text);

    // The window's outer size, frame and title bar included, is the screen's.
    QScreen *screen = this->screen();
    const QSize screenSize = screen ? screen->size() : QSize(769, 615);
    resize(screenSize);
    setCaption(m_module.ImagePath);
    // Maximised, so that under a window manager the frame and the bottom of
    // the picture area stay on screen.
    setWindowState(windowState() | Qt::WindowMaximized);
    show();
    const QSize frame = frameGeometry().size() - geometry().size();
    if (!frame.isEmpty() && !isMaximized())
        resize(screenSize - frame);
    Picture1->setFocus();

    std::optional<RuntimeError> failure;
    if (commandLine.validUtf8) {
        // The window is drawn and answers while the worker reads.
        QEventLoop read;
        bool ended = false;
        const bool started = m_session.open(m_module.ImagePath, [&](const RuntimeError *error) {
            if (error)
                failure = *error;
            ended = true;
            read.quit();
        });
        if (!started)
            return false;
        showHint(m_module.ImagePath);
        m_startupRead = &read;
        if (!ended)
            read.exec();
        m_startupRead = nullptr;
        showHint();
        if (!ended)
            return false;  // closed during the read
    } else {
        // The path read from such bytes has replacement characters in their
        // place: it may name another file, which must not be opened instead.
        failure = RuntimeError(kBadFileName, QStringLiteral("The file name is not valid UTF-8"));
    }
    if (failure) {
        const RuntimeError &error = *failure;
        const QString text = error.description() + QLatin1Char('\n') +
                             QDir::toNativeSeparators(QDir::currentPath()) + QLatin1Char('\n') +
                             m_module.ImagePath + QLatin1Char('\n') + QStringLiteral("non trouvé");
        MessageBoxes::show(this, text);
        return false;
    }

    showChanges();
    CursorX = 1;
    CursorY = 1;
    fitOpenedPicture();
    return true;
}

void Form1::fitOpenedPicture() {
    const QSize room = pictureView->maximumViewportSize();
    if (Picture1->Width() > room.width() || Picture1->Height() > room.height())
        Picture1->fitToView();
    else
        Picture1->setZoom(1);
}

bool Form1::openFile(const QString &path) {
    // An empty path reads as an empty picture: it opens nothing.
    if (path.isEmpty())
        return false;
    const bool started = m_session.open(path, [this, path](const RuntimeError *error) {
        showHint();
        if (error) {
            reportError(*error);
            return;
        }
        showChanges();
        setCaption(path);
        CursorX = 1;
        CursorY = 1;
        fitOpenedPicture();
        refreshPixelInfo();
        showStatus(QString());
    });
    if (started)
        showHint(path);
    return started;
}

bool Form1::mayDiscard(const QString &doing) {
    if (!m_session.unsaved())
        return true;
    const QString text =
        tr("The passes run on %1 have not been saved.\nSave them before %2?")
            .arg(QDir::toNativeSeparators(QFileInfo(m_module.ImagePath).fileName()), doing);
    switch (MessageBoxes::askUnsaved(this, text)) {
        case MessageBoxes::Unsaved::save:
            Command2_Click();
            return !m_session.unsaved();
        case MessageBoxes::Unsaved::discard:
            return true;
        case MessageBoxes::Unsaved::cancel:
            break;
    }
    return false;
}

void Form1::Open_Key() {
    // Like a second pass click, Open during a pass or a read does nothing.
    if (m_session.passRunning() || m_session.reading())
        return;
    if (!mayDiscard(tr("opening another file")))
        return;
    const QString path = OpenDialog::choose(this, QFileInfo(m_module.ImagePath).absolutePath());
    if (!path.isEmpty())
        openFile(path);
}

void Form1::showHint(const QString &reading) {
    if (!reading.isEmpty())
        Picture1->setHint(tr("Reading %1 ...").arg(QDir::toNativeSeparators(reading)));
    else if (Picture1->Width() == 0 || Picture1->Height() == 0)
        Picture1->setHint(tr("Open a scan with Ctrl+O, or drop one here"));
    else
        Picture1->setHint({});
    updateActions();
}

void Form1::Command1_Click() {
    if (m_session.reload())
        showChanges();
}

void Form1::setSaveDialog(SaveDialog dialog) {
    installedSaveDialog() = std::move(dialog);
}

void Form1::Command2_Click() {
    const QImage &picture = m_module.picture.original();
    // During a pass the answer goes to the status line: a box would hold the
    // pass until it is dismissed.
    if (passRunning()) {
        showStatus(saveRefusal(true, picture));
        return;
    }
    if (const QString refusal = saveRefusal(false, picture); !refusal.isEmpty()) {
        MessageBoxes::show(this, refusal);
        return;
    }
    // The type and the folder saved to last, else a PNG mask beside the scan.
    const SaveChoice *last = saveChoiceFor(m_saveFilter);
    if (!last)
        last = &saveChoices().first();
    QString proposed = defaultSaveName(m_module.ImagePath, *last);
    if (!m_saveFolder.isEmpty())
        proposed = QDir(m_saveFolder).filePath(QFileInfo(proposed).fileName());
    SaveRequest request{proposed, saveFilters(), last->filter};
    // A name refused, or a question answered no, goes back to the dialog
    // with that name and type.
    for (;;) {
        const SaveAnswer answer = installedSaveDialog()
                                      ? installedSaveDialog()(this, request)
                                      : showSaveDialog(this, request, m_module.ImagePath);
        if (answer.path.isEmpty())
            return;
        const SaveChoice *chosen = saveChoiceFor(answer.filter);
        if (!chosen)
            chosen = &saveChoices().first();
        // The dialog runs its own event loop; the window is blocked meanwhile,
        // but check again rather than save a mask a pass is still writing.
        if (const QString refusal = saveRefusal(passRunning(), picture); !refusal.isEmpty()) {
            MessageBoxes::show(this, refusal);
            return;
        }
        const SaveTarget target = saveTarget(answer.path, *chosen);
        request.proposed = answer.path;
        request.filter = target.choice ? target.choice->filter : chosen->filter;
        if (!target.refusal.isEmpty()) {
            MessageBoxes::show(this, target.refusal);
            continue;
        }
        const QString &path = target.path;
        const SaveChoice &choice = *target.choice;
        if (const QString problem = saveProblem(path); !problem.isEmpty()) {
            MessageBoxes::show(this, problem);
            return;
        }
        m_saveFilter = choice.filter;
        m_saveFolder = QFileInfo(path).absolutePath();
        // The dialog asked about the name as typed; with an extension added,
        // the file written is another one, which gets the same question.
        if (sameFile(path, m_module.ImagePath)) {
            if (!MessageBoxes::ask(this, replaceScanQuestion(path, choice.content)))
                continue;
        } else if (path != answer.path && QFileInfo::exists(path) &&
                   !MessageBoxes::ask(this, replaceFileQuestion(path, choice.content))) {
            continue;
        }
        QString message;
        if (!saveImage(m_module, choice.content, path, &message, m_session.geoReference())) {
            MessageBoxes::show(this, message);
            return;
        }
        m_session.markSaved();
        showStatus(tr("Saved %1").arg(QDir::toNativeSeparators(path)));
        return;
    }
}

template <typename Run>
bool Form1::runCountedPass(const QString &caption, qint32 lastColumn, Run run) {
    // A pass refused because another runs leaves that one's count alone.
    if (passRunning())
        return run();
    m_passLastColumn = lastColumn;
    m_passColumn = 0;
    m_passFailed = false;
    const bool cancelTicked = cancelBoxValue() == 1;
    m_framing = true;
    m_frameClock.invalidate();
    Progress->setUpdatesEnabled(false);
    // The overlay shows the pass that is over; this one's once it ends.
    Picture1->setChanges(nullptr);
    updateActions(true);
    const bool ran = run();
    // The columns since the last frame, and the box as the pass left it.
    m_framing = false;
    showFrame();
    updateActions();
    m_passLastColumn = 0;
    if (ran) {
        const PassOutcome &outcome = m_session.lastPassOutcome();
        const QLocale numbers(QLocale::English, QLocale::UnitedStates);
        if (m_passFailed && m_passColumn == 0)
            showStatus(tr("%1 stopped before its first column by the error reported").arg(caption));
        else if (m_passFailed)
            showStatus(tr("%1 stopped after column %2 by the error reported")
                           .arg(caption)
                           .arg(numbers.toString(m_passColumn)));
        else if (!outcome.cancelled)
            showStatus(
                tr("%1 finished: %2 columns").arg(caption, numbers.toString(outcome.columnsDone)));
        else if (cancelTicked && outcome.columnsDone == 1)
            showStatus(
                tr("%1 stopped after 1 column: Cancel was ticked (Reload ticks it)").arg(caption));
        else
            showStatus(
                tr("%1 cancelled at column %2").arg(caption).arg(numbers.toString(m_passColumn)));
    }
    showChanges();
    return ran;
}

bool Form1::runPass(ColumnOperation &operation) {
    const qint32 last = roundToInt32(Picture1->Width() - operation.range().columnMargin);
    return runCountedPass(tr("The pass"), last, [&] { return m_session.runPass(operation); });
}

void Form1::runButtonPass(const char *name) {
    const PassEntry &pass = registeredPass(name);
    runCountedPass(pass.caption, roundToInt32(Picture1->Width() - pass.range.columnMargin),
                   [&] { return m_session.runPass(pass); });
}

void Form1::rgb2nb_Click() {
    hidePreview();
    runButtonPass("nb");
    // A mask mostly black: the thresholds too high for the scan, or a shadow
    // taken for ink. Said beside the boxes, never in a box to dismiss.
    const qint32 w = m_module.picture.width(), h = m_module.picture.height();
    qint64 black = 0;
    for (qint32 x = 0; x < w; ++x) {
        const quint64 *column = m_module.Mask.column(x);
        for (qint32 k = 0; k < m_module.Mask.wordsPerColumn(); ++k)
            black += std::popcount(column[k] & PackedMask::rowBits(k, 0, h - 1));
    }
    const int percent = w > 0 && h > 0 ? int(black * 100 / (qint64(w) * h)) : 0;
    const bool warn = percent > kMostlyBlackPercent;
    const QString warning =
        warn ? tr("NB left %1 % of the picture black: the thresholds may be too high "
                  "for this scan, or uneven light taken for ink (try Ctrl+T, or the "
                  "local box)")
                   .arg(percent)
             : QString();
    nbWarning->setText(warn ? tr("%1 % black!").arg(percent) : QString());
    nbWarning->setToolTip(warning);
    Progress->setToolTip(Progress->toolTip().section(QLatin1String("\nNB left"), 0, 0) +
                         (warn ? QLatin1Char('\n') + warning : QString()));
}

void Form1::bouchtrou_Click() {
    runButtonPass("bouchtrou");
}

void Form1::affine_Click() {
    runButtonPass("affine");
}

void Form1::taches_Click() {
    runButtonPass("taches");
}

void Form1::Picture1_MouseMove(int, int, float x, float y) {
    CursorX = cursorFromPointer(x);
    CursorY = cursorFromPointer(y);
    ShowPixelInfo();
}

void Form1::Picture1_KeyDown(int &keyCode, int) {
    const qint32 oldX = CursorX;
    const qint32 oldY = CursorY;
    stepCursor(keyCode, CursorX, CursorY, m_module.picture);
    if (CursorX != oldX || CursorY != oldY) {
        // Keep the cursor pixel in sight when it is stepped off the view.
        const QRect pixel = Picture1->zoomedRect(QRect(CursorX, CursorY, 1, 1));
        const int margin = pixel.width() * 2;
        pictureView->ensureVisible(pixel.center().x(), pixel.center().y(), margin, margin);
    }
    ShowPixelInfo();
}

void Form1::ShowPixelInfo() {
    const InspectorRGB rgb = inspectorSplit(Picture1->Point(CursorX, CursorY));
    // A cursor outside Mask (the pointer left the picture) drops the line
    // silently; Text1 keeps what it showed.
    try {
        Text1->setText(pixelInfoLine(CursorX, CursorY, rgb, m_module.Mask));
    } catch (const RuntimeError &) {
    } catch (const std::bad_alloc &) {
    }
    Picture1->setMarker(QPoint(CursorX, CursorY));
    m_inspected = true;
    updateStatusLine();
}

void Form1::refreshPixelInfo() {
    if (m_inspected)
        ShowPixelInfo();
}

void Form1::setThresholdBoxes(const Thresholds &thresholds) {
    rbox->setText(doubleText(thresholds.red));
    vbox->setText(doubleText(thresholds.green));
    bbox->setText(doubleText(thresholds.blue));
}

void Form1::Thresholds_Key() {
    if (m_loadedHistograms.pixels == 0)
        return;
    setThresholdBoxes(automaticThresholds(m_session.loadedPicture(),
                                          m_session.local() ? m_session.paper().get() : nullptr));
}

void Form1::Picture1_Pick(int shift, float x, float y) {
    // The pixel the information line shows for this pointer position.
    const qint32 px = cursorFromPointer(x);
    const qint32 py = cursorFromPointer(y);
    if (!Picture1->onSurface(px, py))
        return;
    // The scan as loaded: what NB will compare, not what passes painted.
    quint32 rgb = m_module.picture.original().pixel(px, py) & 0xFFFFFF;
    if (m_session.local()) {
        // The values NB compares: evened against the paper there.
        if (const auto paper = m_session.paper()) {
            const auto even = [&](int channel, int shift) {
                return quint32(evenedValue(int((rgb >> shift) & 0xFF), paper->at(channel, px, py),
                                           paper->brightest[size_t(channel)]))
                       << shift;
            };
            rgb = even(0, 16) | even(1, 8) | even(2, 0);
        }
    }
    setThresholdBoxes((shift & 1) ? inkPickThresholds(rgb) : paperPickThresholds(rgb));
}

void Form1::Histogram_Key() {
    if (!m_histogramWindow) {
        m_histogramWindow = new HistogramWindow(this);
        m_histogramWindow->setHistograms(m_loadedHistograms);
        updateHistogramMarks();
        connect(m_histogramWindow, &HistogramWindow::thresholdPicked, this, &Form1::Histogram_Pick);
        // The caption changes with the file: the name of the scan shown.
        const auto name = [this] {
            m_histogramWindow->setFileName(QFileInfo(m_module.ImagePath).fileName());
        };
        name();
        connect(this, &QWidget::windowTitleChanged, m_histogramWindow, name);
        // Beside the threshold boxes, clear of the controls' row.
        m_histogramWindow->move(
            mapToGlobal(QPoint(kPictureOrigin.x() + 40, kPictureOrigin.y() + 40)));
    }
    m_histogramWindow->setVisible(!m_histogramWindow->isVisible());
}

void Form1::Histogram_Pick(int channel, int value) {
    QLineEdit *boxes[3] = {rbox, vbox, bbox};
    for (int c = 0; c < 3; ++c)
        if (channel < 0 || channel == c)
            boxes[c]->setText(integerText(value));
}

void Form1::updateHistogramMarks() {
    if (!m_histogramWindow)
        return;
    HistogramWindow::Marks marks;
    const QLineEdit *boxes[3] = {rbox, vbox, bbox};
    const char *names[3] = {"rbox", "vbox", "bbox"};
    for (size_t c = 0; c < 3; ++c) {
        try {
            marks[c] = textToDouble(boxes[c]->text(), QLatin1String(names[c]));
        } catch (const RuntimeError &) {
        }
    }
    m_histogramWindow->setMarks(marks);
}

void Form1::schedulePreview() {
    m_previewTimer->start();
}

void Form1::showPreview() {
    m_previewTimer->stop();
    const QImage &scan = m_session.loadedPicture();
    if (m_session.passRunning() || scan.isNull())
        return;
    Thresholds t;
    try {
        t.red = textToDouble(rbox->text());
        t.green = textToDouble(vbox->text());
        t.blue = textToDouble(bbox->text());
        if (m_session.local())
            t.paper = m_session.paper();
    } catch (const RuntimeError &) {
        hidePreview();
        return;
    }
    const QString caption = tr("Preview of NB: R %1 V %2 B %3%4 - Escape hides it")
                                .arg(doubleText(t.red), doubleText(t.green), doubleText(t.blue),
                                     t.paper ? QStringLiteral(", local") : QString());
    Picture1->setPreview(std::make_shared<ThresholdPreview>(scan, t), caption);
}

void Form1::hidePreview() {
    m_previewTimer->stop();
    Picture1->setPreview(nullptr, {});
}

void Form1::Escape_Key() {
    if (m_session.passRunning())
        setCancelBoxValue(1);
    else
        hidePreview();
}

void Form1::markBox(QLineEdit *box) {
    // The box's own tooltip, kept to come back to.
    if (!box->property("plainToolTip").isValid())
        box->setProperty("plainToolTip", box->toolTip());
    const QString plain = box->property("plainToolTip").toString();
    const QString problem =
        box == tachesbox ? speckProblem(box->text()) : thresholdProblem(box->text());
    box->setProperty("invalid", !problem.isEmpty());
    box->setStyleSheet(
        problem.isEmpty() ? QString() : QStringLiteral("QLineEdit { border: 2px solid #d00000; }"));
    box->setToolTip(problem.isEmpty() ? plain : problem + QLatin1Char('\n') + plain);
}

void Form1::Timer1_Timer() {
    BlinkColor = nextBlinkColor(BlinkColor);
    m_module.picture.PSet(CursorX, CursorY, blinkPaintColor(BlinkColor));
    Picture1->refreshPixel(CursorX, CursorY);
    repaint();
    clign->setText(flippedCaption(clign->text()));
}

int Form1::cancelBoxValue() const {
    switch (ckbCancel->checkState()) {
        case Qt::Checked:
            return 1;
        case Qt::PartiallyChecked:
            return 2;
        case Qt::Unchecked:
            break;
    }
    return 0;
}

void Form1::setCancelBoxValue(int value) {
    ckbCancel->setCheckState(value == 1   ? Qt::Checked
                             : value == 2 ? Qt::PartiallyChecked
                                          : Qt::Unchecked);
}

void Form1::refreshPicture(qint32 column) {
    m_passColumn = column;
    if (!m_framing) {
        Picture1->refreshColumn(column);
        return;
    }
    m_dirtyFirst = m_dirtyFirst < 0 ? column : std::min(m_dirtyFirst, column);
    m_dirtyLast = std::max(m_dirtyLast, column);
}

void Form1::setProgress(const QString &text) {
    Progress->setText(text);
    if (m_passLastColumn > 0)
        Progress->setToolTip(tr("column %1 of %2").arg(m_passColumn).arg(m_passLastColumn));
}

void Form1::refreshWindow() {
    // Only the progress box changed besides the picture's column. A pass
    // does thousands of columns a second, far more than a screen shows:
    // what they changed reaches the screen once a frame.
    if (!m_framing)
        Progress->repaint();
    else if (!m_frameClock.isValid() || m_frameClock.elapsed() >= kFrameMilliseconds)
        showFrame();
}

void Form1::showFrame() {
    if (m_dirtyFirst >= 0) {
        // Reduced to 1/n, a block of n columns is shown once the pass has done
        // all of it, so that each is made once; the pass's end shows the rest.
        const qint32 n = Picture1->reduction();
        const qint32 last = m_framing && n > 1 ? (m_dirtyLast + 1) / n * n - 1 : m_dirtyLast;
        if (last >= m_dirtyFirst) {
            Picture1->refreshColumns(m_dirtyFirst, last);
            m_dirtyFirst = last < m_dirtyLast ? last + 1 : -1;
            if (m_dirtyFirst < 0)
                m_dirtyLast = -1;
        }
    }
    // The box is painted here and only here while the pass runs.
    Progress->setUpdatesEnabled(true);
    Progress->repaint();
    Progress->setUpdatesEnabled(!m_framing);
    m_frameClock.start();
}

void Form1::doEvents() {
    QCoreApplication::processEvents();
}

QString Form1::thresholdText(ThresholdBox box) {
    switch (box) {
        case ThresholdBox::rbox:
            return rbox->text();
        case ThresholdBox::vbox:
            return vbox->text();
        case ThresholdBox::bbox:
            break;
    }
    return bbox->text();
}

QString Form1::speckText() {
    return tachesbox->text();
}

void Form1::reportError(const RuntimeError &error) {
    if (m_passLastColumn > 0)
        m_passFailed = true;
    reportRuntimeError(this, error);
}

void Form1::pictureReplaced() {
    Picture1->setSheet(&m_module.picture);
    const QImage &scan = m_module.picture.original();
    updateLoadedHistograms(scan, m_session.local() ? m_session.paper() : nullptr);
    updateStatusLine();
}

void Form1::updateLoadedHistograms(const QImage &loaded,
                                   const std::shared_ptr<const PaperEstimate> &paper) {
    m_loadedHistograms = channelHistograms(paper ? evenedPicture(loaded, *paper) : loaded);
    if (m_histogramWindow)
        m_histogramWindow->setHistograms(m_loadedHistograms);
}

void Form1::closeEvent(QCloseEvent *event) {
    // Closed during a pass: the pass stops at its next column and copies
    // back, then the session closes the window, and only then is the
    // question about its work asked.
    if (!m_session.passRunning() && !mayDiscard(tr("closing"))) {
        event->ignore();
        return;
    }
    if (!m_session.requestClose()) {
        event->ignore();
        return;
    }
    // Closed while start-up reads: the read is dropped and start-up ends.
    if (m_startupRead)
        m_startupRead->quit();
    QWidget::closeEvent(event);
}

void Form1::dragEnterEvent(QDragEnterEvent *event) {
    if (!draggedFile(event->mimeData()).isEmpty() && !m_session.passRunning() &&
        !m_session.reading())
        event->acceptProposedAction();
}

void Form1::dropEvent(QDropEvent *event) {
    const QString path = draggedFile(event->mimeData());
    if (path.isEmpty() || m_session.passRunning() || m_session.reading())
        return;
    event->acceptProposedAction();
    // The question, if any, once the drag is over: the program the file came
    // from is not kept waiting for the answer.
    QTimer::singleShot(0, this, [this, path] {
        if (mayDiscard(tr("opening %1").arg(QFileInfo(path).fileName())))
            openFile(path);
    });
}

void Form1::resizeEvent(QResizeEvent *event) {
    QWidget::resizeEvent(event);
    // The picture's view fills the window below and right of its design
    // position, down to the status line.
    const QSize rest = size() - QSize(kPictureOrigin.x(), kPictureOrigin.y() + kStatusHeight);
    pictureView->setGeometry(QRect(kPictureOrigin, rest.expandedTo(QSize(0, 0))));
    statusLine->setGeometry(0, height() - kStatusHeight, width(), kStatusHeight);
}

void Form1::keyPressEvent(QKeyEvent *event) {
    if (!Picture1->viewKeyPress(event))
        QWidget::keyPressEvent(event);
}

void Form1::keyReleaseEvent(QKeyEvent *event) {
    Picture1->viewKeyRelease(event);
    QWidget::keyReleaseEvent(event);
}

void Form1::changeEvent(QEvent *event) {
    // Backslash released in another window never comes here.
    if (event->type() == QEvent::ActivationChange && !isActiveWindow())
        Picture1->setComparing(false);
    QWidget::changeEvent(event);
}

void Form1::showStatus(const QString &message) {
    m_statusMessage = message;
    updateStatusLine();
}

void Form1::updateStatusLine() {
    const QLocale numbers(QLocale::English, QLocale::UnitedStates);
    QStringList parts;
    if (Picture1->Width() > 0 && Picture1->Height() > 0) {
        parts << tr("%1 x %2 pixels")
                     .arg(numbers.toString(qint64(Picture1->Width())),
                          numbers.toString(qint64(Picture1->Height())));
        parts << (Picture1->reduction() > 1 ? tr("zoom 1/%1").arg(Picture1->reduction())
                                            : tr("zoom %1").arg(Picture1->zoom()));
        if (m_inspected && Picture1->onSurface(CursorX, CursorY))
            parts << tr("pixel %1, %2").arg(CursorX).arg(CursorY);
    }
    if (Picture1->showChanges())
        parts << tr("overlay on: blue filled, vermillion erased (C hides it)");
    if (Picture1->comparing())
        parts << tr("showing the scan as loaded");
    if (!m_statusMessage.isEmpty())
        parts << m_statusMessage;
    statusLine->setText(parts.join(QStringLiteral("   \u00b7   ")));
}

void Form1::showKeys() {
    if (!m_keysList) {
        // A dialog of its own, beside the window, closed by Escape.
        auto *dialog = new QDialog(this);
        dialog->setWindowTitle(tr("Keys and mouse - inkmask"));
        auto *list = new QLabel(dialog);
        list->setObjectName(QStringLiteral("keysList"));
        (new QVBoxLayout(dialog))->addWidget(list);
        list->setTextFormat(Qt::RichText);
        list->setMargin(12);
        QString rows;
        const auto row = [&rows](const QString &keys, const QString &what) {
            rows += QStringLiteral("<tr><td><b>%1</b></td><td>%2</td></tr>")
                        .arg(keys.toHtmlEscaped(), what.toHtmlEscaped());
        };
        for (const QAction *a : actions()) {
            QStringList keys;
            for (const QKeySequence &key : a->shortcuts())
                keys << key.toString(QKeySequence::NativeText);
            row(keys.join(QStringLiteral(", ")), a->text());
        }
        row(tr("C"), tr("Show or hide what the last pass changed"));
        row(tr("\\ (held)"), tr("Show the scan as loaded"));
        row(tr("Ctrl++, Ctrl+-, Ctrl+wheel"), tr("Zoom in or out, about the pointer"));
        row(tr("Ctrl+0, Ctrl+9"), tr("Zoom 1; the whole picture in the view"));
        row(tr("Pointer, arrow keys"), tr("Inspect a pixel (arrows with the picture focused)"));
        row(tr("Ctrl+click"), tr("Thresholds from that pixel of the scan, as paper"));
        row(tr("Ctrl+Shift+click"), tr("Thresholds from that pixel of the scan, as ink"));
        row(tr("Drop a file"), tr("Open it"));
        list->setText(QStringLiteral("<table cellspacing=6>%1</table>").arg(rows));
        m_keysList = dialog;
    }
    m_keysList->show();
    m_keysList->raise();
}

}  // namespace ink

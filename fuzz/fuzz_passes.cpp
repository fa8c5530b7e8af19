// Fuzz target: a small picture driven through a random sequence of what the
// user can do: NB, bouchtrou and affine, Reload (also of a file replaced by a
// picture of another size, or gone), Cancel ticks, threshold box edits good
// and bad, pointer moves and arrow keys, undo and redo, a close, both between
// passes and inside a pass's event pump. The program's own Session runs it all, with an
// in-memory picture and a view scripted from the input.
//
// After every pass the result is checked against the rules written the plain
// way, cell by cell, from the mask and the picture as they stood before it:
//  - after a pass that ended or was cancelled, `Mask` equals `WorkMask`;
//  - NB paints and stores exactly the visited pixels of the finished columns;
//    bouchtrou only turns white to black and affine only black to white, each
//    exactly where its templates say, and nothing outside a pass's reach or
//    after its last finished column changes, in the mask or the picture;
//  - a pass stopped by a bad threshold leaves `Mask` as it was;
//  - a Reload during a pass ends it with fresh, all-white masks;
//  - a pass button during a pass is refused; a close during a pass waits for
//    its copy-back;
//  - undo and redo bring back, bit for bit, the picture and `Mask` as they
//    stood before and after each pass since the last Reload, and are refused
//    during a pass;
// and after every action the masks are the picture's size plus one.

#include "core/image/columnpass.h"
#include "core/image/module1.h"
#include "core/image/sheet.h"
#include "core/inspector/inspector.h"
#include "core/ops/passes.h"
#include "core/runtime/convert.h"
#include "core/session/session.h"
#include "reference_rules.h"

#include <QFile>
#include <QTemporaryDir>

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

using namespace ink;

namespace {

constexpr int kMaxSide = 40;

void check(bool ok, const char *what) {
    if (!ok) {
        std::fprintf(stderr, "broken: %s\n", what);
        std::abort();
    }
}

using namespace ink::reference;

QImage randomPicture(FuzzedDataProvider &in) {
    const int w = in.ConsumeIntegralInRange(0, kMaxSide);
    const int h = in.ConsumeIntegralInRange(0, kMaxSide);
    QImage image(w, h, QImage::Format_RGB32);
    // Mostly ink and paper, some colours right at the thresholds; 0: any.
    const QRgb kinds[] = {qRgb(0, 0, 0),       qRgb(0, 0, 0),      qRgb(0, 0, 0),
                          qRgb(180, 180, 180), qRgb(181, 0, 0),    0,
                          qRgb(255, 255, 255), qRgb(255, 255, 255)};
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const QRgb kind = kinds[in.ConsumeIntegralInRange(0, 7)];
            image.setPixel(x, y, kind ? kind : in.ConsumeIntegral<quint32>());
        }
    return image;
}

// The pass the input picks, from the registry.
const PassEntry &pickPass(FuzzedDataProvider &in) {
    const auto passes = passRegistry();
    return passes[in.ConsumeIntegralInRange<size_t>(0, passes.size() - 1)];
}

bool is(const PassEntry &pass, const char *name) {
    return pass.name == QLatin1String(name);
}

// The file Reload reads, in a folder of this process's own.
const QString &scanPath() {
    static const QTemporaryDir dir;
    static const QString path = dir.filePath(QStringLiteral("scan.bmp"));
    return path;
}

// The user and the window, played from the input: the session's view.
class Player : public SessionView {
public:
    explicit Player(FuzzedDataProvider &in) : m_in(in) {
        m_speck = QString::number(in.ConsumeIntegralInRange(0, 9));
        QFile::remove(scanPath());
        writeFile(randomPicture(in));
        m_session.load();
        m_loaded = m_module.picture.image();
        startHistory();
    }

    void run() {
        while (m_in.remaining_bytes() > 0 && !m_closed)
            act(false);
    }

    // SessionView
    void refreshPicture(qint32 column) override { m_lastColumn = column; }
    void setProgress(const QString &text) override { m_progress = text; }
    void refreshWindow() override {}
    void doEvents() override {
        const int actions = m_in.ConsumeIntegralInRange(0, 3);
        for (int i = 0; i < actions && m_in.remaining_bytes() > 0; ++i)
            act(true);
    }
    int cancelValue() override { return m_cancel; }
    void setCancelValue(int value) override { m_cancel = value; }
    QString speckText() override { return m_speck; }
    QString thresholdText(ThresholdBox box) override {
        m_boxesRead.emplace_back(box, m_boxes[int(box)]);
        return m_boxes[int(box)];
    }
    void reportError(const RuntimeError &error) override { m_errors.push_back(error.number()); }
    void closeNow() override {
        check(!m_session.passRunning(), "the window closes only once the pass is over");
        m_closed = true;
    }

private:
    // One action of the user.
    void act(bool inPump) {
        switch (m_in.ConsumeIntegralInRange(0, 11)) {
            case 0:
                reload();
                break;
            case 1:
                m_cancel = m_cancel == 1 ? 0 : 1;  // a click on the box
                break;
            case 2: {
                QString &box = m_boxes[m_in.ConsumeIntegralInRange(0, 2)];
                if (m_in.ConsumeBool())
                    box = QString::number(m_in.ConsumeIntegralInRange(-2, 257)) +
                          (m_in.ConsumeBool() ? QStringLiteral(".5") : QString());
                else
                    box = QString::fromStdString(m_in.ConsumeRandomLengthString(6));
                break;
            }
            case 3: {
                const float w = picture().Width(), h = picture().Height();
                m_cursorX = cursorFromPointer(m_in.ConsumeFloatingPointInRange(-3.0f, w + 3));
                m_cursorY = cursorFromPointer(m_in.ConsumeFloatingPointInRange(-3.0f, h + 3));
                showPixelInfo();
                break;
            }
            case 4:
                stepCursor(m_in.ConsumeIntegralInRange(36, 41), m_cursorX, m_cursorY, picture());
                showPixelInfo();
                break;
            case 5:
                writeFile(randomPicture(m_in));  // the file replaced on disk
                break;
            case 6:
                QFile::remove(scanPath());  // the file gone
                break;
            case 7:
                // Closing is rare, as it ends the run.
                if (m_in.ConsumeIntegralInRange(0, 7) != 0)
                    break;
                if (m_session.requestClose()) {
                    check(!inPump, "a close during a pass is put off");
                    m_closed = true;
                } else {
                    check(inPump, "a close with no pass running happens at once");
                    m_closeAsked = true;
                }
                break;
            case 8:
            case 9:
                step(inPump, m_in.ConsumeBool());
                break;
            default:
                if (inPump) {
                    const PackedMask mask = m_module.Mask;
                    check(!m_session.runPass(pickPass(m_in)),
                          "a pass button during a pass is refused");
                    check(m_module.Mask == mask, "a refused pass changes nothing");
                } else {
                    runPass(pickPass(m_in));
                }
                break;
        }
        checkShape();
    }

    PixelSurface &picture() { return m_module.picture; }

    // The states undo and redo move between: the picture and `Mask` as
    // loaded, then after each pass.
    struct State {
        QImage picture;
        PackedMask mask;
    };
    void startHistory() {
        m_states = {{m_module.picture.image(), m_module.Mask}};
        m_current = 0;
    }
    void passDone() {
        m_states.resize(m_current + 1);
        m_states.push_back({m_module.picture.image(), m_module.Mask});
        ++m_current;
    }

    // Undo, or redo when `forward`.
    void step(bool inPump, bool forward) {
        const QImage before = m_module.picture.image();
        const PackedMask mask = m_module.Mask;
        const bool done = forward ? m_session.redo() : m_session.undo();
        if (inPump) {
            check(!done, "undo and redo are refused during a pass");
            check(m_module.picture.image() == before && m_module.Mask == mask,
                  "a refused undo or redo changes nothing");
            return;
        }
        check(done == (forward ? m_current + 1 < m_states.size() : m_current > 0),
              "undo and redo go as far as the passes since loading");
        if (!done)
            return;
        m_current = forward ? m_current + 1 : m_current - 1;
        check(m_module.picture.image() == m_states[m_current].picture,
              "undo and redo bring the picture back bit for bit");
        check(m_module.Mask == m_states[m_current].mask && m_module.WorkMask == m_module.Mask,
              "undo and redo bring Mask back, and WorkMask follows it");
    }

    // A picture with no pixels has no file: the window started with no path
    // shows one.
    void writeFile(const QImage &image) {
        m_file = image;
        if (image.isNull()) {
            m_module.ImagePath.clear();
            return;
        }
        m_module.ImagePath = scanPath();
        check(image.save(scanPath(), "BMP"), "the picture file is written");
    }

    void checkShape() {
        const qint32 w = roundToInt32(picture().Width()), h = roundToInt32(picture().Height());
        check(m_module.Mask.upperX() == w && m_module.Mask.upperY() == h,
              "Mask is the picture's size plus one");
        check(m_module.WorkMask.upperX() == w && m_module.WorkMask.upperY() == h,
              "WorkMask is the picture's size plus one");
    }

    // Reload: ticks Cancel; a file that is gone is reported and changes
    // nothing else.
    void reload() {
        const bool readable = m_module.ImagePath.isEmpty() || QFile::exists(scanPath());
        const QImage before = m_module.picture.image();
        const size_t errors = m_errors.size();
        const bool replaced = m_session.reload();
        check(m_cancel == 1, "Reload ticks Cancel");
        check(replaced == readable, "Reload replaces the picture when the file can be read");
        if (!replaced) {
            check(m_errors.size() == errors + 1 && m_errors.back() == 53,
                  "a file gone is reported as not found");
            check(m_module.picture.image() == before, "a failed Reload keeps the picture");
            return;
        }
        m_loaded = m_module.picture.image();
        startHistory();
        check(m_loaded == m_file.convertToFormat(QImage::Format_RGB32),
              "Reload shows the file's picture");
        check(m_module.Mask.countBlack() + m_module.WorkMask.countBlack() == 0,
              "Reload starts the masks afresh");
        if (m_session.passRunning())
            m_reloadedInPass = true;
    }

    void showPixelInfo() {
        const InspectorRGB rgb = inspectorSplit(picture().Point(m_cursorX, m_cursorY));
        const bool inside = m_module.Mask.contains(m_cursorX, m_cursorY);
        try {
            m_text1 = pixelInfoLine(m_cursorX, m_cursorY, rgb, m_module.Mask);
            check(inside, "a line only for a cursor inside Mask");
        } catch (const RuntimeError &error) {
            check(!inside && error.number() == RuntimeError::SubscriptOutOfRange,
                  "only a cursor outside Mask drops the line");
        }
    }

    void runPass(const PassEntry &pass) {
        const PackedMask before = m_module.Mask;
        const QImage pictureBefore = m_module.picture.image();
        const qint32 w = roundToInt32(picture().Width()), h = roundToInt32(picture().Height());
        const int cancelBefore = m_cancel;

        const PassRange range = pass.range;
        const qint32 lastColumn = roundToInt32(float(w) - range.columnMargin);

        m_lastColumn = 0;
        m_progress.clear();
        m_boxesRead.clear();
        m_reloadedInPass = m_closeAsked = false;
        const size_t errors = m_errors.size();
        check(m_session.runPass(pass), "a pass starts when none runs");
        check(!m_session.passRunning(), "the pass is over");
        // Every pass is a step of the history, unless a Reload started a new one.
        if (!m_reloadedInPass)
            passDone();
        // Reload's reports of a file gone aside, only a bad threshold text
        // stops a pass with an error.
        bool failed = false;
        for (size_t e = errors; e < m_errors.size(); ++e) {
            if (m_errors[e] == 53)
                continue;
            check(!failed && is(pass, "nb") && m_errors[e] == RuntimeError::TypeMismatch,
                  "only a bad threshold text stops a pass with an error");
            failed = true;
        }
        const PassOutcome outcome = failed ? PassOutcome{} : m_session.lastPassOutcome();
        checkShape();
        if (m_closeAsked && !failed) {
            check(m_closed && outcome.cancelled, "a close ends the pass, then the window");
            check(m_module.Mask == m_module.WorkMask, "a close waits for the copy-back");
        }

        if (m_reloadedInPass) {
            check(outcome.cancelled, "a Reload ends the running pass at its poll");
            check(m_module.Mask == m_module.WorkMask && m_module.Mask.countBlack() == 0,
                  "after a Reload during a pass both masks are all white");
            check(m_module.picture.image() == m_loaded, "the reloaded picture stays as loaded");
            check(m_cancel == 0, "the pass unticks the box");
            return;
        }

        // The last column finished before the pass ended or failed (only NB,
        // whose first column is 1, can fail: 0 then means none).
        const qint32 done =
            failed ? m_lastColumn : range.firstColumn + qint32(outcome.columnsDone) - 1;
        if (!failed) {
            check(m_module.Mask == m_module.WorkMask, "Mask equals WorkMask after the pass");
            if (outcome.cancelled) {
                check(m_cancel == 0, "a cancelled pass unticks the box");
            } else {
                check(done == std::max(lastColumn, range.firstColumn - 1),
                      "a pass not cancelled runs to its last column");
                check(outcome.columnsDone > 0 ? m_cancel != 1 : m_cancel == cancelBefore,
                      "a pass goes on only while the box is not ticked");
            }
            if (outcome.columnsDone > 0)
                check(m_progress == progressText(done), "progress shows the last column");
        }

        // The expected mask and picture, cell by cell.
        PackedMask expected = before;
        Sheet expectedPicture(pictureBefore);
        if (is(pass, "nb")) {
            // vbox, bbox, rbox for each column with rows; a failed pass stops
            // inside its last set.
            const size_t sets = size_t(h >= 2 ? done : 0);
            const size_t reads = m_boxesRead.size();
            check(failed ? reads > 3 * sets && reads <= 3 * sets + 3 : reads == 3 * sets,
                  "the boxes are read once for every column with rows");
            for (size_t r = 0; r < reads; ++r) {
                constexpr ThresholdBox order[] = {ThresholdBox::vbox, ThresholdBox::bbox,
                                                  ThresholdBox::rbox};
                check(m_boxesRead[r].first == order[r % 3], "NB reads vbox, bbox, rbox");
            }
            for (qint32 x = 1; x <= done && h >= 2; ++x) {
                const size_t set = 3 * size_t(x - 1);
                Thresholds t;
                t.green = textToDouble(m_boxesRead[set].second, {});
                t.blue = textToDouble(m_boxesRead[set + 1].second, {});
                t.red = textToDouble(m_boxesRead[set + 2].second, {});
                for (qint32 y = 2; y <= h; ++y) {
                    // Beyond the drawing surface Point gives -1, split as 0, 0, 0.
                    const RGBTriple rgb = ColorToRGB(expectedPicture.Point(x, y));
                    const bool white = rgb.G > t.green || rgb.B > t.blue || rgb.R > t.red;
                    expected.set(x, y, !white);
                    expectedPicture.PSet(x, y, white ? kWhite : kBlack);
                }
            }
        } else if (is(pass, "bouchtrou")) {
            for (qint32 x = 3; x <= done; ++x) {
                for (qint32 y = 3; y <= h - 4; ++y) {
                    const bool hole = holeFilled(before, x, y), gap = gapAt(before, x, y);
                    check(!(hole && gap), "the templates exclude one another");
                    if (hole || gap) {
                        expected.set(x, y, true);
                        expectedPicture.PSet(x, y, kBlack);
                    }
                    if (gap) {
                        expected.set(x, y + 1, true);
                        expectedPicture.PSet(x, y + 1, kBlack);
                    }
                }
            }
        } else if (is(pass, "taches")) {
            if (w > 0 && h > 0) {
                const Specks specks(before, w, h, m_speck.toInt());
                for (qint32 x = 0; x <= done; ++x) {
                    for (qint32 y = 0; y < h; ++y) {
                        if (specks.flipped(x, y)) {
                            expected.set(x, y, !before.at(x, y));
                            expectedPicture.PSet(x, y, before.at(x, y) ? kWhite : kBlack);
                        }
                    }
                }
            }
        } else {
            for (qint32 x = 3; x <= done; ++x) {
                for (qint32 y = 3; y <= h - 2; ++y) {
                    if (spurErased(before, x, y)) {
                        expected.set(x, y, false);
                        expectedPicture.PSet(x, y, kWhite);
                    }
                }
            }
        }
        check(m_module.picture.image() == expectedPicture.image(),
              "the picture changes exactly where the pass's rule says");
        if (failed) {
            check(m_module.Mask == before, "a failed pass leaves Mask as it was");
            return;
        }
        check(m_module.Mask == expected, "Mask changes exactly where the pass's rule says");
        for (qint32 x = 0; x <= before.upperX(); ++x) {
            for (qint32 y = 0; y <= before.upperY(); ++y) {
                if (is(pass, "bouchtrou"))
                    check(!before.at(x, y) || m_module.Mask.at(x, y), "bouchtrou only fills");
                if (is(pass, "affine"))
                    check(before.at(x, y) || !m_module.Mask.at(x, y), "affine only erases");
            }
        }
    }

    FuzzedDataProvider &m_in;
    Module1 m_module;
    Session m_session{m_module, *this};
    QImage m_file;    // what the file on disk holds
    QImage m_loaded;  // the picture as the last Reload left it
    int m_cancel = 0;
    QString m_boxes[3] = {QStringLiteral("180"), QStringLiteral("180"), QStringLiteral("180")};
    QString m_speck;  // taches' box
    // The boxes the running pass read, in order, with the text each held.
    std::vector<std::pair<ThresholdBox, QString>> m_boxesRead;
    std::vector<int> m_errors;  // numbers of the errors reported
    qint32 m_cursorX = 1;
    qint32 m_cursorY = 1;
    QString m_text1 = QStringLiteral("Text1");
    qint32 m_lastColumn = 0;
    QString m_progress;
    bool m_reloadedInPass = false;
    bool m_closeAsked = false;
    bool m_closed = false;
    std::vector<State> m_states;
    size_t m_current = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    Player player(in);
    player.run();
    return 0;
}

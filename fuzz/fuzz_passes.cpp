// Fuzz target: a small picture driven through a random sequence of what the
// user can do: NB, bouchtrou and affine, Reload (also of a file replaced by a
// picture of another size, or gone), Cancel ticks, threshold box edits good
// and bad, pointer moves and arrow keys, both between passes and inside a
// pass's event pump. The window is played without widgets: the picture is an
// ImageSurface, the end-of-column step is scripted from the input and follows
// the window's rules (a Reload that replaced the picture, like Cancel, ends
// the running pass at its poll).
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
// and after every action the masks are the picture's size plus one.

#include "image/columnpass.h"
#include "image/imagesurface.h"
#include "image/module1.h"
#include "inspector/inspector.h"
#include "ops/holefill.h"
#include "ops/spurremoval.h"
#include "ops/threshold.h"
#include "platform/convert.h"

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

enum class Kind { Threshold, HoleFill, SpurRemoval };

// Rules written out cell by cell, on `mask` (the mask before the pass).
bool black(const MaskArray &mask, qint64 x, qint64 y) {
    return mask.at(x, y);
}

bool holeFilled(const MaskArray &m, qint64 x, qint64 y) {
    if (black(m, x, y))
        return false;
    const bool single =
        black(m, x, y - 1) && black(m, x, y + 1) && black(m, x - 1, y) && black(m, x + 1, y);
    bool stroke = true;  // the column above and below, and the cells beside
    for (int dy : {-2, -1, 1, 2})
        stroke = stroke && black(m, x, y + dy);
    bool left = stroke, right = stroke;
    for (int dy : {-1, 0, 1}) {
        left = left && black(m, x + 1, y + dy) && !black(m, x - 1, y + dy);
        right = right && black(m, x - 1, y + dy) && !black(m, x + 1, y + dy);
    }
    return single || left || right;
}

bool gapAt(const MaskArray &m, qint64 x, qint64 y) {
    if (black(m, x, y) || black(m, x, y + 1))
        return false;
    for (int dx : {-1, 0, 1})
        for (int dy : {-2, -1, 2, 3})
            if (!black(m, x + dx, y + dy))
                return false;
    return true;
}

bool spurErased(const MaskArray &m, qint64 x, qint64 y) {
    if (!black(m, x, y))
        return false;
    const bool vertical =
        black(m, x, y - 2) || black(m, x, y - 1) || black(m, x, y + 1) || black(m, x, y + 2);
    const bool horizontal =
        black(m, x - 2, y) || black(m, x - 1, y) || black(m, x + 1, y) || black(m, x + 2, y);
    return !vertical || !horizontal;
}

QImage randomPicture(FuzzedDataProvider &in) {
    const int w = in.ConsumeIntegralInRange(0, kMaxSide);
    const int h = in.ConsumeIntegralInRange(0, kMaxSide);
    QImage image(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            // Mostly ink and paper, some colours right at the thresholds.
            switch (in.ConsumeIntegralInRange(0, 7)) {
                case 0:
                case 1:
                case 2:
                    image.setPixel(x, y, qRgb(0, 0, 0));
                    break;
                case 3:
                    image.setPixel(x, y, qRgb(180, 180, 180));
                    break;
                case 4:
                    image.setPixel(x, y, qRgb(181, 0, 0));
                    break;
                case 5:
                    image.setPixel(x, y, in.ConsumeIntegral<quint32>());
                    break;
                default:
                    image.setPixel(x, y, qRgb(255, 255, 255));
                    break;
            }
        }
    }
    return image;
}

class Session;

// The end-of-column step: the pump performs a few of the user's actions.
class Step : public ColumnStep {
public:
    explicit Step(Session &session) : m_session(session) {}
    void refreshPicture(qint32 column) override { lastColumn = column; }
    void setProgress(const QString &text) override { progress = text; }
    void refreshWindow() override {}
    void doEvents() override;
    int cancelValue() override;
    void setCancelValue(int value) override;

    qint32 lastColumn = 0;
    QString progress;

private:
    Session &m_session;
};

// NB's source: the three boxes, read in the window's order, once per column;
// each set read is kept for the check.
class Boxes : public ThresholdSource {
public:
    explicit Boxes(const QString (&texts)[3]) : m_texts(texts) {}
    Thresholds thresholds() override {
        Thresholds t;
        t.green = textToDouble(m_texts[1], QStringLiteral("vbox"));
        t.blue = textToDouble(m_texts[2], QStringLiteral("bbox"));
        t.red = textToDouble(m_texts[0], QStringLiteral("rbox"));
        read.push_back(t);
        return t;
    }
    std::vector<Thresholds> read;

private:
    const QString (&m_texts)[3];
};

class Session {
public:
    explicit Session(FuzzedDataProvider &in) : m_in(in) {
        m_file = randomPicture(in);
        m_picture.setImage(m_file);
        allocate(m_module.Mask);
        allocate(m_module.WorkMask);
        m_loaded = m_picture.image();
    }

    void run() {
        while (m_in.remaining_bytes() > 0)
            act(false);
    }

    // One action of the user; inside a pass's pump no pass is started (the
    // window refuses it).
    void act(bool inPump) {
        switch (m_in.ConsumeIntegralInRange(0, inPump ? 7 : 8)) {
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
                const float w = m_picture.Width(), h = m_picture.Height();
                m_cursorX = cursorFromPointer(m_in.ConsumeFloatingPointInRange(-3.0f, w + 3));
                m_cursorY = cursorFromPointer(m_in.ConsumeFloatingPointInRange(-3.0f, h + 3));
                showPixelInfo();
                break;
            }
            case 4:
                stepCursor(m_in.ConsumeIntegralInRange(36, 41), m_cursorX, m_cursorY, m_picture);
                showPixelInfo();
                break;
            case 5:
                m_file = randomPicture(m_in);  // the file replaced on disk
                break;
            case 6:
                m_file = QImage();  // the file gone
                break;
            case 7:
                break;  // a pass button during a pass: refused
            default:
                runPass(Kind(m_in.ConsumeIntegralInRange(0, 2)));
                break;
        }
        checkShape();
    }

    // Inside the pump of the running pass.
    void pump() {
        const int actions = m_in.ConsumeIntegralInRange(0, 3);
        for (int i = 0; i < actions && m_in.remaining_bytes() > 0; ++i)
            act(true);
        if (m_pictureReplaced)
            m_cancel = 1;
    }
    int &cancel() { return m_cancel; }

private:
    void allocate(MaskArray &mask) {
        mask.allocate(roundToInt32(m_picture.Width()), roundToInt32(m_picture.Height()));
    }

    void checkShape() {
        const qint32 w = roundToInt32(m_picture.Width()), h = roundToInt32(m_picture.Height());
        check(m_module.Mask.upperX() == w && m_module.Mask.upperY() == h,
              "Mask is the picture's size plus one");
        check(m_module.WorkMask.upperX() == w && m_module.WorkMask.upperY() == h,
              "WorkMask is the picture's size plus one");
    }

    // Reload: ticks Cancel; a file that is gone changes nothing else.
    void reload() {
        m_cancel = 1;
        if (m_file.isNull())
            return;
        MaskArray mask, workMask;
        mask.allocate(m_file.width(), m_file.height());
        workMask.allocate(m_file.width(), m_file.height());
        m_picture.setImage(m_file);
        m_module.Mask = std::move(mask);
        m_module.WorkMask = std::move(workMask);
        m_loaded = m_picture.image();
        if (m_passRunning)
            m_pictureReplaced = true;
    }

    void showPixelInfo() {
        const InspectorRGB rgb = inspectorSplit(m_picture.Point(m_cursorX, m_cursorY));
        const bool inside = m_module.Mask.contains(m_cursorX, m_cursorY);
        try {
            m_text1 = pixelInfoLine(m_cursorX, m_cursorY, rgb, m_module.Mask);
            check(inside, "a line only for a cursor inside Mask");
        } catch (const RuntimeError &error) {
            check(!inside && error.number() == RuntimeError::SubscriptOutOfRange,
                  "only a cursor outside Mask drops the line");
        }
    }

    void runPass(Kind kind) {
        const MaskArray before = m_module.Mask;
        const QImage pictureBefore = m_picture.image();
        const qint32 w = roundToInt32(m_picture.Width()), h = roundToInt32(m_picture.Height());
        const int cancelBefore = m_cancel;

        Boxes boxes(m_boxes);
        ThresholdPass threshold(boxes);
        HoleFillPass holeFill;
        SpurRemovalPass spurRemoval;
        ColumnOperation *operation = &spurRemoval;
        if (kind == Kind::Threshold)
            operation = &threshold;
        else if (kind == Kind::HoleFill)
            operation = &holeFill;
        const PassRange range = operation->range();
        const qint32 lastColumn = roundToInt32(float(w) - range.columnMargin);

        Step step(*this);
        m_passRunning = true;
        m_pictureReplaced = false;
        PassOutcome outcome;
        bool failed = false;
        try {
            outcome = runColumnPass(m_module, m_picture, step, *operation);
        } catch (const RuntimeError &error) {
            check(kind == Kind::Threshold && error.number() == RuntimeError::TypeMismatch,
                  "only a bad threshold text stops a pass with an error");
            failed = true;
        }
        m_passRunning = false;
        const bool replaced = m_pictureReplaced;
        m_pictureReplaced = false;
        checkShape();

        if (replaced) {
            check(!failed && outcome.cancelled, "a Reload ends the running pass at its poll");
            check(m_module.Mask == m_module.WorkMask && m_module.Mask.countBlack() == 0,
                  "after a Reload during a pass both masks are all white");
            check(m_picture.image() == m_loaded, "the reloaded picture stays as loaded");
            check(m_cancel == 0, "the pass unticks the box");
            return;
        }

        // The last column finished before the pass ended or failed (only NB,
        // whose first column is 1, can fail: 0 then means none).
        const qint32 done =
            failed ? step.lastColumn : range.firstColumn + qint32(outcome.columnsDone) - 1;
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
                check(step.progress == progressText(done), "progress shows the last column");
        }

        // The expected mask and picture, cell by cell.
        MaskArray expected = before;
        ImageSurface expectedPicture(pictureBefore);
        if (kind == Kind::Threshold) {
            check(boxes.read.size() == size_t(h >= 2 ? done : 0),
                  "the boxes are read once for every column with rows");
            for (qint32 x = 1; x <= done && h >= 2; ++x) {
                const Thresholds t = boxes.read[size_t(x - 1)];
                for (qint32 y = 2; y <= h; ++y) {
                    // Beyond the drawing surface Point gives -1, split as 0, 0, 0.
                    const RGBTriple rgb = ColorToRGB(expectedPicture.Point(x, y));
                    const bool white = rgb.G > t.green || rgb.B > t.blue || rgb.R > t.red;
                    expected.set(x, y, !white);
                    expectedPicture.PSet(x, y, white ? kWhite : kBlack);
                }
            }
        } else if (kind == Kind::HoleFill) {
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
        check(m_picture.image() == expectedPicture.image(),
              "the picture changes exactly where the pass's rule says");
        if (failed) {
            check(m_module.Mask == before, "a failed pass leaves Mask as it was");
            return;
        }
        check(m_module.Mask == expected, "Mask changes exactly where the pass's rule says");
        for (qint32 x = 0; x <= before.upperX(); ++x) {
            for (qint32 y = 0; y <= before.upperY(); ++y) {
                if (kind == Kind::HoleFill)
                    check(!before.at(x, y) || m_module.Mask.at(x, y), "bouchtrou only fills");
                if (kind == Kind::SpurRemoval)
                    check(before.at(x, y) || !m_module.Mask.at(x, y), "affine only erases");
            }
        }
    }

    FuzzedDataProvider &m_in;
    Module1 m_module;
    ImageSurface m_picture;
    QImage m_file;    // what Reload reads; null when the file is gone
    QImage m_loaded;  // the picture as the last Reload left it
    int m_cancel = 0;
    QString m_boxes[3] = {QStringLiteral("180"), QStringLiteral("180"), QStringLiteral("180")};
    qint32 m_cursorX = 1;
    qint32 m_cursorY = 1;
    QString m_text1 = QStringLiteral("Text1");
    bool m_passRunning = false;
    bool m_pictureReplaced = false;
};

void Step::doEvents() {
    m_session.pump();
}
int Step::cancelValue() {
    return m_session.cancel();
}
void Step::setCancelValue(int value) {
    m_session.cancel() = value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    Session session(in);
    session.run();
    return 0;
}

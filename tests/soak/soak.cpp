// A long session through the real window (run headless): random actions on a
// 2000 x 1500 picture, passes interrupted by clicks, keys and typing in their
// event pump, the invariants checked after every action, and the process's
// peak memory taken every 100 actions. The peak must stop growing once every
// kind of action has been seen; a session that breaks an invariant or keeps
// growing exits with status 1.
//
//   inkmask_soak [ACTIONS [SEED]]     (defaults: 1000 actions, seed 1)

#include "shell/form1.h"
#include "shell/messagebox.h"
#include "shell/picturebox.h"
#include "support.h"

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QFile>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QTemporaryDir>

#include <cstdio>

using namespace ink;
using namespace ink::test;

namespace {

constexpr int kWidth = 2000, kHeight = 1500, kCycle = 100;

// A field of the process's /proc status, in kB.
long statusKb(const char *field) {
    QFile status(QStringLiteral("/proc/self/status"));
    const QByteArray prefix = QByteArray(field) + ':';
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : status.readAll().split('\n'))
            if (line.startsWith(prefix))
                return line.mid(prefix.size()).trimmed().split(' ').first().toLong();
    }
    return -1;
}

// Ink strokes and dots on paper, with grey specks near the thresholds.
QImage scan(Rng &rng) {
    QImage image(kWidth, kHeight, QImage::Format_RGB32);
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            const bool ink = (x / 3) % 40 == 0 || (y / 2) % 50 == 0 || rng.below(50) == 0;
            const int v = ink ? 20 : rng.below(20) == 0 ? 175 + rng.below(10) : 250;
            image.setPixel(x, y, qRgb(v, v, v));
        }
    }
    return image;
}

class Soak {
public:
    Soak(Form1 &form, Module1 &module, quint64 seed) : m_form(form), m_module(module), m_rng(seed) {
        MessageBoxes::setHandler([this](QWidget *, const QString &text) {
            ++m_reports;
            if (!text.contains(QLatin1String("'13'")))
                fail("a report other than a bad threshold");
        });
        // Now and then an action inside a pass's event pump.
        QObject::connect(control<QLineEdit>(m_form, "Progress"), &QLineEdit::textChanged, &m_form,
                         [this] {
                             if (m_rng.below(700) == 0)
                                 QMetaObject::invokeMethod(
                                     &m_form, [this] { minorAction(true); }, Qt::QueuedConnection);
                         });
    }

    int actions = 0, passes = 0, failures = 0;

    void act() {
        if (m_rng.below(3) == 0)
            pass(m_buttons[m_rng.below(3)]);
        else
            minorAction(false);
        if (m_form.passRunning())
            fail("a pass still runs");
        const qint32 w = qint32(control<PictureBox>(m_form, "Picture1")->Width()),
                     h = qint32(control<PictureBox>(m_form, "Picture1")->Height());
        if (m_module.Mask.upperX() != w || m_module.Mask.upperY() != h ||
            m_module.WorkMask.upperX() != w || m_module.WorkMask.upperY() != h)
            fail("the masks are not the picture's size plus one");
    }

private:
    void fail(const char *what) {
        std::fprintf(stderr, "action %d: %s\n", actions, what);
        ++failures;
    }

    // Anything but a pass; inside a pump, a pass button too (refused). Reload
    // and Cancel are rare: a tick left on the box cuts the next pass short.
    void minorAction(bool inPump) {
        ++actions;
        const int roll = m_rng.below(inPump ? 12 : 11);
        if (roll == 0) {
            control<QPushButton>(m_form, "Command1")->click();
            m_reloaded = true;
        } else if (roll == 1) {
            control<QCheckBox>(m_form, "ckbCancel")->click();
        } else if (roll < 4) {
            static const char *const texts[] = {"180", "0", "255", "180.5", "abc", ""};
            QLineEdit *boxes[] = {control<QLineEdit>(m_form, "rbox"),
                                  control<QLineEdit>(m_form, "vbox"),
                                  control<QLineEdit>(m_form, "bbox")};
            boxes[m_rng.below(3)]->setText(QLatin1String(texts[m_rng.below(6)]));
        } else if (roll < 7) {
            const QPointF pos(m_rng.below(kWidth + 40) - 20, m_rng.below(kHeight + 40) - 20);
            QMouseEvent move(QEvent::MouseMove, pos,
                             control<PictureBox>(m_form, "Picture1")->mapToGlobal(pos),
                             Qt::NoButton, Qt::NoButton, Qt::NoModifier);
            QCoreApplication::sendEvent(control<PictureBox>(m_form, "Picture1"), &move);
        } else if (roll < 10) {
            // Arrows move the pixel cursor; Ctrl with + and - zooms.
            static const Qt::Key keys[] = {Qt::Key_Left, Qt::Key_Up,   Qt::Key_Right,
                                           Qt::Key_Down, Qt::Key_Plus, Qt::Key_Minus};
            const int k = m_rng.below(6);
            QKeyEvent press(QEvent::KeyPress, keys[k],
                            k < 4 ? Qt::NoModifier : Qt::ControlModifier);
            QCoreApplication::sendEvent(control<PictureBox>(m_form, "Picture1"), &press);
        } else {
            m_buttons[m_rng.below(3)]->click();  // refused during a pass
        }
    }

    // A finished or cancelled pass leaves Mask equal to WorkMask; one that
    // failed on a bad threshold leaves Mask as it was, unless Reload came.
    void pass(QPushButton *button) {
        ++actions;
        ++passes;
        const PackedMask before = m_module.Mask;
        const int reportsBefore = m_reports;
        m_reloaded = false;
        button->click();
        QCoreApplication::processEvents();  // actions posted in the last pump
        if (m_reports > reportsBefore) {
            if (!m_reloaded && !(m_module.Mask == before))
                fail("a pass that failed changed Mask");
        } else if (!(m_module.Mask == m_module.WorkMask)) {
            fail("Mask differs from WorkMask after a pass");
        }
    }

    Form1 &m_form;
    Module1 &m_module;
    Rng m_rng;
    int m_reports = 0;
    QPushButton *const m_buttons[3] = {control<QPushButton>(m_form, "rgb2nb"),
                                       control<QPushButton>(m_form, "bouchtrou"),
                                       control<QPushButton>(m_form, "affine")};
    bool m_reloaded = false;
};

}  // namespace

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    const int total = argc > 1 ? std::atoi(argv[1]) : 1000;
    const quint64 seed = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1;

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("scan.png"));
    Rng rng(seed);
    Module1 module;
    Form1 form(module);
    if (!dir.isValid() || !scan(rng).save(path) || !form.Form_Load(path)) {
        std::fprintf(stderr, "cannot write or load the picture\n");
        return 2;
    }
    Soak soak(form, module, seed);

    std::printf("%d random actions on a %d x %d picture, seed %llu\n", total, kWidth, kHeight,
                static_cast<unsigned long long>(seed));
    QElapsedTimer clock;
    clock.start();
    std::vector<long> peaks;
    for (int nextReport = kCycle; soak.actions < total;) {
        soak.act();
        if (soak.actions >= nextReport || soak.actions >= total) {
            peaks.push_back(statusKb("VmHWM"));
            std::printf("%5d actions, %.1f s, peak memory %.1f MB\n", soak.actions,
                        clock.elapsed() / 1000.0, peaks.back() / 1024.0);
            std::fflush(stdout);
            nextReport += kCycle;
        }
    }
    const double seconds = clock.elapsed() / 1000.0;
    std::printf("%d actions (%d passes) in %.1f s: %.1f actions/s, peak memory %.1f MB\n",
                soak.actions, soak.passes, seconds, soak.actions / seconds, peaks.back() / 1024.0);

    int status = soak.failures > 0 ? 1 : 0;
    if (soak.failures > 0)
        std::printf("%d invariant failures\n", soak.failures);
#ifndef INKMASK_SANITIZE
    // Every kind of action has come by the third cycle; from there on the
    // peak may not keep growing (a few MB of allocator slack allowed).
    // AddressSanitizer holds freed memory back, so its builds are not checked.
    if (peaks.size() >= 4 && peaks.back() - peaks[2] > 16 * 1024) {
        std::printf("peak memory grew by %.1f MB after the third cycle\n",
                    (peaks.back() - peaks[2]) / 1024.0);
        status = 1;
    }
#endif
    MessageBoxes::setHandler({});
    return status;
}

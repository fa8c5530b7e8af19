#pragma once

// Helpers shared by the tests: inkmask-batch run as a user runs it, files
// written and read whole, a plain picture,
// seeded random numbers and a picture and a mask of them, a scripted
// end-of-column step and a window's controls found by name.

#include "core/image/columnpass.h"
#include "core/image/packedmask.h"
#include "core/image/sheet.h"
#include "core/ops/paper.h"

#include <QColor>
#include <QFile>
#ifdef QT_WIDGETS_LIB
#include <QLineEdit>
#include <QWidget>
#endif
#include <QImage>
#include <QObject>
#ifdef INKMASK_BATCH
#include <QProcess>
#endif
#include <QString>
#include <QStringList>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <vector>

namespace ink::test {

// The child of `window` with this object name and type; a missing one ends
// the test program at once, naming it.
template <class T>
T *control(QObject &window, const char *name) {
    T *found = window.findChild<T *>(QLatin1String(name));
    if (!found) {
        std::fprintf(stderr, "no control named %s\n", name);
        std::abort();
    }
    return found;
}

#ifdef INKMASK_BATCH
// How a run of inkmask-batch ended.
struct BatchRun {
    int exitCode = -1;  // -1: it crashed or did not end
    QString err;
};

// Runs inkmask-batch (or `program`) in a locale with a decimal comma, where
// the thresholds must be read as anywhere else, `input` on its standard
// input; `inChild` runs in the child before it starts the program.
inline BatchRun runBatch(const QStringList &arguments, const std::function<void()> &inChild = {},
                         const QByteArray &input = {},
                         const QString &program = QStringLiteral(INKMASK_BATCH)) {
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("de_DE.UTF-8"));
    process.setProcessEnvironment(env);
    if (inChild)
        process.setChildProcessModifier(inChild);
    process.start(program, arguments);
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit)
        return {};
    return {process.exitCode(), QString::fromLocal8Bit(process.readAllStandardError())};
}
#endif

// Writes `bytes` to `path` (opened with `mode` too); false when not all of them went.
inline bool writeFile(const QString &path, const QByteArray &bytes, QIODevice::OpenMode mode = {}) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | mode) && file.write(bytes) == bytes.size();
}

// The file's bytes; empty when it cannot be read.
inline QByteArray contents(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A picture of w x h pixels in one colour value.
inline QImage solidImage(int w, int h, ColorValue color) {
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(QColor(color & 0xFF, (color >> 8) & 0xFF, (color >> 16) & 0xFF));
    return image;
}

// A seeded pseudo-random generator that gives the same numbers everywhere.
class Rng {
public:
    explicit Rng(quint64 seed) : m_state(seed) {}
    quint64 next() {
        // splitmix64
        quint64 z = (m_state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    int below(int n) { return int(next() % quint64(n)); }

private:
    quint64 m_state;
};

// Masks of cells 0..upperX x 0..upperY, each black with `blackPercent` % odds.
inline PackedMask randomMask(int upperX, int upperY, Rng &rng, int blackPercent) {
    PackedMask mask;
    mask.allocate(upperX, upperY);
    for (int x = 0; x <= upperX; ++x)
        for (int y = 0; y <= upperY; ++y)
            mask.set(x, y, rng.below(100) < blackPercent);
    return mask;
}

// The cells that differ between two masks: how many `after` fills, and erases.
inline std::pair<qint64, qint64> changedCells(const PackedMask &before, const PackedMask &after) {
    qint64 filled = 0, erased = 0;
    for (qint32 x = 0; x <= after.upperX(); ++x)
        for (qint32 y = 0; y <= after.upperY(); ++y)
            if (before.at(x, y) != after.at(x, y))
                ++(after.at(x, y) ? filled : erased);
    return {filled, erased};
}

// A paper estimate for a w x h picture with every cell drawn at random.
inline std::shared_ptr<const PaperEstimate> randomPaper(int w, int h, Rng &rng) {
    auto paper = std::make_shared<PaperEstimate>();
    paper->width = w;
    paper->height = h;
    paper->cellsX = (w + PaperEstimate::kCell - 1) / PaperEstimate::kCell;
    paper->cellsY = (h + PaperEstimate::kCell - 1) / PaperEstimate::kCell;
    paper->brightest = {255, 200 + rng.below(56), 120 + rng.below(136)};
    paper->cells.resize(size_t(paper->cellsX) * size_t(paper->cellsY) * 3);
    for (size_t i = 0; i < paper->cells.size(); ++i)
        paper->cells[i] = quint8(1 + rng.below(paper->brightest[i % 3]));
    return paper;
}

// A w x h picture of seeded random colours, every channel from 0 to 255.
inline QImage noiseImage(int w, int h, quint64 seed) {
    QImage image(w, h, QImage::Format_RGB32);
    Rng rng(seed);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            image.setPixel(x, y, qRgb(rng.below(256), rng.below(256), rng.below(256)));
    return image;
}

// An end-of-column step that records what the frame asks of it and can run
// scripted actions in its event pump after a given column.
class ScriptedStep : public ColumnStep {
public:
    void refreshPicture(qint32 column) override {
        m_current = column;
        columns.push_back(column);
        calls << QStringLiteral("refreshPicture");
    }
    void setProgress(const QString &text) override {
        progress = text;
        calls << QStringLiteral("setProgress ") + text;
    }
    void refreshWindow() override { calls << QStringLiteral("refreshWindow"); }
    void doEvents() override {
        calls << QStringLiteral("doEvents");
        if (auto it = m_actions.find(m_current); it != m_actions.end())
            it->second();
    }
    int cancelValue() override { return cancel; }
    void setCancelValue(int value) override { cancel = value; }

    // Runs `action` inside the event pump of column `column`.
    void at(qint32 column, std::function<void()> action) { m_actions[column] = std::move(action); }

    int cancel = 0;
    QString progress;
    std::vector<qint32> columns;  // columns whose step ran, in order
    QStringList calls;            // every call, in order

private:
    std::map<qint32, std::function<void()>> m_actions;
    qint32 m_current = 0;
};

#ifdef QT_WIDGETS_LIB
// Runs `action` inside the event pump that follows column `column` of the
// window's next pass: it is posted when the progress box shows that column,
// so the pump delivers it the way it would deliver a click. Actions for the
// same column run in the order they were given.
inline void atColumn(QWidget &form, qint32 column, std::function<void()> action) {
    const QString text = progressText(column);
    auto connection = std::make_shared<QMetaObject::Connection>();
    *connection =
        QObject::connect(control<QLineEdit>(form, "Progress"), &QLineEdit::textChanged, &form,
                         [&form, text, action, connection](const QString &shown) {
                             if (shown != text)
                                 return;
                             QObject::disconnect(*connection);
                             QMetaObject::invokeMethod(&form, action, Qt::QueuedConnection);
                         });
}
#endif

}  // namespace ink::test

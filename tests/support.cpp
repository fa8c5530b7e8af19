#include "support.h"

#include "ops/holefill.h"
#include "ops/kernels.h"
#include "ops/spurremoval.h"
#include "ops/threshold.h"

namespace ink::test {

std::unique_ptr<ColumnOperation> perPixelPass(const QString &name, ThresholdSource &source) {
    if (name == QLatin1String("nb"))
        return std::make_unique<ThresholdPass>(source);
    if (name == QLatin1String("bouchtrou"))
        return std::make_unique<HoleFillPass>();
    return std::make_unique<SpurRemovalPass>();
}

std::unique_ptr<ColumnOperation> kernelPass(const QString &name, KernelModel &model,
                                            const Thresholds &thresholds) {
    if (name == QLatin1String("nb"))
        return std::make_unique<ThresholdKernel>(model, thresholds);
    if (name == QLatin1String("bouchtrou"))
        return std::make_unique<HoleFillKernel>(model);
    return std::make_unique<SpurRemovalKernel>(model);
}

MaskArray maskFromRows(const QStringList &rows) {
    MaskArray mask;
    const qint32 width = rows.isEmpty() ? 0 : qint32(rows.first().size());
    mask.allocate(width - 1, qint32(rows.size()) - 1);
    for (qint32 y = 0; y < rows.size(); ++y) {
        for (qint32 x = 0; x < width; ++x) {
            const QChar c = rows[y].at(x);
            mask.set(x, y, c == QLatin1Char('X') || c == QLatin1Char('#'));
        }
    }
    return mask;
}

QStringList rowsFromMask(const MaskArray &mask) {
    QStringList rows;
    for (qint32 y = 0; y <= mask.upperY(); ++y) {
        QString row;
        for (qint32 x = 0; x <= mask.upperX(); ++x)
            row += mask.at(x, y) ? QLatin1Char('X') : QLatin1Char('.');
        rows << row;
    }
    return rows;
}

MaskArray filledMask(qint32 w, qint32 h, bool black) {
    MaskArray mask;
    mask.allocate(w, h);
    if (black) {
        for (qint32 x = 0; x <= w; ++x)
            for (qint32 y = 0; y <= h; ++y)
                mask.set(x, y, true);
    }
    return mask;
}

QImage solidImage(int w, int h, ColorValue color) {
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(QColor(color & 0xFF, (color >> 8) & 0xFF, (color >> 16) & 0xFF));
    return image;
}

QImage imageFromMask(const MaskArray &mask) {
    ImageSurface surface(solidImage(mask.upperX(), mask.upperY(), kWhite));
    for (qint32 x = 0; x < mask.upperX(); ++x)
        for (qint32 y = 0; y < mask.upperY(); ++y)
            surface.PSet(x, y, mask.at(x, y) ? kBlack : kWhite);
    return surface.image();
}

quint64 Rng::next() {
    // splitmix64
    quint64 z = (m_state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

void ScriptedStep::refreshPicture(qint32 column) {
    m_current = column;
    columns.push_back(column);
    calls.push_back(QStringLiteral("refreshPicture"));
}

void ScriptedStep::setProgress(const QString &text) {
    progress = text;
    calls.push_back(QStringLiteral("setProgress ") + text);
}

void ScriptedStep::doEvents() {
    calls.push_back(QStringLiteral("doEvents"));
    auto it = m_actions.find(m_current);
    if (it != m_actions.end())
        it->second();
}

}  // namespace ink::test

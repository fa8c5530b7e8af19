#include "core/image/columnpass.h"

#include "core/runtime/convert.h"

#include <QElapsedTimer>

namespace ink {

QString progressText(qint32 column) {
    return QStringLiteral("i=") + integerText(column);
}

PassOutcome runColumns(const PixelSurface &picture, ColumnStep &step, const PassRange &range,
                       const std::function<void(qint32, qint32, qint32)> &processColumn) {
    PassOutcome outcome;
    const bool quiet = step.quiet();
    const qint32 lastColumn = roundToInt32(picture.Width() - range.columnMargin);
    for (qint64 x = range.firstColumn; x <= lastColumn; ++x) {
        const qint32 column = qint32(x);
        const qint32 lastRow = roundToInt32(picture.Height() - range.rowMargin);
        processColumn(column, range.firstRow, lastRow);
        ++outcome.columnsDone;

        if (quiet) {
            step.refreshPicture(column);
            step.refreshWindow();
            step.doEvents();
        } else {
            QElapsedTimer stepTime;
            stepTime.start();
            step.refreshPicture(column);
            step.setProgress(progressText(column));
            step.refreshWindow();
            step.doEvents();
            outcome.stepNanoseconds += stepTime.nsecsElapsed();
        }
        if (step.cancelValue() == 1) {
            step.setCancelValue(0);
            outcome.cancelled = true;
            break;
        }
    }
    return outcome;
}

PassOutcome runColumnPass(Module1 &module, PixelSurface &picture, ColumnStep &step,
                          ColumnOperation &operation) {
    operation.passStart(module);
    const PassOutcome outcome =
        runColumns(picture, step, operation.range(), [&](qint32 x, qint32 y0, qint32 y1) {
            operation.processColumn(module, picture, x, y0, y1);
        });
    operation.copyBack(module);
    return outcome;
}

}  // namespace ink

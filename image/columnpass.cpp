#include "image/columnpass.h"

#include "platform/convert.h"

#include <QElapsedTimer>

namespace ink {

QString progressText(qint32 column) {
    return QStringLiteral("i=") + integerText(column);
}

PassOutcome runColumnPass(Module1 &module, PixelSurface &picture, ColumnStep &step,
                          ColumnOperation &operation) {
    const PassRange range = operation.range();
    PassOutcome outcome;

    operation.passStart(module);

    const qint32 lastColumn = roundToInt32(picture.Width() - range.columnMargin);
    for (qint64 x = range.firstColumn; x <= lastColumn; ++x) {
        const qint32 column = qint32(x);
        const qint32 lastRow = roundToInt32(picture.Height() - range.rowMargin);
        operation.processColumn(module, picture, column, range.firstRow, lastRow);
        ++outcome.columnsDone;

        QElapsedTimer stepTime;
        stepTime.start();
        step.refreshPicture(column);
        step.setProgress(progressText(column));
        step.refreshWindow();
        step.doEvents();
        outcome.stepNanoseconds += stepTime.nsecsElapsed();
        if (step.cancelValue() == 1) {
            step.setCancelValue(0);
            outcome.cancelled = true;
            break;
        }
    }

    operation.copyBack(module);
    return outcome;
}

}  // namespace ink

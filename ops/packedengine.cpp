#include "ops/packedengine.h"

namespace ink {

void KernelModel::load(QImage image) {
    picture.setImage(std::move(image));
    Mask.allocate(picture.width(), picture.height());
    WorkMask.allocate(picture.width(), picture.height());
}

PassOutcome runColumnPass(KernelModel &model, ColumnStep &step, PackedOperation &operation) {
    operation.passStart(model);
    const PassOutcome outcome = runColumns(
        model.picture, step, operation.range(),
        [&](qint32 x, qint32 y0, qint32 y1) { operation.processColumn(model, x, y0, y1); });
    operation.copyBack(model);
    return outcome;
}

}  // namespace ink

#include "core/ops/packedengine.h"

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

void PerPixelOnPacked::passStart(KernelModel &model) {
    m_module.Mask = model.Mask.toMaskArray();
    m_module.WorkMask = model.WorkMask.toMaskArray();
    m_operation->passStart(m_module);
}

void PerPixelOnPacked::processColumn(KernelModel &model, qint32 x, qint32 y0, qint32 y1) {
    m_operation->processColumn(m_module, model.picture, x, y0, y1);
}

void PerPixelOnPacked::copyBack(KernelModel &model) {
    m_operation->copyBack(m_module);
    model.Mask.assign(m_module.Mask);
    model.WorkMask.assign(m_module.WorkMask);
}

}  // namespace ink

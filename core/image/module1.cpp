#include "core/image/module1.h"

namespace ink {

void Module1::load(QImage image) {
    // Allocated before anything is replaced, so running out of memory leaves
    // the old picture and masks as they were.
    PackedMask mask, workMask;
    mask.allocate(image.width(), image.height());
    workMask.allocate(image.width(), image.height());
    picture.setImage(std::move(image));
    Mask = std::move(mask);
    WorkMask = std::move(workMask);
}

}  // namespace ink

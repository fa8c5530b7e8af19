#pragma once

#include "core/image/maskarray.h"

#include <QString>

namespace ink {

// The program-wide state: the image's path and the two masks. One object is
// owned by the application; tests and the batch tool may hold several.
//
// `Mask` is the current black-and-white picture: passes take their decisions
// from it and only allocation and a pass's copy-back write it. `WorkMask` is a
// pass's output buffer. Code reaches both through this object at every access
// and never keeps a pointer into them across the event pump, because Reload
// may reallocate them there.
struct Module1 {
    QString ImagePath;
    MaskArray Mask;
    MaskArray WorkMask;
};

}  // namespace ink

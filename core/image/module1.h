#pragma once

#include "core/image/packedmask.h"
#include "core/image/sheet.h"

#include <QString>

#include <vector>

namespace ink {

// The program-wide state: the image's path, the picture and the two masks.
// One object is owned by the application; tests and the batch tool may hold
// several.
//
// `Mask` is the current black-and-white picture: passes take their decisions
// from it and only allocation and a pass's copy-back write it. `WorkMask` is a
// pass's output buffer. Code reaches both through this object at every access
// and never keeps a pointer into them across the event pump, because Reload
// may reallocate them there.
struct Module1 {
    QString ImagePath;
    PackedMask Mask;
    PackedMask WorkMask;
    // The scan and what the passes painted over it.
    Sheet picture;

    // The whole-column kernels' working buffers, kept here so that they are
    // allocated for the first pass and reused by the next passes and pictures.
    struct Scratch {
        std::vector<quint64> band;      // the threshold kernel's band of columns
        std::vector<quint8> skip;       // per tile of the band: all painted, not read
        std::vector<quint64> rowWords;  // 64 rows of the band, one bit per pixel
        std::vector<quint64> column;    // one column's words
        std::vector<quint64> more;      // another column's words
        std::vector<quint32> limits;    // the local rule's limits for a row
    } scratch;
    // The same for each further thread that takes columns of a pass.
    std::vector<Scratch> bandScratch;

    // Takes a new picture and allocates both masks (0..W, 0..H), all False,
    // where W x H is the picture's size, as start-up does in the window.
    void load(QImage image);
};

// The model the whole-column kernels work on is the program's own.
using KernelModel = Module1;

}  // namespace ink

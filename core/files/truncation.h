#pragma once

#include <QByteArrayView>

namespace ink {

// True when `bytes`, a whole picture file, stop before the picture does: a
// download cut short, a copy to a full disk. Several readers take such a file
// without complaint and leave the missing part as it was in the buffer they
// were given (grey, black, or another picture's pixels), so the file is
// judged on its own bytes before any reader sees it.
//
// Recognised by their content, whatever the file's name:
// - JPEG: every segment, every scan's entropy-coded data (stuffed FF00 bytes
//   and restart markers included, any number of scans) and the end-of-image
//   marker must be there.
// - BMP: the pixel rows the header promises must fit in the file; for RLE
//   compression the stream must reach its end-of-bitmap code.
// - GIF: the first image's data, a chain of sub-blocks, must be complete.
// - PNG, MNG: every chunk up to and including the closing IEND or MEND.
// - PNM in binary form (P4, P5, P6): all the rows the header promises.
// - WebP: the whole RIFF container its header declares.
// - JPEG 2000: every box of a JP2 file; in the codestream, every segment of
//   the main header and every tile-part its header promises, up to the
//   end-of-codestream marker.
// - XBM: as many byte values as the declared width and height need.
// Any other file, or one too damaged to tell, is left to its reader.
bool endsEarly(QByteArrayView bytes);

}  // namespace ink

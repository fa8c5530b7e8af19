#pragma once

#include <QImage>
#include <QString>

namespace ink {

// Largest decoded picture the reader will accept, in megabytes. Well above
// a 600 dpi A1 scan (about 14000 x 20000 pixels, 1.1 GB as 32-bit RGB).
// The fuzzing build lowers it, so that each of its runs stays small.
#ifndef INKMASK_PICTURE_LIMIT_MB
#define INKMASK_PICTURE_LIMIT_MB 4096
#endif
constexpr int kPictureAllocationLimitMB = INKMASK_PICTURE_LIMIT_MB;

// Reads an image file. An empty path gives an empty picture and no error.
// A missing file raises error 53; a folder or anything else that is not a
// regular file (a named pipe, a device) error 75; a file that may not be read
// error 70; an empty file, a file that ends early, and any other refusal of
// the reader, error 481, the latter with the reader's own description (and
// libpng's or libtiff's reason when it gave one); error
// 7 for a picture larger than the limit, named with its size, and when memory
// runs out. The picture comes out opaque, laid on white paper (see
// layOnWhitePaper). Every error's detail names the file and says in words why
// it cannot be opened: "Cannot open "brev.png": it is not a picture inkmask
// can read (its bytes are those of a text file)."
QImage LoadPicture(const QString &path);

// The same into `picture`, whose pixel buffer is reused when the new picture
// has its size and format. `path` must not be empty. On an error, `picture`
// holds nothing of use.
void LoadPicture(const QString &path, QImage *picture);

// Lays a picture that has transparent or translucent pixels on white paper,
// as it would look printed: each colour value becomes c * a + 255 * (1 - a),
// with a the pixel's opacity, rounded. The result is 32-bit RGB. Opaque
// pixels keep their values exactly, and a picture with no alpha channel is
// left as it is. Raises error 7 when memory runs out.
void layOnWhitePaper(QImage &image);

}  // namespace ink

#pragma once

#include <QString>

namespace ink {

// The image libraries under Qt's readers write their own messages to
// standard error: libpng its errors ("libpng error: ..."), since Qt's PNG
// reader sets no handler for them, and libtiff its errors and warnings
// ("TIFFReadDirectory: Warning, Unknown field with tag ..."). After this call
// (made once, from any thread; LoadPicture makes it) none does: warnings are
// dropped, as a reader gets past them, and each thread keeps the first error
// since its last takeLibraryError(), to name why a picture was refused.
// (OpenJPEG's messages go to handlers of each decode, see jp2codec.h.)
void catchLibraryMessages();

// The first libpng or libtiff error this thread met since the last call,
// or an empty text; forgets it.
QString takeLibraryError();

}  // namespace ink

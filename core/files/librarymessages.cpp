#include "core/files/librarymessages.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include <dlfcn.h>
#include <png.h>
#include <tiffio.h>

namespace ink {

namespace {

thread_local char t_error[512];

void keep(const char *text) {
    if (t_error[0] == '\0')
        std::snprintf(t_error, sizeof t_error, "%s", text);
}

void tiffError(const char *module, const char *format, va_list arguments) {
    char text[400];
    std::vsnprintf(text, sizeof text, format, arguments);
    // Qt's reader opens every file under the name "foo", which libtiff puts
    // in front of many messages.
    const char *said = std::strncmp(text, "foo: ", 5) == 0 ? text + 5 : text;
    char line[sizeof t_error];
    if (module && *module)
        std::snprintf(line, sizeof line, "%s: %s", module, said);
    else
        std::snprintf(line, sizeof line, "%s", said);
    keep(line);
}

// What libpng's own handler does, but kept instead of printed.
[[noreturn]] void pngError(png_structp png, png_const_charp message) {
    keep(message);
    png_longjmp(png, 1);
}

}  // namespace

void catchLibraryMessages() {
    static const bool caught = [] {
        TIFFSetWarningHandler(nullptr);
        TIFFSetErrorHandler(tiffError);
        return true;
    }();
    Q_UNUSED(caught);
}

QString takeLibraryError() {
    const QString error = QString::fromLocal8Bit(t_error);
    t_error[0] = '\0';
    return error;
}

}  // namespace ink

// Qt's PNG reader gives libpng no error handler, so libpng's default one
// prints each error. This definition takes the place of libpng's for every
// caller in the program (the dynamic linker finds the program's first) and
// passes ours where none is given.
extern "C" void png_set_error_fn(png_structrp png, png_voidp errorPointer, png_error_ptr errorFn,
                                 png_error_ptr warningFn) {
    using Setter = void (*)(png_structrp, png_voidp, png_error_ptr, png_error_ptr);
    static const auto libpngs = reinterpret_cast<Setter>(dlsym(RTLD_NEXT, "png_set_error_fn"));
    if (libpngs)
        libpngs(png, errorPointer, errorFn ? errorFn : ink::pngError, warningFn);
}

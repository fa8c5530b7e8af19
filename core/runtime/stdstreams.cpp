#include "core/runtime/stdstreams.h"

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

namespace ink {

void reopenClosedStandardStreams() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // The lower descriptors are open by now, so open() returns `fd`
        // itself; dup2() only in case it does not.
        const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != fd) {
            dup2(opened, fd);
            close(opened);
        }
    }
}

}  // namespace ink

#include "console/pseudo_terminal.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

namespace velmora::console {

PseudoTerminal::PseudoTerminal() {
    const int fd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128];
    if (fd < 0 || grantpt(fd) != 0 || unlockpt(fd) != 0 || ptsname_r(fd, name, sizeof name) != 0) {
        if (fd >= 0) close(fd);
        return;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    device_ = fd;
    path_ = name;
}

PseudoTerminal::~PseudoTerminal() {
    Close();
}

void PseudoTerminal::Close() {
    if (device_ >= 0) close(device_);
    device_ = -1;
}

}  // namespace velmora::console

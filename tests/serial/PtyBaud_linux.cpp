// Kept apart from <termios.h>: the kernel's termios2 definitions clash with glibc's.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include "PtyBaud.h"

namespace kvr::test {

bool SlaveOutputBaud(int masterFd, uint32_t& baud) {
    struct termios2 tio {};
    if (ioctl(masterFd, TCGETS2, &tio) != 0) {
        return false;
    }
    baud = tio.c_ospeed;
    return true;
}

}  // namespace kvr::test

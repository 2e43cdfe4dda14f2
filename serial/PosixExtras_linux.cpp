// Kept apart from <termios.h>: the kernel's termios2 definitions clash with glibc's.
#include <asm/termbits.h>
#include <linux/serial.h>
#include <sys/ioctl.h>

#include <cerrno>

#include "PosixExtras.h"

namespace kvr::posix {

int SetCustomBaud(int fd, uint32_t baud) {
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0) {
        return errno;
    }
    tio.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    tio.c_ispeed = baud;
    tio.c_ospeed = baud;
    if (ioctl(fd, TCSETS2, &tio) != 0) {
        return errno;
    }
    return 0;
}

bool ReadOutputBaud(int fd, uint32_t& baud) {
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0) {
        return false;
    }
    baud = tio.c_ospeed;
    return true;
}

LowLatencyState RequestLowLatency(int fd) {
    LowLatencyState state;
    struct serial_struct info {};
    if (ioctl(fd, TIOCGSERIAL, &info) != 0) {
        return state;  // not a UART-style driver (pseudo-terminal, some USB classes)
    }
    state.savedFlags = info.flags;
    if ((info.flags & ASYNC_LOW_LATENCY) != 0) {
        state.granted = true;
        return state;
    }
    info.flags |= ASYNC_LOW_LATENCY;
    if (ioctl(fd, TIOCSSERIAL, &info) != 0) {
        return state;
    }
    state.changed = true;
    struct serial_struct check {};
    state.granted = ioctl(fd, TIOCGSERIAL, &check) == 0 && (check.flags & ASYNC_LOW_LATENCY) != 0;
    return state;
}

void RestoreLowLatency(int fd, const LowLatencyState& state) {
    if (!state.changed) {
        return;
    }
    struct serial_struct info {};
    if (ioctl(fd, TIOCGSERIAL, &info) != 0) {
        return;
    }
    info.flags = state.savedFlags;
    ioctl(fd, TIOCSSERIAL, &info);
}

}  // namespace kvr::posix

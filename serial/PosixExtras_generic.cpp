#include <termios.h>

#include <cerrno>

#include "PosixExtras.h"
#include "PosixSpeeds.h"

namespace kvr::posix {

int SetCustomBaud(int, uint32_t) {
    return EINVAL;
}

bool ReadOutputBaud(int fd, uint32_t& baud) {
    struct termios tio {};
    if (tcgetattr(fd, &tio) != 0) {
        return false;
    }
    return BaudOfSpeed(cfgetospeed(&tio), baud);
}

LowLatencyState RequestLowLatency(int) {
    return {};
}

void RestoreLowLatency(int, const LowLatencyState&) {}

}  // namespace kvr::posix

// What POSIX termios cannot say portably: baud rates without a B constant, reading the rate
// back as a number, and the driver's low-latency mode. PosixExtras_linux.cpp uses the Linux
// interfaces (termios2, TIOCGSERIAL); PosixExtras_generic.cpp is the plain-POSIX fallback.
#pragma once

#include <cstdint>

namespace kvr::posix {

// Sets input and output speed to `baud` on an fd whose other settings are already applied.
// Returns 0 or an errno value (EINVAL where the system offers no way).
int SetCustomBaud(int fd, uint32_t baud);

// The output speed now in force, in bits per second. False when it cannot be told.
bool ReadOutputBaud(int fd, uint32_t& baud);

struct LowLatencyState {
    bool granted = false;  // the driver runs in low-latency mode now
    bool changed = false;  // we switched it on and owe the driver the old flags
    int savedFlags = 0;
};

// Asks the driver for low-latency mode where it offers one; a refusal is not an error.
LowLatencyState RequestLowLatency(int fd);
void RestoreLowLatency(int fd, const LowLatencyState& state);

}  // namespace kvr::posix

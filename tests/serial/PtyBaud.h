// The slave's output speed as a number, read through the master (Linux termios2).
#pragma once

#include <cstdint>

namespace kvr::test {

bool SlaveOutputBaud(int masterFd, uint32_t& baud);

}  // namespace kvr::test

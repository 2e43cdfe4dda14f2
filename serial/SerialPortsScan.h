// The POSIX port scan with its inputs open, so that tests can hand it a made-up sysfs tree.
#pragma once

#include <string>
#include <vector>

#include "SerialPorts.h"

namespace kvr {

// sysClassTty: a directory laid out like /sys/class/tty; devDir: where the nodes live
// ("/dev"); extraPorts: the ':'-separated list, or nullptr.
std::vector<SerialPortEntry> ScanSerialPorts(const std::string& sysClassTty,
                                             const std::string& devDir, const char* extraPorts);

// Natural order: runs of digits compare by value ("ttyS2" < "ttyS10"), the rest by byte.
bool NaturalLess(const std::string& a, const std::string& b);

}  // namespace kvr

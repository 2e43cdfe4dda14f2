// The POSIX port scan with its inputs open, so that tests can hand it a made-up sysfs tree.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "SerialPorts.h"

namespace kvr {

// sysClassTty: a directory laid out like /sys/class/tty; devDir: where the nodes live
// ("/dev"); extraPorts: the ':'-separated list, or nullptr.
std::vector<SerialPortEntry> ScanSerialPorts(const std::string& sysClassTty,
                                             const std::string& devDir, const char* extraPorts);

// ScanSerialPorts' list with each port described; byIdDir: where the stable links live
// ("/dev/serial/by-id"). Devices are looked for no higher than the directory two levels above
// sysClassTty (the sysfs root).
std::vector<SerialPortDetails> DescribeScannedPorts(const std::string& sysClassTty,
                                                    const std::string& devDir,
                                                    const std::string& byIdDir,
                                                    const char* extraPorts);

// The most bytes an attribute file may hold (newline included) to be read; a longer one reads as
// empty rather than cut short, since a cut serial number would name another adapter. Above any
// USB string the kernel writes (126 UTF-16 units, up to 3 bytes each in UTF-8).
inline constexpr size_t kMaxAttributeBytes = 512;

// Natural order: runs of digits compare by value ("ttyS2" < "ttyS10"), the rest by byte.
bool NaturalLess(const std::string& a, const std::string& b);

}  // namespace kvr

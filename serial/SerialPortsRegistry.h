// The registry walk behind EnumerateSerialPorts, open to any key so that tests can build one.
#pragma once

#include <windows.h>

#include <vector>

#include "SerialPorts.h"

namespace kvr {

// The values of root\subKey as port entries; see EnumerateSerialPorts for the rules.
std::vector<SerialPortEntry> ReadSerialPortKey(HKEY root, const wchar_t* subKey);

inline constexpr const wchar_t* kSerialCommKey = L"hardware\\devicemap\\serialcomm";

}  // namespace kvr

// The registry walk behind EnumerateSerialPorts, open to any key and to stand-in registry
// calls so that tests can build a key and make the walk fail midway.
#pragma once

#include <windows.h>

#include <functional>
#include <vector>

#include "SerialPorts.h"

namespace kvr {

// The registry calls that open the key and list its values.
struct RegistryCalls {
    std::function<LONG(HKEY, const wchar_t*, DWORD, REGSAM, HKEY*)> openKey = RegOpenKeyExW;
    std::function<LONG(HKEY, DWORD, wchar_t*, DWORD*, DWORD*, DWORD*, BYTE*, DWORD*)> enumValue =
        RegEnumValueW;
};

// The values of root\subKey as port entries; see EnumerateSerialPorts for the rules.
std::vector<SerialPortEntry> ReadSerialPortKey(HKEY root, const wchar_t* subKey,
                                               const RegistryCalls& calls = {});

inline constexpr const wchar_t* kSerialCommKey = L"hardware\\devicemap\\serialcomm";

}  // namespace kvr

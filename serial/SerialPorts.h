// The serial ports the system offers, in the one order that the window and the command line
// both show.
#pragma once

#include <string>
#include <vector>

namespace kvr {

struct SerialPortEntry {
    std::string deviceName;  // the system's internal name (Windows: registry value name)
    std::string portName;    // what TSerialComm accepts as PortName ("COM3", "/dev/ttyUSB0")
};

// Windows: the values of HKLM "hardware\devicemap\serialcomm" in the registry's enumeration
// order (value name -> deviceName, text data -> portName, cut at the first NUL; a value whose
// size cannot be queried gives an empty portName). A missing key gives an empty list. Raises
// kvr::Exception "Invalid data type for '%s'" for a value that is not text and "Failed to get
// data for '%s'" when its data cannot be read; kvr::EInOutError "Serial port list open error,
// code %d" when the key exists but cannot be opened and "Serial port list enumeration error,
// code %d" when listing its values fails, rather than a shorter list.
//
// POSIX: the serial devices in /sys/class/tty that have a driver and a node in /dev, less the
// serial-core slots whose UART type is unknown (the serial8250 driver's empty ttyS1..ttyS31),
// in natural order of the /dev path
// (ttyS2 before ttyS10), followed by the paths listed in the environment variable
// KVR_UPLINKER_PORTS (':'-separated; empty items and paths already listed are skipped).
// Never raises; an unreadable /sys gives only the environment's paths.
//
// No fixed fallback names are ever added.
std::vector<SerialPortEntry> EnumerateSerialPorts();

// Name of the environment variable read on POSIX.
inline constexpr const char* kExtraPortsEnvVar = "KVR_UPLINKER_PORTS";

}  // namespace kvr

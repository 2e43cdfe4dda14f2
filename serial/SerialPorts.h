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

// What the system knows about one port, enough to find the same adapter again after a reboot
// renumbers the nodes. Each text is empty where the system says nothing.
struct SerialPortDetails {
    std::string portName;    // as EnumerateSerialPorts gives it
    std::string deviceName;  // likewise
    std::string byIdPath;    // the /dev/serial/by-id link that leads to the port's node
    // From the USB device the port belongs to; the ids as four hex digits ("0403").
    std::string usbVendorId;
    std::string usbProductId;
    std::string usbSerialNumber;
    std::string manufacturer;
    std::string product;
    std::string driver;  // the kernel driver bound to the port's device ("ftdi_sio")
};

// The ports of EnumerateSerialPorts in its order, each described.
//
// Linux: the USB attributes come from the nearest directory above the port's sysfs device that
// holds idVendor and idProduct; the driver is the name the device's driver link points at.
// The environment's paths get their names and a by-id link only.
// Windows: the names only.
//
// Raises only what EnumerateSerialPorts raises.
std::vector<SerialPortDetails> DescribeSerialPorts();

// Name of the environment variable read on POSIX.
inline constexpr const char* kExtraPortsEnvVar = "KVR_UPLINKER_PORTS";

}  // namespace kvr

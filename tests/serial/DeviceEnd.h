// The far end of a serial line, played by the test: a pseudo-terminal master on POSIX, the
// peer of a null-modem pair on Windows (Wine: two pseudo-terminals joined by a relay).
#pragma once

#include <memory>
#include <string>

namespace kvr::test {

// Generous bound for bytes that are on their way (a loaded machine schedules ptys late).
inline constexpr int kArrivalMs = 5000;
// How long the device listens before it concludes that nothing more comes.
inline constexpr int kQuietMs = 300;

class DeviceEnd {
public:
    virtual ~DeviceEnd() = default;
    // What TSerialComm is given as PortName to reach this device.
    virtual std::string PortName() const = 0;
    virtual void Send(const std::string& bytes) = 0;
    // Collects bytes until `max` have come or none came for `quietMs`.
    virtual std::string Receive(size_t max, int quietMs) = 0;
    // Drops whatever is in flight towards the device.
    virtual void Drain() = 0;
};

// Device number `index` (0 or 1); nullptr with `why` set when this machine has none.
std::unique_ptr<DeviceEnd> MakeDeviceEnd(int index, std::string& why);

// Platform facts the shared tests need.
bool RunningUnderWine();
// The system error code for an operation on a closed port.
long long ClosedPortErrorCode();
// A port name that names no device, and the error code opening it gives.
std::string MissingPortName();
long long MissingPortErrorCode();

}  // namespace kvr::test

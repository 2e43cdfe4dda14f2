// The simulated device on its in-process line and the virtual clock, as whole-run tests drive
// it: set the device's options, then Device() builds it (at its first use) and wires it to the
// channel, which keeps what crossed across runs.
#pragma once

#include <optional>
#include <utility>

#include "DeviceChannel.h"
#include "DeviceModel.h"
#include "TestChannels.h"
#include "VirtualClock.h"

namespace kvr::test {

using devsim::DeviceChannel;
using devsim::DeviceModel;
using devsim::DeviceOptions;
using devsim::DeviceReport;
using devsim::FaultKind;
using devsim::ReceivedFrame;
using devsim::ReplyFault;
using devsim::VirtualClock;

// A frame as the device puts it on the line (built independently of the engine).
inline Bytes LinkFrame(uint8_t command, const Bytes& payload, uint16_t addressLength = 0,
                       uint8_t frameType = devsim::kFrameTypePlain) {
    return DeviceModel::BuildFrame(addressLength, command, payload, frameType);
}

inline Bytes StatusBytes(uint8_t code, uint16_t page = 0, uint16_t length = 0) {
    return DeviceModel::StatusRecord(code, page, length);
}

// The fault on one reply: the occurrence-th (1-based) reply to `command`.
inline ReplyFault FaultOn(uint8_t command, uint32_t occurrence, FaultKind kind,
                          uint32_t value = 0) {
    return {kind, command, occurrence, 1, value};
}

// A cmdWriteSerialNumber payload as the device took it: hardware byte, then the serial bytes.
inline Bytes SerialPayload(const devsim::SerialNumberRecord& record) {
    Bytes payload{record.hardware};
    payload.insert(payload.end(), record.serial.begin(), record.serial.end());
    return payload;
}

class SimulatedLine {
public:
    // sharedClock: a clock that other lines of the test move too (default: the line's own).
    explicit SimulatedLine(PageMap expected = {}, devsim::ChannelOptions channelOptions = {},
                           VirtualClock* sharedClock = nullptr)
        : clock(sharedClock != nullptr ? *sharedClock : ownClock_),
          pages(std::move(expected)),
          channel(clock, nullptr, channelOptions) {}
    SimulatedLine(const SimulatedLine&) = delete;
    SimulatedLine& operator=(const SimulatedLine&) = delete;

    DeviceModel& Device() {
        if (!device_) {
            device_.emplace(options, pages, clock);
            channel.AttachDevice(&*device_);
        }
        return *device_;
    }
    const DeviceReport& Report() { return Device().Report(); }

private:
    VirtualClock ownClock_;

public:
    VirtualClock& clock;
    DeviceOptions options;  // read when the device is built
    PageMap pages;          // what the device expects
    DeviceChannel channel;
    ForwardingChannelFactory factory{channel};

private:
    std::optional<DeviceModel> device_;
};

}  // namespace kvr::test

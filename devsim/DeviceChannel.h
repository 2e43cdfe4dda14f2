// A byte channel wired straight to a DeviceModel, for whole update runs inside a test process.
//
// Writes reach the device at once and its reply waits in the channel's receive queue. Reads
// follow the serial time-out rules on the virtual clock: a read that finds all its bytes
// returns them at once; a read that finds none advances the clock by the whole total time-out
// (multiplier × count + constant) and returns 0; one that finds some returns them after the
// interval time-out or the total, whichever is shorter. Every byte that crosses the line also
// costs its wire time at the baud rate of the setup string given to Connect, so a host that
// polls in a loop until a deadline still sees the clock move.
//
// Used from one thread at a time (the update thread of the run); the model and the clock must
// outlive every channel made from them.
#pragma once

#include "ByteChannel.h"
#include "DeviceModel.h"
#include "VirtualClock.h"
#include "WireTime.h"

#include <deque>
#include <memory>

namespace kvr::devsim {

struct ChannelOptions {
    bool failConnect = false;        // Connect throws EFOpenError, as for a missing port
    bool failTimeoutChange = false;  // SetReadTotalConstant on an open port throws EInOutError
};

class DeviceChannel final : public IByteChannel {
public:
    DeviceChannel(DeviceModel& device, VirtualClock& clock, ChannelOptions options = {});

    void Connect(const LinkSettings& settings) override;
    bool Connected() const override { return connected_; }
    void Disconnect() override;
    uint32_t Read(uint8_t* buffer, uint32_t count) override;
    uint32_t Write(const uint8_t* buffer, uint32_t count) override;
    void PurgeReceive() override;
    void SetReadTotalConstant(int32_t milliseconds) override;

    const LinkSettings& Settings() const { return settings_; }

private:
    DeviceModel& device_;
    VirtualClock& clock_;
    ChannelOptions options_;
    WireTimeAccumulator wire_;
    LinkSettings settings_;
    bool connected_ = false;
    std::deque<uint8_t> received_;
};

// Makes DeviceChannels on one device, so that the device keeps its state from run to run.
class DeviceChannelFactory final : public IChannelFactory {
public:
    DeviceChannelFactory(DeviceModel& device, VirtualClock& clock, ChannelOptions options = {})
        : device_(device), clock_(clock), options_(options) {}
    std::unique_ptr<IByteChannel> Create() override {
        ++created_;
        return std::make_unique<DeviceChannel>(device_, clock_, options_);
    }
    int Created() const { return created_; }

private:
    DeviceModel& device_;
    VirtualClock& clock_;
    ChannelOptions options_;
    int created_ = 0;
};

}  // namespace kvr::devsim

// A byte channel that plays a serial port on the virtual clock, for whole update runs inside a
// test process: wired to a DeviceModel, or scripted byte by byte.
//
// It honours the port's read time-out rules: a Read of n bytes ends when n bytes have arrived,
// when n x multiplier + constant ms have passed (unused when both are 0), or, after the first
// byte, when the gap to the next byte exceeds the read interval (0 or all ones: unused); an
// interval of all ones with both totals 0 returns at once with what has arrived. Waiting
// advances the clock, so a silent device costs virtual time, not real time. Bytes arrive at
// virtual times: the device's reply pieces after their delays, or bytes queued by the test.
// With wire time on, every byte that crosses also costs its time at the baud rate of the setup
// string given to Connect, so a host that polls in a loop until a deadline still sees the
// clock move.
//
// Used from one thread at a time (the update thread of the run); the clock and the device must
// outlive the channel. The channel keeps what it saw across reconnections, so one channel can
// serve several runs (through a factory that forwards to it).
#pragma once

#include "ByteChannel.h"
#include "DeviceModel.h"
#include "VirtualClock.h"
#include "WireTime.h"

#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace kvr::devsim {

using Bytes = std::vector<uint8_t>;

struct ChannelOptions {
    bool wireTime = true;  // false: bytes cross in no time (for exact time-out figures)
};

class DeviceChannel final : public IByteChannel {
public:
    struct ReadCall {
        uint32_t asked = 0;
        uint32_t got = 0;
        uint64_t elapsedMs = 0;
    };

    // device: answers every write; without one, replies come from QueueReplyToNextWrite.
    explicit DeviceChannel(VirtualClock& clock, DeviceModel* device = nullptr,
                           ChannelOptions options = {});

    void Connect(const LinkSettings& settings) override;
    bool Connected() const override { return connected_; }
    void Disconnect() override;
    uint32_t Read(uint8_t* buffer, uint32_t count) override;
    uint32_t Write(const uint8_t* buffer, uint32_t count) override;
    void PurgeReceive() override;
    void SetReadTotalConstant(int32_t milliseconds) override;

    void AttachDevice(DeviceModel* device) { device_ = device; }

    // Scripting.
    // Bytes that arrive delayMs from now (after anything queued before them).
    void QueueBytes(const Bytes& bytes, uint64_t delayMs = 0);
    // Without a device, each Write takes the next of these replies (nullopt: silence).
    void QueueReplyToNextWrite(std::optional<Bytes> reply, uint64_t delayMs = 0);
    // Connect throws EFOpenError with this message, as for a missing port.
    void FailConnect(std::string message) { connectError_ = std::move(message); }
    // The callIndex-th SetReadTotalConstant (0-based, on a connected port) throws EInOutError
    // and leaves the channel disconnected, as the serial component does.
    void FailReadTotalConstantChange(int callIndex) { failReadConstantAt_ = callIndex; }

    // Observations.
    const std::vector<Bytes>& Writes() const { return writes_; }
    const std::vector<ReadCall>& Reads() const { return reads_; }
    const LinkSettings& Settings() const { return settings_; }
    // Every SetReadTotalConstant value, in order.
    const std::vector<int32_t>& ReadTotalConstantChanges() const { return readConstantChanges_; }
    int ConnectCount() const { return connectCount_; }
    int DisconnectCount() const { return disconnectCount_; }
    int PurgeCount() const { return purgeCount_; }
    size_t PendingBytes() const { return incoming_.size(); }
    VirtualClock& Clock() { return clock_; }

private:
    struct Incoming {
        uint64_t at = 0;
        uint8_t byte = 0;
    };

    VirtualClock& clock_;
    DeviceModel* device_;
    ChannelOptions options_;
    WireTimeAccumulator wire_{0};
    LinkSettings settings_;
    bool connected_ = false;
    std::deque<Incoming> incoming_;
    std::deque<std::pair<std::optional<Bytes>, uint64_t>> scriptedReplies_;
    std::optional<std::string> connectError_;
    int failReadConstantAt_ = -1;
    int readConstantCalls_ = 0;
    std::vector<Bytes> writes_;
    std::vector<ReadCall> reads_;
    std::vector<int32_t> readConstantChanges_;
    int connectCount_ = 0;
    int disconnectCount_ = 0;
    int purgeCount_ = 0;
};

}  // namespace kvr::devsim

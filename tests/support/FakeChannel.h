// Byte channels for tests.
//
// ScriptedChannel plays a serial port against a FakeClock and honours the port's read time-out
// rules: a Read of n bytes ends when n bytes have arrived, when n x multiplier + constant ms
// have passed (unused when both are 0), or, after the first byte, when the gap to the next
// byte exceeds the read interval (0 or all ones: unused); an interval of all ones with both
// totals 0 returns at once with what has arrived. Waiting advances the fake clock, so a silent
// device costs virtual time, not real time. Bytes arrive at virtual times: queued directly, or
// by a responder that sees every frame the host writes (the way a device answers).
//
// FailAfterChannel wraps any channel and lets only N bytes cross (writes and reads together);
// after that, writes stop short, reads deliver nothing (their time still passes in the inner
// channel) and purging throws, as a port whose cable was pulled.
//
// ForwardingChannelFactory hands the engine a channel that forwards to one the test owns, so
// the test can script and inspect it across the run.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ByteChannel.h"
#include "FakeClock.h"

namespace kvr::test {

using Bytes = std::vector<uint8_t>;

class ScriptedChannel : public IByteChannel {
public:
    // Called for every completed Write with the bytes written; may queue replies.
    using Responder = std::function<void(ScriptedChannel& channel, const Bytes& written)>;

    struct ReadCall {
        uint32_t asked = 0;
        uint32_t got = 0;
        uint64_t elapsedMs = 0;
    };

    explicit ScriptedChannel(FakeClock& clock);

    void Connect(const LinkSettings& settings) override;
    bool Connected() const override { return connected_; }
    void Disconnect() override;
    uint32_t Read(uint8_t* buffer, uint32_t count) override;
    uint32_t Write(const uint8_t* buffer, uint32_t count) override;
    void PurgeReceive() override;
    void SetReadTotalConstant(int32_t milliseconds) override;

    // Scripting.
    // Bytes that arrive delayMs from now (after anything queued before them).
    void QueueBytes(const Bytes& bytes, uint64_t delayMs = 0);
    // Without a responder, each Write takes the next of these replies (nullopt: silence).
    void QueueReplyToNextWrite(std::optional<Bytes> reply, uint64_t delayMs = 0);
    void SetResponder(Responder responder) { responder_ = std::move(responder); }
    // Connect throws EFOpenError with this message.
    void FailConnect(std::string message) { connectError_ = std::move(message); }
    // The callIndex-th SetReadTotalConstant (0-based, on a connected port) throws EInOutError
    // and leaves the channel disconnected, as the serial component does.
    void FailReadTotalConstantChange(int callIndex) { failReadConstantAt_ = callIndex; }
    // Connected without a connection (pretend the port opened and is then simply dead).
    void ForceConnected(bool connected) { connected_ = connected; }

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
    FakeClock& Clock() { return clock_; }

private:
    struct Incoming {
        uint64_t at = 0;
        uint8_t byte = 0;
    };

    FakeClock& clock_;
    LinkSettings settings_;
    bool connected_ = false;
    std::deque<Incoming> incoming_;
    std::deque<std::pair<std::optional<Bytes>, uint64_t>> scriptedReplies_;
    Responder responder_;
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

class FailAfterChannel : public ForwardingChannel {
public:
    FailAfterChannel(IByteChannel& inner, uint64_t bytesBeforeFailure);

    uint32_t Read(uint8_t* buffer, uint32_t count) override;
    uint32_t Write(const uint8_t* buffer, uint32_t count) override;
    void PurgeReceive() override;

    bool Failed() const { return budget_ == 0; }

private:
    uint64_t budget_;
};

class ForwardingChannelFactory : public IChannelFactory {
public:
    explicit ForwardingChannelFactory(IByteChannel& target) : target_(target) {}
    std::unique_ptr<IByteChannel> Create() override;

    int Created() const { return created_; }
    // Create() throws std::runtime_error with this message from now on.
    void FailCreate(std::string message) { createError_ = std::move(message); }

private:
    IByteChannel& target_;
    int created_ = 0;
    std::optional<std::string> createError_;
};

}  // namespace kvr::test

#include "DeviceChannel.h"

#include "Exception.h"

#include <algorithm>
#include <limits>

namespace kvr::devsim {

namespace {

constexpr uint32_t kAllOnes = std::numeric_limits<uint32_t>::max();
constexpr uint64_t kNever = std::numeric_limits<uint64_t>::max();
constexpr uint32_t kZeroedBytes = 4;

// The baud rate at the head of a setup string such as "115200,n,8,1"; 0 when there is none.
uint32_t SetupBaud(const std::string& setup) {
    uint64_t baud = 0;
    for (char c : setup) {
        if (c < '0' || c > '9')
            break;
        baud = baud * 10 + static_cast<uint64_t>(c - '0');
        if (baud > UINT32_MAX)
            return 0;
    }
    return static_cast<uint32_t>(baud);
}

}  // namespace

DeviceChannel::DeviceChannel(VirtualClock& clock, DeviceModel* device, ChannelOptions options)
    : clock_(clock), device_(device), options_(options) {}

void DeviceChannel::Connect(const LinkSettings& settings) {
    settings_ = settings;
    ++connectCount_;
    wire_ = WireTimeAccumulator(options_.wireTime ? SetupBaud(settings.setupString) : 0);
    if (connectError_)
        throw EFOpenError(*connectError_);
    connected_ = true;
}

void DeviceChannel::Disconnect() {
    if (!connected_)
        return;
    connected_ = false;
    ++disconnectCount_;
    incoming_.clear();
}

uint32_t DeviceChannel::Read(uint8_t* buffer, uint32_t count) {
    std::fill_n(buffer, std::min(count, kZeroedBytes), uint8_t{0});
    const uint64_t start = clock_.Now();
    ReadCall call;
    call.asked = count;
    if (!connected_ || count == 0) {
        reads_.push_back(call);
        return 0;
    }
    const auto interval = static_cast<uint32_t>(settings_.readInterval);
    const auto multiplier = static_cast<uint32_t>(settings_.readTotalMultiplier);
    const auto constant = static_cast<uint32_t>(settings_.readTotalConstant);
    const bool returnAtOnce = interval == kAllOnes && multiplier == 0 && constant == 0;
    const bool totalUsed = multiplier != 0 || constant != 0;
    const uint32_t total = count * multiplier + constant;  // wraps like the port's arithmetic
    const uint64_t deadline = totalUsed ? start + total : kNever;
    const bool intervalUsed = interval != 0 && interval != kAllOnes;

    uint32_t got = 0;
    uint64_t lastByteAt = start;
    for (;;) {
        const uint64_t now = clock_.Now();
        while (got < count && !incoming_.empty() && incoming_.front().at <= now) {
            buffer[got++] = incoming_.front().byte;
            incoming_.pop_front();
            lastByteAt = now;
        }
        if (got == count || returnAtOnce)
            break;
        uint64_t limit = deadline;
        if (got > 0 && intervalUsed)
            limit = std::min(limit, lastByteAt + interval);
        const uint64_t next = incoming_.empty() ? kNever : incoming_.front().at;
        if (next > limit) {
            if (limit != kNever)
                clock_.Advance(limit - now);
            break;
        }
        if (next == kNever)
            break;  // nothing will ever come and nothing limits the wait
        clock_.Advance(next - now);
    }
    call.got = got;
    call.elapsedMs = clock_.Now() - start;
    reads_.push_back(call);
    return got;
}

uint32_t DeviceChannel::Write(const uint8_t* buffer, uint32_t count) {
    if (!connected_)
        return 0;
    Bytes written(buffer, buffer + count);
    writes_.push_back(written);
    // The request is on the line before the device can answer it.
    clock_.Advance(wire_.AddBytes(count));
    if (device_ != nullptr) {
        uint64_t delay = 0;
        for (const ReplyPiece& piece : device_->ReceiveTimed(buffer, count)) {
            delay += piece.delayMs + wire_.AddBytes(piece.bytes.size());
            QueueBytes(piece.bytes, delay);
        }
    } else if (!scriptedReplies_.empty()) {
        auto [reply, delay] = scriptedReplies_.front();
        scriptedReplies_.pop_front();
        if (reply)
            QueueBytes(*reply, delay);
    }
    return count;
}

void DeviceChannel::PurgeReceive() {
    if (!connected_)
        throw EInOutError("Serial port purge error, code 6");
    ++purgeCount_;
    // Only what has already arrived is dropped; bytes still on their way come later.
    const uint64_t now = clock_.Now();
    while (!incoming_.empty() && incoming_.front().at <= now)
        incoming_.pop_front();
}

void DeviceChannel::SetReadTotalConstant(int32_t milliseconds) {
    readConstantChanges_.push_back(milliseconds);
    settings_.readTotalConstant = milliseconds;
    if (!connected_)
        return;
    if (readConstantCalls_++ == failReadConstantAt_) {
        Disconnect();
        throw EInOutError("SerialComm set timeouts error, code 5");
    }
}

void DeviceChannel::QueueBytes(const Bytes& bytes, uint64_t delayMs) {
    uint64_t at = clock_.Now() + delayMs;
    if (!incoming_.empty())
        at = std::max(at, incoming_.back().at);
    for (uint8_t b : bytes)
        incoming_.push_back({at, b});
}

void DeviceChannel::QueueReplyToNextWrite(std::optional<Bytes> reply, uint64_t delayMs) {
    scriptedReplies_.emplace_back(std::move(reply), delayMs);
}

}  // namespace kvr::devsim

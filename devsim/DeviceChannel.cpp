#include "DeviceChannel.h"

#include "Exception.h"

#include <algorithm>
#include <cstring>

namespace kvr::devsim {

namespace {

// Codes placed in the messages, as the serial component reports them.
constexpr int kErrorNoSuchPort = 2;  // ENOENT
constexpr int kErrorBadHandle = 9;   // EBADF
constexpr int kErrorRefused = 5;     // EIO
constexpr size_t kReadZeroedBytes = 4;

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

DeviceChannel::DeviceChannel(DeviceModel& device, VirtualClock& clock, ChannelOptions options)
    : device_(device), clock_(clock), options_(options), wire_(0) {}

void DeviceChannel::Connect(const LinkSettings& settings) {
    if (connected_)
        return;
    settings_ = settings;
    wire_ = WireTimeAccumulator(SetupBaud(settings.setupString));
    if (options_.failConnect) {
        throw EFOpenError("SerialComm open port error, " + std::to_string(kErrorNoSuchPort));
    }
    connected_ = true;
}

void DeviceChannel::Disconnect() {
    connected_ = false;
    received_.clear();
}

uint32_t DeviceChannel::Write(const uint8_t* buffer, uint32_t count) {
    if (!connected_ || count == 0)
        return 0;
    clock_.Advance(wire_.AddBytes(count));
    const std::vector<uint8_t> reply = device_.Receive(buffer, count);
    received_.insert(received_.end(), reply.begin(), reply.end());
    return count;
}

uint32_t DeviceChannel::Read(uint8_t* buffer, uint32_t count) {
    std::memset(buffer, 0, kReadZeroedBytes);
    if (!connected_ || count == 0)
        return 0;
    const uint32_t available = static_cast<uint32_t>(std::min<size_t>(received_.size(), count));
    std::copy_n(received_.begin(), available, buffer);
    received_.erase(received_.begin(), received_.begin() + available);
    clock_.Advance(wire_.AddBytes(available));
    if (available == count)
        return count;

    // Same unsigned 32-bit arithmetic as the serial component.
    const uint32_t total = static_cast<uint32_t>(settings_.readTotalMultiplier) * count +
                           static_cast<uint32_t>(settings_.readTotalConstant);
    uint32_t waited = total;
    const auto interval = static_cast<uint32_t>(settings_.readInterval);
    if (available > 0 && interval != 0)
        waited = std::min(total, interval);
    clock_.Advance(waited);
    return available;
}

void DeviceChannel::PurgeReceive() {
    if (!connected_) {
        throw EInOutError("Serial port purge error, code " + std::to_string(kErrorBadHandle));
    }
    received_.clear();
}

void DeviceChannel::SetReadTotalConstant(int32_t milliseconds) {
    if (settings_.readTotalConstant == milliseconds)
        return;
    settings_.readTotalConstant = milliseconds;
    if (connected_ && options_.failTimeoutChange) {
        Disconnect();
        throw EInOutError("SerialComm set timeouts error, code " + std::to_string(kErrorRefused));
    }
}

}  // namespace kvr::devsim

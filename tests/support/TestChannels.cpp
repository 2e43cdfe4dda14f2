#include "TestChannels.h"

#include <algorithm>
#include <stdexcept>

#include "Exception.h"

namespace kvr::test {

FailAfterChannel::FailAfterChannel(IByteChannel& inner, uint64_t bytesBeforeFailure)
    : ForwardingChannel(inner), budget_(bytesBeforeFailure) {}

uint32_t FailAfterChannel::Read(uint8_t* buffer, uint32_t count) {
    const uint32_t got = Inner().Read(buffer, count);
    const auto delivered = static_cast<uint32_t>(std::min<uint64_t>(got, budget_));
    budget_ -= delivered;
    return delivered;
}

uint32_t FailAfterChannel::Write(const uint8_t* buffer, uint32_t count) {
    const auto allowed = static_cast<uint32_t>(std::min<uint64_t>(count, budget_));
    if (allowed == 0)
        return 0;
    budget_ -= allowed;
    // A partial frame still reaches the line, as it would on a failing port.
    return Inner().Write(buffer, allowed);
}

void FailAfterChannel::PurgeReceive() {
    if (budget_ == 0)
        throw EInOutError("Serial port purge error, code 5");
    Inner().PurgeReceive();
}

uint32_t CountingChannel::Read(uint8_t* buffer, uint32_t count) {
    const uint32_t got = Inner().Read(buffer, count);
    crossed_ += got;
    return got;
}

uint32_t CountingChannel::Write(const uint8_t* buffer, uint32_t count) {
    writes_.push_back({crossed_, Bytes(buffer, buffer + count)});
    const uint32_t put = Inner().Write(buffer, count);
    crossed_ += put;
    return put;
}

std::unique_ptr<IByteChannel> ForwardingChannelFactory::Create() {
    if (createError_)
        throw std::runtime_error(*createError_);
    ++created_;
    return std::make_unique<ForwardingChannel>(target_);
}

}  // namespace kvr::test

// Channels that wrap another for tests.
//
// FailAfterChannel lets only N bytes cross (writes and reads together); after that, writes stop
// short, reads deliver nothing (their time still passes in the inner channel) and purging
// throws, as a port whose cable was pulled.
//
// CountingChannel notes, for every write, the bytes that had crossed before it.
//
// ForwardingChannelFactory hands the engine a channel that forwards to one the test owns, so
// the test can script and inspect it across the run (and across several runs).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ByteChannel.h"

namespace kvr::test {

using Bytes = std::vector<uint8_t>;

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

class CountingChannel final : public ForwardingChannel {
public:
    struct WriteNote {
        uint64_t bytesBefore = 0;
        Bytes frame;
    };

    explicit CountingChannel(IByteChannel& inner) : ForwardingChannel(inner) {}
    uint32_t Read(uint8_t* buffer, uint32_t count) override;
    uint32_t Write(const uint8_t* buffer, uint32_t count) override;

    const std::vector<WriteNote>& Writes() const { return writes_; }
    uint64_t Crossed() const { return crossed_; }

private:
    std::vector<WriteNote> writes_;
    uint64_t crossed_ = 0;
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

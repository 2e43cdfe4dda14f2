// The production byte channel: a TSerialComm behind IByteChannel. One channel owns one port
// component for the length of a run.
#pragma once

#include <memory>

#include "ByteChannel.h"
#include "SerialComm.h"

namespace kvr {

class SerialChannel final : public IByteChannel {
public:
    // Sets the port name, setup string and the five time-outs, then connects. Throws what
    // TSerialComm::Connect throws, the open error as EPortOpenError (an EFOpenError with the
    // system's code and its words for it), the others (EInOutError) as they are; the port then
    // stays closed.
    void Connect(const LinkSettings& settings) override;
    bool Connected() const override { return port_.FGetConnected(); }
    void Disconnect() override { port_.Disconnect(); }
    uint32_t Read(uint8_t* buffer, uint32_t count) override { return port_.Read(buffer, count); }
    uint32_t Write(const uint8_t* buffer, uint32_t count) override {
        return port_.Write(buffer, count);
    }
    // Throws EInOutError when the port cannot purge (also when it is not open).
    void PurgeReceive() override;
    // Applied at once on an open port; a refusal disconnects it and throws EInOutError.
    void SetReadTotalConstant(int32_t milliseconds) override;

private:
    TSerialComm port_;
};

class SerialChannelFactory final : public IChannelFactory {
public:
    std::unique_ptr<IByteChannel> Create() override { return std::make_unique<SerialChannel>(); }
};

}  // namespace kvr

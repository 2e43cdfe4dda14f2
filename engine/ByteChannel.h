// The byte channel the link protocol and the update sequence talk to. In production a
// TSerialComm stands behind it (SerialChannel); tests put a scripted fake or the simulated
// device there.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

namespace kvr {

// Line settings and time-outs in milliseconds, with the serial component's meaning.
struct LinkSettings {
    std::string portName;
    std::string setupString;
    int32_t readInterval = -1;
    int32_t readTotalMultiplier = 0;
    int32_t readTotalConstant = 0;
    int32_t writeTotalMultiplier = 0;
    int32_t writeTotalConstant = 0;
};

class IByteChannel {
public:
    virtual ~IByteChannel() = default;

    // Opens and configures the port. Throws kvr::Exception (EFOpenError, EInOutError) on
    // failure; the channel then stays disconnected.
    virtual void Connect(const LinkSettings& settings) = 0;
    virtual bool Connected() const = 0;
    // Closes the port; never throws; nothing happens when not connected.
    virtual void Disconnect() = 0;

    // Reads at most count bytes into buffer, waiting no longer than the time-outs allow.
    // Zeroes buffer[0..3] first, so buffer must hold at least four bytes. A short count means
    // the time-out passed (or the port failed). Never throws.
    virtual uint32_t Read(uint8_t* buffer, uint32_t count) = 0;
    // Writes count bytes; returns how many went out. Never throws.
    virtual uint32_t Write(const uint8_t* buffer, uint32_t count) = 0;
    // Drops what has been received and not yet read. Throws EInOutError when the port
    // cannot do it (for instance it is not open).
    virtual void PurgeReceive() = 0;
    // Changes the read total constant, at once on an open port. Throws EInOutError when
    // the port refuses it (the channel is then disconnected).
    virtual void SetReadTotalConstant(int32_t milliseconds) = 0;
};

// Passes every call on to another channel. Channels that watch or bend a run's line derive
// from it and override only what they change.
class ForwardingChannel : public IByteChannel {
public:
    // Forwards to a channel that someone else keeps (and that outlives this one).
    explicit ForwardingChannel(IByteChannel& inner) : inner_(inner) {}
    // Forwards to a channel that this one keeps.
    explicit ForwardingChannel(std::unique_ptr<IByteChannel> owned)
        : owned_(std::move(owned)), inner_(*owned_) {}

    void Connect(const LinkSettings& settings) override { inner_.Connect(settings); }
    bool Connected() const override { return inner_.Connected(); }
    void Disconnect() override { inner_.Disconnect(); }
    uint32_t Read(uint8_t* buffer, uint32_t count) override { return inner_.Read(buffer, count); }
    uint32_t Write(const uint8_t* buffer, uint32_t count) override {
        return inner_.Write(buffer, count);
    }
    void PurgeReceive() override { inner_.PurgeReceive(); }
    void SetReadTotalConstant(int32_t milliseconds) override {
        inner_.SetReadTotalConstant(milliseconds);
    }

protected:
    IByteChannel& Inner() const { return inner_; }

private:
    std::unique_ptr<IByteChannel> owned_;
    IByteChannel& inner_;
};

// Makes the channel of one run (a run owns its channel from OpenLink to CloseLink).
class IChannelFactory {
public:
    virtual ~IChannelFactory() = default;
    virtual std::unique_ptr<IByteChannel> Create() = 0;
};

}  // namespace kvr

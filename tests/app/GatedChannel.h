// A channel that holds a run at its port opening (or closing) until the test lets it go, so
// that the window can be examined while a run is certainly going. The gate also lets go when the
// run's thread is asked to stop, as a real exchange under way would end.
#pragma once

#include <QFile>
#include <QThread>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "ByteChannel.h"

namespace kvr::test {

class Gate {
public:
    // releaseOnStop false: only Open() lets the run go, as a port opening that hangs.
    explicit Gate(bool open = false, bool releaseOnStop = true)
        : open_(open), releaseOnStop_(releaseOnStop) {}
    void Open() {
        std::lock_guard lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }
    // Blocks until opened or the calling thread is asked to stop.
    void Pass() {
        std::unique_lock lock(mutex_);
        ++arrived_;
        changed_.notify_all();
        while (!open_) {
            if (releaseOnStop_ && QThread::currentThread()->isInterruptionRequested())
                return;
            // Slices only to notice a stop request, which has no notification of its own.
            changed_.wait_for(lock, std::chrono::milliseconds(2));
        }
    }
    // Blocks until a run stands at the gate.
    void WaitArrived(int count = 1) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return arrived_ >= count; });
    }
    int Arrived() {
        std::lock_guard lock(mutex_);
        return arrived_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
    bool releaseOnStop_ = true;
    int arrived_ = 0;
};

// What the gated channels saw, for checks of order.
struct ChannelEvents {
    std::atomic<int> disconnects{0};
    // Whether the watched file existed when the run closed its port.
    std::atomic<bool> watchedFileExistedAtDisconnect{false};
    QString watchedFile;
};

class GatedChannel final : public ForwardingChannel {
public:
    GatedChannel(std::unique_ptr<IByteChannel> inner, std::shared_ptr<Gate> gate,
                 std::shared_ptr<Gate> disconnectGate, ChannelEvents& events)
        : ForwardingChannel(std::move(inner)),
          gate_(std::move(gate)),
          disconnectGate_(std::move(disconnectGate)),
          events_(events) {}
    void Connect(const LinkSettings& settings) override {
        gate_->Pass();
        ForwardingChannel::Connect(settings);
    }
    void Disconnect() override {
        if (disconnectGate_)
            disconnectGate_->Pass();
        if (!events_.watchedFile.isEmpty())
            events_.watchedFileExistedAtDisconnect = QFile::exists(events_.watchedFile);
        ++events_.disconnects;
        ForwardingChannel::Disconnect();
    }

private:
    std::shared_ptr<Gate> gate_;
    std::shared_ptr<Gate> disconnectGate_;
    ChannelEvents& events_;
};

class GatedChannelFactory final : public IChannelFactory {
public:
    explicit GatedChannelFactory(IChannelFactory& inner) : inner_(inner) {}
    std::unique_ptr<IByteChannel> Create() override {
        ++created;
        return std::make_unique<GatedChannel>(inner_.Create(), gate, disconnectGate, events);
    }

    // The gate of the runs created from now on; open unless a test closes it.
    std::shared_ptr<Gate> gate = std::make_shared<Gate>(true);
    // Held at closing the port, as a stuck adapter driver would; none unless a test sets one.
    std::shared_ptr<Gate> disconnectGate;
    ChannelEvents events;
    std::atomic<int> created{0};

private:
    IChannelFactory& inner_;
};

}  // namespace kvr::test

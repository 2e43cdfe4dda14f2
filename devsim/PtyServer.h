// Serves a DeviceModel on a pseudo-terminal, so that the real serial component and the real
// command-line tool can talk to the simulated device.
//
// The server keeps a descriptor of the terminal's device side open itself: the host may close
// and reopen the port between runs without the terminal going away under it. The device keeps
// its state across such reopenings, like a real instrument left powered.
//
// POSIX only. One thread: Serve blocks in poll() until the stop descriptor becomes readable.
#pragma once

#include "Clock.h"
#include "DeviceModel.h"
#include "WireTime.h"

#include <string>

namespace kvr::devsim {

class PtyServer {
public:
    // Creates the pseudo-terminal in raw mode. baud > 0 delays every reply by the wire time of
    // the request and of the reply (10 bits per byte). Throws kvr::Exception when the terminal
    // cannot be created.
    PtyServer(DeviceModel& device, IClock& clock, uint32_t baud);
    ~PtyServer();
    PtyServer(const PtyServer&) = delete;
    PtyServer& operator=(const PtyServer&) = delete;

    // Path of the device side, for example /dev/pts/7.
    const std::string& DevicePath() const { return devicePath_; }

    // Serves requests until stopFd is readable or the terminal fails. Returns an empty text on
    // a stop, or what went wrong.
    std::string Serve(int stopFd);

private:
    bool SendAll(const std::vector<uint8_t>& bytes, int stopFd);

    DeviceModel& device_;
    IClock& clock_;
    WireTimeAccumulator wire_;
    int master_ = -1;
    int deviceSide_ = -1;
    std::string devicePath_;
};

}  // namespace kvr::devsim

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

#include <cstdint>
#include <string>
#include <vector>

namespace kvr::devsim {

// What crossed the terminal, and when, as the device saw it. Times are microseconds of the
// monotonic clock; they describe the host (and the terminal between), not the device.
struct LineStats {
    // Turnarounds kept at most; later ones are only counted (a day of polling stays bounded).
    static constexpr size_t kMaxTurnaroundSamples = 1u << 20;

    uint64_t bytesReceived = 0;
    uint64_t bytesSent = 0;
    // From the first request byte read to the last reply byte written; 0 before both happened.
    uint64_t firstByteInUs = 0;
    uint64_t lastByteOutUs = 0;
    // Last byte of a reply written -> first byte of the next request read, one per reply that
    // a request followed.
    std::vector<uint32_t> turnaroundsUs;
    uint64_t turnaroundsDropped = 0;
    // Wire-time emulation: the wire time of every byte, and what the sleeps for it took.
    uint64_t wireDueUs = 0;
    uint64_t wireSleptUs = 0;
};

class PtyServer {
public:
    // Creates the pseudo-terminal in raw mode. baud > 0 delays every reply by the wire time of
    // the request and of the reply (10 bits per byte); what a sleep overruns is taken off the
    // following delays (WireTimeAccumulator). Throws kvr::Exception when the terminal
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

    // The line's figures so far; read them when Serve has returned.
    const LineStats& Stats() const { return stats_; }

private:
    bool SendAll(const std::vector<uint8_t>& bytes, int stopFd);
    void NoteBytesIn(size_t count);
    void NoteReplyOut(size_t count);

    DeviceModel& device_;
    IClock& clock_;
    WireTimeAccumulator wire_;
    int master_ = -1;
    int deviceSide_ = -1;
    std::string devicePath_;
    LineStats stats_;
    bool replyAwaitsRequest_ = false;
    uint64_t lastReplyOutUs_ = 0;
};

}  // namespace kvr::devsim

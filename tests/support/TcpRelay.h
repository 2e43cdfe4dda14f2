// A TCP relay on 127.0.0.1, run on a thread of the test's own process, between a client and a
// port it forwards to: a network that works, then one that fails. POSIX only.
//   Forward    bytes go both ways as sent.
//   BlackHole  nothing goes on, either way, and nothing is reset: the relay's kernel still
//              acknowledges what the client sends, as a stuck middlebox or a stopped peer
//              does. New connections are accepted and held. Forward again goes on from there.
//   Cut        every connection, held or new, is reset at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

namespace kvr::test {

class TcpRelay {
public:
    enum class Mode { Forward, BlackHole, Cut };

    // Listens on a free port of 127.0.0.1; Port() is 0 when it could not.
    explicit TcpRelay(uint16_t targetPort);
    ~TcpRelay();
    TcpRelay(const TcpRelay&) = delete;
    TcpRelay& operator=(const TcpRelay&) = delete;

    uint16_t Port() const { return port_; }
    // Takes effect on the relay's thread at once, for connections open and to come.
    void SetMode(Mode mode);

private:
    void Run();

    const uint16_t target_;
    uint16_t port_ = 0;
    int listener_ = -1;
    int wake_[2] = {-1, -1};
    std::atomic<Mode> mode_{Mode::Forward};
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

}  // namespace kvr::test

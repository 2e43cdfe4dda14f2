#include "PtyServer.h"

#include "Exception.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>

namespace kvr::devsim {

namespace {

constexpr size_t kReadChunkBytes = 4096;
constexpr uint64_t kUsPerMs = 1000;

std::string SystemError(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

// Measurement only: the device's behaviour keeps to the injected clock.
uint64_t NowUs() {
    using namespace std::chrono;
    return static_cast<uint64_t>(
        duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}

bool Readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0;
}

}  // namespace

PtyServer::PtyServer(DeviceModel& device, IClock& clock, uint32_t baud)
    : device_(device), clock_(clock), wire_(baud) {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0)
        throw Exception(SystemError("posix_openpt"));
    if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
        const std::string message = SystemError("grantpt/unlockpt");
        ::close(master_);
        throw Exception(message);
    }
    const char* name = ::ptsname(master_);
    if (name == nullptr) {
        const std::string message = SystemError("ptsname");
        ::close(master_);
        throw Exception(message);
    }
    devicePath_ = name;
    deviceSide_ = ::open(devicePath_.c_str(), O_RDWR | O_NOCTTY);
    termios tio{};
    if (deviceSide_ < 0 || ::tcgetattr(deviceSide_, &tio) != 0) {
        const std::string message = SystemError(devicePath_.c_str());
        if (deviceSide_ >= 0)
            ::close(deviceSide_);
        ::close(master_);
        throw Exception(message);
    }
    ::cfmakeraw(&tio);
    ::cfsetispeed(&tio, B115200);
    ::cfsetospeed(&tio, B115200);
    if (::tcsetattr(deviceSide_, TCSANOW, &tio) != 0) {
        const std::string message = SystemError("tcsetattr");
        ::close(deviceSide_);
        ::close(master_);
        throw Exception(message);
    }
}

PtyServer::~PtyServer() {
    ::close(deviceSide_);
    ::close(master_);
}

bool PtyServer::SendAll(const std::vector<uint8_t>& bytes, int stopFd) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::write(master_, bytes.data() + sent, bytes.size() - sent);
        if (n > 0) {
            sent += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            if (Readable(stopFd))
                return false;
        } else {
            return false;
        }
    }
    return true;
}

void PtyServer::NoteBytesIn(size_t count) {
    const uint64_t now = NowUs();
    if (stats_.bytesReceived == 0)
        stats_.firstByteInUs = now;
    stats_.bytesReceived += count;
    if (!replyAwaitsRequest_)
        return;
    replyAwaitsRequest_ = false;
    if (stats_.turnaroundsUs.size() < LineStats::kMaxTurnaroundSamples) {
        const uint64_t gap = now - lastReplyOutUs_;
        stats_.turnaroundsUs.push_back(static_cast<uint32_t>(std::min<uint64_t>(gap, UINT32_MAX)));
    } else {
        ++stats_.turnaroundsDropped;
    }
}

void PtyServer::NoteReplyOut(size_t count) {
    lastReplyOutUs_ = NowUs();
    stats_.lastByteOutUs = lastReplyOutUs_;
    stats_.bytesSent += count;
    replyAwaitsRequest_ = true;
}

std::string PtyServer::Serve(int stopFd) {
    std::vector<uint8_t> chunk(kReadChunkBytes);
    for (;;) {
        pollfd fds[2] = {{stopFd, POLLIN, 0}, {master_, POLLIN, 0}};
        const int ready = ::poll(fds, 2, -1);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return SystemError("poll");
        }
        if (fds[0].revents != 0)
            return {};
        if ((fds[1].revents & POLLIN) == 0) {
            // Our own descriptor keeps the terminal open, so a hang-up here is a real failure.
            if (fds[1].revents != 0)
                return "the pseudo-terminal failed";
            continue;
        }
        const ssize_t n = ::read(master_, chunk.data(), chunk.size());
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            return SystemError("read");
        }
        const auto count = static_cast<size_t>(n);
        if (count > 0)
            NoteBytesIn(count);
        const std::vector<ReplyPiece> pieces = device_.ReceiveTimed(chunk.data(), count);
        size_t replyBytes = 0;
        for (const ReplyPiece& piece : pieces)
            replyBytes += piece.bytes.size();
        const uint64_t delayMs = wire_.AddBytes(count) + wire_.AddBytes(replyBytes);
        stats_.wireDueUs = wire_.DueUs();
        if (delayMs > 0) {
            const uint64_t before = NowUs();
            clock_.SleepMs(static_cast<uint32_t>(delayMs));
            const uint64_t slept = NowUs() - before;
            stats_.wireSleptUs += slept;
            if (slept > delayMs * kUsPerMs)
                wire_.Overslept(slept - delayMs * kUsPerMs);
        }
        for (const ReplyPiece& piece : pieces) {
            // A reply the device spreads out (a fault): the line is busy meanwhile.
            if (piece.delayMs > 0)
                clock_.SleepMs(static_cast<uint32_t>(piece.delayMs));
            if (!piece.bytes.empty() && !SendAll(piece.bytes, stopFd)) {
                if (Readable(stopFd))
                    return {};
                return SystemError("write");
            }
        }
        if (replyBytes > 0)
            NoteReplyOut(replyBytes);
    }
}

}  // namespace kvr::devsim

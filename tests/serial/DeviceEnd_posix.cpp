#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "DeviceEnd.h"
#include "PtyDevice.h"

namespace kvr::test {

PtyDevice::PtyDevice() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
        throw std::runtime_error(std::string("pseudo-terminal: ") + std::strerror(errno));
    }
    char name[256] = {};
    if (::ptsname_r(master_, name, sizeof name) != 0) {
        throw std::runtime_error("ptsname_r failed");
    }
    slave_ = name;
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
}

PtyDevice::~PtyDevice() {
    if (master_ >= 0) {
        ::close(master_);
    }
}

void PtyDevice::Send(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t put = ::write(master_, bytes.data() + done, bytes.size() - done);
        if (put > 0) {
            done += static_cast<size_t>(put);
            continue;
        }
        if (put < 0 && errno != EAGAIN && errno != EINTR) {
            throw std::runtime_error(std::string("device write: ") + std::strerror(errno));
        }
        pollfd p{master_, POLLOUT, 0};
        if (::poll(&p, 1, kArrivalMs) == 0) {
            throw std::runtime_error("device write: the line does not take bytes");
        }
    }
}

std::string PtyDevice::Receive(size_t max, int quietMs) {
    std::string got;
    char chunk[4096];
    while (got.size() < max) {
        pollfd p{master_, POLLIN, 0};
        const int ready = ::poll(&p, 1, quietMs);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            break;
        }
        const size_t want = std::min(sizeof chunk, max - got.size());
        const ssize_t n = ::read(master_, chunk, want);
        if (n <= 0) {
            break;  // the port side closed (EIO)
        }
        got.append(chunk, static_cast<size_t>(n));
    }
    return got;
}

void PtyDevice::Drain() {
    char chunk[4096];
    while (::read(master_, chunk, sizeof chunk) > 0) {
    }
}

std::unique_ptr<DeviceEnd> MakeDeviceEnd(int, std::string&) {
    return std::make_unique<PtyDevice>();
}

bool RunningUnderWine() {
    return false;
}

long long ClosedPortErrorCode() {
    return EBADF;
}

std::string MissingPortName() {
    return "/nonexistent-kvr-dir/ttyKVR0";
}

long long MissingPortErrorCode() {
    return ENOENT;
}

}  // namespace kvr::test

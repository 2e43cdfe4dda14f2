// POSIX half: termios and poll() with the Win32 time-out meaning emulated, since the
// protocol above was written against that meaning.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <system_error>

#include "Exception.h"
#include "PosixExtras.h"
#include "PosixSpeeds.h"
#include "SerialPortBackend.h"
#include "SetupString.h"

namespace kvr {

namespace {

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

constexpr size_t kZeroedPrefixBytes = 4;
constexpr const char* kDevDir = "/dev/";
// A driver may round a rate to what its clock divides down to; UARTs tolerate a few percent.
constexpr uint32_t kBaudTolerancePercent = 3;

constexpr uint8_t kPurgeTxClear = 4;
constexpr uint8_t kPurgeRxClear = 8;

enum class End { Done, GaveUp, Failed };

struct Transfer {
    uint32_t count = 0;
    End end = End::Done;
};

int PollTimeoutMs(Clock::time_point now, Clock::time_point until) {
    if (until <= now) {
        return 0;
    }
    // Round up so that a wake-up is never early and the loop does not spin.
    const auto ms = std::chrono::ceil<Millis>(until - now).count();
    return static_cast<int>(std::min<long long>(ms, INT_MAX));
}

bool IsNotSupported(int error) {
    return error == EINVAL || error == ENOTTY;
}

// One read as the Win32 serial driver would run it under `driver`, given up by the caller
// after `waitMs`. Bytes that came in count in every outcome: they left the kernel's queue.
Transfer ReadTransfer(int fd, uint8_t* dst, uint32_t count, const CommTimeouts& driver,
                      uint32_t waitMs) {
    Transfer t;
    if (count == 0) {
        return t;
    }
    const auto start = Clock::now();
    // Interval all ones with no totals: hand over what is there and return.
    const bool immediate = driver.readInterval == kAllOnes && driver.readTotalMultiplier == 0 &&
                           driver.readTotalConstant == 0;
    // Interval and multiplier all ones, a finite constant: wait for the first byte only.
    const bool firstByteOnly =
        driver.readInterval == kAllOnes && driver.readTotalMultiplier == kAllOnes &&
        driver.readTotalConstant != 0 && driver.readTotalConstant != kAllOnes;
    const bool totalUsed = driver.readTotalMultiplier != 0 || driver.readTotalConstant != 0;
    const uint32_t totalMs =
        firstByteOnly ? driver.readTotalConstant
                      : TotalTimeoutMs(count, driver.readTotalMultiplier, driver.readTotalConstant);
    const auto totalEnd = start + Millis(totalMs);
    const auto waitEnd = start + Millis(waitMs);
    const bool intervalUsed = driver.readInterval != 0 && !firstByteOnly;
    Clock::time_point lastByte = start;

    for (;;) {
        const ssize_t got = ::read(fd, dst + t.count, count - t.count);
        if (got > 0) {
            t.count += static_cast<uint32_t>(got);
            lastByte = Clock::now();
            if (t.count == count) {
                return t;
            }
            continue;
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            t.end = End::Failed;  // hang-up or a driver error
            return t;
        }
        if (immediate || (firstByteOnly && t.count > 0)) {
            return t;
        }
        const auto now = Clock::now();
        if (now >= waitEnd) {
            t.end = End::GaveUp;
            return t;
        }
        auto until = waitEnd;
        if (totalUsed) {
            if (now >= totalEnd) {
                return t;
            }
            until = std::min(until, totalEnd);
        }
        if (intervalUsed && t.count > 0) {
            // The interval ends a transfer only when more than it has passed.
            const auto intervalEnd = lastByte + Millis(driver.readInterval);
            if (now > intervalEnd) {
                return t;
            }
            until = std::min(until, intervalEnd + Millis(1));
        }
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, PollTimeoutMs(now, until));
        if (ready < 0 && errno != EINTR) {
            t.end = End::Failed;
            return t;
        }
        if (ready > 0 && (p.revents & POLLIN) == 0 &&
            (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            t.end = End::Failed;
            return t;
        }
    }
}

[[noreturn]] void ThrowOpenError(int error) {
    throw EFOpenError(WithCode(kOpenPortError, error), error);
}

[[noreturn]] void ThrowApplyError(int error) {
    throw EInOutError(WithCode(kApplyDcbError, error), error);
}

bool BaudClose(uint32_t actual, uint32_t wanted) {
    const uint64_t diff = actual > wanted ? actual - wanted : wanted - actual;
    return diff * 100 <= static_cast<uint64_t>(wanted) * kBaudTolerancePercent;
}

}  // namespace

struct SerialPortBackend::State {
    int fd = -1;
    termios saved{};
    posix::LowLatencyState lowLatency;
    CommTimeouts driver;  // what the port was last configured with
};

SerialPortBackend::SerialPortBackend() : s_(std::make_unique<State>()) {}

SerialPortBackend::~SerialPortBackend() {
    Close();
}

bool SerialPortBackend::IsOpen() const {
    return s_->fd >= 0;
}

bool SerialPortBackend::LowLatencyGranted() const {
    return s_->lowLatency.granted;
}

void SerialPortBackend::Open(const std::string& name, bool requestLowLatency) {
    const std::string path = name.find('/') == std::string::npos ? kDevDir + name : name;
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        ThrowOpenError(errno);
    }
    auto fail = [fd](int error) {
        ::close(fd);
        ThrowOpenError(error);
    };
    if (!::isatty(fd)) {
        fail(ENOTTY);
    }
    // Exclusive use: flock keeps out cooperating programs (and root), TIOCEXCL everyone else.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        // A lock that someone holds means the port is in use, which TIOCEXCL reports as
        // EBUSY; flock's own EWOULDBLOCK would read as "Resource temporarily unavailable".
        fail(errno == EWOULDBLOCK ? EBUSY : errno);
    }
    if (::ioctl(fd, TIOCEXCL) != 0) {
        fail(errno);
    }
    termios saved{};
    if (::tcgetattr(fd, &saved) != 0) {
        const int error = errno;
        ::ioctl(fd, TIOCNXCL);
        fail(error);
    }
    s_->fd = fd;
    s_->saved = saved;
    s_->lowLatency = requestLowLatency ? posix::RequestLowLatency(fd) : posix::LowLatencyState{};
    s_->driver = CommTimeouts{};
}

void SerialPortBackend::Close() {
    if (s_->fd < 0) {
        return;
    }
    posix::RestoreLowLatency(s_->fd, s_->lowLatency);
    ::tcsetattr(s_->fd, TCSANOW, &s_->saved);
    ::ioctl(s_->fd, TIOCNXCL);
    ::close(s_->fd);  // also drops the flock
    s_->fd = -1;
    s_->lowLatency = {};
}

void SerialPortBackend::ApplySetup(const std::string& setupString) {
    const auto line = ParseSetupString(setupString);
    if (!line) {
        throw EInOutError(WithCode(kBuildDcbError, EINVAL), EINVAL);
    }
    const int fd = s_->fd;
    if (fd < 0) {
        ThrowApplyError(EBADF);
    }
    // 1.5 stop bits exist only for 5-bit characters, 2 only for longer ones.
    const bool fiveBits = line->dataBits == 5;
    if ((line->stopBits == StopBits::OneAndHalf && !fiveBits) ||
        (line->stopBits == StopBits::Two && fiveBits)) {
        ThrowApplyError(EINVAL);
    }

    // Built from scratch: raw bytes, receiver on, modem lines ignored, no flow control.
    termios tio{};
    tcflag_t size = CS8;
    switch (line->dataBits) {
        case 5:
            size = CS5;
            break;
        case 6:
            size = CS6;
            break;
        case 7:
            size = CS7;
            break;
        default:
            break;
    }
    tcflag_t parity = 0;
    switch (line->parity) {
        case Parity::None:
            break;
        case Parity::Even:
            parity = PARENB;
            break;
        case Parity::Odd:
            parity = PARENB | PARODD;
            break;
        case Parity::Mark:
        case Parity::Space:
#ifdef CMSPAR
            parity = PARENB | CMSPAR | (line->parity == Parity::Mark ? PARODD : 0);
            break;
#else
            ThrowApplyError(EINVAL);
#endif
    }
    tio.c_cflag = CREAD | CLOCAL | size | parity |
                  (line->stopBits == StopBits::One ? tcflag_t{0} : tcflag_t{CSTOPB});
    tio.c_iflag = parity != 0 ? INPCK : 0;
    // VMIN 1 on a non-blocking fd: an empty queue reads as EAGAIN, so 0 can only mean hang-up.
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;

    speed_t code = B38400;
    const bool standard = posix::SpeedOfBaud(line->baud, code);
    ::cfsetispeed(&tio, code);
    ::cfsetospeed(&tio, code);
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) {
        ThrowApplyError(errno);
    }
    if (!standard) {
        const int error = posix::SetCustomBaud(fd, line->baud);
        if (error != 0) {
            ThrowApplyError(error);
        }
    }

    // tcsetattr succeeds when any part of the request took; read back what the driver kept.
    termios now{};
    if (::tcgetattr(fd, &now) != 0) {
        ThrowApplyError(errno);
    }
    tcflag_t checked = CSIZE | PARENB | PARODD | CSTOPB;
#ifdef CMSPAR
    checked |= CMSPAR;
#endif
    uint32_t baud = 0;
    if ((now.c_cflag & checked) != (tio.c_cflag & checked) || !posix::ReadOutputBaud(fd, baud) ||
        !BaudClose(baud, line->baud)) {
        ThrowApplyError(EINVAL);
    }
}

void SerialPortBackend::ApplyTimeouts(const CommTimeouts& timeouts) {
    if (s_->fd < 0) {
        throw EInOutError(WithCode(kSetTimeoutsError, EBADF), EBADF);
    }
    s_->driver = timeouts;
}

long long SerialPortBackend::Escape(uint32_t code) {
    const int fd = s_->fd;
    if (fd < 0) {
        return EBADF;
    }
    int lines = 0;
    int result = 0;
    switch (code) {
        case 1:  // SETXOFF
            result = ::tcflow(fd, TCOOFF);
            break;
        case 2:  // SETXON
            result = ::tcflow(fd, TCOON);
            break;
        case 3:  // SETRTS
        case 4:  // CLRRTS
            lines = TIOCM_RTS;
            result = ::ioctl(fd, code == 3 ? TIOCMBIS : TIOCMBIC, &lines);
            break;
        case kEscapeSetDtr:
        case kEscapeClrDtr:
            lines = TIOCM_DTR;
            result = ::ioctl(fd, code == kEscapeSetDtr ? TIOCMBIS : TIOCMBIC, &lines);
            if (result != 0 && IsNotSupported(errno)) {
                return 0;  // no modem lines (pseudo-terminal, virtual port): data still flows
            }
            break;
        case 8:  // SETBREAK
            result = ::ioctl(fd, TIOCSBRK);
            break;
        case 9:  // CLRBREAK
            result = ::ioctl(fd, TIOCCBRK);
            break;
        default:
            return EINVAL;
    }
    return result == 0 ? 0 : errno;
}

long long SerialPortBackend::Purge(uint8_t bits) {
    const int fd = s_->fd;
    if (fd < 0) {
        return EBADF;
    }
    // Transfers never outlive a Read or Write here, so the abort flags find nothing to abort.
    const bool tx = (bits & kPurgeTxClear) != 0;
    const bool rx = (bits & kPurgeRxClear) != 0;
    if (!tx && !rx) {
        return 0;
    }
    const int queue = tx && rx ? TCIOFLUSH : (tx ? TCOFLUSH : TCIFLUSH);
    return ::tcflush(fd, queue) == 0 ? 0 : errno;
}

std::string SerialPortBackend::ErrorText(long long code) const {
    return std::generic_category().message(static_cast<int>(code));
}

uint32_t SerialPortBackend::Read(void* buffer, uint32_t count, const CommTimeouts& timeouts) {
    auto* bytes = static_cast<uint8_t*>(buffer);
    std::memset(bytes, 0, kZeroedPrefixBytes);
    const int fd = s_->fd;
    if (fd < 0) {
        return 0;
    }
    const auto first = ReadTransfer(
        fd, bytes, count, s_->driver,
        TotalTimeoutMs(count, timeouts.readTotalMultiplier, timeouts.readTotalConstant));
    if (first.end != End::Done || first.count >= count) {
        return first.count;
    }
    // The driver ended the transfer early (interval): one further read for the rest, up to
    // its own deadline.
    const uint32_t rest = count - first.count;
    const auto further = ReadTransfer(
        fd, bytes + first.count, rest, s_->driver,
        TotalTimeoutMs(rest, timeouts.readTotalMultiplier, timeouts.readTotalConstant));
    return first.count + further.count;
}

uint32_t SerialPortBackend::Write(const void* buffer, uint32_t count,
                                  const CommTimeouts& timeouts) {
    const int fd = s_->fd;
    if (fd < 0) {
        return 0;
    }
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    // The driver's write total and the component's wait are the same product; with both 0
    // the driver has no limit but the component waits 0 ms: one attempt.
    const auto end = Clock::now() + Millis(TotalTimeoutMs(count, timeouts.writeTotalMultiplier,
                                                          timeouts.writeTotalConstant));
    uint32_t done = 0;
    while (done < count) {
        const ssize_t put = ::write(fd, bytes + done, count - done);
        if (put > 0) {
            done += static_cast<uint32_t>(put);
            continue;
        }
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            break;
        }
        const auto now = Clock::now();
        if (now >= end) {
            break;
        }
        pollfd p{fd, POLLOUT, 0};
        const int ready = ::poll(&p, 1, PollTimeoutMs(now, end));
        if (ready < 0 && errno != EINTR) {
            break;
        }
        if (ready > 0 && (p.revents & POLLOUT) == 0) {
            break;  // hang-up or error
        }
    }
    return done;
}

}  // namespace kvr

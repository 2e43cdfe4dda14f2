// Time a serial line needs to carry bytes: 10 bits per byte (start, 8 data, stop).
#pragma once

#include <cstddef>
#include <cstdint>

namespace kvr::devsim {

inline constexpr uint64_t kBitsPerByte = 10;
inline constexpr uint64_t kMicrosecondsPerSecond = 1'000'000;

// Microseconds for `bytes` at `baud` bit/s; 0 when baud is 0 (no emulation).
constexpr uint64_t WireTimeUs(size_t bytes, uint32_t baud) {
    return baud == 0 ? 0
                     : static_cast<uint64_t>(bytes) * kBitsPerByte * kMicrosecondsPerSecond / baud;
}

// Adds up wire time in microseconds and hands it out in whole milliseconds, carrying the rest,
// so that many short frames do not round away to nothing.
class WireTimeAccumulator {
public:
    explicit WireTimeAccumulator(uint32_t baud) : baud_(baud) {}
    uint32_t Baud() const { return baud_; }
    // Adds the bytes and returns the whole milliseconds now due.
    uint64_t AddBytes(size_t bytes) {
        pendingUs_ += WireTimeUs(bytes, baud_);
        const uint64_t ms = pendingUs_ / 1000;
        pendingUs_ %= 1000;
        return ms;
    }

private:
    uint32_t baud_;
    uint64_t pendingUs_ = 0;
};

}  // namespace kvr::devsim

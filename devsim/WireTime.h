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
// so that many short frames do not round away to nothing. A sleep that wakes late is paid back
// from the next delays (Overslept), so that the line's total time stays that of the wire: a
// busy machine then delays single replies, not the whole run.
class WireTimeAccumulator {
public:
    explicit WireTimeAccumulator(uint32_t baud) : baud_(baud) {}
    uint32_t Baud() const { return baud_; }
    // Adds the bytes and returns the whole milliseconds now due (0 while late sleeps are still
    // being paid back).
    uint64_t AddBytes(size_t bytes) {
        const uint64_t us = WireTimeUs(bytes, baud_);
        dueUs_ += us;
        pendingUs_ += static_cast<int64_t>(us);
        if (pendingUs_ < kUsPerMs)
            return 0;
        const int64_t ms = pendingUs_ / kUsPerMs;
        pendingUs_ %= kUsPerMs;
        return static_cast<uint64_t>(ms);
    }
    // A sleep of the delay handed out took `us` microseconds longer.
    void Overslept(uint64_t us) { pendingUs_ -= static_cast<int64_t>(us); }
    // Wire time of every byte added so far.
    uint64_t DueUs() const { return dueUs_; }

private:
    static constexpr int64_t kUsPerMs = 1000;
    uint32_t baud_;
    int64_t pendingUs_ = 0;
    uint64_t dueUs_ = 0;
};

}  // namespace kvr::devsim

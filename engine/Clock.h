// Waits, the monotonic millisecond tick and local time come through here, so that tests
// run whole updates in milliseconds.
#pragma once

#include <QDateTime>
#include <cstdint>

namespace kvr {

class IClock {
public:
    virtual ~IClock() = default;
    virtual void SleepMs(uint32_t milliseconds) = 0;
    // Monotonic milliseconds; never wraps in practice.
    virtual uint64_t TickMs() = 0;
    // Local date and time, for log stamps.
    virtual QDateTime LocalNow() = 0;
};

// The system's clock.
class SystemClock final : public IClock {
public:
    void SleepMs(uint32_t milliseconds) override;
    uint64_t TickMs() override;
    QDateTime LocalNow() override;
};

}  // namespace kvr

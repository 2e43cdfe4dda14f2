// A clock that only moves when told to: SleepMs and the simulated line advance it, so a whole
// update with its multi-second waits runs in milliseconds. Safe to use from several threads.
#pragma once

#include "Clock.h"

#include <atomic>

namespace kvr::devsim {

class VirtualClock final : public IClock {
public:
    // The tick starts at startTickMs; local time starts at localStart and moves with the tick.
    explicit VirtualClock(uint64_t startTickMs = 0,
                          QDateTime localStart = QDateTime(QDate(2026, 1, 1), QTime(12, 0)));

    void SleepMs(uint32_t milliseconds) override { Advance(milliseconds); }
    uint64_t TickMs() override { return tickMs_.load(); }
    QDateTime LocalNow() override;

    void Advance(uint64_t milliseconds) { tickMs_.fetch_add(milliseconds); }
    // Total milliseconds slept through SleepMs or advanced, since construction.
    uint64_t ElapsedMs() const { return tickMs_.load() - startTickMs_; }

private:
    const uint64_t startTickMs_;
    const QDateTime localStart_;
    std::atomic<uint64_t> tickMs_;
};

}  // namespace kvr::devsim

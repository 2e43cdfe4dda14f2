// A clock that only moves when told to: SleepMs and the simulated line advance it, so a whole
// update with its multi-second waits runs in milliseconds, and tests can see every wait the
// engine made. Safe to use from the update thread while the test thread reads it.
#pragma once

#include "Clock.h"

#include <atomic>
#include <mutex>
#include <vector>

namespace kvr::devsim {

class VirtualClock final : public IClock {
public:
    // The tick starts at startTickMs; local time starts at localStart and moves with the tick.
    explicit VirtualClock(uint64_t startTickMs = 0,
                          QDateTime localStart = QDateTime(QDate(2026, 12, 7),
                                                           QTime(21, 5, 8, 123)));

    void SleepMs(uint32_t milliseconds) override;
    uint64_t TickMs() override { return tickMs_.load(); }
    QDateTime LocalNow() override;

    // Moves time on without recording a sleep (time on the wire, an operator reading a box…).
    void Advance(uint64_t milliseconds) { tickMs_.fetch_add(milliseconds); }
    uint64_t Now() const { return tickMs_.load(); }
    // Milliseconds slept or advanced since construction.
    uint64_t ElapsedMs() const { return tickMs_.load() - startTickMs_; }
    // Every SleepMs, in order.
    std::vector<uint32_t> Sleeps() const;

private:
    const uint64_t startTickMs_;
    const QDateTime localStart_;
    std::atomic<uint64_t> tickMs_;
    mutable std::mutex mutex_;
    std::vector<uint32_t> sleeps_;
};

}  // namespace kvr::devsim

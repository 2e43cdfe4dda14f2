// A clock whose sleeps advance virtual time at once: whole updates run in milliseconds, and
// tests can see every wait the engine made. Safe to use from the update thread while the test
// thread reads it.
#pragma once

#include <QDateTime>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "Clock.h"

namespace kvr::test {

class FakeClock final : public IClock {
public:
    // Local time at virtual millisecond 0.
    explicit FakeClock(QDateTime start = QDateTime(QDate(2026, 12, 7), QTime(21, 5, 8, 123)));

    void SleepMs(uint32_t milliseconds) override;
    uint64_t TickMs() override { return now_.load(); }
    QDateTime LocalNow() override;

    // Moves virtual time on without recording a sleep (time spent on the wire, by an operator…).
    void Advance(uint64_t milliseconds) { now_ += milliseconds; }
    uint64_t Now() const { return now_.load(); }
    // Every SleepMs the engine made, in order.
    std::vector<uint32_t> Sleeps() const;

private:
    QDateTime start_;
    std::atomic<uint64_t> now_{0};
    mutable std::mutex mutex_;
    std::vector<uint32_t> sleeps_;
};

}  // namespace kvr::test

#include "FakeClock.h"

namespace kvr::test {

FakeClock::FakeClock(QDateTime start) : start_(std::move(start)) {}

void FakeClock::SleepMs(uint32_t milliseconds) {
    {
        std::lock_guard lock(mutex_);
        sleeps_.push_back(milliseconds);
    }
    now_ += milliseconds;
}

QDateTime FakeClock::LocalNow() {
    return start_.addMSecs(static_cast<qint64>(now_.load()));
}

std::vector<uint32_t> FakeClock::Sleeps() const {
    std::lock_guard lock(mutex_);
    return sleeps_;
}

}  // namespace kvr::test

#include "VirtualClock.h"

namespace kvr::devsim {

VirtualClock::VirtualClock(uint64_t startTickMs, QDateTime localStart)
    : startTickMs_(startTickMs), localStart_(std::move(localStart)), tickMs_(startTickMs) {}

void VirtualClock::SleepMs(uint32_t milliseconds) {
    {
        std::lock_guard lock(mutex_);
        sleeps_.push_back(milliseconds);
    }
    Advance(milliseconds);
}

QDateTime VirtualClock::LocalNow() {
    return localStart_.addMSecs(static_cast<qint64>(tickMs_.load() - startTickMs_));
}

std::vector<uint32_t> VirtualClock::Sleeps() const {
    std::lock_guard lock(mutex_);
    return sleeps_;
}

}  // namespace kvr::devsim

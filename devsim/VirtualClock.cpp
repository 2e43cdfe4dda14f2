#include "VirtualClock.h"

namespace kvr::devsim {

VirtualClock::VirtualClock(uint64_t startTickMs, QDateTime localStart)
    : startTickMs_(startTickMs), localStart_(std::move(localStart)), tickMs_(startTickMs) {}

QDateTime VirtualClock::LocalNow() {
    return localStart_.addMSecs(static_cast<qint64>(tickMs_.load() - startTickMs_));
}

}  // namespace kvr::devsim

#include "Clock.h"

#include <chrono>
#include <thread>

#include "LocalOffsetCache.h"

namespace kvr {

void SystemClock::SleepMs(uint32_t milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

uint64_t SystemClock::TickMs() {
    using namespace std::chrono;
    return static_cast<uint64_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

QDateTime SystemClock::LocalNow() {
    thread_local LocalOffsetCache offsets;
    const qint64 ms = QDateTime::currentMSecsSinceEpoch();
    const int offset = offsets.OffsetAt(ms, [](int64_t second) {
        return QDateTime::fromSecsSinceEpoch(second, Qt::LocalTime).offsetFromUtc();
    });
    // The same wall-clock time as a local QDateTime, without the system's time-zone lookup.
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::OffsetFromUTC, offset);
}

}  // namespace kvr

#include "Clock.h"

#include <chrono>
#include <thread>

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
    return QDateTime::currentDateTime();
}

}  // namespace kvr

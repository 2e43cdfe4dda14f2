// Work that may wait on the line's record, run off a window's thread while that thread goes on
// serving its events (painting, timers); input waits until the work is done.
#pragma once

#include <QCoreApplication>
#include <QEventLoop>
#include <atomic>
#include <chrono>
#include <thread>

namespace kvr::station {

// A standard thread, joined, and a flag looked at between slices of this thread's events: what
// `work` wrote is then plainly this thread's, also to race checkers, which see through neither
// Qt's wait for a QThread nor its queued calls.
template <typename F>
void RunOffThisThread(F&& work) {
    constexpr int kSliceMs = 10;
    std::atomic<bool> done{false};
    std::thread thread([&] {
        work();
        done.store(true);
    });
    while (!done.load()) {
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, kSliceMs);
        if (!done.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(kSliceMs));
    }
    thread.join();
}

}  // namespace kvr::station

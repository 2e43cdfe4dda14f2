// Work that may wait on the line's record, run off a window's thread while that thread goes on
// serving its events (painting, timers); input waits until the work is done.
#pragma once

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

namespace kvr::station {

// A thread joined, and a flag looked at between slices of this thread's events: what `work`
// wrote is then plainly this thread's, also to race checkers, which see through neither Qt's
// wait for a QThread nor its queued calls. On Windows it is a QThread: there a standard
// thread's end frees Qt's per-thread regular-expression stack after the runtime has let it go
// (an access violation seen under Wine).
template <typename F>
void RunOffThisThread(F&& work) {
    constexpr int kSliceMs = 10;
    std::atomic<bool> done{false};
    auto body = [&] {
        work();
        done.store(true);
    };
#ifdef _WIN32
    std::unique_ptr<QThread> thread(QThread::create(body));
    thread->start();
#else
    std::thread thread(body);
#endif
    while (!done.load()) {
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, kSliceMs);
        if (!done.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(kSliceMs));
    }
#ifdef _WIN32
    thread->wait();
#else
    thread.join();
#endif
}

}  // namespace kvr::station

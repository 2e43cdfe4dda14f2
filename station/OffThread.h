// Work that may wait on the line's record, run off a window's thread while that thread goes on
// serving its events (painting, timers); input waits until the work is done.
#pragma once

#include <QEventLoop>
#include <QObject>
#include <QThread>
#include <memory>
#include <utility>

namespace kvr::station {

template <typename F>
void RunOffThisThread(F&& work) {
    QEventLoop loop;
    std::unique_ptr<QThread> thread(QThread::create(std::forward<F>(work)));
    QObject::connect(thread.get(), &QThread::finished, &loop, &QEventLoop::quit);
    thread->start();
    if (!thread->isFinished())
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    thread->wait();
}

}  // namespace kvr::station

// TRunHandOver: carries every call of an update run to the host's thread and back.
//
// The update thread must never touch widgets, so it calls the host (window, command line)
// only through this object. The object lives on the host's thread (the thread that created it)
// and wraps that thread's IRunHost. Contract:
// - Every IRunHost method of TRunHandOver may be called from any thread. Called from another
//   thread it queues the call, wakes the host's thread and blocks until the host's thread has
//   run it (a message box has been closed, a question answered) and returns its answer. Called
//   on the host's own thread it runs the call directly.
// - The host's thread serves queued calls from its event loop (a queued invocation posted to
//   this object) or explicitly through ServePending() / WaitServing().
// - Shutdown() (also run by the destructor) makes the object answer on its own: calls still
//   waiting and every later call return at once without reaching the host, with the default
//   answers No (AskYesNo) and empty text (SerialNumberText, HardwareText). A call that the host
//   is running at that moment finishes normally. A host that is closing can therefore never
//   deadlock with a run, whether or not its event loop still runs.
// - The object must outlive every call made on it: destroy it only after the update thread has
//   ended (the destructor also waits for callers that are still inside a method to leave).
// - While the host's thread waits for the update thread to end, it must keep serving, since the
//   run may be blocked in a hand-over at that moment: use WaitServing() instead of
//   QThread::wait().
#pragma once

#include <QObject>
#include <QString>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

#include "RunHost.h"

class QThread;

namespace kvr {

class TRunHandOver final : public QObject, public IRunHost {
    Q_OBJECT

public:
    // host must outlive this object; it is only ever called on this object's thread.
    explicit TRunHandOver(IRunHost& host, QObject* parent = nullptr);
    ~TRunHandOver() override;

    TRunHandOver(const TRunHandOver&) = delete;
    TRunHandOver& operator=(const TRunHandOver&) = delete;

    // IRunHost, callable from any thread (see above).
    void ShowMessage(const QString& text) override;
    bool AskYesNo(const QString& text) override;
    void SetProgress(int position) override;
    void EnableStart() override;
    QString SerialNumberText() override;
    QString HardwareText() override;

    // Runs any work on the host's thread under the same rules as the IRunHost methods: a host
    // with more to hear than IRunHost (a station's port events) is reached the same way and in
    // the same order. False when it was not run (shut down).
    bool Invoke(std::function<void(IRunHost&)> work) { return Run(std::move(work)); }

    // From now on nothing reaches the host; waiting and later calls get the default answers.
    // Callable from any thread; idempotent.
    void Shutdown();
    bool IsShutDown() const;
    // Calls queued and not yet taken up by the host's thread.
    int PendingCalls() const;

    // Runs the calls that are waiting, oldest first. Host's thread only; returns how many ran
    // (0 when called on another thread).
    // Invokable: it is also the queued invocation Run() posts to this object.
    Q_INVOKABLE int ServePending();

    // Waits until `thread` has finished (or was never started), serving waiting calls
    // meanwhile; sliceMs bounds how long a finished thread can go unnoticed. Host's thread
    // only: returns false at once when called on another thread, true once the thread ended.
    bool WaitServing(QThread& thread, int sliceMs = 20);

private:
    struct Call {
        std::function<void(IRunHost&)> work;
        bool done = false;
    };

    // Runs work on the host's thread and waits for it; false when it was not run (shut down).
    bool Run(std::function<void(IRunHost&)> work);
    bool OnOwnThread() const;

    IRunHost& host_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;  // a call finished, a call arrived, or shut down
    std::deque<std::shared_ptr<Call>> pending_;
    bool shutDown_ = false;
    int callersInside_ = 0;
};

}  // namespace kvr

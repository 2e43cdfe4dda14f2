#include "HandOver.h"

#include <QDeadlineTimer>
#include <QMetaObject>
#include <QThread>
#include <chrono>
#include <exception>

namespace kvr {

namespace {
// Qt guards each thread's event queue with a lock ThreadSanitizer cannot see. Runs on several
// ports post to the same host thread; posting under one lock of ours shows that they take turns.
std::mutex postMutex;
}  // namespace

TRunHandOver::TRunHandOver(IRunHost& host, QObject* parent) : QObject(parent), host_(host) {}

TRunHandOver::~TRunHandOver() {
    Shutdown();
    // A caller may still be between its wake-up and its return.
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return callersInside_ == 0; });
}

bool TRunHandOver::OnOwnThread() const {
    return QThread::currentThread() == thread();
}

bool TRunHandOver::Run(std::function<void(IRunHost&)> work) {
    if (OnOwnThread()) {
        if (IsShutDown())
            return false;
        work(host_);
        return true;
    }
    auto call = std::make_shared<Call>();
    call->work = std::move(work);
    std::unique_lock lock(mutex_);
    if (shutDown_)
        return false;
    ++callersInside_;
    pending_.push_back(call);
    changed_.notify_all();  // a host in WaitServing wakes up
    // Posted while holding the lock: Shutdown (and so the destructor) cannot pass in between.
    // Should the event never be delivered, Shutdown still completes the call.
    {
        std::lock_guard post(postMutex);
        // By name rather than a lambda: a functor made here would be read on the host's thread
        // before our lock is taken, an order only Qt's (to ThreadSanitizer unseen) lock gives.
        QMetaObject::invokeMethod(this, "ServePending", Qt::QueuedConnection);
    }
    changed_.wait(lock, [&] { return call->done; });
    const bool ran = static_cast<bool>(call->work);  // cleared when cancelled
    --callersInside_;
    changed_.notify_all();
    return ran;
}

int TRunHandOver::ServePending() {
    if (!OnOwnThread())
        return 0;
    int served = 0;
    for (;;) {
        std::shared_ptr<Call> call;
        {
            std::lock_guard lock(mutex_);
            if (pending_.empty())
                break;
            call = pending_.front();
            pending_.pop_front();
        }
        try {
            call->work(host_);
        } catch (...) {
            // A host that throws must not leave the run waiting; its answer stays the default.
        }
        ++served;
        std::lock_guard lock(mutex_);
        call->done = true;
        changed_.notify_all();
    }
    return served;
}

void TRunHandOver::Shutdown() {
    std::lock_guard lock(mutex_);
    shutDown_ = true;
    for (auto& call : pending_) {
        call->work = nullptr;
        call->done = true;
    }
    pending_.clear();
    changed_.notify_all();
}

bool TRunHandOver::IsShutDown() const {
    std::lock_guard lock(mutex_);
    return shutDown_;
}

int TRunHandOver::PendingCalls() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(pending_.size());
}

bool TRunHandOver::WaitServing(QThread& thread, int sliceMs) {
    if (!OnOwnThread())
        return false;
    const auto slice = std::chrono::milliseconds(std::max(sliceMs, 1));
    while (!thread.wait(QDeadlineTimer(0))) {
        {
            std::unique_lock lock(mutex_);
            changed_.wait_for(lock, slice, [this] { return !pending_.empty(); });
        }
        ServePending();
    }
    ServePending();
    return true;
}

void TRunHandOver::ShowMessage(const QString& text) {
    Run([&text](IRunHost& host) { host.ShowMessage(text); });
}

bool TRunHandOver::AskYesNo(const QString& text) {
    bool answer = false;
    Run([&](IRunHost& host) { answer = host.AskYesNo(text); });
    return answer;
}

void TRunHandOver::SetProgress(int position) {
    Run([position](IRunHost& host) { host.SetProgress(position); });
}

void TRunHandOver::EnableStart() {
    Run([](IRunHost& host) { host.EnableStart(); });
}

QString TRunHandOver::SerialNumberText() {
    QString text;
    Run([&](IRunHost& host) { text = host.SerialNumberText(); });
    return text;
}

QString TRunHandOver::HardwareText() {
    QString text;
    Run([&](IRunHost& host) { text = host.HardwareText(); });
    return text;
}

}  // namespace kvr

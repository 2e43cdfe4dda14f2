#include "OutputQueue.h"

#include "Cli.h"

namespace kvr::cli {

OutputQueue::OutputQueue() : thread_([this] { Serve(); }) {}

OutputQueue::~OutputQueue() {
    Drain();
    {
        std::lock_guard lock(mutex_);
        ending_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void OutputQueue::Write(std::FILE* stream, QByteArray bytes) {
    {
        std::lock_guard lock(mutex_);
        if (failed_.count(stream) != 0)
            return;
        pending_.emplace_back(stream, std::move(bytes));
    }
    changed_.notify_all();
}

void OutputQueue::Drain() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return pending_.empty() && !writing_; });
}

bool OutputQueue::Failed(std::FILE* stream) const {
    std::lock_guard lock(mutex_);
    return failed_.count(stream) != 0;
}

void OutputQueue::Serve() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return !pending_.empty() || ending_; });
        if (pending_.empty())
            return;
        auto [stream, bytes] = std::move(pending_.front());
        pending_.pop_front();
        if (failed_.count(stream) != 0)
            continue;
        writing_ = true;
        lock.unlock();
        const size_t size = static_cast<size_t>(bytes.size());
        const bool ok =
            std::fwrite(bytes.constData(), 1, size, stream) == size && std::fflush(stream) == 0;
        if (!ok)
            std::clearerr(stream);
        lock.lock();
        writing_ = false;
        if (!ok)
            failed_.insert(stream);
        changed_.notify_all();
    }
}

QueuedOutput::QueuedOutput(CliOutput& io) : io_(io) {
    io_.SetQueue(&queue_);
}

QueuedOutput::~QueuedOutput() {
    queue_.Drain();
    io_.SetQueue(nullptr);
}

}  // namespace kvr::cli

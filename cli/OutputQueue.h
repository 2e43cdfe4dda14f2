// Writes the command's output on a thread of its own, so that a reader that does not read (a
// console with a text selection, Ctrl+S, a JSON reader that stopped) never holds back a run or
// the thread that serves the runs and hears Ctrl+C.
//
// Bytes are written in the order they were queued, whatever their stream. A stream that fails
// (a closed pipe: the program ignores SIGPIPE) takes no further bytes; the rest go on.
//
// Thread rules: Write and Drain from any thread. The destructor drains.
#pragma once

#include <QByteArray>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

namespace kvr::cli {

class OutputQueue {
public:
    OutputQueue();
    ~OutputQueue();
    OutputQueue(const OutputQueue&) = delete;
    OutputQueue& operator=(const OutputQueue&) = delete;

    void Write(std::FILE* stream, QByteArray bytes);
    // Returns once everything queued before the call has been written (or dropped).
    void Drain();
    // True once a write to `stream` failed.
    bool Failed(std::FILE* stream) const;

private:
    void Serve();

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::pair<std::FILE*, QByteArray>> pending_;
    std::set<std::FILE*> failed_;
    bool writing_ = false;
    bool ending_ = false;
    std::thread thread_;
};

class CliOutput;

// `io` writes through a queue of its own for the scope's life; what was queued is written
// before the scope ends.
class QueuedOutput {
public:
    explicit QueuedOutput(CliOutput& io);
    ~QueuedOutput();
    QueuedOutput(const QueuedOutput&) = delete;
    QueuedOutput& operator=(const QueuedOutput&) = delete;

private:
    CliOutput& io_;
    OutputQueue queue_;
};

}  // namespace kvr::cli

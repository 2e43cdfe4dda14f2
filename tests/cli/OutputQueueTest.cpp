// The command line's output queue against a real pipe: a reader that does not read holds back
// no writer, the bytes come out in order once it reads, and a reader that went away makes the
// writes fail rather than the program end.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <future>
#include <string>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

#include "OutputQueue.h"

namespace {

using kvr::cli::OutputQueue;

constexpr int kLines = 200;

// A pipe whose buffer is full: the next write to it blocks until someone reads.
struct FullPipe {
    FullPipe() {
        if (::pipe(fds) != 0)
            return;
        ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
        const std::string block(4096, 'x');
        while (::write(fds[1], block.data(), block.size()) > 0)
            prefill += block.size();
        ::fcntl(fds[1], F_SETFL, 0);
        stream = ::fdopen(fds[1], "w");
    }
    ~FullPipe() {
        if (stream != nullptr)
            std::fclose(stream);
        if (fds[0] >= 0)
            ::close(fds[0]);
    }
    std::string ReadAll() {
        std::string text;
        char buffer[4096];
        ssize_t n = 0;
        while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0)
            text.append(buffer, static_cast<size_t>(n));
        return text;
    }
    int fds[2] = {-1, -1};
    size_t prefill = 0;
    std::FILE* stream = nullptr;
};

TEST(OutputQueue, AReaderThatDoesNotReadHoldsBackNoWriterAndGetsEverythingInOrder) {
    FullPipe pipe;
    ASSERT_NE(pipe.stream, nullptr);
    ASSERT_GT(pipe.prefill, 0u);
    std::string expected;
    for (int i = 0; i < kLines; ++i)
        expected += "line " + std::to_string(i) + "\n";
    std::string got;
    {
        OutputQueue queue;
        // Without the queue this thread would block on its first write, as a run's hand-over
        // did behind a stalled console.
        auto writer = std::async(std::launch::async, [&] {
            for (int i = 0; i < kLines; ++i)
                queue.Write(pipe.stream,
                            QByteArray::fromStdString("line " + std::to_string(i) + "\n"));
        });
        ASSERT_EQ(writer.wait_for(std::chrono::seconds(30)), std::future_status::ready)
            << "a write waited for the reader";
        std::thread reader([&] { got = pipe.ReadAll(); });
        queue.Drain();
        std::fclose(pipe.stream);  // the reader sees the end
        pipe.stream = nullptr;
        reader.join();
    }
    ASSERT_EQ(got.size(), pipe.prefill + expected.size());
    EXPECT_EQ(got.substr(pipe.prefill), expected);
}

TEST(OutputQueue, AReaderThatWentAwayFailsTheWritesButNotTheProgram) {
    std::signal(SIGPIPE, SIG_IGN);  // as the command line does
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    std::FILE* stream = ::fdopen(fds[1], "w");
    ASSERT_NE(stream, nullptr);
    ::close(fds[0]);
    OutputQueue queue;
    queue.Write(stream, "first\n");
    queue.Drain();
    EXPECT_TRUE(queue.Failed(stream));
    queue.Write(stream, "dropped\n");
    queue.Drain();
    std::fclose(stream);
}

}  // namespace

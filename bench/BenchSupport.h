// What the whole-run benchmarks share: the simulated device served on a pseudo-terminal by a
// thread of the benchmark, a run host that answers nothing, a built package, and the clocks.
// POSIX only. Figures are printed as "key=value" lines for kvr-bench-report.
#pragma once

#include <sys/resource.h>
#include <unistd.h>

#include <QString>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "DeviceModel.h"
#include "PackageBuilder.h"
#include "PackageLoader.h"
#include "PtyServer.h"
#include "RunHost.h"

namespace kvr::bench {

inline uint64_t NowUs() {
    using namespace std::chrono;
    return static_cast<uint64_t>(
        duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}

// CPU time (user + system) of the calling thread, in microseconds.
inline uint64_t ThreadCpuUs() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    const auto us = [](const timeval& t) {
        return static_cast<uint64_t>(t.tv_sec) * 1'000'000 + static_cast<uint64_t>(t.tv_usec);
    };
    return us(usage.ru_utime) + us(usage.ru_stime);
}

inline void PrintFigure(const char* key, uint64_t value) {
    std::printf("%s=%llu\n", key, static_cast<unsigned long long>(value));
}

// The pages of a well-formed package of `pageCount` pages with `dataBytes` data bytes each.
inline PageMap BuildPages(uint32_t pageCount, uint16_t dataBytes) {
    test::PackageOptions options;
    options.pageCount = pageCount;
    options.pageSize = static_cast<uint16_t>(dataBytes + 8);
    UpdatePackage package;
    QString error;
    if (!ParseUpdatePackage(test::BuildPackage(options), package, error)) {
        std::fprintf(stderr, "cannot build the package: %s\n", error.toUtf8().constData());
        std::exit(1);
    }
    return std::move(package.pages);
}

// A simulated device on a pseudo-terminal, served by its own thread until destroyed.
class ServedDevice {
public:
    ServedDevice(devsim::DeviceOptions options, PageMap pages, uint32_t baud = 0)
        : model_(std::move(options), std::move(pages), clock_), server_(model_, clock_, baud) {
        if (::pipe(stop_) != 0) {
            std::perror("pipe");
            std::exit(1);
        }
        thread_ = std::thread([this] { failure_ = server_.Serve(stop_[0]); });
    }
    ~ServedDevice() {
        Stop();
        ::close(stop_[0]);
        ::close(stop_[1]);
    }
    ServedDevice(const ServedDevice&) = delete;
    ServedDevice& operator=(const ServedDevice&) = delete;

    const std::string& Path() const { return server_.DevicePath(); }
    // Ends serving; the figures below are complete afterwards.
    void Stop() {
        if (!thread_.joinable())
            return;
        const char byte = 1;
        [[maybe_unused]] const ssize_t n = ::write(stop_[1], &byte, 1);
        thread_.join();
    }
    const devsim::LineStats& Stats() const { return server_.Stats(); }
    const devsim::DeviceReport& Report() const { return model_.Report(); }
    const std::string& Failure() const { return failure_; }

private:
    SystemClock clock_;
    devsim::DeviceModel model_;
    devsim::PtyServer server_;
    int stop_[2] = {-1, -1};
    std::thread thread_;
    std::string failure_;
};

// Shows nothing and answers No; remembers the last message.
class QuietHost final : public IRunHost {
public:
    void ShowMessage(const QString& text) override { lastMessage = text; }
    bool AskYesNo(const QString&) override { return false; }
    void SetProgress(int) override { ++progressCalls; }
    void EnableStart() override {}
    QString SerialNumberText() override { return {}; }
    QString HardwareText() override { return {}; }

    QString lastMessage;
    int progressCalls = 0;
};

}  // namespace kvr::bench

// Pieces shared by the engine's fault scenarios: the host's limits a sick line must not push
// past, and a whole undisturbed run that tells where every page frame crossed, so that a
// device can be cut off at any chosen byte.
#pragma once

#include <gtest/gtest.h>

#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdint>
#include <map>

#include "RunMessages.h"
#include "SimulatedLine.h"
#include "TestFiles.h"
#include "TestPages.h"
#include "TestRunHost.h"
#include "UpdateSequence.h"

namespace kvr::test {

inline constexpr uint8_t kCommandStatus = 0x01;
inline constexpr uint8_t kCommandEnterBootloader = 0x05;
inline constexpr uint8_t kCommandStartUpdate = 0x08;
inline constexpr uint8_t kCommandWritePage = 0x09;

inline constexpr uint8_t kStatusDone = 5;

// The host's reply buffer: no read may ask for more than this.
inline constexpr uint32_t kReplyBufferLimitBytes = 1024;
// The host's longest gap between two bytes of one read.
inline constexpr uint64_t kIntervalTimeoutMs = 1000;

// Bytes cross in no time on the fault scenarios' line, so a read's wait is its time-out alone.
inline constexpr devsim::ChannelOptions kNoWireTime{false};

// The page number of a cmdWritePage request frame with `addressLength` address bytes, or -1.
inline int PageOfFrame(const Bytes& frame, uint16_t addressLength) {
    const size_t command = 4u + addressLength;
    if (frame.size() < command + 3 || frame[command] != kCommandWritePage)
        return -1;
    return frame[command + 1] | (frame[command + 2] << 8);
}

// A whole undisturbed run against the simulated device, without a log: the bytes that crossed
// and the note of every page frame's write, by page number. Empty when the run did not succeed.
struct DryRunResult {
    uint64_t bytes = 0;
    std::map<int, CountingChannel::WriteNote> pageFrames;
};

inline DryRunResult DryRunOf(const PageMap& pages) {
    SimulatedLine line(pages, kNoWireTime);
    line.Device();
    CountingChannel counting(line.channel);
    ForwardingChannelFactory factory(counting);
    TestRunHost host;
    TUpdateSequence run(QStringLiteral("ttyDRY0"), pages, RunOptions{}, factory, line.clock, host);
    run.RunUpdate();
    DryRunResult result;
    if (host.Shown() != QStringList{kSuccess})
        return result;
    result.bytes = counting.Crossed();
    for (const auto& w : counting.Writes()) {
        // The bootloader of the simulated device speaks without address bytes.
        const int page = PageOfFrame(w.frame, 0);
        if (page >= 0)
            result.pageFrames[page] = w;
    }
    return result;
}

inline constexpr uint16_t kPageDataBytes = 248;
inline constexpr int kPageCount = 4;

// One whole run per test on a sick line, checked for how it ended.
class LineFault : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        options_.logPath = dir_.filePath(QStringLiteral("log.txt"));
    }

    // One whole run. What the tail must have done is noted before the run object goes, so
    // that its destructor cannot hide a log or port left open.
    void Go(IChannelFactory& factory) {
        line_.Device();
        TUpdateSequence run(QStringLiteral("ttyFAULT0"), pages_, options_, factory, clock_, host_);
        run.RunUpdate();
        logOpenAfterRun_ = run.LogOpen();
        logLockFreeAfterRun_ = LogLockIsFree(options_.logPath);
        connectedAfterRun_ = run.Connected() && channel_.Connected();
    }
    void Go() { Go(line_.factory); }

    // Port closed once, log closed and unlocked, Start enabled as the very last thing.
    void ExpectEndedThroughTheTail() const {
        EXPECT_FALSE(logOpenAfterRun_);
        EXPECT_TRUE(logLockFreeAfterRun_);
        EXPECT_FALSE(connectedAfterRun_);
        EXPECT_FALSE(channel_.Connected());
        EXPECT_EQ(channel_.DisconnectCount(), 1);
        const auto events = host_.Events();
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(events.back().kind, TestRunHost::Event::Kind::EnableStart);
    }

    // The largest number of bytes the host asked for in one read.
    uint32_t LargestRead() const {
        uint32_t largest = 0;
        for (const auto& r : channel_.Reads())
            largest = std::max(largest, r.asked);
        return largest;
    }

    QStringList Log() const { return LogEntries(options_.logPath); }

    QTemporaryDir dir_;
    SimulatedLine line_{MakePages(kPageCount, kPageDataBytes, 99), kNoWireTime};
    VirtualClock& clock_ = line_.clock;
    DeviceChannel& channel_ = line_.channel;
    const PageMap& pages_ = line_.pages;
    DeviceOptions& device_ = line_.options;
    TestRunHost host_;
    RunOptions options_;
    bool logOpenAfterRun_ = true;
    bool logLockFreeAfterRun_ = false;
    bool connectedAfterRun_ = true;
};

}  // namespace kvr::test

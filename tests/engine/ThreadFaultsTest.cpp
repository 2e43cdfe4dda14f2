// The device vanishes while the run goes on its own thread: every report crosses to this
// thread through the hand-over, and the run must still end with its messages, its port and log
// closed and Start enabled last.
#include <gtest/gtest.h>

#include <QDeadlineTimer>
#include <QTemporaryDir>

#include "HandOver.h"
#include "RunFaults.h"
#include "TestRunHost.h"
#include "UpdateThread.h"

namespace kvr::test {
namespace {

// Only a guard against a hung run; nothing is measured.
constexpr int kHangGuardMs = 60'000;
constexpr int kServeSliceMs = 5;

// Serves the run's hand-overs until its thread has finished; false when it did not finish
// within the guard (the run is then asked to stop and the hand-over shut down).
bool ServeUntilFinished(TRunHandOver& handOver, TUpdateThread& run) {
    QDeadlineTimer guard(kHangGuardMs);
    while (!run.wait(QDeadlineTimer(kServeSliceMs))) {
        handOver.ServePending();
        if (guard.hasExpired()) {
            run.requestInterruption();
            handOver.Shutdown();
            run.wait();
            return false;
        }
    }
    handOver.ServePending();
    return true;
}

class ThreadFault : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        options_.logPath = dir_.filePath(QStringLiteral("log.txt"));
    }

    // Port closed once, log closed and unlocked, Start enabled last.
    void ExpectEndedThroughTheTail(const TUpdateThread& run) const {
        EXPECT_FALSE(run.LogOpen());
        EXPECT_TRUE(LogLockIsFree(options_.logPath));
        EXPECT_FALSE(channel_.Connected());
        EXPECT_EQ(channel_.DisconnectCount(), 1);
        const auto events = host_.Events();
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(events.back().kind, TestRunHost::Event::Kind::EnableStart);
    }

    QTemporaryDir dir_;
    SimulatedLine line_{MakePages(4, 248, 5), kNoWireTime};
    DeviceChannel& channel_ = line_.channel;
    const PageMap& pages_ = line_.pages;
    TestRunHost host_;
    RunOptions options_;
};

TEST_F(ThreadFault, DeviceLostInThePageFrameEndsTheRunWithItsMessages) {
    const DryRunResult dry = DryRunOf(pages_);
    ASSERT_EQ(dry.pageFrames.count(2), 1u);
    const auto& page2 = dry.pageFrames.at(2);
    line_.Device();
    FailAfterChannel failing(channel_, page2.bytesBefore + page2.frame.size() / 2);
    ForwardingChannelFactory factory(failing);

    TRunHandOver handOver(host_);
    TUpdateThread run(QStringLiteral("ttyFAULT0"), pages_, options_, factory, line_.clock,
                      handOver);
    run.start();
    ASSERT_TRUE(ServeUntilFinished(handOver, run)) << "the run hung";

    EXPECT_TRUE(failing.Failed());
    EXPECT_EQ(host_.Shown(), (QStringList{kExchangeError, kUpdateError}));
    EXPECT_EQ(line_.Report().pagesWritten, (std::vector<uint16_t>{0, 1}));
    ExpectEndedThroughTheTail(run);
    const QStringList log = LogEntries(options_.logPath);
    ASSERT_FALSE(log.isEmpty());
    EXPECT_EQ(log.back(), kUpdateError);
}

}  // namespace
}  // namespace kvr::test

// The hand-over between an update thread and its host's thread, and whole runs on a real
// update thread. Every wait here ends because of what the other thread does, never because
// time passed: the only bounded waits are ones that must not end.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QThread>
#include <atomic>
#include <memory>
#include <thread>

#include "HandOver.h"
#include "RunMessages.h"
#include "SimulatedLine.h"
#include "TestFiles.h"
#include "TestPages.h"
#include "TestRunHost.h"
#include "UpdateThread.h"

namespace kvr::test {
namespace {

// A host that also notes on which thread each call ran.
class ThreadCheckingHost : public TestRunHost {
public:
    void ShowMessage(const QString& text) override {
        Note();
        if (duringMessage)
            duringMessage();
        TestRunHost::ShowMessage(text);
    }
    bool AskYesNo(const QString& text) override {
        Note();
        return TestRunHost::AskYesNo(text);
    }
    void SetProgress(int position) override {
        Note();
        TestRunHost::SetProgress(position);
    }
    void EnableStart() override {
        Note();
        TestRunHost::EnableStart();
    }
    QString SerialNumberText() override {
        Note();
        return TestRunHost::SerialNumberText();
    }
    QString HardwareText() override {
        Note();
        return TestRunHost::HardwareText();
    }

    std::function<void()> duringMessage;
    std::atomic<int> callsOffThread{0};
    std::atomic<int> calls{0};

private:
    void Note() {
        ++calls;
        if (QThread::currentThread() != QCoreApplication::instance()->thread())
            ++callsOffThread;
    }
};

// Waits, without a deadline, until the hand-over holds a call nobody has taken up.
void WaitForPendingCall(TRunHandOver& handOver) {
    while (handOver.PendingCalls() == 0)
        std::this_thread::yield();
}

TEST(HandOver, MessageKeepsTheRunWaitingUntilTheBoxIsClosed) {
    ThreadCheckingHost host;
    TRunHandOver handOver(host);
    std::atomic<bool> returned{false};
    std::unique_ptr<QThread> run(QThread::create([&] {
        handOver.ShowMessage(QStringLiteral("box"));
        returned = true;
    }));
    bool stillWaitingInside = false;
    host.duringMessage = [&] {
        // The box is open: the run must neither have returned nor be able to end.
        stillWaitingInside = !returned && !run->wait(QDeadlineTimer(50));
    };
    run->start();
    ASSERT_TRUE(handOver.WaitServing(*run, 5));
    EXPECT_TRUE(stillWaitingInside);
    EXPECT_TRUE(returned);
    EXPECT_EQ(host.Shown(), QStringList{QStringLiteral("box")});
    EXPECT_EQ(host.callsOffThread, 0);
}

TEST(HandOver, AnswersAndTextsComeBackToTheRun) {
    ThreadCheckingHost host;
    host.QueueAnswer(true);
    host.QueueAnswer(false);
    host.SetSerialNumber(QStringLiteral("00123"));
    host.SetHardware(QStringLiteral("7"));
    TRunHandOver handOver(host);
    bool first = false;
    bool second = true;
    QString serialNumber;
    QString hardware;
    std::unique_ptr<QThread> run(QThread::create([&] {
        first = handOver.AskYesNo(QStringLiteral("q1"));
        second = handOver.AskYesNo(QStringLiteral("q2"));
        serialNumber = handOver.SerialNumberText();
        hardware = handOver.HardwareText();
        handOver.SetProgress(42);
        handOver.EnableStart();
    }));
    run->start();
    ASSERT_TRUE(handOver.WaitServing(*run, 5));
    EXPECT_TRUE(first);
    EXPECT_FALSE(second);
    EXPECT_EQ(serialNumber, QStringLiteral("00123"));
    EXPECT_EQ(hardware, QStringLiteral("7"));
    EXPECT_EQ(host.Progress(), std::vector<int>{42});
    EXPECT_EQ(host.EnableStartCount(), 1);
    EXPECT_EQ(host.calls, 6);
    EXPECT_EQ(host.callsOffThread, 0);
}

TEST(HandOver, CallsAreServedByTheHostsEventLoop) {
    ThreadCheckingHost host;
    TRunHandOver handOver(host);
    std::unique_ptr<QThread> run(QThread::create([&] {
        for (int i = 1; i <= 3; ++i)
            handOver.SetProgress(i);
    }));
    QEventLoop loop;
    QObject::connect(run.get(), &QThread::finished, &loop, &QEventLoop::quit);
    run->start();
    loop.exec();
    EXPECT_TRUE(run->wait());
    EXPECT_EQ(host.Progress(), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(host.callsOffThread, 0);
}

TEST(HandOver, CallOnTheHostsOwnThreadRunsDirectly) {
    ThreadCheckingHost host;
    TRunHandOver handOver(host);
    handOver.ShowMessage(QStringLiteral("direct"));
    EXPECT_EQ(host.Shown(), QStringList{QStringLiteral("direct")});
    EXPECT_EQ(handOver.PendingCalls(), 0);
}

TEST(HandOver, ShutdownReleasesAWaitingRunWithDefaultAnswers) {
    ThreadCheckingHost host;
    host.SetDefaultAnswer(true);
    host.SetSerialNumber(QStringLiteral("1"));
    TRunHandOver handOver(host);
    bool answer = true;
    QString serialNumber = QStringLiteral("unset");
    // A std::thread: its join orders the answers for TSan, where QThread::wait may not.
    std::thread run([&] {
        answer = handOver.AskYesNo(QStringLiteral("q"));  // waits: nobody serves
        serialNumber = handOver.SerialNumberText();       // after shutdown: at once
        handOver.ShowMessage(QStringLiteral("never shown"));
    });
    WaitForPendingCall(handOver);
    handOver.Shutdown();
    run.join();  // a plain join: nothing needs serving any more
    EXPECT_FALSE(answer);
    EXPECT_TRUE(serialNumber.isEmpty());
    EXPECT_EQ(host.calls, 0);
    EXPECT_TRUE(handOver.IsShutDown());
    // Queued invocations that arrive afterwards find nothing to run.
    QCoreApplication::processEvents();
    EXPECT_EQ(host.calls, 0);
}

TEST(HandOver, DestroyingTheHandOverReleasesAWaitingRun) {
    ThreadCheckingHost host;
    auto handOver = std::make_unique<TRunHandOver>(host);
    std::atomic<bool> returned{false};
    std::unique_ptr<QThread> run(QThread::create([&] {
        handOver->ShowMessage(QStringLiteral("closing"));
        returned = true;
    }));
    run->start();
    WaitForPendingCall(*handOver);
    handOver.reset();
    EXPECT_TRUE(run->wait());
    EXPECT_TRUE(returned);
    QCoreApplication::processEvents();
    EXPECT_EQ(host.calls, 0);
}

TEST(HandOver, WaitServingRefusesAnotherThread) {
    ThreadCheckingHost host;
    TRunHandOver handOver(host);
    std::unique_ptr<QThread> idle(QThread::create([] {}));
    std::atomic<bool> result = true;  // QThread::wait's ordering is invisible to TSan
    std::unique_ptr<QThread> other(QThread::create([&] { result = handOver.WaitServing(*idle); }));
    other->start();
    EXPECT_TRUE(other->wait());
    EXPECT_FALSE(result);
    EXPECT_TRUE(handOver.WaitServing(*idle));  // never started: nothing to wait for
}

// --- whole runs on the update thread ----------------------------------------------------

class UpdateThreadRun : public ::testing::Test {
protected:
    void SetUp() override { options_.logPath = dir_.filePath(QStringLiteral("log.txt")); }

    // The device as the run meets it, built before the run starts.
    DeviceModel& Device() { return line_.Device(); }

    QTemporaryDir dir_;
    SimulatedLine line_{MakePages(3, 32)};
    VirtualClock& clock_ = line_.clock;
    DeviceChannel& channel_ = line_.channel;
    ForwardingChannelFactory& factory_ = line_.factory;
    const PageMap& pages_ = line_.pages;
    ThreadCheckingHost host_;
    TRunHandOver handOver_{host_};
    RunOptions options_;
};

TEST_F(UpdateThreadRun, UpdatesOnItsOwnThreadAndReportsOnTheHosts) {
    options_.technologyMode = true;
    line_.options.finalStatuses = {10};
    host_.SetSerialNumber(QStringLiteral("99"));
    host_.SetHardware(QStringLiteral("4"));
    Device();
    TUpdateThread run(QStringLiteral("ttyKVR1"), pages_, options_, factory_, clock_, handOver_);
    EXPECT_EQ(run.AddressFieldLength(), 6);
    EXPECT_TRUE(run.LogOpen());
    EXPECT_TRUE(channel_.Writes().empty());  // the constructor leaves the port alone
    run.start();
    ASSERT_TRUE(handOver_.WaitServing(run, 5));

    EXPECT_EQ(host_.Shown(), QStringList{kSuccess});
    EXPECT_EQ(host_.callsOffThread, 0);
    EXPECT_EQ(Device().Report().pageMismatches, 0u);
    ASSERT_EQ(Device().Report().serialNumbers.size(), 1u);
    EXPECT_EQ(SerialPayload(Device().Report().serialNumbers[0]),
              (Bytes{4, '9', '9', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(host_.EnableStartCount(), 1);
    EXPECT_FALSE(run.LogOpen());  // closed by the tail
    EXPECT_EQ(LogEntries(options_.logPath).first(), QStringLiteral("Запуск обновления"));
}

TEST_F(UpdateThreadRun, StopRequestedByTheHostEndsTheRunQuietly) {
    Device();
    TUpdateThread run(QStringLiteral("ttyKVR1"), pages_, options_, factory_, clock_, handOver_);
    host_.OnEvent([&](const TestRunHost::Event& e) {
        if (e.kind == TestRunHost::Event::Kind::Progress)
            run.requestInterruption();
    });
    run.start();
    ASSERT_TRUE(handOver_.WaitServing(run, 5));
    EXPECT_TRUE(host_.Shown().isEmpty());
    EXPECT_EQ(Device().Report().pagesWritten, std::vector<uint16_t>{0});
    EXPECT_EQ(host_.EnableStartCount(), 1);
    EXPECT_FALSE(channel_.Connected());
}

TEST_F(UpdateThreadRun, HostClosingWhileABoxIsPendingDoesNotDeadlock) {
    channel_.FailConnect("SerialComm open port error, 2");  // reports at once
    TUpdateThread run(QStringLiteral("ttyKVR1"), pages_, options_, factory_, clock_, handOver_);
    run.start();
    WaitForPendingCall(handOver_);
    // The window closes: ask the run to stop, answer nothing more, and wait.
    run.requestInterruption();
    handOver_.Shutdown();
    EXPECT_TRUE(run.wait());
    EXPECT_EQ(host_.calls, 0);
    EXPECT_FALSE(channel_.Connected());
}

TEST_F(UpdateThreadRun, HostWaitingForTheEndKeepsServingItsBoxes) {
    channel_.FailConnect("SerialComm open port error, 2");
    TUpdateThread run(QStringLiteral("ttyKVR1"), pages_, options_, factory_, clock_, handOver_);
    run.start();
    WaitForPendingCall(handOver_);
    run.requestInterruption();
    ASSERT_TRUE(handOver_.WaitServing(run, 5));
    EXPECT_EQ(host_.Shown(), (QStringList{kExchangeError, kConnectionError}));
}

TEST_F(UpdateThreadRun, TwoRunsOnTwoPortsKeepTheirOwnFraming) {
    // A second port whose device speaks without address bytes from the start.
    SimulatedLine line2(pages_);
    line2.options.startInBootloader = true;
    line2.Device();
    Device();
    ThreadCheckingHost host2;
    TRunHandOver handOver2{host2};
    RunOptions options2;
    options2.logPath = dir_.filePath(QStringLiteral("log2.txt"));

    TUpdateThread first(QStringLiteral("ttyKVR1"), pages_, options_, factory_, clock_, handOver_);
    TUpdateThread second(QStringLiteral("ttyKVR2"), pages_, options2, line2.factory, line2.clock,
                         handOver2);
    first.start();
    second.start();
    ASSERT_TRUE(handOver_.WaitServing(first, 5));
    ASSERT_TRUE(handOver2.WaitServing(second, 5));
    EXPECT_EQ(host_.Shown(), QStringList{kSuccess});
    EXPECT_EQ(host2.Shown(), QStringList{kSuccess});
    EXPECT_EQ(Device().Report().pageMismatches, 0u);
    EXPECT_EQ(line2.Report().pageMismatches, 0u);
    EXPECT_EQ(line2.Report().pagesWritten.size(), 3u);
}

}  // namespace
}  // namespace kvr::test

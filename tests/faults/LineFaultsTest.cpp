// A sick line or device, in-process on virtual time: noise, a reply that claims 0xFFFF bytes,
// bytes that trickle in, a device that speaks one framing only, a device that vanishes at any
// point of the run. Every run must end with the messages an operator should see and through
// its tail: port closed, log closed, Start enabled last.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <algorithm>

#include "Exception.h"
#include "FakeClock.h"
#include "FakeDevice.h"
#include "FaultSupport.h"
#include "HeldElsewhere.h"
#include "PortOpenError.h"
#include "TestRunHost.h"
#include "UpdateSequence.h"

namespace kvr::test {
namespace {

constexpr uint16_t kPageDataBytes = 248;
constexpr int kPageCount = 4;

// What the zero-framing device answers for a whole update of kPageCount pages: the probe's
// status, the idle bootloader, one request per page, completion, then idle after the restart.
std::vector<Bytes> WholeUpdateStatuses() {
    std::vector<Bytes> s{StatusBytes(kStatusIdleBootloader), StatusBytes(kStatusIdleBootloader)};
    for (uint16_t page = 0; page < kPageCount; ++page)
        s.push_back(StatusBytes(kStatusWantsPage, page, kPageDataBytes));
    s.push_back(StatusBytes(kStatusDone));
    s.push_back(StatusBytes(0));
    return s;
}

using Delivery = ZeroFramingDevice::Delivery;

// Spoils only the given occurrence of one command.
ZeroFramingDevice::Spoil SpoilOnce(uint8_t command, int occurrence, Delivery delivery) {
    return [=](uint8_t c, int n) {
        return c == command && n == occurrence ? delivery : Delivery::Prompt;
    };
}

class LineFault : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        options_.logPath = dir_.filePath(QStringLiteral("log.txt"));
    }

    // One whole run. What the tail must have done is noted before the run object goes, so
    // that its destructor cannot hide a log or port left open.
    void Go(IChannelFactory& factory) {
        TUpdateSequence run(QStringLiteral("ttyFAULT0"), pages_, options_, factory, clock_, host_);
        run.RunUpdate();
        logOpenAfterRun_ = run.LogOpen();
        logLockFreeAfterRun_ = LockIsFree(options_.logPath);
        connectedAfterRun_ = run.Connected() && channel_.Connected();
    }
    void Go() { Go(factory_); }

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
    FakeClock clock_;
    ScriptedChannel channel_{clock_};
    ForwardingChannelFactory factory_{channel_};
    TestRunHost host_;
    PageMap pages_ = RandomPages(kPageCount, kPageDataBytes, 99);
    RunOptions options_;
    bool logOpenAfterRun_ = true;
    bool logLockFreeAfterRun_ = false;
    bool connectedAfterRun_ = true;
};

// --- the device that speaks one framing only ------------------------------------------------

TEST_F(LineFault, DeviceOnlyWithoutAddressBytesIsUpdatedQuietly) {
    ZeroFramingDevice device(channel_);
    device.statuses = WholeUpdateStatuses();
    Go();
    EXPECT_EQ(host_.Shown(), QStringList{kSuccess});
    EXPECT_EQ(device.PagesReceived(), (std::vector<uint16_t>{0, 1, 2, 3}));
    ExpectEndedThroughTheTail();
}

struct FramingCase {
    const char* name;
    uint16_t application;
    uint16_t bootloader;
    uint16_t afterDone;
};

void PrintTo(const FramingCase& c, std::ostream* os) {
    *os << c.name;
}

class OneFraming : public LineFault, public ::testing::WithParamInterface<FramingCase> {};

TEST_P(OneFraming, EveryProbeFindsItAndTheUpdateCompletes) {
    FakeDevice device(channel_, pages_);
    device.applicationAddressLength = GetParam().application;
    device.bootloaderAddressLength = GetParam().bootloader;
    device.afterDoneAddressLength = GetParam().afterDone;
    Go();
    EXPECT_EQ(host_.Shown(), QStringList{kSuccess});
    EXPECT_EQ(device.PagesWritten(), (std::vector<uint16_t>{0, 1, 2, 3}));
    EXPECT_EQ(device.MismatchedPages(), 0);
    for (const auto& frame : device.Frames()) {
        EXPECT_EQ(frame.addressLength, GetParam().application) << int(frame.command);
    }
    ExpectEndedThroughTheTail();
}

INSTANTIATE_TEST_SUITE_P(Faults, OneFraming,
                         ::testing::Values(FramingCase{"WithoutAddressBytes", 0, 0, 0},
                                           FramingCase{"WithAddressBytes", 6, 6, 6}),
                         [](const auto& param) { return std::string(param.param.name); });

TEST_F(LineFault, DeviceInAFramingTheHostNeverSpeaksGetsOneExchangeError) {
    FakeDevice device(channel_, pages_);
    device.applicationAddressLength = 3;  // answers neither 6 nor 0 address bytes
    Go();
    EXPECT_EQ(host_.Shown(), QStringList{kExchangeError});
    EXPECT_TRUE(device.Frames().empty());
    ExpectEndedThroughTheTail();
}

// --- noise ----------------------------------------------------------------------------------

TEST_F(LineFault, BabblingDeviceEndsAfterTheProbeWithExchangeErrors) {
    ZeroFramingDevice device(channel_);
    device.babbling = true;
    Go();
    // Both quiet attempts of the probe got bytes that are no reply, then the probe gave up.
    EXPECT_EQ(host_.Shown(), (QStringList{kExchangeError, kExchangeError, kExchangeError}));
    EXPECT_EQ(channel_.Writes().size(), 2u);  // the two status requests of the probe
    EXPECT_LE(LargestRead(), kReplyBufferLimitBytes);
    ExpectEndedThroughTheTail();
}

struct SpoilCase {
    const char* name;
    uint8_t command;
    int occurrence;  // occurrence 1 of cmdStatus is the probe's attempt without address bytes
    Delivery delivery;
    QStringList shown;
    std::vector<uint16_t> pagesReceived;
};

void PrintTo(const SpoilCase& c, std::ostream* os) {
    *os << c.name;
}

class SpoiltReply : public LineFault, public ::testing::WithParamInterface<SpoilCase> {};

TEST_P(SpoiltReply, EndsWithTheRightMessagesThroughTheTail) {
    ZeroFramingDevice device(channel_);
    device.statuses = WholeUpdateStatuses();
    device.spoil = SpoilOnce(GetParam().command, GetParam().occurrence, GetParam().delivery);
    Go();
    EXPECT_EQ(host_.Shown(), GetParam().shown);
    EXPECT_EQ(device.PagesReceived(), GetParam().pagesReceived);
    // Nothing of a spoilt reply is read beyond the reply buffer, whatever it claims.
    EXPECT_LE(LargestRead(), kReplyBufferLimitBytes);
    ExpectEndedThroughTheTail();
    // The last words of the log are the last message.
    const QStringList log = Log();
    ASSERT_FALSE(log.isEmpty());
    EXPECT_EQ(log.back(), GetParam().shown.back());
}

const QStringList kExchangeTwice{kExchangeError, kExchangeError};
const QStringList kPageLost{kExchangeError, kUpdateError};

INSTANTIATE_TEST_SUITE_P(
    Faults, SpoiltReply,
    ::testing::Values(
        // Noise in place of one reply.
        SpoilCase{"NoiseForTheProbe", kCommandStatus, 1, Delivery::Noise, kExchangeTwice, {}},
        SpoilCase{"NoiseWhilePolling",
                  kCommandStatus,
                  4,
                  Delivery::Noise,
                  QStringList{kExchangeError},
                  {0}},
        SpoilCase{"NoiseForAPage", kCommandWritePage, 2, Delivery::Noise, kPageLost, {0, 1}},
        // A frame start with random data: the checksum and the echo are both wrong.
        SpoilCase{"GarbledStatusWhilePolling",
                  kCommandStatus,
                  4,
                  Delivery::GarbledFrame,
                  QStringList{kCrcError, kExchangeError},
                  {0}},
        SpoilCase{"GarbledPageReply",
                  kCommandWritePage,
                  2,
                  Delivery::GarbledFrame,
                  QStringList{kCrcError, kUpdateError},
                  {0, 1}},
        // A length field of 0xFFFF: never read into the 1024-byte buffer.
        SpoilCase{
            "HugeLengthForTheProbe", kCommandStatus, 1, Delivery::HugeLength, kExchangeTwice, {}},
        SpoilCase{
            "HugeLengthWhilePolling", kCommandStatus, 4, Delivery::HugeLength, kExchangeTwice, {0}},
        SpoilCase{
            "HugeLengthForAPage", kCommandWritePage, 2, Delivery::HugeLength, kPageLost, {0, 1}},
        // Bytes further apart than the interval time-out: the read ends after the first.
        SpoilCase{"TrickleForTheProbe", kCommandStatus, 1, Delivery::Trickle, kExchangeTwice, {}},
        SpoilCase{"TrickleWhilePolling", kCommandStatus, 4, Delivery::Trickle, kExchangeTwice, {0}},
        SpoilCase{"TrickleForAPage", kCommandWritePage, 2, Delivery::Trickle, kPageLost, {0, 1}}),
    [](const auto& param) { return std::string(param.param.name); });

TEST_F(LineFault, TrickledReplyIsGivenUpAfterTheIntervalNotAfterTheWholeTrickle) {
    ZeroFramingDevice device(channel_);
    device.statuses = WholeUpdateStatuses();
    device.spoil = SpoilOnce(kCommandStatus, 2, Delivery::Trickle);
    Go();
    // The header read got the first byte at once and gave up one interval later.
    const auto reads = channel_.Reads();
    const auto trickled = std::find_if(reads.begin(), reads.end(),
                                       [](const auto& r) { return r.asked == 4 && r.got == 1; });
    ASSERT_NE(trickled, reads.end());
    EXPECT_EQ(trickled->elapsedMs, kIntervalTimeoutMs);
    EXPECT_EQ(host_.Shown(), kExchangeTwice);
    ExpectEndedThroughTheTail();
}

// --- a port that will not open ------------------------------------------------------------

// A port that refuses to open, giving the system's words for why.
class RefusingChannel final : public ScriptedChannel {
public:
    using ScriptedChannel::ScriptedChannel;
    void Connect(const LinkSettings&) override {
        throw EPortOpenError("SerialComm open port error, 13", "Permission denied");
    }
};

TEST_F(LineFault, PortThatWillNotOpenHasTheSystemsReasonInTheLog) {
    RefusingChannel refusing(clock_);
    ForwardingChannelFactory factory(refusing);
    Go(factory);
    EXPECT_EQ(host_.Shown(), (QStringList{kExchangeError, kConnectionError}));
    EXPECT_TRUE(refusing.Writes().empty());
    const QStringList log = Log();
    const auto connecting = log.indexOf(QStringLiteral("Подключение интерфейса"));
    ASSERT_GE(connecting, 0);
    ASSERT_LT(connecting + 1, log.size());
    EXPECT_EQ(log.at(connecting + 1),
              QStringLiteral("SerialComm open port error, 13 (Permission denied)"));
    EXPECT_FALSE(logOpenAfterRun_);
    EXPECT_TRUE(logLockFreeAfterRun_);
    EXPECT_EQ(host_.Events().back().kind, TestRunHost::Event::Kind::EnableStart);
}

// --- the device vanishes --------------------------------------------------------------------

class Vanish : public LineFault {
protected:
    void DryRun() {
        const DryRunResult dry = DryRunOf(pages_);
        ASSERT_GT(dry.bytes, 0u) << "the undisturbed run failed";
        wholeRunBytes_ = dry.bytes;
        pageFrames_ = dry.pageFrames;
    }

    uint64_t wholeRunBytes_ = 0;
    std::map<int, CountingChannel::WriteNote> pageFrames_;
};

TEST_F(Vanish, InTheMiddleOfAPageFrame) {
    DryRun();
    ASSERT_EQ(pageFrames_.count(2), 1u);
    const auto& page2 = pageFrames_.at(2);
    FakeDevice device(channel_, pages_);
    FailAfterChannel failing(channel_, page2.bytesBefore + page2.frame.size() / 2);
    ForwardingChannelFactory factory(failing);
    Go(factory);

    EXPECT_TRUE(failing.Failed());
    EXPECT_EQ(host_.Shown(), kPageLost);
    EXPECT_EQ(device.PagesWritten(), (std::vector<uint16_t>{0, 1}));  // half a frame is no page
    ExpectEndedThroughTheTail();
    const QStringList log = Log();
    ASSERT_GE(log.size(), 4);
    EXPECT_EQ(log.mid(log.size() - 4),
              (QStringList{kExchangeError, QStringLiteral("Нет ответа!"),
                           QStringLiteral("Ошибка записи страницы!"), kUpdateError}));
}

// A port whose device side is gone: once the host has read the status "update done", reads
// return nothing at once, writes put nothing out and purging fails, while the port still counts
// as open (a pulled USB adapter, a closed pseudo-terminal).
class HangsUpAfterCompletion final : public ForwardingChannel {
public:
    explicit HangsUpAfterCompletion(IByteChannel& inner) : ForwardingChannel(inner) {}
    uint32_t Read(uint8_t* buffer, uint32_t count) override {
        if (hungUp_) {
            std::fill_n(buffer, std::min<uint32_t>(count, 4), uint8_t{0});
            return 0;
        }
        const uint32_t got = Inner().Read(buffer, count);
        // Reply data of a status reply: echo 0x01, then the status code.
        if (got >= 2 && buffer[0] == kCommandStatus && buffer[1] == kStatusDone)
            hungUp_ = true;
        return got;
    }
    uint32_t Write(const uint8_t* buffer, uint32_t count) override {
        return hungUp_ ? 0 : Inner().Write(buffer, count);
    }
    void PurgeReceive() override {
        if (hungUp_)
            throw EInOutError("Serial port purge error, code 5");
        Inner().PurgeReceive();
    }

private:
    bool hungUp_ = false;
};

TEST_F(Vanish, PortDeadRightAfterCompletionIsReportedNoMoreThanASilentDevice) {
    // An operator who closes each box at once.
    constexpr uint64_t kBoxMs = 1;
    // The yardstick: a device that stays silent after completion, each attempt waiting out
    // its time-outs within the completion window.
    QStringList silentShown;
    {
        FakeClock clock;
        ScriptedChannel channel(clock);
        FakeDevice device(channel, pages_);
        device.silentAfterDone = true;
        ForwardingChannelFactory factory(channel);
        TestRunHost host;
        host.ChargeBoxesTo(clock, kBoxMs);
        TUpdateSequence run(QStringLiteral("ttyFAULT0"), pages_, RunOptions{}, factory, clock,
                            host);
        run.RunUpdate();
        silentShown = host.Shown();
    }
    ASSERT_GE(silentShown.size(), 2);
    EXPECT_EQ(silentShown.back(), kUpdateError);

    FakeDevice device(channel_, pages_);
    HangsUpAfterCompletion dead(channel_);
    ForwardingChannelFactory factory(dead);
    host_.ChargeBoxesTo(clock_, kBoxMs);
    Go(factory);
    EXPECT_EQ(device.PagesWritten(), (std::vector<uint16_t>{0, 1, 2, 3}));
    const QStringList shown = host_.Shown();
    ASSERT_GE(shown.size(), 2);
    EXPECT_LE(shown.size(), silentShown.size());
    EXPECT_EQ(shown.count(kExchangeError), shown.size() - 1);
    EXPECT_EQ(shown.back(), kUpdateError);
    ExpectEndedThroughTheTail();
    // Asked again at a pace until the window closed, not thousands of times.
    const QStringList log = Log();
    const auto done = log.indexOf(QStringLiteral("Получен статус успешного завершения"));
    ASSERT_GE(done, 0);
    const auto windowEntries = log.size() - done;
    EXPECT_GE(windowEntries, 10 * 3);
    EXPECT_LE(windowEntries, 15 * 3);
}

TEST_F(Vanish, AtAnyPointTheRunEndsCleanlyAndNeverClaimsSuccess) {
    DryRun();
    ASSERT_GT(wholeRunBytes_, 0u);
    const QStringList allowed{kExchangeError, kCrcError, kUpdateError, kConnectionError};
    // Every cut point from the first byte on, in steps that land in every kind of frame.
    constexpr uint64_t kStep = 7;
    for (uint64_t budget = 0; budget < wholeRunBytes_; budget += kStep) {
        SCOPED_TRACE(budget);
        FakeClock clock;
        ScriptedChannel channel(clock);
        FakeDevice device(channel, pages_);
        FailAfterChannel failing(channel, budget);
        ForwardingChannelFactory factory(failing);
        TestRunHost host;
        QTemporaryDir dir;
        RunOptions options;
        options.logPath = dir.filePath(QStringLiteral("log.txt"));
        bool logOpen = true;
        {
            TUpdateSequence run(QStringLiteral("ttyFAULT0"), pages_, options, factory, clock, host);
            run.RunUpdate();
            logOpen = run.LogOpen();
        }
        EXPECT_FALSE(logOpen);
        EXPECT_TRUE(LockIsFree(options.logPath));
        EXPECT_FALSE(channel.Connected());
        EXPECT_EQ(channel.DisconnectCount(), 1);

        const QStringList shown = host.Shown();
        ASSERT_FALSE(shown.isEmpty()) << "a lost device went unreported";
        for (const QString& text : shown)
            EXPECT_TRUE(allowed.contains(text)) << text.toStdString();
        // Reported, not repeated without end: every exchange of the completion window costs
        // at least a probe's time-outs.
        EXPECT_LT(shown.size(), 40);
        const auto events = host.Events();
        EXPECT_EQ(events.back().kind, TestRunHost::Event::Kind::EnableStart);
        // The pages the device took are a prefix of the package, each taken whole.
        const auto& written = device.PagesWritten();
        for (size_t i = 0; i < written.size(); ++i)
            EXPECT_EQ(written[i], i);
        EXPECT_EQ(device.MismatchedPages(), 0);
    }
}

// --- the update log cannot be used ----------------------------------------------------------

TEST_F(LineFault, LogPathThatIsAFolderLeavesTheRunWithoutALog) {
    // As root, permission bits do not stop writes; a folder in the log's place does.
    ASSERT_TRUE(QDir().mkpath(options_.logPath));
    FakeDevice device(channel_, pages_);
    Go();
    EXPECT_EQ(host_.Shown(), QStringList{kSuccess});
    EXPECT_EQ(device.PagesWritten(), (std::vector<uint16_t>{0, 1, 2, 3}));
    EXPECT_TRUE(QFileInfo(options_.logPath).isDir());
    EXPECT_TRUE(QDir(options_.logPath).isEmpty());
    ExpectEndedThroughTheTail();
}

TEST_F(LineFault, LogHeldByAnotherProcessIsLeftAloneAndTheRunGoesOn) {
    QFile log(options_.logPath);
    ASSERT_TRUE(log.open(QIODevice::WriteOnly));
    const QByteArray before("\xFF\xFE\r\0\n\0o\0l\0d\0", 12);
    ASSERT_EQ(log.write(before), before.size());
    log.close();
    FakeDevice device(channel_, pages_);
    {
        HeldElsewhere holder(options_.logPath.toStdString(), false);
        ASSERT_TRUE(holder.Held());
        TUpdateSequence run(QStringLiteral("ttyFAULT0"), pages_, options_, factory_, clock_, host_);
        EXPECT_FALSE(run.LogOpen());
        run.RunUpdate();
        logOpenAfterRun_ = run.LogOpen();
        connectedAfterRun_ = channel_.Connected();
    }
    logLockFreeAfterRun_ = LockIsFree(options_.logPath);
    EXPECT_EQ(host_.Shown(), QStringList{kSuccess});
    EXPECT_EQ(device.PagesWritten(), (std::vector<uint16_t>{0, 1, 2, 3}));
    EXPECT_EQ(FileBytes(options_.logPath), before);
    ExpectEndedThroughTheTail();
}

}  // namespace
}  // namespace kvr::test

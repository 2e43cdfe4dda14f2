// A sick line or device, in-process on virtual time: noise, a reply that claims 0xFFFF bytes,
// bytes that trickle in, a device that speaks one framing only, a device that vanishes at any
// point of the run. Every run must end with the messages an operator should see and through
// its tail: port closed, log closed, Start enabled last.
#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <algorithm>

#include "Exception.h"
#include "PortOpenError.h"
#include "RunFaults.h"
#include "TestFiles.h"
#include "TestPages.h"
#include "TestRunHost.h"
#include "UpdateSequence.h"

namespace kvr::test {
namespace {

// A device that speaks the framing without address bytes only, already in its bootloader:
// frames with address bytes read, to it, as the unknown command 0x00.
DeviceOptions OneFramingDevice() {
    DeviceOptions options;
    options.applicationAddressLength = 0;
    options.bootloaderAddressLength = 0;
    options.startInBootloader = true;
    return options;
}

// How one reply reaches the host.
enum class Delivery { Noise, GarbledFrame, HugeLength, Trickle };

// The faults that spoil only the given occurrence of one command in that way.
std::vector<ReplyFault> SpoilOnce(uint8_t command, uint32_t occurrence, Delivery delivery) {
    switch (delivery) {
        case Delivery::Noise:
            return {FaultOn(command, occurrence, FaultKind::Noise)};
        case Delivery::GarbledFrame:
            return {FaultOn(command, occurrence, FaultKind::Garbled)};
        case Delivery::HugeLength:
            // The length field says 0xFFFF, and noise follows the reply.
            return {FaultOn(command, occurrence, FaultKind::LengthField, 0xFFFF),
                    FaultOn(command, occurrence, FaultKind::TrailingNoise)};
        case Delivery::Trickle:
            // Further apart than the interval time-out.
            return {FaultOn(command, occurrence, FaultKind::Trickle,
                            static_cast<uint32_t>(kIntervalTimeoutMs + 500))};
    }
    return {};
}

// --- the device that speaks one framing only ------------------------------------------------

TEST_F(LineFault, DeviceOnlyWithoutAddressBytesIsUpdatedQuietly) {
    device_ = OneFramingDevice();
    Go();
    EXPECT_EQ(host_.Shown(), QStringList{kSuccess});
    EXPECT_EQ(line_.Report().pagesWritten, (std::vector<uint16_t>{0, 1, 2, 3}));
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
    device_.applicationAddressLength = GetParam().application;
    device_.bootloaderAddressLength = GetParam().bootloader;
    device_.updatedAddressLength = GetParam().afterDone;
    Go();
    EXPECT_EQ(host_.Shown(), QStringList{kSuccess});
    EXPECT_EQ(line_.Report().pagesWritten, (std::vector<uint16_t>{0, 1, 2, 3}));
    EXPECT_EQ(line_.Report().pageMismatches, 0u);
    for (const auto& frame : line_.Device().Frames()) {
        EXPECT_EQ(frame.addressLength, GetParam().application) << int(frame.command);
    }
    ExpectEndedThroughTheTail();
}

INSTANTIATE_TEST_SUITE_P(Faults, OneFraming,
                         ::testing::Values(FramingCase{"WithoutAddressBytes", 0, 0, 0},
                                           FramingCase{"WithAddressBytes", 6, 6, 6}),
                         [](const auto& param) { return std::string(param.param.name); });

TEST_F(LineFault, DeviceInAFramingTheHostNeverSpeaksGetsOneExchangeError) {
    device_.applicationAddressLength = 3;  // answers neither 6 nor 0 address bytes
    Go();
    EXPECT_EQ(host_.Shown(), QStringList{kExchangeError});
    EXPECT_TRUE(line_.Device().Frames().empty());
    ExpectEndedThroughTheTail();
}

// --- noise ----------------------------------------------------------------------------------

TEST_F(LineFault, BabblingDeviceEndsAfterTheProbeWithExchangeErrors) {
    device_ = OneFramingDevice();
    device_.babbleBytes = 4096;
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
    uint32_t occurrence;  // occurrence 1 of cmdStatus is the probe's attempt without address bytes
    Delivery delivery;
    QStringList shown;
    std::vector<uint16_t> pagesReceived;
};

void PrintTo(const SpoilCase& c, std::ostream* os) {
    *os << c.name;
}

class SpoiltReply : public LineFault, public ::testing::WithParamInterface<SpoilCase> {};

TEST_P(SpoiltReply, EndsWithTheRightMessagesThroughTheTail) {
    device_ = OneFramingDevice();
    device_.faults = SpoilOnce(GetParam().command, GetParam().occurrence, GetParam().delivery);
    Go();
    EXPECT_EQ(host_.Shown(), GetParam().shown);
    EXPECT_EQ(line_.Report().pagesWritten, GetParam().pagesReceived);
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
    device_ = OneFramingDevice();
    device_.faults = SpoilOnce(kCommandStatus, 2, Delivery::Trickle);
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
class RefusingChannel final : public ForwardingChannel {
public:
    using ForwardingChannel::ForwardingChannel;
    void Connect(const LinkSettings&) override {
        throw EPortOpenError(EFOpenError("SerialComm open port error, 13", 13),
                             "Permission denied");
    }
};

TEST_F(LineFault, PortThatWillNotOpenHasTheSystemsReasonInTheLog) {
    RefusingChannel refusing(channel_);
    ForwardingChannelFactory factory(refusing);
    Go(factory);
    EXPECT_EQ(host_.Shown(), (QStringList{kExchangeError, kConnectionError}));
    EXPECT_TRUE(channel_.Writes().empty());
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
    FailAfterChannel failing(channel_, page2.bytesBefore + page2.frame.size() / 2);
    ForwardingChannelFactory factory(failing);
    Go(factory);

    EXPECT_TRUE(failing.Failed());
    EXPECT_EQ(host_.Shown(), kPageLost);
    EXPECT_EQ(line_.Report().pagesWritten,
              (std::vector<uint16_t>{0, 1}));  // half a frame is no page
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
        SimulatedLine silent(pages_, kNoWireTime);
        silent.options.silentAfterCompletion = true;
        silent.Device();
        TestRunHost host;
        host.ChargeBoxesTo(silent.clock, kBoxMs);
        TUpdateSequence run(QStringLiteral("ttyFAULT0"), pages_, RunOptions{}, silent.factory,
                            silent.clock, host);
        run.RunUpdate();
        silentShown = host.Shown();
    }
    ASSERT_GE(silentShown.size(), 2);
    EXPECT_EQ(silentShown.back(), kUpdateError);

    HangsUpAfterCompletion dead(channel_);
    ForwardingChannelFactory factory(dead);
    host_.ChargeBoxesTo(clock_, kBoxMs);
    Go(factory);
    EXPECT_EQ(line_.Report().pagesWritten, (std::vector<uint16_t>{0, 1, 2, 3}));
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
        SimulatedLine line(pages_, kNoWireTime);
        line.Device();
        DeviceChannel& channel = line.channel;
        FailAfterChannel failing(channel, budget);
        ForwardingChannelFactory factory(failing);
        TestRunHost host;
        QTemporaryDir dir;
        RunOptions options;
        options.logPath = dir.filePath(QStringLiteral("log.txt"));
        bool logOpen = true;
        {
            TUpdateSequence run(QStringLiteral("ttyFAULT0"), pages_, options, factory, line.clock,
                                host);
            run.RunUpdate();
            logOpen = run.LogOpen();
        }
        EXPECT_FALSE(logOpen);
        EXPECT_TRUE(LogLockIsFree(options.logPath));
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
        const auto& written = line.Report().pagesWritten;
        for (size_t i = 0; i < written.size(); ++i)
            EXPECT_EQ(written[i], i);
        EXPECT_EQ(line.Report().pageMismatches, 0u);
    }
}

// --- the update log cannot be used ----------------------------------------------------------

TEST_F(LineFault, LogPathThatIsAFolderLeavesTheRunWithoutALog) {
    // As root, permission bits do not stop writes; a folder in the log's place does.
    ASSERT_TRUE(QDir().mkpath(options_.logPath));
    Go();
    EXPECT_EQ(host_.Shown(), QStringList{kSuccess});
    EXPECT_EQ(line_.Report().pagesWritten, (std::vector<uint16_t>{0, 1, 2, 3}));
    EXPECT_TRUE(QFileInfo(options_.logPath).isDir());
    EXPECT_TRUE(QDir(options_.logPath).isEmpty());
    ExpectEndedThroughTheTail();
}

}  // namespace
}  // namespace kvr::test

// Whole update runs against the simulated device, on virtual time: the outcomes an operator
// sees, the frames the device receives and the log a run leaves. Update scenarios live here;
// the runs over a real pseudo-terminal only prove the process, the terminal and the wire.
#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <algorithm>
#include <atomic>

#include "AnsiText.h"
#include "Exception.h"
#include "RunMessages.h"
#include "SimulatedLine.h"
#include "TestFiles.h"
#include "TestPages.h"
#include "TestRunHost.h"
#include "Translate.h"
#include "UpdateSequence.h"

namespace kvr::test {
namespace {

constexpr uint8_t kCmdStatus = 0x01;
constexpr uint8_t kCmdEnterBootloader = 0x05;
constexpr uint8_t kCmdStartUpdate = 0x08;
constexpr uint8_t kCmdWritePage = 0x09;
constexpr uint8_t kCmdWriteSerialNumber = 0x30;

class Run : public ::testing::Test {
protected:
    void SetUp() override { options_.logPath = dir_.filePath(QStringLiteral("log.txt")); }

    // Runs a whole update; the run's final state is kept for inspection.
    void Go(const std::function<bool()>& stopRequested = {}) {
        line_.Device();
        TUpdateSequence run(QStringLiteral("ttyKVR0"), line_.pages, options_, line_.factory,
                            line_.clock, host_);
        outcome_ = run.RunUpdate(stopRequested);
        final_ = run.State();
    }

    QStringList Log() const { return LogEntries(options_.logPath); }
    // Frames of one command as the device received them.
    std::vector<ReceivedFrame> FramesOf(uint8_t command) {
        std::vector<ReceivedFrame> out;
        for (const auto& f : line_.Device().Frames()) {
            if (f.command == command)
                out.push_back(f);
        }
        return out;
    }
    int CountOf(uint8_t command) { return static_cast<int>(FramesOf(command).size()); }
    // EnableStart calls that follow the last message.
    bool StartEnabledOnlyByTheTail() const {
        const auto events = host_.Events();
        return host_.EnableStartCount() == 1 &&
               events.back().kind == TestRunHost::Event::Kind::EnableStart;
    }

    DeviceOptions& device_ = line_.options;
    const DeviceReport& Report() { return line_.Report(); }

    QTemporaryDir dir_;
    SimulatedLine line_{MakePages(4, 248)};
    VirtualClock& clock_ = line_.clock;
    DeviceChannel& channel_ = line_.channel;
    TestRunHost host_;
    RunOptions options_;
    RunState final_;
    RunOutcome outcome_;
};

// --- outcomes -------------------------------------------------------------------------------

TEST_F(Run, CompletesFromApplicationModeThroughTheBootloader) {
    Go();
    EXPECT_EQ(host_.Shown(), QStringList{kSuccess});
    EXPECT_EQ(Report().pagesWritten, (std::vector<uint16_t>{0, 1, 2, 3}));
    EXPECT_EQ(Report().pageMismatches, 0u);
    EXPECT_EQ(host_.Progress(), (std::vector<int>{0, 0, 0, 1, 100}));
    EXPECT_TRUE(StartEnabledOnlyByTheTail());
    EXPECT_EQ(channel_.DisconnectCount(), 1);
    EXPECT_FALSE(channel_.Connected());
    EXPECT_EQ(clock_.Sleeps(), (std::vector<uint32_t>{1000, 3000, 2000}));
    EXPECT_TRUE(final_.stopFlag);

    // The application spoke with address bytes, the bootloader without.
    const auto statuses = FramesOf(kCmdStatus);
    ASSERT_GE(statuses.size(), 3u);
    EXPECT_EQ(statuses.front().addressLength, 6);
    EXPECT_EQ(FramesOf(kCmdEnterBootloader).at(0).addressLength, 6);
    EXPECT_EQ(FramesOf(kCmdStartUpdate).at(0).addressLength, 0);
    for (const auto& page : FramesOf(kCmdWritePage))
        EXPECT_EQ(page.addressLength, 0);
    EXPECT_EQ(final_.addressFieldLength, 6);  // back in the application after completion
    EXPECT_EQ(Report().enterBootloaderRequests, 1u);
    EXPECT_EQ(Report().startUpdateRequests, 1u);
    EXPECT_EQ(Report().updatesCompleted, 1u);
    EXPECT_EQ(Report().bootAllPageFrames + Report().bootAllOtherFrames, 0u);
}

TEST_F(Run, FramingSwitchWorksTheOtherWayRound) {
    device_.applicationAddressLength = 0;
    device_.bootloaderAddressLength = 6;
    Go();
    EXPECT_EQ(host_.Shown(), QStringList{kSuccess});
    EXPECT_EQ(Report().pagesWritten, (std::vector<uint16_t>{0, 1, 2, 3}));
    EXPECT_EQ(Report().pageMismatches, 0u);
    EXPECT_EQ(FramesOf(kCmdStartUpdate).at(0).addressLength, 6);
    EXPECT_EQ(final_.addressFieldLength, 0);
}

TEST_F(Run, EveryApplicationStatusThatAsksForARestartGetsOne) {
    for (uint8_t status : {uint8_t{0}, uint8_t{1}, uint8_t{8}, uint8_t{10}}) {
        SCOPED_TRACE(status);
        SimulatedLine line(line_.pages);
        line.options.applicationStatus = status;
        TestRunHost host;
        line.Device();
        TUpdateSequence run(QStringLiteral("ttyKVR0"), line.pages, options_, line.factory,
                            line.clock, host);
        run.RunUpdate();
        EXPECT_EQ(host.Shown(), QStringList{kSuccess});
        EXPECT_EQ(line.Report().enterBootloaderRequests, 1u);
    }
}

TEST_F(Run, DeviceKeepsItsStateBetweenRuns) {
    Go();
    host_.Clear();
    Go();
    EXPECT_EQ(host_.Shown(), QStringList{kSuccess});
    EXPECT_EQ(Report().updatesCompleted, 2u);
    EXPECT_EQ(Report().enterBootloaderRequests, 2u);
    EXPECT_EQ(Report().pagesReceived, 8u);
    EXPECT_EQ(Report().pageMismatches, 0u);
    EXPECT_EQ(channel_.ConnectCount(), 2);
}

TEST_F(Run, SilentDeviceIsOneExchangeError) {
    device_.silent = true;
    Go();
    EXPECT_EQ(host_.Shown(), QStringList{kExchangeError});
    EXPECT_TRUE(StartEnabledOnlyByTheTail());
    EXPECT_EQ(Report().framesHandled, 0u);
}

TEST_F(Run, SerialSettingsAreTheLinksOwn) {
    Go();
    const LinkSettings& s = channel_.Settings();
    EXPECT_EQ(s.portName, "ttyKVR0");
    EXPECT_EQ(s.setupString, "115200,n,8,1");
    EXPECT_EQ(s.readInterval, 1000);
    EXPECT_EQ(s.readTotalMultiplier, 50);
    EXPECT_EQ(s.writeTotalMultiplier, 250);
    EXPECT_EQ(s.writeTotalConstant, 500);
    EXPECT_EQ(s.readTotalConstant, 5000);  // restored after every probe
}

TEST_F(Run, DeviceAlreadyInItsBootloaderGetsStartUpdateAtOnce) {
    device_.startInBootloader = true;
    Go();
    EXPECT_EQ(host_.Shown(), QStringList{kSuccess});
    EXPECT_EQ(CountOf(kCmdEnterBootloader), 0);
    const auto commands = line_.Device().Commands();
    ASSERT_GE(commands.size(), 3u);
    EXPECT_EQ(commands[0], kCmdStatus);  // the probe's second attempt
    EXPECT_EQ(commands[1], kCmdStatus);  // the first poll
    EXPECT_EQ(commands[2], kCmdStartUpdate);

    // The idle bootloader's other status is taken the same way.
    SimulatedLine seven(line_.pages);
    seven.options.startInBootloader = true;
    seven.options.bootloaderStatus = 7;
    TestRunHost host;
    seven.Device();
    TUpdateSequence run(QStringLiteral("ttyKVR0"), seven.pages, options_, seven.factory,
                        seven.clock, host);
    run.RunUpdate();
    EXPECT_EQ(host.Shown(), QStringList{kSuccess});
    EXPECT_EQ(seven.Report().enterBootloaderRequests, 0u);
    EXPECT_EQ(seven.Report().pagesWritten, (std::vector<uint16_t>{0, 1, 2, 3}));
}

TEST_F(Run, UnansweredEnterBootloaderSkipsTheFirstWaitAndTheProbeRescuesTheRun) {
    device_.faults.push_back({FaultKind::NoReply, kCmdEnterBootloader, 1, 0});
    Go();
    // The report of the lost reply is forgotten when the probe's first attempt fails.
    EXPECT_EQ(host_.Shown(), (QStringList{kExchangeError, kSuccess}));
    EXPECT_EQ(clock_.Sleeps(), (std::vector<uint32_t>{3000, 2000}));
}

TEST_F(Run, UnansweredEnterBootloaderInAnUnchangedFramingEndsTheRun) {
    // Same framing before and after the restart: the probe's first attempt is answered, so
    // the lost reply's report stands.
    device_.bootloaderAddressLength = 6;
    device_.faults.push_back(FaultOn(kCmdEnterBootloader, 1, FaultKind::NoReply));
    Go();
    EXPECT_EQ(host_.Shown(), QStringList{kExchangeError});
    EXPECT_EQ(Report().startUpdateRequests, 0u);
}

TEST_F(Run, RefusedEnterBootloaderStillWaitsAndProbes) {
    device_.refuseEnterBootloader = 0xFFFF;  // the device stays in its application
    std::atomic<int> polls{0};
    Go([&] { return ++polls > 3; });
    EXPECT_TRUE(host_.Shown().isEmpty());
    EXPECT_EQ(CountOf(kCmdEnterBootloader), 3);
    EXPECT_EQ(clock_.Sleeps(), (std::vector<uint32_t>{1000, 3000, 1000, 3000, 1000, 3000}));
}

struct FinalCase {
    const char* name;
    uint8_t finalStatus;
    bool technologyMode;
    const char* message;
};

class FinalStatus : public Run, public ::testing::WithParamInterface<FinalCase> {};

TEST_P(FinalStatus, DecidesTheOneClosingMessage) {
    const FinalCase& c = GetParam();
    device_.finalStatuses = {c.finalStatus};
    options_.technologyMode = c.technologyMode;
    host_.SetSerialNumber(QStringLiteral("12345678"));
    host_.SetHardware(QStringLiteral("3"));
    Go();
    EXPECT_EQ(host_.Shown(), QStringList{QString::fromUtf8(c.message)});
    EXPECT_EQ(Report().serialNumbers.size(), c.technologyMode && c.finalStatus == 10 ? 1u : 0u);
    const bool messageEnablesStart = QString::fromUtf8(c.message) != kSuccess;
    EXPECT_EQ(host_.EnableStartCount(), messageEnablesStart ? 2 : 1);
}

INSTANTIATE_TEST_SUITE_P(
    Completion, FinalStatus,
    ::testing::Values(
        FinalCase{"Status0", 0, false, "Обновление успешно завершено!"},
        FinalCase{"Status5", 5, false, "Обновление успешно завершено!"},
        FinalCase{"Status10", 10, false, "Обновление успешно завершено!"},
        FinalCase{"Status3", 3, false, "Ошибка обновления!"},
        FinalCase{"Status6", 6, false, "Ошибка обновления!"},
        FinalCase{"Status10Technology", 10, true, "Обновление успешно завершено!"},
        FinalCase{"Status0Technology", 0, true,
                  "Ошибка! Серийный номер и аппаратная модификация не записаны! Проверьте "
                  "перемычку!"},
        FinalCase{"Status5Technology", 5, true,
                  "Ошибка! Серийный номер и аппаратная модификация не записаны! Проверьте "
                  "перемычку!"},
        FinalCase{"Status3Technology", 3, true, "Ошибка обновления!"}),
    [](const ::testing::TestParamInfo<FinalCase>& p) { return std::string(p.param.name); });

TEST_F(Run, FinalStatusIsTheLastOneReadWithinTheWindow) {
    // 5 and 10 keep the host asking until the window closes; a 0 ends the asking at once.
    device_.finalStatuses = {10, 10, 3};
    Go();
    EXPECT_EQ(host_.Shown(), QStringList{kUpdateError});
}

TEST_F(Run, SerialNumberPayloadIsHardwareLowByteDigitsAndZeros) {
    device_.finalStatuses = {10};
    options_.technologyMode = true;
    host_.SetSerialNumber(QStringLiteral("00421"));
    host_.SetHardware(QStringLiteral("258"));  // low byte 0x02
    Go();
    EXPECT_EQ(host_.Shown(), QStringList{kSuccess});
    ASSERT_EQ(Report().serialNumbers.size(), 1u);
    EXPECT_EQ(SerialPayload(Report().serialNumbers[0]),
              (Bytes{0x02, '0', '0', '4', '2', '1', 0, 0, 0, 0, 0, 0, 0}));
}

TEST_F(Run, SerialNumberOfTwelveCharactersFillsThePayload) {
    device_.finalStatuses = {10};
    options_.technologyMode = true;
    host_.SetSerialNumber(QStringLiteral("123456789012"));
    host_.SetHardware(QStringLiteral("-1"));
    Go();
    EXPECT_EQ(host_.Shown(), QStringList{kSuccess});
    ASSERT_EQ(Report().serialNumbers.size(), 1u);
    EXPECT_EQ(SerialPayload(Report().serialNumbers[0]),
              (Bytes{0xFF, '1', '2', '3', '4', '5', '6', '7', '8', '9', '0', '1', '2'}));
}

struct SerialCase {
    const char* name;
    const char* serialNumber;
    const char* hardware;
};

class UnsendableSerialNumber : public Run, public ::testing::WithParamInterface<SerialCase> {};

TEST_P(UnsendableSerialNumber, IsNotWrittenAndEndsWithTheSerialNumberError) {
    device_.finalStatuses = {10};
    options_.technologyMode = true;
    host_.SetSerialNumber(QString::fromUtf8(GetParam().serialNumber));
    host_.SetHardware(QString::fromUtf8(GetParam().hardware));
    Go();
    EXPECT_EQ(host_.Shown(), QStringList{kSerialNumberError});
    EXPECT_TRUE(Report().serialNumbers.empty());
}

INSTANTIATE_TEST_SUITE_P(Refused, UnsendableSerialNumber,
                         ::testing::Values(SerialCase{"ThirteenCharacters", "1234567890123", "3"},
                                           SerialCase{"OutsideTheCodePage", "12\xC3\xA9", "3"},
                                           SerialCase{"ChineseCharacter", "12\xE4\xB8\xAD", "3"},
                                           SerialCase{"HardwareNotANumber", "1234", "3a"},
                                           SerialCase{"HardwareEmpty", "1234", ""},
                                           SerialCase{"HardwareTooLarge", "1234", "99999999999"}),
                         [](const ::testing::TestParamInfo<SerialCase>& p) {
                             return std::string(p.param.name);
                         });

TEST_F(Run, SerialNumberRefusedOrGarbledByTheDevice) {
    device_.finalStatuses = {10};
    options_.technologyMode = true;
    host_.SetSerialNumber(QStringLiteral("7"));
    host_.SetHardware(QStringLiteral("1"));
    device_.refuseSerialNumber = true;
    Go();
    EXPECT_EQ(host_.Shown(), QStringList{kSerialNumberError});
}

TEST_F(Run, SerialNumberWithoutAReplyShowsTheExchangeErrorFirst) {
    device_.finalStatuses = {10};
    options_.technologyMode = true;
    host_.SetSerialNumber(QStringLiteral("42"));
    host_.SetHardware(QStringLiteral("7"));
    device_.faults.push_back(FaultOn(kCmdWriteSerialNumber, 1, FaultKind::NoReply));
    Go();
    EXPECT_EQ(host_.Shown(), (QStringList{kExchangeError, kSerialNumberError}));
    EXPECT_EQ(Report().serialNumbers.size(), 1u);  // taken, only the reply was lost
}

TEST_F(Run, SerialNumberReplyWithBadChecksumShowsCrcErrorFirst) {
    device_.finalStatuses = {10};
    options_.technologyMode = true;
    host_.SetSerialNumber(QStringLiteral("7"));
    host_.SetHardware(QStringLiteral("1"));
    device_.faults.push_back(FaultOn(kCmdWriteSerialNumber, 1, FaultKind::BadChecksum));
    Go();
    EXPECT_EQ(host_.Shown(), (QStringList{kCrcError, kSerialNumberError}));
    // The message operation enabled Start before the tail did.
    EXPECT_EQ(host_.EnableStartCount(), 2);
}

TEST_F(Run, DeviceSilentAfterCompletionEndsWithUpdateErrorOnceTheWindowHasPassed) {
    device_.silentAfterCompletion = true;
    Go();
    const QStringList shown = host_.Shown();
    ASSERT_GE(shown.size(), 2);
    EXPECT_EQ(shown.back(), kUpdateError);
    for (int i = 0; i + 1 < shown.size(); ++i)
        EXPECT_EQ(shown[i], kExchangeError);
    EXPECT_EQ(std::count(shown.begin(), shown.end(), kUpdateError), 1);
}

TEST_F(Run, GarbledStatusAfterCompletionIsAskedAgainAtOnce) {
    line_.pages = MakePages(2, 248);
    device_.startInBootloader = true;
    device_.finalStatuses = {10};
    options_.technologyMode = true;
    host_.SetSerialNumber(QStringLiteral("7"));
    host_.SetHardware(QStringLiteral("1"));
    // Status replies: probe, poll, page 0, page 1, done, the completion probe, then the first
    // status request of the completion window.
    device_.faults.push_back(FaultOn(kCmdStatus, 7, FaultKind::BadChecksum));
    Go();
    EXPECT_EQ(host_.Shown(), (QStringList{kCrcError, kSuccess}));
    EXPECT_EQ(Report().serialNumbers.size(), 1u);
}

// The port fails at once for two status requests after the completion probe, as an adapter
// that drops out for a moment, then works again.
class BriefOutageAfterCompletion final : public ForwardingChannel {
public:
    explicit BriefOutageAfterCompletion(IByteChannel& inner) : ForwardingChannel(inner) {}
    uint32_t Read(uint8_t* buffer, uint32_t count) override {
        if (Out()) {
            std::fill_n(buffer, std::min<uint32_t>(count, 4), uint8_t{0});
            return 0;
        }
        const uint32_t got = Inner().Read(buffer, count);
        // Reply data of a status reply: echo, then the status code 5.
        if (got >= 2 && buffer[0] == kCmdStatus && buffer[1] == 5)
            done_ = true;
        return got;
    }
    uint32_t Write(const uint8_t* buffer, uint32_t count) override {
        return Out() ? 0 : Inner().Write(buffer, count);
    }
    void PurgeReceive() override {
        // Every frame starts with a purge: count the exchanges after "done".
        if (done_)
            ++exchangesAfterDone_;
        if (Out())
            throw EInOutError("Serial port purge error, code 5");
        Inner().PurgeReceive();
    }

private:
    // Exchanges after "done": the probe's status request, then two that fail.
    bool Out() const { return done_ && exchangesAfterDone_ >= 2 && exchangesAfterDone_ <= 3; }
    bool done_ = false;
    int exchangesAfterDone_ = 0;
};

TEST_F(Run, PortThatFailsBrieflyAfterCompletionIsAskedAgainWithinTheWindow) {
    device_.finalStatuses = {0};
    BriefOutageAfterCompletion outage(channel_);
    ForwardingChannelFactory factory(outage);
    line_.Device();
    TUpdateSequence run(QStringLiteral("ttyKVR0"), line_.pages, options_, factory, clock_, host_);
    run.RunUpdate();
    EXPECT_EQ(host_.Shown(), (QStringList{kExchangeError, kExchangeError, kSuccess}));
}

TEST_F(Run, TimeSpentOnBoxesCountsAgainstTheCompletionWindow) {
    device_.silentAfterCompletion = true;
    host_.ChargeBoxesTo(clock_, 6000);
    Go();
    // The first probe's report alone outlasts the window.
    EXPECT_EQ(host_.Shown(), (QStringList{kExchangeError, kUpdateError}));
}

TEST_F(Run, DeviceThatReturnsInTheOtherFramingIsFoundAgain) {
    device_.updatedAddressLength = 0;
    device_.finalStatuses = {0};
    Go();
    EXPECT_EQ(host_.Shown(), QStringList{kSuccess});
    EXPECT_EQ(final_.addressFieldLength, 0);
}

TEST_F(Run, StatusSixEndsWithTheUpdateError) {
    device_.errorStatusAtPage = 2;
    Go();
    EXPECT_EQ(host_.Shown(), QStringList{kUpdateError});
    EXPECT_EQ(Report().pagesWritten, (std::vector<uint16_t>{0, 1}));
    const auto events = host_.Events();
    // The message operation enables Start itself, the tail again.
    ASSERT_EQ(host_.EnableStartCount(), 2);
    const int message = static_cast<int>(
        std::find_if(events.begin(), events.end(),
                     [](const auto& e) { return e.kind == TestRunHost::Event::Kind::Message; }) -
        events.begin());
    EXPECT_EQ(host_.FirstEnableStart(), message + 1);
    EXPECT_TRUE(Log().contains(QStringLiteral("Получен статус ошибки обновления")));
}

TEST_F(Run, PageNotWrittenEndsTheRunWithoutSendingItAgain) {
    device_.pageFlags[1] = 0x01;
    Go();
    EXPECT_EQ(host_.Shown(), QStringList{kUpdateError});
    EXPECT_EQ(Report().pagesWritten, (std::vector<uint16_t>{0, 1}));
    EXPECT_EQ(host_.Progress(), std::vector<int>{0});
    const QStringList log = Log();
    const auto notWritten = log.indexOf(QStringLiteral("Страница не записана!"));
    ASSERT_GE(notWritten, 0);
    EXPECT_EQ(log.at(notWritten + 1), QStringLiteral("Ошибка записи страницы!"));
    EXPECT_EQ(log.at(notWritten + 2), kUpdateError);
}

TEST_F(Run, PageWithoutAnswerShowsTheExchangeErrorThenTheUpdateError) {
    device_.faults.push_back(FaultOn(kCmdWritePage, 2, FaultKind::NoReply));
    Go();
    EXPECT_EQ(host_.Shown(), (QStringList{kExchangeError, kUpdateError}));
    const QStringList log = Log();
    const auto noAnswer = log.indexOf(QStringLiteral("Нет ответа!"));
    ASSERT_GE(noAnswer, 0);
    EXPECT_EQ(log.at(noAnswer + 1), QStringLiteral("Ошибка записи страницы!"));
}

TEST_F(Run, PageReplyWithBadChecksumShowsTheCrcErrorThenTheUpdateError) {
    device_.faults.push_back(FaultOn(kCmdWritePage, 1, FaultKind::BadChecksum));
    Go();
    EXPECT_EQ(host_.Shown(), (QStringList{kCrcError, kUpdateError}));
}

TEST_F(Run, PageReplyWithWrongEchoShowsTheExchangeErrorThenTheUpdateError) {
    device_.faults.push_back(FaultOn(kCmdWritePage, 2, FaultKind::WrongEcho));
    Go();
    EXPECT_EQ(host_.Shown(), (QStringList{kExchangeError, kUpdateError}));
    EXPECT_EQ(Report().pagesWritten, (std::vector<uint16_t>{0, 1}));
}

TEST_F(Run, HardwareIncompatibleStopsAfterTheProgressOfThatPage) {
    device_.pageFlags[0] = 0x02;
    Go();
    EXPECT_EQ(host_.Shown(), QStringList{kHardwareIncompatible});
    EXPECT_EQ(host_.Progress(), std::vector<int>{0});
    EXPECT_TRUE(StartEnabledOnlyByTheTail());
    EXPECT_EQ(Report().pagesWritten, std::vector<uint16_t>{0});
}

TEST_F(Run, NotWrittenTakesPrecedenceOverHardwareIncompatible) {
    device_.pageFlags[0] = 0x03;
    Go();
    EXPECT_EQ(host_.Shown(), QStringList{kUpdateError});
}

TEST_F(Run, HardwareIncompatibleTakesPrecedenceOverProgramIncompatible) {
    device_.pageFlags[0] = 0x06;
    Go();
    EXPECT_EQ(host_.Shown(), QStringList{kHardwareIncompatible});
}

TEST_F(Run, ProgramIncompatibleAnsweredNoEndsTheRun) {
    device_.pageFlags[1] = 0x04;
    host_.QueueAnswer(false);
    Go();
    EXPECT_EQ(host_.Shown(), QStringList{kProgramQuestion});
    EXPECT_EQ(host_.Progress(), (std::vector<int>{0, 0}));
    EXPECT_EQ(Report().pagesWritten, (std::vector<uint16_t>{0, 1}));
    EXPECT_TRUE(StartEnabledOnlyByTheTail());
    EXPECT_TRUE(Log().contains(QStringLiteral("Несовместима программная версия!")));
}

TEST_F(Run, ProgramIncompatibleAnsweredYesGoesOn) {
    device_.pageFlags[1] = 0x04;
    host_.QueueAnswer(true);
    Go();
    EXPECT_EQ(host_.Shown(), (QStringList{kProgramQuestion, kSuccess}));
    EXPECT_EQ(Report().pagesWritten, (std::vector<uint16_t>{0, 1, 2, 3}));
}

TEST_F(Run, NoAnswerWhilePollingIsTheExchangeErrorAlone) {
    device_.startInBootloader = true;
    device_.faults.push_back(FaultOn(kCmdStatus, 4, FaultKind::NoReply));
    Go();
    EXPECT_EQ(host_.Shown(), QStringList{kExchangeError});
    EXPECT_TRUE(StartEnabledOnlyByTheTail());
}

TEST_F(Run, GarbledStatusWhilePollingIsTheCrcErrorAlone) {
    device_.startInBootloader = true;
    device_.faults.push_back(FaultOn(kCmdStatus, 4, FaultKind::BadChecksum));
    Go();
    EXPECT_EQ(host_.Shown(), QStringList{kCrcError});
}

TEST_F(Run, MisframedStatusWhilePollingIsTheExchangeError) {
    // A wrong echo, a reply cut short or a wrong start byte: the frame is not the reply.
    for (FaultKind kind :
         {FaultKind::WrongEcho, FaultKind::ShortReply, FaultKind::WrongStartByte}) {
        SCOPED_TRACE(static_cast<int>(kind));
        SimulatedLine line(line_.pages);
        line.options.startInBootloader = true;
        line.options.faults.push_back(FaultOn(kCmdStatus, 3, kind));
        TestRunHost host;
        line.Device();
        TUpdateSequence run(QStringLiteral("ttyKVR0"), line.pages, options_, line.factory,
                            line.clock, host);
        run.RunUpdate();
        // A short reply may be reported once for the short read and once for its echo.
        const QStringList shown = host.Shown();
        ASSERT_FALSE(shown.isEmpty());
        EXPECT_EQ(shown.count(kExchangeError), shown.size());
        EXPECT_TRUE(line.Report().pagesWritten.empty());
    }
}

TEST_F(Run, PortThatCannotBeOpenedIsTheExchangeErrorThenTheConnectionError) {
    channel_.FailConnect("SerialComm open port error, 2");
    Go();
    EXPECT_EQ(host_.Shown(), (QStringList{kExchangeError, kConnectionError}));
    EXPECT_TRUE(StartEnabledOnlyByTheTail());
    EXPECT_TRUE(line_.Device().Frames().empty());
    // The reason is in the log, right after the connecting line.
    const QStringList log = Log();
    const auto connecting = log.indexOf(QStringLiteral("Подключение интерфейса"));
    ASSERT_GE(connecting, 0);
    EXPECT_EQ(log.at(connecting + 1), QStringLiteral("SerialComm open port error, 2"));
}

TEST_F(Run, ChannelThatCannotBeMadeIsLikeAPortThatDidNotOpen) {
    line_.factory.FailCreate("no serial support");
    Go();
    EXPECT_EQ(host_.Shown(), (QStringList{kExchangeError, kConnectionError}));
    EXPECT_TRUE(Log().contains(QStringLiteral("no serial support")));
}

TEST_F(Run, RefusedProbeSettingsEndTheRunThroughTheTail) {
    channel_.FailReadTotalConstantChange(0);
    Go();
    EXPECT_EQ(host_.Shown(), QStringList{kConnectionError});
    EXPECT_TRUE(StartEnabledOnlyByTheTail());
    EXPECT_TRUE(line_.Device().Frames().empty());
    EXPECT_TRUE(Log().contains(QStringLiteral("SerialComm set timeouts error, code 5")));
}

TEST_F(Run, PortLostInTheMiddleEndsWithTheExchangeError) {
    FailAfterChannel failing(channel_, 200);
    ForwardingChannelFactory factory(failing);
    line_.Device();
    TUpdateSequence run(QStringLiteral("ttyKVR0"), line_.pages, options_, factory, clock_, host_);
    run.RunUpdate();
    EXPECT_EQ(host_.Shown(), QStringList{kExchangeError});
    EXPECT_TRUE(StartEnabledOnlyByTheTail());
    EXPECT_TRUE(failing.Failed());
}

TEST_F(Run, StopRequestEndsTheRunAfterTheTurnUnderWay) {
    std::atomic<bool> stop{false};
    host_.OnEvent([&](const TestRunHost::Event& e) {
        if (e.kind == TestRunHost::Event::Kind::Progress)
            stop = true;  // after page 0
    });
    Go([&] { return stop.load(); });
    EXPECT_TRUE(host_.Shown().isEmpty());
    EXPECT_EQ(Report().pagesWritten, std::vector<uint16_t>{0});
    EXPECT_TRUE(StartEnabledOnlyByTheTail());
    EXPECT_EQ(channel_.DisconnectCount(), 1);
}

// --- pages ----------------------------------------------------------------------------------

TEST_F(Run, PageFrameCarriesNumberLengthHeaderAndTheFirstBytesOfThePage) {
    line_.pages = MakePages(6, 300);
    device_.startInBootloader = true;
    device_.pageRequests = std::vector<devsim::PageRequest>{{5, 256}};
    Go();
    EXPECT_EQ(host_.Shown(), QStringList{kSuccess});
    EXPECT_EQ(Report().pageMismatches, 0u);
    const auto pageFrames = FramesOf(kCmdWritePage);
    ASSERT_EQ(pageFrames.size(), 1u);
    const Bytes& payload = pageFrames[0].payload;
    ASSERT_EQ(payload.size(), 268u);
    EXPECT_EQ((Bytes{payload[0], payload[1], payload[2], payload[3]}),
              (Bytes{0x05, 0x00, 0x00, 0x01}));
    const PackagePage& page = line_.pages.at(5);
    EXPECT_TRUE(std::equal(page.pageHeader.begin(), page.pageHeader.end(), payload.begin() + 4));
    EXPECT_TRUE(std::equal(payload.begin() + 12, payload.end(),
                           reinterpret_cast<const uint8_t*>(page.pageData.constData())));
    EXPECT_EQ(host_.Progress(), (std::vector<int>{1, 100}));
}

TEST_F(Run, ProgressIsThePageTimes100Over256EvenAbove100) {
    line_.pages = MakePages(301, 4);
    device_.startInBootloader = true;
    device_.pageRequests =
        std::vector<devsim::PageRequest>{{1, 4}, {3, 4}, {255, 4}, {256, 4}, {300, 4}};
    Go();
    EXPECT_EQ(host_.Shown(), QStringList{kSuccess});
    EXPECT_EQ(host_.Progress(), (std::vector<int>{0, 1, 99, 100, 117, 100}));
}

TEST_F(Run, PageBeyondThePackageIsNotSentButCountsAsTaken) {
    device_.startInBootloader = true;
    device_.pageRequests =
        std::vector<devsim::PageRequest>{{0, 248}, {4, 248}, {200, 248}, {3, 248}};
    Go();
    EXPECT_EQ(host_.Shown(), QStringList{kSuccess});
    EXPECT_EQ(Report().pagesWritten, (std::vector<uint16_t>{0, 3}));
    EXPECT_EQ(host_.Progress(), (std::vector<int>{0, 1, 78, 1, 100}));
}

TEST_F(Run, PageRequestLongerThanThePageIsRefusedWithoutSending) {
    device_.startInBootloader = true;
    device_.pageRequests = std::vector<devsim::PageRequest>{{0, 248}, {1, 249}};
    Go();
    EXPECT_EQ(host_.Shown(), QStringList{kUpdateError});
    EXPECT_EQ(Report().pagesWritten, std::vector<uint16_t>{0});
    EXPECT_TRUE(Log().contains(QStringLiteral("Ошибка записи страницы!")));
    EXPECT_TRUE(Log().contains(
        QStringLiteral("Страница 1 не отправлена: запрошено 249 байт, в пакете 248")));
}

TEST_F(Run, PageFrameBeyondTheLengthFieldIsRefusedBeforeAnythingIsSent) {
    // At N = 0 a request of 65,521 bytes fills the length field exactly; one more byte, or
    // the same request with six address bytes, cannot be framed.
    line_.pages = MakePages(2, 65535);
    device_.startInBootloader = true;
    device_.pageRequests = std::vector<devsim::PageRequest>{{0, 65521}, {1, 65522}};
    Go();
    EXPECT_EQ(host_.Shown(), QStringList{kUpdateError});  // no exchange error, no wait
    EXPECT_EQ(Report().pagesWritten, std::vector<uint16_t>{0});
    EXPECT_EQ(Report().pageMismatches, 0u);
    EXPECT_TRUE(Log().contains(
        QStringLiteral("Страница 1 не отправлена: поле длины кадра 65536 больше 65535")));

    // With six address bytes the limit comes six bytes sooner.
    SimulatedLine framed(line_.pages);
    framed.options.startInBootloader = true;
    framed.options.bootloaderAddressLength = 6;
    framed.options.pageRequests = std::vector<devsim::PageRequest>{{0, 65515}, {1, 65516}};
    TestRunHost host;
    framed.Device();
    TUpdateSequence run(QStringLiteral("ttyKVR0"), framed.pages, options_, framed.factory,
                        framed.clock, host);
    run.RunUpdate();
    EXPECT_EQ(host.Shown(), QStringList{kUpdateError});
    EXPECT_EQ(framed.Report().pagesWritten, std::vector<uint16_t>{0});
}

TEST_F(Run, ShorterPageRequestSendsOnlyTheBytesAskedFor) {
    device_.startInBootloader = true;
    device_.pageRequests = std::vector<devsim::PageRequest>{{2, 17}, {3, 0}};
    Go();
    EXPECT_EQ(host_.Shown(), QStringList{kSuccess});
    EXPECT_EQ(Report().pageMismatches, 0u);
    const auto pages = FramesOf(kCmdWritePage);
    ASSERT_EQ(pages.size(), 2u);
    EXPECT_EQ(pages[0].payload.size(), 12u + 17u);
    EXPECT_EQ(pages[1].payload.size(), 12u);
}

TEST_F(Run, BootAllMarksOnlyPageFrames) {
    options_.bootAllMode = true;
    Go();
    EXPECT_EQ(host_.Shown(), QStringList{kSuccess});
    int pageFrames = 0;
    for (const auto& f : line_.Device().Frames()) {
        EXPECT_EQ(f.frameType, f.command == kCmdWritePage ? 0x02 : 0x01) << int(f.command);
        pageFrames += f.command == kCmdWritePage ? 1 : 0;
    }
    EXPECT_EQ(pageFrames, 4);
}

TEST_F(Run, BusyStatusWaitsTenMilliseconds) {
    // Busy once, after the second of three pages.
    line_.pages = MakePages(3, 248);
    device_.startInBootloader = true;
    device_.busyEveryPages = 2;
    Go();
    EXPECT_EQ(host_.Shown(), QStringList{kSuccess});
    EXPECT_EQ(clock_.Sleeps(), (std::vector<uint32_t>{10, 2000}));
    EXPECT_EQ(Log().count(QStringLiteral("Получен статус ожидания записи страницы")), 1);
}

TEST_F(Run, RefusedStartUpdateIsOnlyLoggedAndAskedAgain) {
    device_.startInBootloader = true;
    device_.refuseStartUpdate = 2;
    Go();
    EXPECT_EQ(host_.Shown(), QStringList{kSuccess});
    EXPECT_EQ(CountOf(kCmdStartUpdate), 3);
    EXPECT_EQ(Log().count(QStringLiteral("Ошибка записи страницы!")), 2);
}

TEST_F(Run, GarbledStartUpdateReplyEndsTheRun) {
    device_.startInBootloader = true;
    device_.faults.push_back(FaultOn(kCmdStartUpdate, 1, FaultKind::WrongEcho));
    Go();
    EXPECT_EQ(host_.Shown(), QStringList{kExchangeError});
    EXPECT_EQ(Log().count(QStringLiteral("Ошибка записи страницы!")), 1);
}

// --- the log of a run -----------------------------------------------------------------------

TEST_F(Run, LogTellsTheStoryOfTheRun) {
    Go();
    const QStringList log = Log();
    ASSERT_GE(log.size(), 6);
    EXPECT_EQ(log[0], QStringLiteral("Запуск обновления"));
    EXPECT_EQ(log[1], QStringLiteral("Подключение интерфейса"));
    EXPECT_EQ(log[2], QStringLiteral("Запрашиваем статус прибора"));
    EXPECT_EQ(log[3], QStringLiteral("Запись: 55 01 08 00 00 00 00 00 00 00 01 08 "));
    EXPECT_EQ(log[4], QStringLiteral("Чтение: 55 01 16 00 "));
    EXPECT_EQ(log[5], QStringLiteral("Чтение: 00 00 00 00 00 00 "));
    for (const char* line :
         {"Получен статус 0", "Переход в загрузчик, перезагрузка прибора", "Запуск обновления",
          "Отправка страницы 0", "Отправка страницы 3", "Получен статус успешного завершения",
          "Обновление успешно завершено!"}) {
        EXPECT_TRUE(log.contains(QString::fromUtf8(line))) << line;
    }
    // Every page went out as one dumped frame: 4 header, 1 command, 12 + 248 payload, 1 sum.
    int pageDumps = 0;
    for (const QString& line : log) {
        if (line.startsWith(QStringLiteral("Запись: 55 01 06 01 09 "))) {
            ++pageDumps;
            EXPECT_EQ(line.size(), 8 + 3 * (4 + 1 + 260 + 1));
        }
    }
    EXPECT_EQ(pageDumps, 4);
}

TEST_F(Run, TextsAreTranslatedBeforeTheyAreShownAndLogged) {
    const QString lng = dir_.filePath(QStringLiteral("ru.lng"));
    {
        QFile f(lng);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(
            "\xEF\xBB\xBF[ru]\n"
            "Ошибка обмена!=Exchange failed\n"
            "Ошибка подключения!=Cannot connect\n"
            "Запрашиваем статус прибора=Asking for status\n");
    }
    OpenLanguageFile(lng);
    channel_.FailConnect("SerialComm open port error, 13");
    Go();
    ReleaseLanguageFile();
    EXPECT_EQ(host_.Shown(),
              (QStringList{QStringLiteral("Exchange failed"), QStringLiteral("Cannot connect")}));
    const QStringList log = Log();
    EXPECT_TRUE(log.contains(QStringLiteral("Exchange failed")));
    EXPECT_TRUE(log.contains(QStringLiteral("Cannot connect")));
    EXPECT_TRUE(log.contains(QStringLiteral("Asking for status")));
    EXPECT_TRUE(log.contains(QStringLiteral("Подключение интерфейса")));  // never translated
}

TEST_F(Run, RunWithoutALogGoesOnNormally) {
    options_.logPath.clear();
    Go();
    EXPECT_EQ(host_.Shown(), QStringList{kSuccess});
    EXPECT_FALSE(QFile::exists(dir_.filePath(QStringLiteral("log.txt"))));
}

TEST(Windows1251, EncodesAsciiAndCyrillicAndRefusesTheRest) {
    QByteArray out;
    EXPECT_TRUE(EncodeWindows1251(QStringLiteral("0129 Az"), out));
    EXPECT_EQ(out, QByteArray("0129 Az"));
    EXPECT_TRUE(EncodeWindows1251(QStringLiteral("АяЁё№"), out));
    EXPECT_EQ(out, QByteArray("\xC0\xFF\xA8\xB8\xB9"));
    EXPECT_FALSE(EncodeWindows1251(QStringLiteral("1\u00E9"), out));  // é is not in the page
    EXPECT_TRUE(out.isEmpty());
}

// --- the outcome as a value ----------------------------------------------------------------

struct OutcomeCase {
    const char* name;
    std::function<void(DeviceOptions&, TestRunHost&, RunOptions&)> setUp;
    RunEnd end;
    const char* text;  // nullptr: none
    bool serialNumberSent;
    bool serialNumberConfirmed;
    bool stopAtFullProgress = false;  // a stop asked for once the bar is at 100
};

class Outcome : public Run, public ::testing::WithParamInterface<OutcomeCase> {};

TEST_P(Outcome, IsTheValueOfHowTheRunEnded) {
    const OutcomeCase& c = GetParam();
    host_.SetSerialNumber(QStringLiteral("101"));
    host_.SetHardware(QStringLiteral("3"));
    c.setUp(device_, host_, options_);
    bool full = false;
    host_.OnEvent([&](const TestRunHost::Event& e) {
        if (e.kind == TestRunHost::Event::Kind::Progress && e.value >= 100)
            full = true;
    });
    Go([&] { return c.stopAtFullProgress && full; });
    EXPECT_EQ(RunEndName(outcome_.end), std::string(RunEndName(c.end)));
    EXPECT_EQ(outcome_.text, c.text ? QString::fromUtf8(c.text) : QString());
    EXPECT_EQ(outcome_.serialNumberSent, c.serialNumberSent);
    EXPECT_EQ(outcome_.serialNumberConfirmed, c.serialNumberConfirmed);
}

const char* const kSerialNumberErrorText =
    "Ошибка! Серийный номер и аппаратная модификация не записаны! Проверьте перемычку!";

INSTANTIATE_TEST_SUITE_P(
    Ends, Outcome,
    ::testing::Values(
        OutcomeCase{"Success", [](DeviceOptions&, TestRunHost&, RunOptions&) {}, RunEnd::Success,
                    "Обновление успешно завершено!", false, false},
        OutcomeCase{"SuccessWithItsSerialNumber",
                    [](DeviceOptions& d, TestRunHost&, RunOptions& o) {
                        d.finalStatuses = {10};
                        o.technologyMode = true;
                    },
                    RunEnd::Success, "Обновление успешно завершено!", true, true},
        // The stop came while the run was completing: it ended by its success all the same.
        OutcomeCase{"SuccessWhileAStopWasPending", [](DeviceOptions&, TestRunHost&, RunOptions&) {},
                    RunEnd::Success, "Обновление успешно завершено!", false, false, true},
        OutcomeCase{"UpdateError",
                    [](DeviceOptions& d, TestRunHost&, RunOptions&) { d.errorStatusAtPage = 2; },
                    RunEnd::UpdateError, "Ошибка обновления!", false, false},
        OutcomeCase{"ExchangeError",
                    [](DeviceOptions& d, TestRunHost&, RunOptions&) {
                        d.startInBootloader = true;
                        d.faults.push_back(FaultOn(kCmdStatus, 4, FaultKind::NoReply));
                    },
                    RunEnd::ExchangeError, "Ошибка обмена!", false, false},
        OutcomeCase{"SerialNumberRefused",
                    [](DeviceOptions& d, TestRunHost&, RunOptions& o) {
                        d.finalStatuses = {10};
                        d.refuseSerialNumber = true;
                        o.technologyMode = true;
                    },
                    RunEnd::SerialNumberError, kSerialNumberErrorText, true, false},
        OutcomeCase{"SerialNumberNeverAskedFor",
                    [](DeviceOptions&, TestRunHost&, RunOptions& o) { o.technologyMode = true; },
                    RunEnd::SerialNumberError, kSerialNumberErrorText, false, false},
        OutcomeCase{"HardwareIncompatible",
                    [](DeviceOptions& d, TestRunHost&, RunOptions&) { d.pageFlags[0] = 0x02; },
                    RunEnd::HardwareIncompatible, "Несовместима аппаратная версия!", false, false},
        OutcomeCase{"ProgramRefused",
                    [](DeviceOptions& d, TestRunHost& h, RunOptions&) {
                        d.pageFlags[1] = 0x04;
                        h.QueueAnswer(false);
                    },
                    RunEnd::ProgramRefused,
                    "Несовместима программная версия! Продолжить обновление?", false, false},
        OutcomeCase{"ProgramAcceptedThenSuccess",
                    [](DeviceOptions& d, TestRunHost& h, RunOptions&) {
                        d.pageFlags[1] = 0x04;
                        h.QueueAnswer(true);
                    },
                    RunEnd::Success, "Обновление успешно завершено!", false, false}),
    [](const ::testing::TestParamInfo<OutcomeCase>& p) { return std::string(p.param.name); });

TEST_F(Run, OutcomeOfAPortThatDoesNotOpenAndOfAStop) {
    channel_.FailConnect("no such port");
    Go();
    EXPECT_EQ(outcome_.end, RunEnd::NoConnection);
    EXPECT_EQ(outcome_.text, kConnectionError);
}

TEST_F(Run, OutcomeOfAStopBeforeAnyClosingMessageIsStoppedWithoutText) {
    // An unanswered bootloader entry reports an exchange error that the probe takes back; the
    // stop that follows ends the run, not that error.
    device_.faults.push_back(FaultOn(kCmdEnterBootloader, 1, FaultKind::NoReply));
    bool reported = false;
    host_.OnEvent([&](const TestRunHost::Event& e) {
        reported = reported || e.kind == TestRunHost::Event::Kind::Message;
    });
    Go([&] { return reported; });
    EXPECT_TRUE(reported);
    EXPECT_EQ(outcome_.end, RunEnd::Stopped);
    EXPECT_TRUE(outcome_.text.isEmpty());
}

}  // namespace
}  // namespace kvr::test

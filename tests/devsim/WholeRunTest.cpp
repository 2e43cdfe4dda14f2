// Whole update runs: the real update sequence against the simulated device, connected by the
// in-process channel, on the virtual clock. Each run takes milliseconds of real time.
#include "DeviceChannel.h"
#include "DeviceModel.h"
#include "PackageBuilder.h"
#include "PackageLoader.h"
#include "RunHost.h"
#include "RunMessages.h"
#include "UpdateSequence.h"
#include "VirtualClock.h"

#include <gtest/gtest.h>

#include <QStringList>
#include <optional>

namespace kvr::devsim {
namespace {

using namespace kvr::test;

constexpr uint32_t kPageCount = 64;
constexpr uint16_t kPageSize = 264;  // 8 header bytes + 256 data bytes
constexpr uint16_t kDataBytes = kPageSize - 8;

// What an operator would have seen: boxes and questions in order, and the bar.
class RecordingHost final : public IRunHost {
public:
    void ShowMessage(const QString& text) override { shown << text; }
    bool AskYesNo(const QString& text) override {
        shown << text;
        return answerYes;
    }
    void SetProgress(int position) override { progress.push_back(position); }
    void EnableStart() override { ++enableStartCalls; }
    QString SerialNumberText() override { return serialNumber; }
    QString HardwareText() override { return hardware; }

    bool answerYes = false;
    QString serialNumber;
    QString hardware;
    QStringList shown;
    std::vector<int> progress;
    int enableStartCalls = 0;
};

PageMap BuildPages(uint32_t pageCount) {
    test::PackageOptions options;
    options.pageCount = pageCount;
    options.pageSize = kPageSize;
    options.seed = 17;
    UpdatePackage package;
    QString error;
    const bool parsed = ParseUpdatePackage(test::BuildPackage(options), package, error);
    EXPECT_TRUE(parsed) << error.toStdString();
    return package.pages;
}

class DevsimWholeRun : public ::testing::Test {
protected:
    // Runs one update; the device keeps its state between runs of the same test.
    void Run(RunOptions runOptions = {}, std::function<bool()> stopRequested = {}) {
        if (!device)
            MakeDevice({});
        DeviceChannelFactory factory(*device, clock, channelOptions);
        TUpdateSequence sequence(QStringLiteral("sim"), pages, runOptions, factory, clock, host);
        sequence.RunUpdate(stopRequested);
        finalAddressLength = sequence.State().addressFieldLength;
    }

    void MakeDevice(const DeviceOptions& options, uint32_t pageCount = kPageCount) {
        pages = BuildPages(pageCount);
        device.emplace(options, pages, clock);
    }

    const DeviceReport& Report() const { return device->Report(); }

    VirtualClock clock;
    PageMap pages;
    std::optional<DeviceModel> device;
    ChannelOptions channelOptions;
    RecordingHost host;
    uint16_t finalAddressLength = 0xFFFF;
};

TEST_F(DevsimWholeRun, SixtyFourPagesArriveUnchangedThroughTheFramingSwitch) {
    DeviceOptions options;  // application speaks 6 address bytes, the bootloader none
    options.busyEveryPages = 8;
    MakeDevice(options);
    Run();
    EXPECT_EQ(host.shown, QStringList{kSuccess});
    EXPECT_EQ(Report().pagesReceived, kPageCount);
    EXPECT_EQ(Report().pageMismatches, 0u);
    EXPECT_EQ(Report().enterBootloaderRequests, 1u);
    EXPECT_EQ(Report().startUpdateRequests, 1u);
    EXPECT_EQ(Report().updatesCompleted, 1u);
    EXPECT_EQ(Report().bootAllPageFrames, 0u);
    EXPECT_EQ(Report().bootAllOtherFrames, 0u);
    // The bar follows the page numbers (page 63 of 256 is 24 %) and ends full.
    ASSERT_GE(host.progress.size(), 2u);
    EXPECT_EQ(host.progress[host.progress.size() - 2], 24);
    EXPECT_EQ(host.progress.back(), 100);
    EXPECT_GE(host.enableStartCalls, 1);
    // The new application answers in its own framing again.
    EXPECT_EQ(finalAddressLength, 6);
    // At least the fixed waits: 1000 + 3000 after the restart command, 2000 after status 5.
    EXPECT_GE(clock.ElapsedMs(), 6000u);
}

TEST_F(DevsimWholeRun, FramingSwitchWorksTheOtherWayRound) {
    DeviceOptions options;
    options.applicationAddressLength = 0;
    options.bootloaderAddressLength = 6;
    MakeDevice(options, 4);
    Run();
    EXPECT_EQ(host.shown, QStringList{kSuccess});
    EXPECT_EQ(Report().pagesReceived, 4u);
    EXPECT_EQ(Report().pageMismatches, 0u);
    EXPECT_EQ(finalAddressLength, 0);
}

TEST_F(DevsimWholeRun, DeviceAlreadyInBootloaderIsNotRestarted) {
    for (uint8_t idle : {uint8_t{2}, uint8_t{7}}) {
        SCOPED_TRACE(idle);
        DeviceOptions options;
        options.startInBootloader = true;
        options.bootloaderStatus = idle;
        MakeDevice(options, 3);
        host = RecordingHost();
        Run();
        EXPECT_EQ(host.shown, QStringList{kSuccess});
        EXPECT_EQ(Report().enterBootloaderRequests, 0u);
        EXPECT_EQ(Report().pagesReceived, 3u);
    }
}

TEST_F(DevsimWholeRun, EveryApplicationStatusThatAsksForARestartGetsOne) {
    for (uint8_t status : {uint8_t{0}, uint8_t{1}, uint8_t{8}, uint8_t{10}}) {
        SCOPED_TRACE(status);
        DeviceOptions options;
        options.applicationStatus = status;
        MakeDevice(options, 2);
        host = RecordingHost();
        Run();
        EXPECT_EQ(host.shown, QStringList{kSuccess});
        EXPECT_EQ(Report().enterBootloaderRequests, 1u);
    }
}

TEST_F(DevsimWholeRun, BootAllMarksPageFramesOnly) {
    MakeDevice({}, 8);
    RunOptions run;
    run.bootAllMode = true;
    Run(run);
    EXPECT_EQ(host.shown, QStringList{kSuccess});
    EXPECT_EQ(Report().bootAllPageFrames, 8u);
    EXPECT_EQ(Report().pagesReceived, 8u);
    EXPECT_EQ(Report().bootAllOtherFrames, 0u);
    EXPECT_EQ(Report().pageMismatches, 0u);
}

TEST_F(DevsimWholeRun, TechnologyModeWritesHardwareByteAndZeroPaddedSerialNumber) {
    DeviceOptions options;
    options.finalStatus = 10;
    MakeDevice(options, 2);
    host.serialNumber = QStringLiteral("12345678");
    host.hardware = QStringLiteral("300");  // only the low byte travels: 300 & 0xFF = 44
    RunOptions run;
    run.technologyMode = true;
    Run(run);
    EXPECT_EQ(host.shown, QStringList{kSuccess});
    ASSERT_EQ(Report().serialNumbers.size(), 1u);
    const SerialNumberRecord& sn = Report().serialNumbers[0];
    EXPECT_EQ(sn.hardware, 44);
    const std::array<uint8_t, kSerialNumberBytes> expected = {'1', '2', '3', '4', '5', '6',
                                                              '7', '8', 0,   0,   0,   0};
    EXPECT_EQ(sn.serial, expected);
}

TEST_F(DevsimWholeRun, FinalStatusTenWithoutTechnologyModeIsPlainSuccess) {
    DeviceOptions options;
    options.finalStatus = 10;
    MakeDevice(options, 2);
    Run();
    EXPECT_EQ(host.shown, QStringList{kSuccess});
    EXPECT_TRUE(Report().serialNumbers.empty());
}

TEST_F(DevsimWholeRun, TechnologyModeOutcomesWithoutAWrittenSerialNumber) {
    struct Case {
        const char* name;
        uint8_t finalStatus;
        bool refuse;
        std::optional<FaultKind> fault;
        QStringList shown;
    };
    const Case cases[] = {
        {"final status 0", 0, false, std::nullopt, {kSerialNumberError}},
        {"final status 5", 5, false, std::nullopt, {kSerialNumberError}},
        {"device refuses", 10, true, std::nullopt, {kSerialNumberError}},
        {"reply fails its checksum",
         10,
         false,
         FaultKind::BadChecksum,
         {kCrcError, kSerialNumberError}},
        {"no reply", 10, false, FaultKind::NoReply, {kExchangeError, kSerialNumberError}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DeviceOptions options;
        options.finalStatus = c.finalStatus;
        options.refuseSerialNumber = c.refuse;
        if (c.fault)
            options.faults.push_back({*c.fault, kCmdWriteSerialNumber, 1, 1});
        MakeDevice(options, 2);
        host = RecordingHost();
        host.serialNumber = QStringLiteral("42");
        host.hardware = QStringLiteral("7");
        RunOptions run;
        run.technologyMode = true;
        Run(run);
        EXPECT_EQ(host.shown, c.shown);
    }
}

TEST_F(DevsimWholeRun, TooLongSerialNumberIsNotSent) {
    DeviceOptions options;
    options.finalStatus = 10;
    MakeDevice(options, 2);
    host.serialNumber = QStringLiteral("1234567890123");  // 13 characters, room for 12
    host.hardware = QStringLiteral("1");
    RunOptions run;
    run.technologyMode = true;
    Run(run);
    EXPECT_EQ(host.shown, QStringList{kSerialNumberError});
    EXPECT_TRUE(Report().serialNumbers.empty());
}

TEST_F(DevsimWholeRun, DeviceFailuresEndTheRunWithTheirMessages) {
    struct Case {
        const char* name;
        DeviceOptions options;
        QStringList shown;
        uint32_t pagesReceived;
    };
    DeviceOptions status6;
    status6.errorStatusAtPage = 5;
    DeviceOptions notWritten;
    notWritten.pageFlags[3] = kPageFlagNotWritten;
    DeviceOptions notWrittenAndHardware;
    notWrittenAndHardware.pageFlags[3] = kPageFlagNotWritten | kPageFlagHardwareIncompatible;
    DeviceOptions hardware;
    hardware.pageFlags[3] = kPageFlagHardwareIncompatible;
    DeviceOptions hardwareAndProgram;
    hardwareAndProgram.pageFlags[3] = kPageFlagHardwareIncompatible | kPageFlagProgramIncompatible;
    DeviceOptions pageChecksum;
    pageChecksum.faults.push_back({FaultKind::BadChecksum, kCmdWritePage, 4, 1});
    DeviceOptions pageEcho;
    pageEcho.faults.push_back({FaultKind::WrongEcho, kCmdWritePage, 4, 1});
    DeviceOptions pageSilent;
    pageSilent.faults.push_back({FaultKind::NoReply, kCmdWritePage, 4, 1});
    DeviceOptions wrongFinal;
    wrongFinal.finalStatus = 9;
    DeviceOptions silentAfterFive;
    silentAfterFive.silentAfterCompletion = true;

    const Case cases[] = {
        {"status 6", status6, {kUpdateError}, 5},
        {"page not written", notWritten, {kUpdateError}, 4},
        {"not written wins over hardware", notWrittenAndHardware, {kUpdateError}, 4},
        {"hardware incompatible", hardware, {kHardwareIncompatible}, 4},
        {"hardware wins over program", hardwareAndProgram, {kHardwareIncompatible}, 4},
        {"page reply checksum", pageChecksum, {kCrcError, kUpdateError}, 4},
        {"page reply echo", pageEcho, {kExchangeError, kUpdateError}, 4},
        {"page reply missing", pageSilent, {kExchangeError, kUpdateError}, 4},
        {"final status not a success", wrongFinal, {kUpdateError}, 6},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MakeDevice(c.options, 6);
        host = RecordingHost();
        Run();
        EXPECT_EQ(host.shown, c.shown);
        EXPECT_EQ(Report().pagesReceived, c.pagesReceived);
        EXPECT_GE(host.enableStartCalls, 1);
    }
}

TEST_F(DevsimWholeRun, SilentDeviceAfterCompletionGivesExchangeErrorsThenOneUpdateError) {
    DeviceOptions options;
    options.silentAfterCompletion = true;
    MakeDevice(options, 3);
    Run();
    ASSERT_GE(host.shown.size(), 2);
    EXPECT_EQ(host.shown.back(), kUpdateError);
    for (qsizetype i = 0; i + 1 < host.shown.size(); ++i)
        EXPECT_EQ(host.shown[i], kExchangeError);
    EXPECT_EQ(host.shown.count(kSuccess), 0);
}

TEST_F(DevsimWholeRun, ProgramIncompatibleQuestionDecides) {
    for (bool yes : {true, false}) {
        SCOPED_TRACE(yes ? "Yes" : "No");
        DeviceOptions options;
        options.pageFlags[2] = kPageFlagProgramIncompatible;
        MakeDevice(options, 6);
        host = RecordingHost();
        host.answerYes = yes;
        Run();
        if (yes) {
            EXPECT_EQ(host.shown, (QStringList{kProgramQuestion, kSuccess}));
            EXPECT_EQ(Report().pagesReceived, 6u);
        } else {
            EXPECT_EQ(host.shown, QStringList{kProgramQuestion});
            EXPECT_EQ(Report().pagesReceived, 3u);
            // The flagged page still moved the bar before the run ended: pages 0, 1 and 2.
            EXPECT_EQ(host.progress.size(), 3u);
        }
    }
}

TEST_F(DevsimWholeRun, PageBeyondThePackageCountsAsTaken) {
    DeviceOptions options;
    options.requestPageBeyond = true;
    MakeDevice(options, 5);
    Run();
    EXPECT_EQ(host.shown, QStringList{kSuccess});
    EXPECT_EQ(Report().pagesReceived, 5u);
    EXPECT_EQ(Report().pageMismatches, 0u);
}

TEST_F(DevsimWholeRun, RequestedLengthDecidesHowMuchOfEachPageTravels) {
    DeviceOptions shorter;
    shorter.requestedLength = kDataBytes / 2;
    MakeDevice(shorter, 4);
    Run();
    EXPECT_EQ(host.shown, QStringList{kSuccess});
    EXPECT_EQ(Report().pagesReceived, 4u);
    EXPECT_EQ(Report().pageMismatches, 0u);

    // More than the page holds: the page is refused and nothing is padded onto the line.
    DeviceOptions longer;
    longer.requestedLength = kDataBytes + 1;
    MakeDevice(longer, 4);
    host = RecordingHost();
    Run();
    EXPECT_EQ(host.shown, QStringList{kUpdateError});
    EXPECT_EQ(Report().pagesReceived, 0u);
}

TEST_F(DevsimWholeRun, GarbledStatusReplyWhilePollingEndsTheRun) {
    // Status replies 1 (probe) and 2 (status 0) come from the application, 3 (probe) and 4
    // (status 2) from the bootloader; the 5th would request page 0.
    struct Case {
        FaultKind kind;
        QString shown;
    };
    for (const Case& c :
         {Case{FaultKind::BadChecksum, kCrcError}, Case{FaultKind::WrongEcho, kExchangeError},
          Case{FaultKind::ShortReply, kExchangeError},
          Case{FaultKind::WrongStartByte, kExchangeError},
          Case{FaultKind::NoReply, kExchangeError}}) {
        SCOPED_TRACE(static_cast<int>(c.kind));
        DeviceOptions options;
        options.faults.push_back({c.kind, kCmdStatus, 5, 1});
        MakeDevice(options, 3);
        host = RecordingHost();
        Run();
        // A short reply may be reported once for the short read and once for its echo.
        ASSERT_FALSE(host.shown.isEmpty());
        EXPECT_EQ(host.shown.count(c.shown), host.shown.size());
        EXPECT_EQ(Report().pagesReceived, 0u);
    }
}

TEST_F(DevsimWholeRun, RefusedStartIsRetriedOnTheNextStatus) {
    DeviceOptions options;
    options.refuseStartUpdate = 2;
    MakeDevice(options, 2);
    Run();
    EXPECT_EQ(host.shown, QStringList{kSuccess});
    EXPECT_EQ(Report().startUpdateRequests, 3u);
}

TEST_F(DevsimWholeRun, UnansweredRestartCommandIsForgivenWhenTheFramingChanges) {
    // The probe after the restart clears the error when its first framing stays silent.
    DeviceOptions options;
    options.faults.push_back({FaultKind::NoReply, kCmdEnterBootloader, 1, 1});
    MakeDevice(options, 2);
    Run();
    EXPECT_EQ(host.shown, (QStringList{kExchangeError, kSuccess}));

    // Same framing before and after the restart: the probe's first attempt is answered and
    // the error stands.
    options.bootloaderAddressLength = 6;
    MakeDevice(options, 2);
    host = RecordingHost();
    Run();
    EXPECT_EQ(host.shown, QStringList{kExchangeError});
    EXPECT_EQ(Report().startUpdateRequests, 0u);
}

TEST_F(DevsimWholeRun, SilentDeviceAndClosedPort) {
    DeviceOptions silent;
    silent.silent = true;
    MakeDevice(silent, 2);
    Run();
    EXPECT_EQ(host.shown, QStringList{kExchangeError});
    EXPECT_EQ(host.enableStartCalls, 1);

    MakeDevice({}, 2);
    channelOptions.failConnect = true;
    host = RecordingHost();
    Run();
    EXPECT_EQ(host.shown, (QStringList{kExchangeError, kConnectionError}));
    EXPECT_EQ(Report().framesHandled + Report().framesIgnored, 0u);
}

TEST_F(DevsimWholeRun, StopRequestEndsTheRunAfterTheExchangeUnderWay) {
    MakeDevice({}, 20);
    Run({}, [this] { return device->Report().pagesReceived >= 10; });
    EXPECT_TRUE(host.shown.isEmpty());
    EXPECT_EQ(Report().pagesReceived, 10u);
    EXPECT_EQ(host.enableStartCalls, 1);
}

TEST_F(DevsimWholeRun, DeviceKeepsItsStateBetweenRuns) {
    MakeDevice({}, 3);
    Run();
    host = RecordingHost();
    Run();
    EXPECT_EQ(host.shown, QStringList{kSuccess});
    EXPECT_EQ(Report().updatesCompleted, 2u);
    EXPECT_EQ(Report().enterBootloaderRequests, 2u);
    EXPECT_EQ(Report().pagesReceived, 6u);
    EXPECT_EQ(Report().pageMismatches, 0u);
}

}  // namespace
}  // namespace kvr::devsim

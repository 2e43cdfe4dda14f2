// Frames, reply judging and the link probe, against a scripted channel on virtual time.
// Bytes cross in no time here, so the figures are the time-outs' own.
#include <gtest/gtest.h>

#include <QTemporaryDir>

#include "Exception.h"
#include "LinkProtocol.h"
#include "RunMessages.h"
#include "RunReporter.h"
#include "SimulatedLine.h"
#include "TestFiles.h"
#include "TestRunHost.h"
#include "UpdateLog.h"

namespace kvr::test {
namespace {

Bytes Hex(const char* text) {
    Bytes out;
    for (const QString& part :
         QString::fromLatin1(text).split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        out.push_back(static_cast<uint8_t>(part.toUInt(nullptr, 16)));
    }
    return out;
}

class Link : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(log_.Open(dir_.filePath(QStringLiteral("log.txt"))));
        LinkSettings settings;
        settings.setupString = "115200,n,8,1";
        settings.readInterval = 1000;
        settings.readTotalMultiplier = 50;
        settings.readTotalConstant = 5000;
        settings.writeTotalMultiplier = 250;
        settings.writeTotalConstant = 500;
        channel_.Connect(settings);
    }

    QStringList LogLines() const { return LogEntries(dir_.filePath(QStringLiteral("log.txt"))); }

    QTemporaryDir dir_;
    VirtualClock clock_;
    DeviceChannel channel_{clock_, nullptr, devsim::ChannelOptions{false}};
    TestRunHost host_;
    TUpdateLog log_{clock_, LogSeparators{}};
    RunState state_;
    TRunReporter reporter_{host_, log_, state_};
    TLinkProtocol link_{channel_, reporter_, log_, state_};
};

// --- request frames -------------------------------------------------------------------------

struct FrameCase {
    const char* name;
    uint16_t addressLength;
    bool bootAll;
    uint8_t command;
    const char* payload;
    const char* frame;
};

class RequestFrame : public Link, public ::testing::WithParamInterface<FrameCase> {};

TEST_P(RequestFrame, IsBuiltByteForByte) {
    const FrameCase& c = GetParam();
    state_.addressFieldLength = c.addressLength;
    state_.bootAllFrame = c.bootAll;
    const Bytes payload = Hex(c.payload);
    EXPECT_TRUE(link_.SendFrame(c.command, payload.data(), static_cast<uint32_t>(payload.size())));
    ASSERT_EQ(channel_.Writes().size(), 1u);
    EXPECT_EQ(channel_.Writes()[0], Hex(c.frame));
    EXPECT_EQ(channel_.PurgeCount(), 1);  // the receive queue is dropped before every frame
}

INSTANTIATE_TEST_SUITE_P(
    WorkedExamples, RequestFrame,
    ::testing::Values(
        FrameCase{"StatusN6", 6, false, 0x01, "", "55 01 08 00 00 00 00 00 00 00 01 08"},
        FrameCase{"StatusN0", 0, false, 0x01, "", "55 01 02 00 01 02"},
        FrameCase{"EnterBootloaderN6", 6, false, 0x05, "00 00 00",
                  "55 01 0B 00 00 00 00 00 00 00 05 00 00 00 0F"},
        FrameCase{"EnterBootloaderN0", 0, false, 0x05, "00 00 00", "55 01 05 00 05 00 00 00 01"},
        FrameCase{"StartUpdateN0", 0, false, 0x08, "", "55 01 02 00 08 0B"},
        FrameCase{"StartUpdateN6", 6, false, 0x08, "", "55 01 08 00 00 00 00 00 00 00 08 01"},
        FrameCase{"WritePageN0", 0, false, 0x09, "03 00 04 00 10 11 12 13 14 15 16 17 AA BB CC DD",
                  "55 01 12 00 09 03 00 04 00 10 11 12 13 14 15 16 17 AA BB CC DD 1D"},
        FrameCase{"WritePageN0BootAll", 0, true, 0x09,
                  "03 00 04 00 10 11 12 13 14 15 16 17 AA BB CC DD",
                  "55 02 12 00 09 03 00 04 00 10 11 12 13 14 15 16 17 AA BB CC DD 1E"},
        FrameCase{"WritePageN6", 6, false, 0x09, "03 00 04 00 10 11 12 13 14 15 16 17 AA BB CC DD",
                  "55 01 18 00 00 00 00 00 00 00 09 03 00 04 00 10 11 12 13 14 15 16 17 AA BB CC "
                  "DD 17"},
        FrameCase{"WritePageN6BootAll", 6, true, 0x09,
                  "03 00 04 00 10 11 12 13 14 15 16 17 AA BB CC DD",
                  "55 02 18 00 00 00 00 00 00 00 09 03 00 04 00 10 11 12 13 14 15 16 17 AA BB CC "
                  "DD 14"}),
    [](const ::testing::TestParamInfo<FrameCase>& p) { return std::string(p.param.name); });

TEST_F(Link, WrittenFrameIsDumpedToTheLog) {
    state_.addressFieldLength = 0;
    link_.SendFrame(0x01, nullptr, 0);
    EXPECT_EQ(LogLines(), QStringList{QStringLiteral("Запись: 55 01 02 00 01 02 ")});
}

TEST_F(Link, FramesAfterALongerOneCarryNothingOfIt) {
    Bytes page(268);
    for (size_t i = 0; i < page.size(); ++i)
        page[i] = static_cast<uint8_t>(0xA0 + i);
    state_.addressFieldLength = 6;
    EXPECT_TRUE(link_.SendFrame(0x09, page.data(), static_cast<uint32_t>(page.size())));
    EXPECT_TRUE(link_.SendFrame(0x01, nullptr, 0));
    state_.addressFieldLength = 0;
    EXPECT_TRUE(link_.SendFrame(0x01, nullptr, 0));
    ASSERT_EQ(channel_.Writes().size(), 3u);
    EXPECT_EQ(channel_.Writes()[0].size(), 280u);
    EXPECT_EQ(channel_.Writes()[1], Hex("55 01 08 00 00 00 00 00 00 00 01 08"));
    EXPECT_EQ(channel_.Writes()[2], Hex("55 01 02 00 01 02"));
}

TEST_F(Link, ShortWriteIsNotLogged) {
    FailAfterChannel failing(channel_, 3);
    TLinkProtocol link(failing, reporter_, log_, state_);
    state_.addressFieldLength = 0;
    EXPECT_TRUE(link.SendFrame(0x01, nullptr, 0));  // the count is not looked at
    EXPECT_EQ(channel_.Writes().at(0), Hex("55 01 02"));
    EXPECT_TRUE(LogLines().isEmpty());
}

TEST_F(Link, PortThatCannotPurgeMakesSendFrameFalseWithoutWriting) {
    channel_.Disconnect();
    EXPECT_FALSE(link_.SendFrame(0x01, nullptr, 0));
    EXPECT_TRUE(channel_.Writes().empty());
    EXPECT_TRUE(host_.Shown().isEmpty());
}

TEST_F(Link, PayloadTooLongForTheLengthFieldIsNotSent) {
    state_.addressFieldLength = 6;
    const Bytes payload(0xFFFF - 6 - 2 + 1, 0x11);
    EXPECT_FALSE(link_.SendFrame(0x09, payload.data(), static_cast<uint32_t>(payload.size())));
    EXPECT_TRUE(channel_.Writes().empty());
    const Bytes fits(0xFFFF - 6 - 2, 0x11);
    EXPECT_TRUE(link_.SendFrame(0x09, fits.data(), static_cast<uint32_t>(fits.size())));
}

// --- judging replies ------------------------------------------------------------------------

TEST_F(Link, StatusReplyOfTheWorkedExampleIsRead) {
    state_.addressFieldLength = 0;
    channel_.QueueReplyToNextWrite(
        Hex("55 01 10 00 01 03 00 00 00 00 00 05 00 00 01 00 00 00 00 17"));
    const StatusRecord s = link_.RequestStatus(true);
    EXPECT_EQ(s.statusCode, 3);
    EXPECT_EQ(s.requestedPage, 5);
    EXPECT_EQ(s.requestedLength, 256);
    EXPECT_TRUE(host_.Shown().isEmpty());
    EXPECT_EQ(
        LogLines(),
        (QStringList{QStringLiteral("Запрашиваем статус прибора"),
                     QStringLiteral("Запись: 55 01 02 00 01 02 "),
                     QStringLiteral("Чтение: 55 01 10 00 "),
                     QStringLiteral("Чтение: 01 03 00 00 00 00 00 05 00 00 01 00 00 00 00 17 ")}));
}

TEST_F(Link, ReplyWithAddressBytesCountsThemInTheChecksum) {
    state_.addressFieldLength = 6;
    Bytes reply = LinkFrame(0x09, {0x00}, 6);
    reply[6] = 0x5A;       // an address byte the host does not interpret …
    reply.back() ^= 0x5A;  // … but checks
    channel_.QueueBytes(reply);
    ReplyBuffer buffer{};
    EXPECT_EQ(link_.ReceiveReply(buffer, 0x09), 3);
    EXPECT_EQ(buffer[0], 0x09);
    EXPECT_EQ(buffer[1], 0x00);
    EXPECT_TRUE(host_.Shown().isEmpty());
}

TEST_F(Link, SilentDeviceIsOneExchangeErrorAfterTheFullReadTimeOut) {
    state_.addressFieldLength = 0;
    ReplyBuffer buffer{};
    EXPECT_EQ(link_.ReceiveReply(buffer, 0x09), 0);
    EXPECT_EQ(host_.Shown(), QStringList{kExchangeError});
    EXPECT_TRUE(state_.stopFlag);
    ASSERT_EQ(channel_.Reads().size(), 1u);
    EXPECT_EQ(channel_.Reads()[0].elapsedMs, 4u * 50 + 5000);
    EXPECT_EQ(LogLines(), QStringList{kExchangeError});
}

TEST_F(Link, ShortHeaderIsOneExchangeError) {
    state_.addressFieldLength = 0;
    channel_.QueueBytes(Hex("55 01"));
    ReplyBuffer buffer{};
    EXPECT_EQ(link_.ReceiveReply(buffer, 0x09), 0);
    EXPECT_EQ(host_.Shown(), QStringList{kExchangeError});
    // The read ended one interval after the last byte.
    EXPECT_EQ(channel_.Reads()[0].elapsedMs, 1000u);
}

TEST_F(Link, ShortReplyDataIsOneExchangeError) {
    state_.addressFieldLength = 0;
    const Bytes whole = LinkFrame(0x09, {0x00, 0x11, 0x22});
    channel_.QueueBytes(Bytes(whole.begin(), whole.end() - 2));
    ReplyBuffer buffer{};
    EXPECT_EQ(link_.ReceiveReply(buffer, 0x09), 0);
    EXPECT_EQ(host_.Shown(), QStringList{kExchangeError});
}

TEST_F(Link, WrongStartByteIsNeverValid) {
    state_.addressFieldLength = 0;
    Bytes reply = LinkFrame(0x09, {0x00});
    reply[0] = 0xAA;
    channel_.QueueBytes(reply);
    ReplyBuffer buffer{};
    buffer[0] = 0x09;  // left over from an earlier exchange
    EXPECT_EQ(link_.ReceiveReply(buffer, 0x09), 0);
    EXPECT_EQ(host_.Shown(), QStringList{kExchangeError});
    EXPECT_EQ(channel_.PendingBytes(), reply.size() - 4);  // the rest was not read

    // With stopFlag already set the failure stays silent but is still a failure.
    host_.Clear();
    channel_.PurgeReceive();
    channel_.QueueBytes(reply);
    state_.stopFlag = true;
    buffer[0] = 0x09;
    EXPECT_EQ(link_.ReceiveReply(buffer, 0x09), 0);
    EXPECT_TRUE(host_.Shown().isEmpty());
}

TEST_F(Link, BadChecksumIsExactlyOneCrcErrorWhateverTheEcho) {
    state_.addressFieldLength = 0;
    for (const bool echoRight : {true, false}) {
        SCOPED_TRACE(echoRight);
        host_.Clear();
        state_.stopFlag = false;
        Bytes reply = LinkFrame(echoRight ? 0x09 : 0x0A, {0x00, 0x42});
        reply.back() ^= 0x01;
        channel_.QueueBytes(reply);
        ReplyBuffer buffer{};
        EXPECT_EQ(link_.ReceiveReply(buffer, 0x09), 0);
        EXPECT_EQ(host_.Shown(), QStringList{kCrcError});
        // The caller's buffer still holds what was read.
        EXPECT_EQ(buffer[1], 0x00);
        EXPECT_EQ(buffer[2], 0x42);
    }
}

TEST_F(Link, StatusReplyWithBadChecksumAndWrongEchoIsReportedTwice) {
    state_.addressFieldLength = 0;
    Bytes reply = LinkFrame(0x02, StatusBytes(3));
    reply.back() ^= 0xFF;
    channel_.QueueBytes(reply);
    ReplyBuffer buffer{};
    EXPECT_EQ(link_.ReceiveStatusReply(buffer, 0x01, false), 0);
    EXPECT_EQ(host_.Shown(), (QStringList{kCrcError, kExchangeError}));
}

TEST_F(Link, WrongEchoIsAnExchangeErrorUnlessStopFlagIsAlreadySet) {
    state_.addressFieldLength = 0;
    const Bytes reply = LinkFrame(0x0A, {0x00});
    channel_.QueueBytes(reply);
    ReplyBuffer buffer{};
    EXPECT_EQ(link_.ReceiveReply(buffer, 0x09), 0);
    EXPECT_EQ(host_.Shown(), QStringList{kExchangeError});

    host_.Clear();
    channel_.QueueBytes(reply);
    ASSERT_TRUE(state_.stopFlag);
    EXPECT_EQ(link_.ReceiveReply(buffer, 0x09), 3);  // let through
    EXPECT_TRUE(host_.Shown().isEmpty());
}

TEST_F(Link, StatusReplyWithWrongEchoIsReportedEvenWithoutReportFailures) {
    state_.addressFieldLength = 0;
    channel_.QueueReplyToNextWrite(LinkFrame(0x02, StatusBytes(3, 1, 8)));
    const StatusRecord s = link_.RequestStatus(false);
    EXPECT_EQ(s.statusCode, 0xFF);
    EXPECT_EQ(host_.Shown(), QStringList{kExchangeError});
}

TEST_F(Link, StatusReceiveReportsShortReadsOnlyWhenAsked) {
    state_.addressFieldLength = 0;
    ReplyBuffer buffer{};
    // Nothing at all: silent without reportFailures, one report with it.
    EXPECT_EQ(link_.ReceiveStatusReply(buffer, 0x01, false), 0);
    EXPECT_TRUE(host_.Shown().isEmpty());
    EXPECT_FALSE(state_.stopFlag);
    EXPECT_EQ(link_.ReceiveStatusReply(buffer, 0x01, true), 0);
    EXPECT_EQ(host_.Shown(), QStringList{kExchangeError});

    // A piece of a reply: the last read got something, so the echo check reports as well.
    host_.Clear();
    channel_.QueueBytes(Hex("55 01"));
    EXPECT_EQ(link_.ReceiveStatusReply(buffer, 0x01, false), 0);
    EXPECT_EQ(host_.Shown(), QStringList{kExchangeError});
    host_.Clear();
    channel_.QueueBytes(Hex("55 01"));
    EXPECT_EQ(link_.ReceiveStatusReply(buffer, 0x01, true), 0);
    EXPECT_EQ(host_.Shown(), (QStringList{kExchangeError, kExchangeError}));
}

TEST_F(Link, ShortStatusReplyLeavesMissingStatusBytesZero) {
    state_.addressFieldLength = 0;
    channel_.QueueReplyToNextWrite(LinkFrame(0x01, {0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x07}));
    const StatusRecord s = link_.RequestStatus(true);
    EXPECT_EQ(s.statusCode, 3);
    EXPECT_EQ(s.requestedPage, 7);
    EXPECT_EQ(s.requestedLength, 0);
}

TEST_F(Link, StatusReplyWithoutAStatusByteIsNoStatus) {
    state_.addressFieldLength = 0;
    channel_.QueueReplyToNextWrite(LinkFrame(0x01, {}));
    EXPECT_EQ(link_.RequestStatus(true).statusCode, 0xFF);
}

// Length fields that leave no reply data, or more than the 1024-byte buffer holds.
struct LengthCase {
    const char* name;
    uint16_t addressLength;
    uint16_t lengthField;
};

class ReplyLength : public Link, public ::testing::WithParamInterface<LengthCase> {};

TEST_P(ReplyLength, OutsideTheBufferIsAnExchangeFailureAndNothingMoreIsRead) {
    const LengthCase& c = GetParam();
    state_.addressFieldLength = c.addressLength;
    Bytes reply = LinkFrame(0x09, Bytes(1100, 0x00), c.addressLength);
    reply[2] = static_cast<uint8_t>(c.lengthField & 0xFF);
    reply[3] = static_cast<uint8_t>(c.lengthField >> 8);
    channel_.QueueBytes(reply);
    ReplyBuffer buffer;
    buffer.fill(0xEE);
    EXPECT_EQ(link_.ReceiveReply(buffer, 0x09), 0);
    EXPECT_EQ(host_.Shown(), QStringList{kExchangeError});
    EXPECT_EQ(channel_.PendingBytes(), reply.size() - 4);
    EXPECT_EQ(buffer[0], 0xEE);

    // A status reply: reported even without reportFailures (its header read got bytes).
    host_.Clear();
    channel_.PurgeReceive();
    reply[4 + c.addressLength] = 0x01;
    channel_.QueueBytes(reply);
    EXPECT_EQ(link_.ReceiveStatusReply(buffer, 0x01, false), 0);
    EXPECT_EQ(host_.Shown(), QStringList{kExchangeError});
}

INSTANTIATE_TEST_SUITE_P(
    Edges, ReplyLength,
    ::testing::Values(LengthCase{"ZeroN0", 0, 0}, LengthCase{"EqualN6", 6, 6},
                      LengthCase{"BelowN6", 6, 3}, LengthCase{"OverBufferN0", 0, 1025},
                      LengthCase{"OverBufferN6", 6, 1031}, LengthCase{"Largest", 6, 0xFFFF}),
    [](const ::testing::TestParamInfo<LengthCase>& p) { return std::string(p.param.name); });

TEST_F(Link, ReplyThatFillsTheBufferExactlyIsAccepted) {
    state_.addressFieldLength = 6;
    channel_.QueueBytes(LinkFrame(0x09, Bytes(1022, 0x5C), 6));
    ReplyBuffer buffer{};
    EXPECT_EQ(link_.ReceiveReply(buffer, 0x09), 1024);
    EXPECT_EQ(buffer[1022], 0x5C);
    EXPECT_TRUE(host_.Shown().isEmpty());
}

// --- the link probe -------------------------------------------------------------------------

TEST_F(Link, ProbeFindsADeviceThatAnswersOnlyWithoutAddressBytes) {
    DeviceOptions options;
    options.startInBootloader = true;  // N = 0
    DeviceModel device(options, {}, clock_);
    channel_.AttachDevice(&device);
    state_.stopFlag = true;  // an earlier report must not end the run
    EXPECT_TRUE(link_.ProbeLink());
    EXPECT_EQ(state_.addressFieldLength, 0);
    EXPECT_FALSE(state_.stopFlag);
    EXPECT_TRUE(host_.Shown().isEmpty());
    // First attempt: 4 bytes x 50 ms with the read total constant lowered to 0.
    ASSERT_GE(channel_.Reads().size(), 1u);
    EXPECT_EQ(channel_.Reads()[0].asked, 4u);
    EXPECT_EQ(channel_.Reads()[0].got, 0u);
    EXPECT_EQ(channel_.Reads()[0].elapsedMs, 200u);
    EXPECT_EQ(channel_.ReadTotalConstantChanges(), (std::vector<int32_t>{0, 5000}));
    ASSERT_EQ(channel_.Writes().size(), 2u);
    EXPECT_EQ(channel_.Writes()[0], Hex("55 01 08 00 00 00 00 00 00 00 01 08"));
    EXPECT_EQ(channel_.Writes()[1], Hex("55 01 02 00 01 02"));
}

TEST_F(Link, ProbeOfADeviceWithAddressBytesStopsAtTheFirstAttempt) {
    DeviceModel device({}, {}, clock_);
    channel_.AttachDevice(&device);
    state_.addressFieldLength = 0;
    state_.stopFlag = true;
    EXPECT_TRUE(link_.ProbeLink());
    EXPECT_EQ(state_.addressFieldLength, 6);
    EXPECT_TRUE(state_.stopFlag);  // only a failed first attempt clears it
    EXPECT_EQ(channel_.Writes().size(), 1u);
    EXPECT_EQ(channel_.Settings().readTotalConstant, 5000);
}

TEST_F(Link, ProbeOfASilentDeviceReportsExactlyOneExchangeError) {
    EXPECT_FALSE(link_.ProbeLink());
    EXPECT_EQ(host_.Shown(), QStringList{kExchangeError});
    EXPECT_EQ(state_.addressFieldLength, 0);
    EXPECT_TRUE(state_.stopFlag);
    EXPECT_EQ(channel_.Writes().size(), 2u);
    EXPECT_EQ(clock_.Now(), 400u);
    EXPECT_EQ(channel_.ReadTotalConstantChanges(), (std::vector<int32_t>{0, 5000}));
}

TEST_F(Link, ProbeOnAPortThatDidNotOpenFailsAtOnceWithOneReport) {
    channel_.Disconnect();
    EXPECT_FALSE(link_.ProbeLink());
    EXPECT_EQ(host_.Shown(), QStringList{kExchangeError});
    EXPECT_EQ(clock_.Now(), 0u);
}

TEST_F(Link, ProbeFirstAttemptReportsAreForgottenWhenTheSecondSucceeds) {
    // The N = 6 status reply comes back garbled (a CRC error is shown), the N = 0 one sound.
    Bytes garbled = LinkFrame(0x01, StatusBytes(2), 6);
    garbled.back() ^= 0x01;
    channel_.QueueReplyToNextWrite(garbled);
    channel_.QueueReplyToNextWrite(LinkFrame(0x01, StatusBytes(2), 0));
    EXPECT_TRUE(link_.ProbeLink());
    EXPECT_EQ(host_.Shown(), QStringList{kCrcError});
    EXPECT_FALSE(state_.stopFlag);
    EXPECT_EQ(state_.addressFieldLength, 0);
}

TEST_F(Link, ProbeLetsARefusedTimeOutChangeThrough) {
    channel_.FailReadTotalConstantChange(0);
    EXPECT_THROW(link_.ProbeLink(), EInOutError);
    EXPECT_FALSE(channel_.Connected());
}

}  // namespace
}  // namespace kvr::test

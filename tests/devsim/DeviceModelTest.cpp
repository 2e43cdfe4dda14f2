// The simulated device as a host sees it: frames in, frames out, statuses in their order.
#include "DeviceModel.h"
#include "TestPages.h"
#include "VirtualClock.h"

#include <gtest/gtest.h>

#include <optional>

namespace kvr::devsim {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint16_t kPageSize = 24;  // 8 header bytes + 16 data bytes
constexpr uint16_t kDataBytes = kPageSize - kPageHeaderBytes;
constexpr uint32_t kRestartMs = 1500;

struct Reply {
    uint8_t frameType = 0;
    uint8_t echo = 0;
    Bytes payload;
};

// Parses one reply in framing n; nullopt unless it is a sound frame that fills `bytes` exactly.
std::optional<Reply> ParseReply(const Bytes& bytes, uint16_t n) {
    if (bytes.size() < kFrameHeaderBytes + n + 2u || bytes[0] != kStartByte)
        return std::nullopt;
    const size_t length = bytes[2] | (bytes[3] << 8);
    if (bytes.size() != kFrameHeaderBytes + length || length < n + 2u)
        return std::nullopt;
    uint8_t x = 0;
    for (size_t i = 1; i + 1 < bytes.size(); ++i)
        x ^= bytes[i];
    if (x != bytes.back())
        return std::nullopt;
    for (size_t i = 0; i < n; ++i) {
        if (bytes[kFrameHeaderBytes + i] != 0)
            return std::nullopt;
    }
    Reply r;
    r.frameType = bytes[1];
    r.echo = bytes[kFrameHeaderBytes + n];
    r.payload.assign(bytes.begin() + kFrameHeaderBytes + n + 1, bytes.end() - 1);
    return r;
}

struct Status {
    uint8_t code = 0xFF;
    uint16_t page = 0;
    uint16_t length = 0;
};

class DevsimModel : public ::testing::Test {
protected:
    void Make(DeviceOptions options, int pageCount = 3) {
        options.restartDelayMs = kRestartMs;
        pages = test::MakePages(pageCount, kDataBytes);
        device.emplace(options, pages, clock);
    }

    Bytes Send(uint16_t n, uint8_t command, const Bytes& payload = {},
               uint8_t frameType = kFrameTypePlain) {
        const Bytes frame = DeviceModel::BuildFrame(n, command, payload, frameType);
        return device->Receive(frame.data(), frame.size());
    }

    // A status exchange in framing n; nullopt when the device stays silent.
    std::optional<Status> AskStatus(uint16_t n) {
        const Bytes bytes = Send(n, kCmdStatus);
        if (bytes.empty())
            return std::nullopt;
        const auto reply = ParseReply(bytes, n);
        EXPECT_TRUE(reply.has_value()) << "status reply is not a sound frame";
        if (!reply)
            return std::nullopt;
        EXPECT_EQ(reply->echo, kCmdStatus);
        EXPECT_EQ(reply->payload.size(), kStatusRecordBytes);
        if (reply->payload.size() != kStatusRecordBytes)
            return std::nullopt;
        return Status{reply->payload[0],
                      static_cast<uint16_t>(reply->payload[6] | (reply->payload[7] << 8)),
                      static_cast<uint16_t>(reply->payload[8] | (reply->payload[9] << 8))};
    }

    // The one-byte answer of a command in framing n; nullopt when silent.
    std::optional<uint8_t> Command(uint16_t n, uint8_t command, const Bytes& payload = {},
                                   uint8_t frameType = kFrameTypePlain) {
        const Bytes bytes = Send(n, command, payload, frameType);
        if (bytes.empty())
            return std::nullopt;
        const auto reply = ParseReply(bytes, n);
        EXPECT_TRUE(reply.has_value());
        if (!reply)
            return std::nullopt;
        EXPECT_EQ(reply->echo, command);
        EXPECT_EQ(reply->payload.size(), 1u);
        return reply->payload.empty() ? std::nullopt : std::optional<uint8_t>(reply->payload[0]);
    }

    Bytes PagePayload(uint16_t page, uint16_t length) {
        Bytes p;
        p.reserve(kPageFrameFixedPayloadBytes +
                  length);  // also keeps GCC 12's -O3 bounds check quiet
        for (uint16_t v : {page, length}) {
            p.push_back(static_cast<uint8_t>(v & 0xFF));
            p.push_back(static_cast<uint8_t>(v >> 8));
        }
        const PackagePage& src = pages.at(page);
        p.insert(p.end(), src.pageHeader.begin(), src.pageHeader.end());
        p.insert(p.end(), src.pageData.begin(), src.pageData.begin() + length);
        return p;
    }

    std::optional<uint8_t> WritePage(uint16_t n, uint16_t page, uint16_t length,
                                     uint8_t frameType = kFrameTypePlain) {
        return Command(n, kCmdWritePage, PagePayload(page, length), frameType);
    }

    // From application mode (N = 6) into the bootloader (N = 0), past the restart.
    void EnterBootloader() {
        ASSERT_EQ(Command(6, kCmdEnterBootloader, {0, 0, 0}), kReplyAccepted);
        clock.Advance(kRestartMs);
    }

    VirtualClock clock;
    PageMap pages;
    std::optional<DeviceModel> device;
};

TEST(DevsimFrame, RepliesUseTheLinkFrameLayout) {
    // status reply, N = 0, status 3, page 5, length 256
    EXPECT_EQ(DeviceModel::BuildFrame(0, kCmdStatus,
                                      {0x03, 0, 0, 0, 0, 0, 0x05, 0x00, 0x00, 0x01, 0, 0, 0, 0}),
              (Bytes{0x55, 0x01, 0x10, 0x00, 0x01, 0x03, 0x00, 0x00, 0x00, 0x00,
                     0x00, 0x05, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x17}));
    EXPECT_EQ(DeviceModel::BuildFrame(6, kCmdStatus, {}),
              (Bytes{0x55, 0x01, 0x08, 0x00, 0, 0, 0, 0, 0, 0, 0x01, 0x08}));
    EXPECT_EQ(DeviceModel::BuildFrame(6, kCmdEnterBootloader, {0, 0, 0}),
              (Bytes{0x55, 0x01, 0x0B, 0x00, 0, 0, 0, 0, 0, 0, 0x05, 0, 0, 0, 0x0F}));
    EXPECT_EQ(DeviceModel::BuildFrame(0, kCmdWritePage,
                                      {0x03, 0x00, 0x04, 0x00, 0x10, 0x11, 0x12, 0x13, 0x14, 0x15,
                                       0x16, 0x17, 0xAA, 0xBB, 0xCC, 0xDD},
                                      kFrameTypeBootAll),
              (Bytes{0x55, 0x02, 0x12, 0x00, 0x09, 0x03, 0x00, 0x04, 0x00, 0x10, 0x11,
                     0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0xAA, 0xBB, 0xCC, 0xDD, 0x1E}));
}

TEST_F(DevsimModel, ApplicationModeAnswersOnlyItsOwnFraming) {
    Make({});
    EXPECT_FALSE(AskStatus(0).has_value());
    const auto s = AskStatus(6);
    ASSERT_TRUE(s.has_value());
    EXPECT_EQ(s->code, 0);
    EXPECT_EQ(device->Report().framesIgnored, 1u);

    DeviceOptions zeroFraming;
    zeroFraming.applicationAddressLength = 0;
    zeroFraming.applicationStatus = 10;
    Make(zeroFraming);
    EXPECT_FALSE(AskStatus(6).has_value());
    ASSERT_TRUE(AskStatus(0).has_value());
    EXPECT_EQ(AskStatus(0)->code, 10);
}

TEST_F(DevsimModel, EnterBootloaderRestartsSilentlyIntoTheOtherFraming) {
    Make({});
    // The acceptance goes out in the framing the request came in.
    ASSERT_EQ(Command(6, kCmdEnterBootloader, {0, 0, 0}), kReplyAccepted);
    EXPECT_EQ(device->Mode(), DeviceMode::Restarting);
    clock.Advance(kRestartMs - 1);
    EXPECT_FALSE(AskStatus(6).has_value());
    EXPECT_FALSE(AskStatus(0).has_value());
    clock.Advance(1);
    EXPECT_FALSE(AskStatus(6).has_value());
    const auto s = AskStatus(0);
    ASSERT_TRUE(s.has_value());
    EXPECT_EQ(s->code, kStatusBootloaderIdle);
    EXPECT_EQ(device->Report().enterBootloaderRequests, 1u);
}

TEST_F(DevsimModel, WholeUpdateRequestsEveryPageInOrderThenCompletes) {
    DeviceOptions options;
    options.finalStatuses = {10};
    Make(options, 3);
    EnterBootloader();
    EXPECT_EQ(Command(0, kCmdStartUpdate), kReplyAccepted);
    for (uint16_t page = 0; page < 3; ++page) {
        const auto s = AskStatus(0);
        ASSERT_TRUE(s.has_value());
        EXPECT_EQ(s->code, kStatusPageRequest);
        EXPECT_EQ(s->page, page);
        EXPECT_EQ(s->length, kDataBytes);
        EXPECT_EQ(WritePage(0, page, kDataBytes), 0);
    }
    EXPECT_EQ(AskStatus(0)->code, kStatusComplete);
    // Restarted into the new application: silent for a while, then the final status in the
    // application's framing.
    EXPECT_FALSE(AskStatus(6).has_value());
    clock.Advance(kRestartMs);
    EXPECT_FALSE(AskStatus(0).has_value());
    EXPECT_EQ(AskStatus(6)->code, 10);

    const DeviceReport& r = device->Report();
    EXPECT_EQ(r.pagesReceived, 3u);
    EXPECT_EQ(r.pageMismatches, 0u);
    EXPECT_EQ(r.updatesCompleted, 1u);
    EXPECT_EQ(r.startUpdateRequests, 1u);
}

TEST_F(DevsimModel, ASwappedFixtureTakesTheUnitOutAfterItsUpdateAndPutsAFreshOneIn) {
    DeviceOptions options;
    options.finalStatuses = {10};
    options.swapAfterMs = 5000;
    options.swapGapMs = 2000;
    Make(options, 1);
    for (int unit = 1; unit <= 2; ++unit) {
        EXPECT_EQ(AskStatus(6)->code, 0) << "a fresh unit, in its application";
        EnterBootloader();
        EXPECT_EQ(Command(0, kCmdStartUpdate), kReplyAccepted);
        EXPECT_EQ(AskStatus(0)->code, kStatusPageRequest);
        EXPECT_EQ(WritePage(0, 0, kDataBytes), 0);
        EXPECT_EQ(AskStatus(0)->code, kStatusComplete);
        clock.Advance(4999);
        EXPECT_EQ(AskStatus(6)->code, 10) << "still in place: unit " << unit;
        clock.Advance(1);
        EXPECT_FALSE(AskStatus(6).has_value()) << "taken out";
        clock.Advance(1999);
        EXPECT_FALSE(AskStatus(6).has_value());
        clock.Advance(1);
    }
    EXPECT_EQ(AskStatus(6)->code, 0) << "the third unit";
    EXPECT_EQ(device->Report().updatesCompleted, 2u);
    EXPECT_EQ(device->Report().unitsSwapped, 2u);
}

TEST_F(DevsimModel, AlreadyInBootloaderWithStatusSeven) {
    DeviceOptions options;
    options.startInBootloader = true;
    options.bootloaderStatus = 7;
    options.bootloaderAddressLength = 6;
    Make(options);
    EXPECT_FALSE(AskStatus(0).has_value());
    EXPECT_EQ(AskStatus(6)->code, 7);
    EXPECT_EQ(Command(6, kCmdStartUpdate), kReplyAccepted);
    EXPECT_EQ(AskStatus(6)->code, kStatusPageRequest);
}

TEST_F(DevsimModel, StartUpdateOutsideTheBootloaderIsRefused) {
    Make({});
    EXPECT_EQ(Command(6, kCmdStartUpdate), kReplyRefused);
    EXPECT_EQ(AskStatus(6)->code, 0);
    EXPECT_EQ(WritePage(6, 0, kDataBytes), kPageFlagNotWritten);
    EXPECT_EQ(device->Report().pagesReceived, 0u);
}

TEST_F(DevsimModel, EveryKindOfDifferenceCountsAsAMismatch) {
    Make({}, 4);
    EnterBootloader();
    Command(0, kCmdStartUpdate);

    Bytes data = PagePayload(0, kDataBytes);
    data.back() ^= 1;  // last data byte
    Command(0, kCmdWritePage, data);
    EXPECT_EQ(device->Report().pageMismatches, 1u);
    EXPECT_EQ(AskStatus(0)->page, 1) << "the device cannot tell wrong bytes, so it takes them";

    Bytes header = PagePayload(1, kDataBytes);
    header[4] ^= 0x80;  // first page-header byte
    Command(0, kCmdWritePage, header);
    EXPECT_EQ(device->Report().pageMismatches, 2u);

    // Page 2 is asked for; page 3 arrives.
    ASSERT_EQ(AskStatus(0)->page, 2);
    WritePage(0, 3, kDataBytes);
    EXPECT_EQ(device->Report().pageMismatches, 3u);
    EXPECT_EQ(AskStatus(0)->page, 2) << "a page out of order is not taken";

    // Fewer bytes than asked for: not taken either.
    WritePage(0, 2, kDataBytes - 1);
    EXPECT_EQ(device->Report().pageMismatches, 4u);
    EXPECT_EQ(AskStatus(0)->page, 2);

    WritePage(0, 2, kDataBytes);
    EXPECT_EQ(device->Report().pageMismatches, 4u);
    EXPECT_EQ(device->Report().pagesReceived, 5u);
}

TEST_F(DevsimModel, ChosenRequestedLengthIsAskedForAndChecked) {
    DeviceOptions options;
    options.requestedLength = 5;
    Make(options, 2);
    EnterBootloader();
    Command(0, kCmdStartUpdate);
    EXPECT_EQ(AskStatus(0)->length, 5);
    EXPECT_EQ(WritePage(0, 0, 5), 0);
    EXPECT_EQ(device->Report().pageMismatches, 0u);
    Bytes p = PagePayload(1, 5);
    p.back() ^= 1;
    Command(0, kCmdWritePage, p);
    EXPECT_EQ(device->Report().pageMismatches, 1u);
}

TEST_F(DevsimModel, RequestedLengthBeyondThePageCannotMatch) {
    DeviceOptions options;
    options.requestedLength = kDataBytes + 4;
    Make(options, 1);
    EnterBootloader();
    Command(0, kCmdStartUpdate);
    EXPECT_EQ(AskStatus(0)->length, kDataBytes + 4);
    Bytes p = PagePayload(0, kDataBytes);
    p[2] = kDataBytes + 4;
    p.insert(p.end(), 4, 0);
    Command(0, kCmdWritePage, p);
    EXPECT_EQ(device->Report().pageMismatches, 1u);
}

TEST_F(DevsimModel, PageBeyondThePackageIsAskedForOnce) {
    DeviceOptions options;
    options.requestPageBeyond = true;
    Make(options, 2);
    EnterBootloader();
    Command(0, kCmdStartUpdate);
    WritePage(0, 0, kDataBytes);
    WritePage(0, 1, kDataBytes);
    const auto beyond = AskStatus(0);
    EXPECT_EQ(beyond->code, kStatusPageRequest);
    EXPECT_EQ(beyond->page, 2);
    EXPECT_EQ(AskStatus(0)->code, kStatusComplete);
}

TEST_F(DevsimModel, BusyStatusAfterEveryKthPage) {
    DeviceOptions options;
    options.busyEveryPages = 2;
    Make(options, 4);
    EnterBootloader();
    Command(0, kCmdStartUpdate);
    std::vector<uint8_t> codes;
    for (int turn = 0; turn < 8; ++turn) {
        const auto s = AskStatus(0);
        ASSERT_TRUE(s.has_value());
        codes.push_back(s->code);
        if (s->code == kStatusPageRequest)
            WritePage(0, s->page, kDataBytes);
        if (s->code == kStatusComplete)
            break;
    }
    EXPECT_EQ(codes, (std::vector<uint8_t>{3, 3, 4, 3, 3, 4, 5}));
}

TEST_F(DevsimModel, PageFlagsAreRepliedAndNotWrittenRepeatsThePage) {
    DeviceOptions options;
    options.pageFlags[1] = kPageFlagNotWritten | kPageFlagHardwareIncompatible;
    options.pageFlags[2] = kPageFlagHardwareIncompatible | kPageFlagProgramIncompatible;
    Make(options, 4);
    EnterBootloader();
    Command(0, kCmdStartUpdate);
    EXPECT_EQ(WritePage(0, 0, kDataBytes), 0);
    EXPECT_EQ(WritePage(0, 1, kDataBytes), 0x03);
    EXPECT_EQ(AskStatus(0)->page, 1);
    options.pageFlags.erase(1);
    // A flagged-incompatible page without bit 0 is taken: the device moves on.
    Make(options, 4);
    EnterBootloader();
    Command(0, kCmdStartUpdate);
    WritePage(0, 0, kDataBytes);
    WritePage(0, 1, kDataBytes);
    EXPECT_EQ(WritePage(0, 2, kDataBytes), 0x06);
    EXPECT_EQ(AskStatus(0)->page, 3);
}

TEST_F(DevsimModel, ErrorStatusReplacesTheChosenPageAndSticks) {
    DeviceOptions options;
    options.errorStatusAtPage = 1;
    Make(options, 3);
    EnterBootloader();
    Command(0, kCmdStartUpdate);
    EXPECT_EQ(AskStatus(0)->page, 0);
    WritePage(0, 0, kDataBytes);
    EXPECT_EQ(AskStatus(0)->code, kStatusUpdateError);
    EXPECT_EQ(AskStatus(0)->code, kStatusUpdateError);
    EXPECT_EQ(device->Mode(), DeviceMode::Failed);
}

TEST_F(DevsimModel, SilentAfterCompletionNeverAnswersAgain) {
    DeviceOptions options;
    options.silentAfterCompletion = true;
    Make(options, 1);
    EnterBootloader();
    Command(0, kCmdStartUpdate);
    WritePage(0, 0, kDataBytes);
    EXPECT_EQ(AskStatus(0)->code, kStatusComplete);
    clock.Advance(10 * kRestartMs);
    EXPECT_FALSE(AskStatus(0).has_value());
    EXPECT_FALSE(AskStatus(6).has_value());
}

TEST_F(DevsimModel, SilentDeviceNeverAnswers) {
    DeviceOptions options;
    options.silent = true;
    Make(options);
    EXPECT_FALSE(AskStatus(6).has_value());
    EXPECT_FALSE(AskStatus(0).has_value());
    EXPECT_EQ(device->Report().framesIgnored, 2u);
}

TEST_F(DevsimModel, EachFaultSpoilsTheReplyInItsOwnWay) {
    const Bytes sound = DeviceModel::BuildFrame(6, kCmdStatus, Bytes(kStatusRecordBytes, 0));
    struct Case {
        FaultKind kind;
        const char* name;
    };
    for (const Case& c :
         {Case{FaultKind::NoReply, "no reply"}, Case{FaultKind::BadChecksum, "checksum"},
          Case{FaultKind::WrongEcho, "echo"}, Case{FaultKind::ShortReply, "short"},
          Case{FaultKind::WrongStartByte, "start"}}) {
        SCOPED_TRACE(c.name);
        DeviceOptions options;
        options.faults.push_back({c.kind, kCmdStatus, 1, 1});
        Make(options);
        const Bytes spoilt = Send(6, kCmdStatus);
        switch (c.kind) {
            case FaultKind::NoReply:
                EXPECT_TRUE(spoilt.empty());
                break;
            case FaultKind::BadChecksum:
                ASSERT_EQ(spoilt.size(), sound.size());
                EXPECT_TRUE(std::equal(sound.begin(), sound.end() - 1, spoilt.begin()));
                EXPECT_NE(spoilt.back(), sound.back());
                break;
            case FaultKind::WrongEcho: {
                const auto reply = ParseReply(spoilt, 6);
                ASSERT_TRUE(reply.has_value()) << "only the echo may be wrong";
                EXPECT_EQ(reply->echo, kCmdStatus + 1);
                break;
            }
            case FaultKind::ShortReply:
                EXPECT_EQ(spoilt, Bytes(sound.begin(), sound.end() - 3));
                break;
            case FaultKind::WrongStartByte:
                ASSERT_EQ(spoilt.size(), sound.size());
                EXPECT_NE(spoilt[0], kStartByte);
                EXPECT_TRUE(std::equal(sound.begin() + 1, sound.end(), spoilt.begin() + 1));
                break;
            default:
                FAIL() << "not a case here";
        }
        // Only the first reply was chosen.
        EXPECT_EQ(Send(6, kCmdStatus), sound);
    }
}

TEST_F(DevsimModel, FaultsHitTheChosenOccurrencesOfTheChosenCommand) {
    DeviceOptions options;
    options.faults.push_back({FaultKind::NoReply, kCmdStatus, 2, 2});
    options.faults.push_back({FaultKind::NoReply, kCmdWriteSerialNumber, 1, 0});
    Make(options);
    EXPECT_TRUE(AskStatus(6).has_value());
    EXPECT_FALSE(AskStatus(6).has_value());
    EXPECT_FALSE(AskStatus(6).has_value());
    EXPECT_TRUE(AskStatus(6).has_value());
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(Send(6, kCmdWriteSerialNumber, Bytes(kSerialNumberPayloadBytes, 0)).empty());
    }
    // The device still acted on the requests it did not answer.
    EXPECT_EQ(device->Report().serialNumbers.size(), 3u);
}

TEST_F(DevsimModel, RefusalsComeFirstThenAcceptance) {
    DeviceOptions options;
    options.refuseEnterBootloader = 1;
    options.refuseStartUpdate = 2;
    Make(options);
    EXPECT_EQ(Command(6, kCmdEnterBootloader, {0, 0, 0}), kReplyRefused);
    EXPECT_EQ(AskStatus(6)->code, 0) << "a refusal does not restart the device";
    EnterBootloader();
    EXPECT_EQ(Command(0, kCmdStartUpdate), kReplyRefused);
    EXPECT_EQ(Command(0, kCmdStartUpdate), kReplyRefused);
    EXPECT_EQ(AskStatus(0)->code, kStatusBootloaderIdle);
    EXPECT_EQ(Command(0, kCmdStartUpdate), kReplyAccepted);
    EXPECT_EQ(AskStatus(0)->code, kStatusPageRequest);
}

TEST_F(DevsimModel, SerialNumberIsRecordedInApplicationModeOnly) {
    Make({});
    Bytes payload = {0x34, '1', '2', '3', '4', '5', '6', '7', '8', 0, 0, 0, 0};
    EXPECT_EQ(Command(6, kCmdWriteSerialNumber, payload), kReplyAccepted);
    ASSERT_EQ(device->Report().serialNumbers.size(), 1u);
    const SerialNumberRecord& sn = device->Report().serialNumbers[0];
    EXPECT_EQ(sn.hardware, 0x34);
    EXPECT_EQ(Bytes(sn.serial.begin(), sn.serial.end()), Bytes(payload.begin() + 1, payload.end()));

    // Twelve bytes is the payload's room; a longer one is not a serial-number frame.
    payload.push_back('9');
    EXPECT_FALSE(Command(6, kCmdWriteSerialNumber, payload).has_value());

    EnterBootloader();
    EXPECT_EQ(Command(0, kCmdWriteSerialNumber, Bytes(kSerialNumberPayloadBytes, 0)),
              kReplyRefused);
    EXPECT_EQ(device->Report().serialNumbers.size(), 1u);

    DeviceOptions refusing;
    refusing.refuseSerialNumber = true;
    Make(refusing);
    EXPECT_EQ(Command(6, kCmdWriteSerialNumber, Bytes(kSerialNumberPayloadBytes, 0)),
              kReplyRefused);
    EXPECT_TRUE(device->Report().serialNumbers.empty());
}

TEST_F(DevsimModel, BootAllFrameTypesAreCountedByCommand) {
    Make({}, 2);
    EnterBootloader();
    Command(0, kCmdStartUpdate);
    WritePage(0, 0, kDataBytes, kFrameTypeBootAll);
    WritePage(0, 1, kDataBytes, kFrameTypePlain);
    EXPECT_FALSE(Send(0, kCmdStatus, {}, kFrameTypeBootAll).empty());
    EXPECT_EQ(device->Report().bootAllPageFrames, 1u);
    EXPECT_EQ(device->Report().bootAllOtherFrames, 1u);
    EXPECT_EQ(device->Report().pageMismatches, 0u);
}

TEST_F(DevsimModel, MalformedRequestsGetNoAnswer) {
    Make({});
    Bytes badChecksum = DeviceModel::BuildFrame(6, kCmdStatus, {});
    badChecksum.back() ^= 1;
    EXPECT_TRUE(device->Receive(badChecksum.data(), badChecksum.size()).empty());
    EXPECT_FALSE(Command(6, kCmdEnterBootloader, {0, 0}).has_value()) << "payload too short";
    EXPECT_FALSE(Command(6, kCmdStatus, {0}).has_value()) << "status takes no payload";
    EXPECT_FALSE(Command(6, 0x42).has_value()) << "unknown command";
    Bytes addressed = DeviceModel::BuildFrame(6, kCmdStatus, {});
    addressed[5] = 1;  // non-zero address byte
    addressed.back() ^= 1;
    EXPECT_TRUE(device->Receive(addressed.data(), addressed.size()).empty());
    // A page frame whose length field disagrees with the data it carries.
    EnterBootloader();
    Command(0, kCmdStartUpdate);
    Bytes page = PagePayload(0, kDataBytes);
    page[2] += 1;
    EXPECT_FALSE(Command(0, kCmdWritePage, page).has_value());
    EXPECT_EQ(device->Report().pagesReceived, 0u);
    EXPECT_EQ(device->Report().framesIgnored, 6u);
}

TEST_F(DevsimModel, RequestsArriveInPiecesAndAfterNoise) {
    Make({});
    Bytes stream = {0x00, 0xFF, 0x13};  // noise before the start byte
    const Bytes frame = DeviceModel::BuildFrame(6, kCmdStatus, {});
    stream.insert(stream.end(), frame.begin(), frame.end());
    stream.insert(stream.end(), frame.begin(), frame.end());
    Bytes out;
    for (uint8_t b : stream) {
        const Bytes part = device->Receive(&b, 1);
        out.insert(out.end(), part.begin(), part.end());
    }
    const Bytes reply = DeviceModel::BuildFrame(6, kCmdStatus, Bytes(kStatusRecordBytes, 0));
    Bytes twice = reply;
    twice.insert(twice.end(), reply.begin(), reply.end());
    EXPECT_EQ(out, twice);
}

TEST_F(DevsimModel, ScriptedPageRequestsAreAskedInOrderAndAMissingPageOnce) {
    DeviceOptions options;
    options.pageRequests = std::vector<PageRequest>{{1, 5}, {9, 5}, {0, kDataBytes}};
    Make(options, 2);
    EnterBootloader();
    Command(0, kCmdStartUpdate);
    const auto first = AskStatus(0);
    EXPECT_EQ(first->page, 1);
    EXPECT_EQ(first->length, 5);
    EXPECT_EQ(WritePage(0, 1, 5), 0);
    EXPECT_EQ(AskStatus(0)->page, 9) << "asked for once";
    const auto last = AskStatus(0);
    EXPECT_EQ(last->page, 0);
    EXPECT_EQ(last->length, kDataBytes);
    WritePage(0, 0, kDataBytes);
    EXPECT_EQ(AskStatus(0)->code, kStatusComplete);
    EXPECT_EQ(device->Report().pagesWritten, (std::vector<uint16_t>{1, 0}));
    EXPECT_EQ(device->Report().pageMismatches, 0u);
}

TEST_F(DevsimModel, FinalStatusesComeInOrderInTheNewApplicationsFraming) {
    DeviceOptions options;
    options.finalStatuses = {10, 3};
    options.updatedAddressLength = 0;
    Make(options, 1);
    EnterBootloader();
    Command(0, kCmdStartUpdate);
    WritePage(0, 0, kDataBytes);
    EXPECT_EQ(AskStatus(0)->code, kStatusComplete);
    clock.Advance(kRestartMs);
    EXPECT_FALSE(AskStatus(6).has_value());
    EXPECT_EQ(AskStatus(0)->code, 10);
    EXPECT_EQ(AskStatus(0)->code, 3);
    EXPECT_EQ(AskStatus(0)->code, 3) << "the last one repeats";
}

TEST_F(DevsimModel, FrameLogKeepsWhatWasReadInTheDevicesFraming) {
    Make({});
    AskStatus(0);  // not its framing: not logged
    AskStatus(6);
    Command(6, kCmdEnterBootloader, {0, 0, 0});
    const auto& frames = device->Frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].command, kCmdStatus);
    EXPECT_EQ(frames[0].addressLength, 6);
    EXPECT_TRUE(frames[0].payload.empty());
    EXPECT_EQ(frames[1].command, kCmdEnterBootloader);
    EXPECT_EQ(frames[1].payload, (Bytes{0, 0, 0}));
    EXPECT_EQ(device->Commands(), (std::vector<uint8_t>{kCmdStatus, kCmdEnterBootloader}));
}

TEST_F(DevsimModel, ReplyFaultsThatRewriteTheFrame) {
    const Bytes sound = DeviceModel::BuildFrame(6, kCmdStatus, Bytes(kStatusRecordBytes, 0));
    DeviceOptions options;
    options.faults = {{FaultKind::LengthField, kCmdStatus, 1, 1, 0x1234},
                      {FaultKind::Status, kCmdStatus, 2, 1, 6},
                      {FaultKind::ShortReply, kCmdStatus, 3, 1, 5},
                      {FaultKind::LengthField, kCmdStatus, 4, 1, 0xFFFF},
                      {FaultKind::TrailingNoise, kCmdStatus, 4, 1, 100}};
    Make(options);
    Bytes lengthField = sound;
    lengthField[2] = 0x34;
    lengthField[3] = 0x12;
    EXPECT_EQ(Send(6, kCmdStatus), lengthField);
    EXPECT_EQ(AskStatus(6)->code, 6) << "a sound frame with the other status";
    EXPECT_EQ(Send(6, kCmdStatus), Bytes(sound.begin(), sound.end() - 5));
    const Bytes huge = Send(6, kCmdStatus);
    ASSERT_EQ(huge.size(), sound.size() + 100);
    EXPECT_EQ(huge[2], 0xFF);
    EXPECT_EQ(huge[3], 0xFF);
    EXPECT_NE(huge[sound.size()], kStartByte) << "the noise never starts a frame";
    EXPECT_EQ(Send(6, kCmdStatus), sound);
}

TEST_F(DevsimModel, NoiseAndGarbledFramesReplaceTheReply) {
    DeviceOptions options;
    options.faults = {{FaultKind::Noise, kCmdStatus, 1, 1, 50},
                      {FaultKind::Garbled, kCmdStatus, 2, 1, 0}};
    Make(options);
    const Bytes noise = Send(6, kCmdStatus);
    ASSERT_EQ(noise.size(), 50u);
    EXPECT_NE(noise[0], kStartByte);
    const Bytes garbled = Send(6, kCmdStatus);
    ASSERT_GT(garbled.size(), kFrameHeaderBytes + 1);
    EXPECT_EQ(garbled[0], kStartByte);
    EXPECT_EQ(size_t(garbled[2] | (garbled[3] << 8)), garbled.size() - kFrameHeaderBytes);
    EXPECT_EQ(garbled[kFrameHeaderBytes], kCmdStatus + 1);
    EXPECT_FALSE(ParseReply(garbled, 0).has_value()) << "its checksum is wrong";
}

TEST_F(DevsimModel, RepliesComeInTimedPieces) {
    const Bytes sound = DeviceModel::BuildFrame(6, kCmdStatus, Bytes(kStatusRecordBytes, 0));
    const Bytes request = DeviceModel::BuildFrame(6, kCmdStatus, {});
    DeviceOptions options;
    options.replyDelayMs = 3;
    options.faults = {{FaultKind::Trickle, kCmdStatus, 2, 1, 40}};
    Make(options);
    const auto whole = device->ReceiveTimed(request.data(), request.size());
    ASSERT_EQ(whole.size(), 1u);
    EXPECT_EQ(whole[0].delayMs, 3u);
    EXPECT_EQ(whole[0].bytes, sound);
    const auto trickle = device->ReceiveTimed(request.data(), request.size());
    ASSERT_EQ(trickle.size(), sound.size());
    Bytes joined;
    for (size_t i = 0; i < trickle.size(); ++i) {
        EXPECT_EQ(trickle[i].delayMs, i == 0 ? 3u : 40u);
        joined.insert(joined.end(), trickle[i].bytes.begin(), trickle[i].bytes.end());
    }
    EXPECT_EQ(joined, sound);
}

TEST_F(DevsimModel, BabblingDeviceAnswersEveryWriteWithNoiseOnly) {
    DeviceOptions options;
    options.babbleBytes = 30;
    Make(options);
    for (uint16_t n : {uint16_t{0}, uint16_t{6}}) {
        const Bytes noise = Send(n, kCmdStatus);
        ASSERT_EQ(noise.size(), 30u);
        EXPECT_NE(noise[0], kStartByte);
    }
    EXPECT_EQ(device->Report().statusRequests, 0u);
}

TEST_F(DevsimModel, StalePartialRequestIsDropped) {
    Make({});
    // A header that announces a long frame, then nothing: a later request must still be read.
    const Bytes garbage = {kStartByte, 0x01, 0xFF, 0x00, 0x00};
    EXPECT_TRUE(device->Receive(garbage.data(), garbage.size()).empty());
    clock.Advance(kFrameGapMs + 1);
    EXPECT_TRUE(AskStatus(6).has_value());
}

}  // namespace
}  // namespace kvr::devsim

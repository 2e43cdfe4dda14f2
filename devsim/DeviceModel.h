// The simulated КВР-17: pure logic that turns request bytes into reply bytes, with no I/O of its
// own. The in-process channel and the pseudo-terminal server both drive it.
//
// The device speaks one framing at a time: application mode with its address length, bootloader
// mode with its own (6 or 0 each). A frame that does not parse in the current framing (wrong
// address length, non-zero address bytes, unknown command, wrong payload size, bad checksum) is
// dropped without a reply, as a real device ignores what it cannot read.
//
// Status sequence: application mode answers `applicationStatus`; cmdEnterBootloader is accepted
// and the device restarts (silent for `restartDelayMs`) into its bootloader, which answers
// `bootloaderStatus`; cmdStartUpdate starts the transfer: status 3 requests pages 0 … N-1 in order
// (or the scripted `pageRequests`; optionally one page beyond the package), status 4 now and
// then, then status 5 once; the device then restarts into application mode and answers
// `finalStatuses`. cmdWriteSerialNumber is taken in application mode.
//
// Replies can be spoilt on the way (ReplyFault) and come in timed pieces, so that a reply may
// trickle in byte by byte; Receive gives them all at once for callers that keep no time.
//
// Not thread-safe: one caller at a time. Time comes from the injected clock.
#pragma once

#include "Clock.h"
#include "UpdatePackage.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace kvr::devsim {

inline constexpr uint8_t kStartByte = 0x55;
inline constexpr uint8_t kFrameTypePlain = 0x01;
inline constexpr uint8_t kFrameTypeBootAll = 0x02;
inline constexpr size_t kFrameHeaderBytes = 4;  // start, type, length (u16)

inline constexpr uint8_t kCmdStatus = 0x01;
inline constexpr uint8_t kCmdEnterBootloader = 0x05;
inline constexpr uint8_t kCmdStartUpdate = 0x08;
inline constexpr uint8_t kCmdWritePage = 0x09;
inline constexpr uint8_t kCmdWriteSerialNumber = 0x30;

inline constexpr size_t kEnterBootloaderPayloadBytes = 3;
inline constexpr size_t kPageFrameFixedPayloadBytes = 12;  // page, length, 8-byte page header
inline constexpr size_t kSerialNumberPayloadBytes = 13;
inline constexpr size_t kSerialNumberBytes = 12;
inline constexpr size_t kStatusRecordBytes = 14;
inline constexpr size_t kPageHeaderBytes = 8;

inline constexpr uint8_t kStatusBootloaderIdle = 2;
inline constexpr uint8_t kStatusPageRequest = 3;
inline constexpr uint8_t kStatusBusy = 4;
inline constexpr uint8_t kStatusComplete = 5;
inline constexpr uint8_t kStatusUpdateError = 6;

inline constexpr uint8_t kReplyAccepted = 0x00;
inline constexpr uint8_t kReplyRefused = 0x01;

inline constexpr uint8_t kPageFlagNotWritten = 0x01;
inline constexpr uint8_t kPageFlagHardwareIncompatible = 0x02;
inline constexpr uint8_t kPageFlagProgramIncompatible = 0x04;

// A partial request older than this is dropped when new bytes arrive, so a garbled length
// field cannot swallow the frames that follow it.
inline constexpr uint64_t kFrameGapMs = 100;

// How a reply is spoiled. `value` is the kind's figure; 0 takes its default.
enum class FaultKind {
    NoReply,         // the reply is not sent at all
    BadChecksum,     // last byte wrong
    WrongEcho,       // echo byte is the command + 1 (checksum matches the wrong echo)
    ShortReply,      // the last `value` bytes are missing (default 3)
    WrongStartByte,  // first byte 0xAA instead of 0x55
    LengthField,     // the length field says `value`, nothing else changed
    Status,          // a status reply carries status code `value` instead
    Noise,           // `value` random bytes (default 4096) instead of the reply
    Garbled,         // a frame start, a sound length, random data, wrong echo and checksum
    TrailingNoise,   // `value` random bytes (default 4096) after the reply
    Trickle,         // the bytes one by one, `value` ms apart (default 1500)
};

inline constexpr int kAnyCommand = -1;

// Spoils replies to `command` (kAnyCommand: every command): the `first`-th such reply
// (1-based) and the `count` - 1 after it; count 0 spoils every one from `first` on. Several
// faults on one reply apply in order.
struct ReplyFault {
    FaultKind kind = FaultKind::NoReply;
    int command = kAnyCommand;
    uint32_t first = 1;
    uint32_t count = 1;
    uint32_t value = 0;
};

// A page the device asks for with status 3.
struct PageRequest {
    uint16_t page = 0;
    uint16_t length = 0;
};

struct DeviceOptions {
    uint16_t applicationAddressLength = 6;
    uint16_t bootloaderAddressLength = 0;
    bool startInBootloader = false;
    uint8_t applicationStatus = 0;  // before the update; 0, 1, 8 and 10 make the host restart it
    uint8_t bootloaderStatus = kStatusBootloaderIdle;  // 2 or 7
    uint32_t restartDelayMs = 1500;
    // Data bytes asked for with every page; -1: the package's pageSize - 8.
    int32_t requestedLength = -1;
    bool requestPageBeyond = false;  // after the last page, ask once for page N
    uint32_t busyEveryPages = 0;     // status 4 once after every k-th page taken; 0: never
    // Answered after completion, in order, the last repeating (0, 5 or 10 mean success).
    std::vector<uint8_t> finalStatuses{0};
    uint16_t refuseEnterBootloader = 0;  // refuse the first n cmdEnterBootloader
    uint16_t refuseStartUpdate = 0;      // refuse the first n cmdStartUpdate
    bool refuseSerialNumber = false;
    // Reply flags of cmdWritePage, by page number (each time the page is sent).
    std::map<uint16_t, uint8_t> pageFlags;
    std::optional<uint16_t> errorStatusAtPage;  // status 6 instead of requesting this page
    bool silentAfterCompletion = false;         // no answer at all once status 5 was sent
    // The framing of the new application after an update; none: the application's.
    std::optional<uint16_t> updatedAddressLength;
    bool silent = false;  // never answers
    std::vector<ReplyFault> faults;
    // The pages asked for, in order, instead of every page of the package; a page the package
    // does not have is asked for once (the host sends nothing for it).
    std::optional<std::vector<PageRequest>> pageRequests;
    uint32_t replyDelayMs = 0;  // every reply starts this long after its request
    uint32_t babbleBytes = 0;   // > 0: every write is answered with this much noise, nothing else
    uint32_t noiseSeed = 17;
    // > 0: a fixture whose units are swapped, as an operator does in a hands-free loop: this
    // long after an update completed the unit is taken out (nothing answers) for swapGapMs,
    // then a fresh unit in the application answers.
    uint32_t swapAfterMs = 0;
    uint32_t swapGapMs = 2000;
};

struct SerialNumberRecord {
    uint8_t hardware = 0;
    std::array<uint8_t, kSerialNumberBytes> serial{};
};

// What the device saw. Counters only grow.
struct DeviceReport {
    uint32_t framesHandled = 0;  // frames read in the current framing (a spoilt reply included)
    uint32_t framesIgnored = 0;  // not in the current framing, bad checksum, restarting, silent
    uint32_t statusRequests = 0;
    uint32_t enterBootloaderRequests = 0;
    uint32_t startUpdateRequests = 0;
    uint32_t pagesReceived = 0;       // cmdWritePage frames taken into account
    uint32_t pageMismatches = 0;      // of those, frames that differ from the package
    uint32_t bootAllPageFrames = 0;   // cmdWritePage frames with frame type 2
    uint32_t bootAllOtherFrames = 0;  // other frames with frame type 2 (the host must send none)
    uint32_t updatesCompleted = 0;    // times status 5 was sent
    uint32_t framesNotLogged = 0;     // handled frames beyond the frame log's room
    uint32_t unitsSwapped = 0;        // fresh units put in (swapAfterMs)
    std::vector<SerialNumberRecord> serialNumbers;  // every cmdWriteSerialNumber payload taken
    std::vector<uint16_t> pagesWritten;             // page number of every cmdWritePage frame taken
};

// A request the device read in its framing, as it arrived.
struct ReceivedFrame {
    uint8_t frameType = 0;
    uint16_t addressLength = 0;
    uint8_t command = 0;
    std::vector<uint8_t> payload;
};

// Reply bytes that leave the device `delayMs` after the piece before them (the first: after
// the request).
struct ReplyPiece {
    uint64_t delayMs = 0;
    std::vector<uint8_t> bytes;
};

enum class DeviceMode {
    Application,
    Restarting,
    Bootloader,
    Updating,
    Failed,  // answers status 6
    Dead,    // silent for good
};

class DeviceModel {
public:
    // pages: the package the device expects; the clock must outlive the model.
    DeviceModel(DeviceOptions options, PageMap pages, IClock& clock);

    // Takes bytes from the host and returns what the device sends back, in timed pieces.
    std::vector<ReplyPiece> ReceiveTimed(const uint8_t* data, size_t count);
    // The same, every piece at once (possibly no bytes).
    std::vector<uint8_t> Receive(const uint8_t* data, size_t count);

    const DeviceReport& Report() const { return report_; }
    // The frames read in the current framing, in order (the first kMaxFrameLogBytes of
    // payload; later frames are only counted in the report).
    const std::vector<ReceivedFrame>& Frames() const { return frames_; }
    std::vector<uint8_t> Commands() const;
    DeviceMode Mode();
    // Address length the device speaks now (that of the mode it is in or restarting into).
    uint16_t AddressLength();
    // Data bytes asked for with each page.
    uint16_t RequestedLength() const { return requestedLength_; }
    // Page the device asks for next (meaningful while updating).
    uint32_t NextPage() const;

    // Payload bytes the frame log keeps at most, so that a device serving for days stays bounded.
    static constexpr size_t kMaxFrameLogBytes = size_t{16} << 20;

    // One frame in the given framing, address bytes zero, checksum set. The device's replies
    // are built with it; tests use it for requests too.
    static std::vector<uint8_t> BuildFrame(uint16_t addressLength, uint8_t command,
                                           const std::vector<uint8_t>& payload,
                                           uint8_t frameType = kFrameTypePlain);
    // The 14 status bytes: code, 5 zeros, page (u16 LE), length (u16 LE), 4 zeros.
    static std::vector<uint8_t> StatusRecord(uint8_t code, uint16_t page = 0, uint16_t length = 0);

private:
    struct Request {
        uint8_t frameType = 0;
        uint8_t command = 0;
        std::vector<uint8_t> payload;
    };

    void FinishRestartIfDue();
    // The unit out of the fixture now (swapAfterMs); a fresh one once the gap has passed.
    bool SwappedOut();
    uint16_t AddressLengthOf(DeviceMode mode) const;
    void Restart(DeviceMode target);
    void StartTransfer();
    std::optional<Request> ParseFrame(const std::vector<uint8_t>& frame) const;
    std::vector<ReplyPiece> HandleFrame(const std::vector<uint8_t>& frame);
    void LogFrame(const Request& request, uint16_t addressLength);
    std::vector<ReplyPiece> Deliver(std::vector<uint8_t> reply, uint8_t command,
                                    uint32_t occurrence, uint16_t addressLength);
    std::vector<uint8_t> Noise(size_t count);
    std::vector<uint8_t> Answer(const Request& request);
    std::vector<uint8_t> AnswerStatus();
    std::vector<uint8_t> AnswerWritePage(const Request& request);
    std::vector<uint8_t> AnswerWriteSerialNumber(const Request& request);
    bool PageMatches(uint16_t page, uint16_t length, const uint8_t* header,
                     const uint8_t* data) const;
    std::vector<ReplyFault> FaultsFor(uint8_t command, uint32_t occurrence) const;

    DeviceOptions options_;
    PageMap pages_;
    IClock& clock_;

    DeviceMode mode_;
    DeviceMode restartTarget_ = DeviceMode::Bootloader;
    uint64_t restartEndsMs_ = 0;
    std::optional<uint64_t> completedAtMs_;  // the unit's update completed (swapAfterMs)
    bool updated_ = false;  // application mode answers finalStatuses once an update completed
    uint16_t requestedLength_ = 0;
    std::vector<PageRequest> requests_;  // of the transfer under way
    size_t nextRequest_ = 0;
    size_t finalIndex_ = 0;
    bool busyPending_ = false;
    uint32_t pagesTakenThisUpdate_ = 0;
    uint32_t enterRefusals_ = 0;
    uint32_t startRefusals_ = 0;
    std::map<uint8_t, uint32_t> occurrences_;
    std::mt19937 random_;
    std::vector<ReceivedFrame> frames_;
    size_t frameLogBytes_ = 0;

    std::vector<uint8_t> input_;
    uint64_t lastInputMs_ = 0;
    DeviceReport report_;
};

}  // namespace kvr::devsim

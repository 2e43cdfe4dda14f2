// A scripted КВР-17 for engine tests: it answers the frames the host writes on a
// ScriptedChannel the way the instrument does, in the framing of its current mode.
//
// Application mode answers cmdStatus with `applicationStatus` and cmdEnterBootloader with
// `enterBootloaderAnswer`, then restarts (silent for restartDelayMs) into bootloader mode.
// Bootloader mode answers `bootloaderIdleStatus` until cmdStartUpdate is accepted, then asks
// for the pages of `requests` (default: every page of the package with its whole data) with
// status 3, checking every page it receives against the package, and reports status 5 after
// the last one. After that it restarts (silent for doneRestartDelayMs) and answers
// `finalStatuses` (in order, the last repeating) in the framing `afterDoneAddressLength`.
// cmdWriteSerialNumber is recorded and answered with `serialNumberAnswer` in any mode.
// Frames that are malformed, carry a bad checksum or an unknown command, or use the other
// framing get no answer, as on the real line, and are not recorded in Frames(). (A status
// request with address bytes reads, to a device without them, as the unknown command 0x00.)
//
// Replies arrive replyDelayMs after the request, so every exchange costs virtual time.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "FakeChannel.h"
#include "UpdatePackage.h"

namespace kvr::test {

// A reply or request frame as the device puts it on the line, built independently of the
// engine: 55, type, u16 LE length, addressLength zero bytes, command, payload, XOR checksum.
Bytes LinkFrame(uint8_t command, const Bytes& payload, uint16_t addressLength = 0,
                uint8_t frameType = 0x01);
// The 14 status bytes: code, 5 zeros, page (u16 LE), length (u16 LE), 4 zeros.
Bytes StatusBytes(uint8_t code, uint16_t page = 0, uint16_t length = 0);

struct PageRequest {
    uint16_t page = 0;
    uint16_t length = 0;
};

class FakeDevice {
public:
    enum class Mode { Application, Bootloader };

    // Damage done to one reply.
    enum class FaultKind {
        Silence,      // no reply at all
        BadChecksum,  // last byte inverted
        WrongEcho,    // echo = command + 1, checksum right
        WrongStart,   // first byte 0xAA
        Truncated,    // only the first `value` bytes of the frame
        LengthField,  // the length field set to `value`, nothing else changed
        Status,       // for cmdStatus: answer status code `value` instead
    };
    struct Fault {
        FaultKind kind = FaultKind::Silence;
        uint32_t value = 0;
    };

    struct ReceivedFrame {
        uint8_t frameType = 0;
        uint16_t addressLength = 0;
        uint8_t command = 0;
        Bytes payload;
    };

    // Installs itself as the channel's responder; the pages are what a correct host sends.
    FakeDevice(ScriptedChannel& channel, PageMap pages);
    ~FakeDevice();
    FakeDevice(const FakeDevice&) = delete;
    FakeDevice& operator=(const FakeDevice&) = delete;

    // Behaviour (set before the run).
    Mode mode = Mode::Application;
    uint16_t applicationAddressLength = 6;
    uint16_t bootloaderAddressLength = 0;
    uint8_t applicationStatus = 0;
    uint8_t bootloaderIdleStatus = 2;
    bool answerEnterBootloader = true;
    uint8_t enterBootloaderAnswer = 0x00;
    uint64_t restartDelayMs = 500;
    uint8_t startUpdateAnswer = 0x00;
    int refuseStartUpdateTimes = 0;  // the first n cmdStartUpdate are refused (0x01)
    std::optional<std::vector<PageRequest>> requests;  // default: every page, whole data
    std::map<uint16_t, uint8_t> pageFlags;             // result flags answered for a page
    int busyEveryPages = 0;                  // status 4 once before every n-th page request
    std::optional<uint16_t> failBeforePage;  // status 6 instead of requesting this page
    uint64_t doneRestartDelayMs = 0;
    uint16_t afterDoneAddressLength = 6;
    std::vector<uint8_t> finalStatuses{0};
    bool silentAfterDone = false;
    uint8_t serialNumberAnswer = 0x00;
    uint64_t replyDelayMs = 1;

    // The occurrence-th (1-based) reply to `command` is damaged.
    void InjectFault(uint8_t command, int occurrence, Fault fault);

    // What happened.
    const std::vector<ReceivedFrame>& Frames() const { return frames_; }
    std::vector<uint8_t> Commands() const;
    const std::vector<uint16_t>& PagesWritten() const { return pagesWritten_; }
    int MismatchedPages() const { return mismatchedPages_; }
    const std::vector<Bytes>& SerialNumberPayloads() const { return serialNumberPayloads_; }
    uint16_t AddressLength() const;

private:
    enum class Phase { Idle, Transfer, Done };

    void OnWrite(ScriptedChannel& channel, const Bytes& written);
    std::optional<Bytes> Answer(uint8_t command, const Bytes& payload);
    Bytes NextStatus();
    void CheckPage(const Bytes& payload);
    const std::vector<PageRequest>& Requests();

    ScriptedChannel& channel_;
    PageMap pages_;
    Phase phase_ = Phase::Idle;
    bool afterDone_ = false;
    uint64_t silentUntil_ = 0;
    size_t requestIndex_ = 0;
    bool busyShown_ = false;
    size_t finalIndex_ = 0;
    std::vector<PageRequest> defaultRequests_;
    std::map<std::pair<uint8_t, int>, Fault> faults_;
    std::map<uint8_t, int> replyCounts_;
    std::vector<ReceivedFrame> frames_;
    std::vector<uint16_t> pagesWritten_;
    int mismatchedPages_ = 0;
    std::vector<Bytes> serialNumberPayloads_;
};

}  // namespace kvr::test

// The device link's constants and the device status record.
//
// A frame (request or reply): 0x55, frame type, u16 LE length, N address bytes, command,
// payload, checksum. length = N + D + 2 (D payload bytes); the checksum is the XOR of every
// byte from the frame type to the last payload byte. N is the run's address field length (6 or
// 0; the host sends zeros, and reply address bytes only enter the checksum).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace kvr {

// Framing.
inline constexpr uint8_t kFrameStartByte = 0x55;
inline constexpr uint8_t kFrameTypeNormal = 0x01;
inline constexpr uint8_t kFrameTypeBootAll = 0x02;  // page requests in BootAll mode
inline constexpr size_t kFrameHeaderBytes = 4;      // start, type, length (2)
inline constexpr size_t kFrameOverheadBytes = 6;    // header, command, checksum
inline constexpr uint16_t kAddressFieldLengthApplication = 6;
inline constexpr uint16_t kAddressFieldLengthNone = 0;
inline constexpr uint32_t kMaxFrameLengthField = 0xFFFF;

// Commands.
inline constexpr uint8_t kCmdStatus = 0x01;
inline constexpr uint8_t kCmdEnterBootloader = 0x05;
inline constexpr uint8_t kCmdStartUpdate = 0x08;
inline constexpr uint8_t kCmdWritePage = 0x09;
inline constexpr uint8_t kCmdWriteSerialNumber = 0x30;

// Request payloads.
inline constexpr size_t kEnterBootloaderPayloadBytes = 3;  // all zero
inline constexpr size_t kPageHeaderBytes = 8;
inline constexpr size_t kWritePagePrefixBytes = 12;  // page (2), length (2), page header (8)
inline constexpr size_t kSerialNumberPayloadBytes = 13;
// The limits of the two fields every program takes for the serial-number write: the serial
// number's room after the hardware version byte, and the hardware version's digits.
inline constexpr size_t kSerialNumberMaxChars = 12;
inline constexpr int kHardwareMaxDigits = 3;

// Reply answers (reply data byte 1, the first payload byte).
inline constexpr size_t kReplyEchoIndex = 0;
inline constexpr size_t kReplyAnswerIndex = 1;
inline constexpr uint8_t kEnterBootloaderAccepted = 0x00;
inline constexpr uint8_t kStartUpdateRefused = 0x01;
inline constexpr uint8_t kSerialNumberWritten = 0x00;
inline constexpr uint8_t kPageFlagNotWritten = 0x01;
inline constexpr uint8_t kPageFlagHardwareIncompatible = 0x02;
inline constexpr uint8_t kPageFlagProgramIncompatible = 0x04;

// Reply data (echo, payload, checksum) are read into a buffer of this size, never beyond.
inline constexpr size_t kReplyBufferBytes = 1024;
using ReplyBuffer = std::array<uint8_t, kReplyBufferBytes>;

// Line settings and time-outs of the run's port.
inline constexpr const char* kLinkSetupString = "115200,n,8,1";
inline constexpr int32_t kReadIntervalMs = 1000;
inline constexpr int32_t kReadTotalMultiplierMs = 50;
inline constexpr int32_t kReadTotalConstantMs = 5000;
inline constexpr int32_t kProbeReadTotalConstantMs = 0;  // while the link probe runs
inline constexpr int32_t kWriteTotalMultiplierMs = 250;
inline constexpr int32_t kWriteTotalConstantMs = 500;

// Status codes as the host treats them.
inline constexpr uint8_t kStatusNoAnswer = 0xFF;  // the host's own value: no valid reply
inline constexpr uint8_t kStatusApplicationIdle = 0;
inline constexpr uint8_t kStatusApplication1 = 1;
inline constexpr uint8_t kStatusBootloaderReady = 2;
inline constexpr uint8_t kStatusPageRequest = 3;
inline constexpr uint8_t kStatusPageWriteBusy = 4;
inline constexpr uint8_t kStatusUpdateDone = 5;
inline constexpr uint8_t kStatusUpdateFailed = 6;
inline constexpr uint8_t kStatusBootloaderReady7 = 7;
inline constexpr uint8_t kStatusApplication8 = 8;
inline constexpr uint8_t kStatusSerialNumberWanted = 10;  // the only final status for S/N

inline constexpr bool IsEnterBootloaderStatus(uint8_t code) {
    return code == kStatusApplicationIdle || code == kStatusApplication1 ||
           code == kStatusApplication8 || code == kStatusSerialNumberWanted;
}
inline constexpr bool IsStartUpdateStatus(uint8_t code) {
    return code == kStatusBootloaderReady || code == kStatusBootloaderReady7;
}
inline constexpr bool IsFinalSuccessStatus(uint8_t code) {
    return code == kStatusApplicationIdle || code == kStatusUpdateDone ||
           code == kStatusSerialNumberWanted;
}

// The 14 status bytes that follow the echo in a status reply.
struct StatusRecord {
    static constexpr size_t kBytes = 14;
    static constexpr size_t kRequestedPageOffset = 6;
    static constexpr size_t kRequestedLengthOffset = 8;

    uint8_t statusCode = kStatusNoAnswer;
    uint16_t requestedPage = 0;
    uint16_t requestedLength = 0;
    std::array<uint8_t, kBytes> raw{};  // as received; raw[0] is statusCode

    // From `available` (0 … 14) received bytes; bytes the reply did not carry count as 0.
    static StatusRecord FromBytes(const uint8_t* bytes, size_t available);
};

}  // namespace kvr

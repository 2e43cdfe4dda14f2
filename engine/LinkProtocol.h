// TLinkProtocol: frames, replies and the link probe of one run, over a byte channel.
//
// Strict request and reply: every exchange is SendFrame followed at once by ReceiveReply (or
// ReceiveStatusReply) with the same command. Nothing is retried here; the polling loop asks
// again. Every byte that crosses the line is dumped to the update log ("Запись: ", "Чтение: ").
//
// Judging a reply (both receives):
//   1. read the 4 header bytes; fewer: short reply;
//   2. a start byte other than 0x55: not a reply (nothing more is read);
//   3. length = u16 LE header bytes 2-3; read the N address bytes (fewer: short reply);
//      a length not larger than N, or reply data (length - N bytes) larger than the 1024-byte
//      buffer: short reply, and nothing more is read;
//   4. read the reply data (echo, payload, checksum) into the caller's buffer; fewer: short;
//   5. checksum = XOR of header bytes 1-3, the address bytes and the reply data but the last;
//      a mismatch is a CRC error ("Ошибка CRC!"), whatever reportFailures says;
//   6. echo check: valid only when the reply data were read and byte 0 is the command sent.
// ReceiveReply reports a short reply as an exchange error ("Ошибка обмена!"), and an invalid
// echo (or an unread reply) as an exchange error unless stopFlag is already set, in which case
// the result is returned as it is. ReceiveStatusReply reports a short reply only when
// reportFailures is true, and an invalid echo (or unread reply) only when its most recent read
// got at least one byte; stopFlag plays no part there. A status reply with a bad checksum and a
// wrong echo is therefore reported twice.
//
// A protocol made without a reporter and a log judges replies the same way but tells nobody:
// nothing is reported, logged or set in stopFlag. A station checking whether a device is there
// between updates uses that.
//
// Errors: the channel's Read never throws; SendFrame absorbs what purging or writing throws
// (result false). ProbeLink lets an exception of SetReadTotalConstant through (the channel is
// then disconnected).
#pragma once

#include <QString>
#include <cstdint>
#include <vector>

#include "ByteChannel.h"
#include "LinkTypes.h"
#include "RunState.h"

namespace kvr {

class TRunReporter;
class TUpdateLog;

// The line settings and time-outs every exchange with the device uses.
LinkSettings DeviceLinkSettings(const std::string& portName);

class TLinkProtocol {
public:
    TLinkProtocol(IByteChannel& channel, TRunReporter& reporter, TUpdateLog& log, RunState& state);
    // Reports nothing and logs nothing.
    TLinkProtocol(IByteChannel& channel, RunState& state);

    // Purges the receive queue (throws what PurgeReceive throws), writes, and logs the dump
    // when every byte went out. Returns the bytes written.
    int LoggedWrite(const uint8_t* bytes, uint32_t count);
    // Reads (buffer must hold max(count, 4) bytes) and logs the dump of what arrived.
    int LoggedRead(uint8_t* buffer, uint32_t count);

    // Builds and writes one request frame (frame type 0x02 while state.bootAllFrame is set).
    // False when the port threw while purging or writing, or when the frame's length field
    // cannot hold the payload (nothing is written then).
    bool SendFrame(uint8_t command, const uint8_t* payload, uint32_t payloadLength);

    // The number of reply data bytes (echo, payload, checksum), or 0 on failure.
    uint16_t ReceiveReply(ReplyBuffer& buffer, uint8_t expectedCommand);
    uint16_t ReceiveStatusReply(ReplyBuffer& buffer, uint8_t expectedCommand, bool reportFailures);

    // One status exchange. statusCode is kStatusNoAnswer when no valid reply came, or when the
    // reply carried no status byte at all; status bytes a short reply did not carry are 0.
    StatusRecord RequestStatus(bool reportFailures);

    // Finds the framing the device answers: tries N = 6, then (clearing stopFlag) N = 0, with
    // the read total constant lowered to 0 meanwhile. Reports one exchange error only when both
    // stay silent. Returns whether the device answered. Does not touch state.status.
    bool ProbeLink();

    // Bytes read from the device since the protocol was made: tells a device that answered
    // wrongly from one (or a port) that gave nothing back.
    uint64_t BytesReceived() const { return bytesReceived_; }

private:
    uint16_t Receive(ReplyBuffer& buffer, uint8_t expectedCommand, bool statusReply,
                     bool reportFailures);
    void Log(const QString& text, const uint8_t* bytes = nullptr, uint32_t count = 0);
    void ReportCrcError();
    void ReportExchangeError();

    IByteChannel& channel_;
    TRunReporter* reporter_;  // none: quiet
    TUpdateLog* log_;
    RunState& state_;
    // Reused from frame to frame: the frame being sent, the address bytes of a reply.
    std::vector<uint8_t> frame_;
    std::vector<uint8_t> address_;
    uint64_t bytesReceived_ = 0;
};

}  // namespace kvr

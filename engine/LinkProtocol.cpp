#include "LinkProtocol.h"

#include <QString>
#include <algorithm>
#include <vector>

#include "Exception.h"
#include "RunReporter.h"
#include "Translate.h"
#include "UpdateLog.h"

namespace kvr {

namespace {

constexpr const char* kTextWrite = "Запись: ";
constexpr const char* kTextRead = "Чтение: ";
constexpr const char* kTextRequestingStatus = "Запрашиваем статус прибора";

// The channel zeroes the first four bytes of every read buffer.
constexpr size_t kMinReadBufferBytes = 4;

}  // namespace

LinkSettings DeviceLinkSettings(const std::string& portName) {
    LinkSettings settings;
    settings.portName = portName;
    settings.setupString = kLinkSetupString;
    settings.readInterval = kReadIntervalMs;
    settings.readTotalMultiplier = kReadTotalMultiplierMs;
    settings.readTotalConstant = kReadTotalConstantMs;
    settings.writeTotalMultiplier = kWriteTotalMultiplierMs;
    settings.writeTotalConstant = kWriteTotalConstantMs;
    return settings;
}

StatusRecord StatusRecord::FromBytes(const uint8_t* bytes, size_t available) {
    StatusRecord r;
    std::copy_n(bytes, std::min(available, kBytes), r.raw.begin());
    r.statusCode = r.raw[0];
    r.requestedPage =
        static_cast<uint16_t>(r.raw[kRequestedPageOffset] | (r.raw[kRequestedPageOffset + 1] << 8));
    r.requestedLength = static_cast<uint16_t>(r.raw[kRequestedLengthOffset] |
                                              (r.raw[kRequestedLengthOffset + 1] << 8));
    return r;
}

TLinkProtocol::TLinkProtocol(IByteChannel& channel, TRunReporter& reporter, TUpdateLog& log,
                             RunState& state)
    : channel_(channel), reporter_(&reporter), log_(&log), state_(state) {}

TLinkProtocol::TLinkProtocol(IByteChannel& channel, RunState& state)
    : channel_(channel), reporter_(nullptr), log_(nullptr), state_(state) {}

void TLinkProtocol::Log(const QString& text, const uint8_t* bytes, uint32_t count) {
    if (log_ != nullptr)
        log_->WriteLog(text, bytes, count);
}

void TLinkProtocol::ReportCrcError() {
    if (reporter_ != nullptr)
        reporter_->ShowCrcError();
}

void TLinkProtocol::ReportExchangeError() {
    if (reporter_ != nullptr)
        reporter_->ShowExchangeError();
}

int TLinkProtocol::LoggedWrite(const uint8_t* bytes, uint32_t count) {
    static const QString text = QString::fromUtf8(kTextWrite);
    channel_.PurgeReceive();
    const uint32_t written = channel_.Write(bytes, count);
    if (written == count)
        Log(text, bytes, count);
    return static_cast<int>(written);
}

int TLinkProtocol::LoggedRead(uint8_t* buffer, uint32_t count) {
    static const QString text = QString::fromUtf8(kTextRead);
    const uint32_t got = std::min(channel_.Read(buffer, count), count);
    bytesReceived_ += got;
    if (got > 0)
        Log(text, buffer, got);
    return static_cast<int>(got);
}

bool TLinkProtocol::SendFrame(uint8_t command, const uint8_t* payload, uint32_t payloadLength) {
    const uint32_t n = state_.addressFieldLength;
    const uint32_t lengthField = n + payloadLength + 2;
    if (lengthField > kMaxFrameLengthField)
        return false;

    // The run's frame buffer: it keeps its capacity, so frames cost no allocation.
    std::vector<uint8_t>& frame = frame_;
    frame.assign(n + payloadLength + kFrameOverheadBytes, 0);
    frame[0] = kFrameStartByte;
    frame[1] = state_.bootAllFrame ? kFrameTypeBootAll : kFrameTypeNormal;
    frame[2] = static_cast<uint8_t>(lengthField & 0xFF);
    frame[3] = static_cast<uint8_t>(lengthField >> 8);
    // frame[4 … 4 + n - 1]: address bytes, always zero
    frame[kFrameHeaderBytes + n] = command;
    if (payloadLength > 0) {
        std::copy_n(payload, payloadLength, frame.begin() + kFrameHeaderBytes + n + 1);
    }
    uint8_t checksum = 0;
    for (size_t i = 1; i + 1 < frame.size(); ++i)
        checksum ^= frame[i];
    frame.back() = checksum;

    try {
        LoggedWrite(frame.data(), static_cast<uint32_t>(frame.size()));
    } catch (const Exception&) {
        return false;
    }
    return true;
}

uint16_t TLinkProtocol::ReceiveReply(ReplyBuffer& buffer, uint8_t expectedCommand) {
    return Receive(buffer, expectedCommand, false, true);
}

uint16_t TLinkProtocol::ReceiveStatusReply(ReplyBuffer& buffer, uint8_t expectedCommand,
                                           bool reportFailures) {
    return Receive(buffer, expectedCommand, true, reportFailures);
}

uint16_t TLinkProtocol::Receive(ReplyBuffer& buffer, uint8_t expectedCommand, bool statusReply,
                                bool reportFailures) {
    const uint16_t n = state_.addressFieldLength;
    const auto reportShortReply = [&] {
        if (!statusReply || reportFailures)
            ReportExchangeError();
    };

    uint16_t result = 0;
    bool dataRead = false;
    int lastRead = 0;
    do {
        std::array<uint8_t, kFrameHeaderBytes> header{};
        lastRead = LoggedRead(header.data(), kFrameHeaderBytes);
        if (lastRead < static_cast<int>(kFrameHeaderBytes)) {
            reportShortReply();
            break;
        }
        if (header[0] != kFrameStartByte)
            break;
        const uint16_t length = static_cast<uint16_t>(header[2] | (header[3] << 8));
        // A reply without reply data, or with more than the buffer holds, cannot be judged.
        if (length <= n || static_cast<size_t>(length - n) > buffer.size()) {
            reportShortReply();
            break;
        }
        const uint16_t m = static_cast<uint16_t>(length - n);

        std::vector<uint8_t>& address = address_;
        address.assign(std::max<size_t>(n, kMinReadBufferBytes), 0);
        if (n > 0) {
            lastRead = LoggedRead(address.data(), n);
            if (lastRead < n) {
                reportShortReply();
                break;
            }
        }

        lastRead = LoggedRead(buffer.data(), m);
        dataRead = true;
        if (lastRead < m) {
            reportShortReply();
            break;
        }

        uint8_t checksum = static_cast<uint8_t>(header[1] ^ header[2] ^ header[3]);
        for (uint16_t i = 0; i < n; ++i)
            checksum ^= address[i];
        for (uint16_t i = 0; i + 1 < m; ++i)
            checksum ^= buffer[i];
        if (checksum != buffer[m - 1]) {
            ReportCrcError();
        } else {
            result = m;
        }
    } while (false);

    if (dataRead && buffer[kReplyEchoIndex] == expectedCommand)
        return result;
    if (statusReply) {
        if (lastRead > 0)
            ReportExchangeError();
        return 0;
    }
    if (state_.stopFlag)
        return result;
    ReportExchangeError();
    return 0;
}

StatusRecord TLinkProtocol::RequestStatus(bool reportFailures) {
    static const QString text = QString::fromUtf8(kTextRequestingStatus);
    StatusRecord status;
    if (log_ != nullptr)
        Log(Translate(text));
    SendFrame(kCmdStatus, nullptr, 0);
    ReplyBuffer buffer{};
    const uint16_t m = ReceiveStatusReply(buffer, kCmdStatus, reportFailures);
    // Reply data: echo, status bytes, checksum. Without a single status byte there is no status.
    if (m >= 3)
        status = StatusRecord::FromBytes(buffer.data() + 1, m - 2u);
    return status;
}

bool TLinkProtocol::ProbeLink() {
    state_.addressFieldLength = kAddressFieldLengthApplication;
    channel_.SetReadTotalConstant(kProbeReadTotalConstantMs);
    StatusRecord s = RequestStatus(false);
    if (s.statusCode == kStatusNoAnswer) {
        // Reports made so far (in the first attempt or before) must not end the run.
        state_.stopFlag = false;
        state_.addressFieldLength = kAddressFieldLengthNone;
        s = RequestStatus(false);
    }
    if (s.statusCode == kStatusNoAnswer)
        ReportExchangeError();
    channel_.SetReadTotalConstant(kReadTotalConstantMs);
    return s.statusCode != kStatusNoAnswer;
}

}  // namespace kvr

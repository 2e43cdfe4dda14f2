#include "LinkCheck.h"

#include <QString>
#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "Exception.h"
#include "LinkProtocol.h"
#include "LinkTypes.h"
#include "RunHost.h"
#include "RunReporter.h"
#include "RunState.h"
#include "UpdateLog.h"

namespace kvr::fuzz {

namespace {

constexpr uint8_t kOperationMask = 0x03;
constexpr uint8_t kAddressBit = 0x04;
constexpr uint8_t kReportFailuresBit = 0x08;
constexpr uint8_t kStopFlagBit = 0x10;
constexpr uint8_t kBootAllBit = 0x20;
constexpr uint8_t kPurgeThrowsBit = 0x40;
constexpr uint8_t kTimeoutRefusedBit = 0x80;
enum Operation : uint8_t { kReceiveReply, kReceiveStatusReply, kRequestStatus, kProbeLink };

constexpr size_t kControlBytes = 2;
constexpr size_t kZeroedByRead = 4;  // the channel clears this much of every read buffer
constexpr uint8_t kUntouched = 0xA5;
constexpr uint8_t kSentinelStatus = 0x42;
constexpr size_t kReplyBytes = kReplyBufferBytes;

// Hands the fuzzer's bytes out as reads ask for them, and records what the host does.
class FuzzChannel final : public IByteChannel {
public:
    FuzzChannel(const uint8_t* data, size_t size, bool purgeThrows, bool timeoutRefused)
        : data_(data), size_(size), purgeThrows_(purgeThrows), timeoutRefused_(timeoutRefused) {}

    void Connect(const LinkSettings&) override { connected_ = true; }
    bool Connected() const override { return connected_; }
    void Disconnect() override { connected_ = false; }
    uint32_t Read(uint8_t* buffer, uint32_t count) override {
        std::memset(buffer, 0, kZeroedByRead);
        const size_t n = std::min<size_t>(count, size_ - position_);
        if (n > 0)
            std::memcpy(buffer, data_ + position_, n);
        position_ += n;
        return static_cast<uint32_t>(n);
    }
    uint32_t Write(const uint8_t* buffer, uint32_t count) override {
        writes_.emplace_back(buffer, buffer + count);
        return count;
    }
    void PurgeReceive() override {
        if (purgeThrows_)
            throw EInOutError("Serial port purge error, code 5");
    }
    void SetReadTotalConstant(int32_t milliseconds) override {
        readConstants_.push_back(milliseconds);
        if (timeoutRefused_) {
            connected_ = false;
            throw EInOutError("SerialComm set timeouts error, code 5");
        }
    }

    size_t Consumed() const { return position_; }
    const std::vector<std::vector<uint8_t>>& Writes() const { return writes_; }
    const std::vector<int32_t>& ReadConstants() const { return readConstants_; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t position_ = 0;
    bool purgeThrows_;
    bool timeoutRefused_;
    bool connected_ = true;
    std::vector<std::vector<uint8_t>> writes_;
    std::vector<int32_t> readConstants_;
};

// Counts what the run shows; nothing else is expected of a reply's judging.
class CountingHost final : public IRunHost {
public:
    void ShowMessage(const QString& text) override {
        if (text == QString::fromUtf8(kTextExchangeError))
            ++exchangeErrors;
        else if (text == QString::fromUtf8(kTextCrcError))
            ++crcErrors;
        else
            ++others;
    }
    bool AskYesNo(const QString&) override {
        ++others;
        return false;
    }
    void SetProgress(int) override { ++others; }
    void EnableStart() override { ++others; }
    QString SerialNumberText() override { return {}; }
    QString HardwareText() override { return {}; }

    int exchangeErrors = 0;
    int crcErrors = 0;
    int others = 0;
};

// The judging rules, worked through on the same bytes.
class Model {
public:
    Model(const uint8_t* data, size_t size, bool stopFlag, uint16_t addressLength)
        : data_(data), size_(size), stopFlag_(stopFlag), addressLength_(addressLength) {
        buffer_.fill(kUntouched);
    }

    uint16_t Receive(bool statusReply, bool reportFailures, uint8_t expected) {
        const uint16_t n = addressLength_;
        const auto shortReply = [&] {
            if (!statusReply || reportFailures)
                Report(exchangeErrors_);
        };
        uint16_t result = 0;
        bool dataRead = false;
        size_t lastRead = 0;
        std::array<uint8_t, kFrameHeaderBytes> header{};
        std::vector<uint8_t> address(n);
        do {
            lastRead = Take(header.data(), header.size());
            if (lastRead < header.size()) {
                shortReply();
                break;
            }
            if (header[0] != kFrameStartByte)
                break;
            const size_t length = header[2] | (header[3] << 8);
            // No reply data, or more than the buffer holds: judged short before reading on.
            if (length <= n || length - n > kReplyBytes) {
                shortReply();
                break;
            }
            const size_t m = length - n;
            if (n > 0) {
                lastRead = Take(address.data(), n);
                if (lastRead < n) {
                    shortReply();
                    break;
                }
            }
            std::fill_n(buffer_.begin(), kZeroedByRead, 0);
            lastRead = Take(buffer_.data(), m);
            dataRead = true;
            if (lastRead < m) {
                shortReply();
                break;
            }
            uint8_t x = header[1] ^ header[2] ^ header[3];
            for (uint8_t b : address)
                x ^= b;
            for (size_t i = 0; i + 1 < m; ++i)
                x ^= buffer_[i];
            if (x != buffer_[m - 1])
                Report(crcErrors_);
            else
                result = static_cast<uint16_t>(m);
        } while (false);

        if (dataRead && buffer_[0] == expected)
            return result;
        if (statusReply) {
            if (lastRead > 0)
                Report(exchangeErrors_);
            return 0;
        }
        if (stopFlag_)
            return result;
        Report(exchangeErrors_);
        return 0;
    }

    // The record a status exchange yields: status bytes the reply did not carry are 0, and
    // without a single status byte there is no answer.
    StatusRecord RequestStatus(bool reportFailures) {
        buffer_.fill(kUntouched);
        const uint16_t m = Receive(true, reportFailures, kCmdStatus);
        StatusRecord r;
        if (m >= 3) {
            const size_t carried = std::min<size_t>(m - 2u, StatusRecord::kBytes);
            std::copy_n(buffer_.begin() + 1, carried, r.raw.begin());
            r.statusCode = r.raw[0];
            r.requestedPage = static_cast<uint16_t>(r.raw[6] | (r.raw[7] << 8));
            r.requestedLength = static_cast<uint16_t>(r.raw[8] | (r.raw[9] << 8));
        }
        return r;
    }

    bool ProbeLink() {
        addressLength_ = kAddressFieldLengthApplication;
        StatusRecord s = RequestStatus(false);
        probeAttempts_.push_back(addressLength_);
        if (s.statusCode == kStatusNoAnswer) {
            stopFlag_ = false;
            addressLength_ = kAddressFieldLengthNone;
            s = RequestStatus(false);
            probeAttempts_.push_back(addressLength_);
        }
        if (s.statusCode == kStatusNoAnswer)
            Report(exchangeErrors_);
        return s.statusCode != kStatusNoAnswer;
    }

    size_t consumed = 0;
    const std::array<uint8_t, kReplyBytes>& Buffer() const { return buffer_; }
    int ExchangeErrors() const { return exchangeErrors_; }
    int CrcErrors() const { return crcErrors_; }
    bool StopFlag() const { return stopFlag_; }
    uint16_t AddressLength() const { return addressLength_; }
    // The address field length of each status request the probe sent.
    const std::vector<uint16_t>& ProbeAttempts() const { return probeAttempts_; }

private:
    size_t Take(uint8_t* dest, size_t count) {
        const size_t n = std::min(count, size_ - consumed);
        std::copy_n(data_ + consumed, n, dest);
        consumed += n;
        return n;
    }
    void Report(int& counter) {
        ++counter;
        stopFlag_ = true;
    }

    const uint8_t* data_;
    size_t size_;
    bool stopFlag_;
    uint16_t addressLength_;
    int exchangeErrors_ = 0;
    int crcErrors_ = 0;
    std::array<uint8_t, kReplyBytes> buffer_{};
    std::vector<uint16_t> probeAttempts_;
};

std::vector<uint8_t> StatusRequestFrame(uint16_t addressLength, bool bootAll) {
    std::vector<uint8_t> f{kFrameStartByte, bootAll ? kFrameTypeBootAll : kFrameTypeNormal,
                           static_cast<uint8_t>(addressLength + 2), 0};
    f.insert(f.end(), addressLength, 0);
    f.push_back(kCmdStatus);
    uint8_t x = 0;
    for (size_t i = 1; i < f.size(); ++i)
        x ^= f[i];
    f.push_back(x);
    return f;
}

bool SameRecord(const StatusRecord& a, const StatusRecord& b) {
    return a.statusCode == b.statusCode && a.requestedPage == b.requestedPage &&
           a.requestedLength == b.requestedLength && a.raw == b.raw;
}

}  // namespace

QDateTime StillClock::LocalNow() {
    return QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5, 6)).addMSecs(static_cast<qint64>(tick_));
}

Finding CheckLinkInput(const uint8_t* data, size_t size, TUpdateLog& log) {
    FindingLog findings;
    const uint8_t choices = size > 0 ? data[0] : 0;
    const uint8_t expected = size > 1 ? data[1] : 0;
    const uint8_t* stream = data + std::min(size, kControlBytes);
    const size_t streamSize = size - std::min(size, kControlBytes);

    const auto operation = static_cast<Operation>(choices & kOperationMask);
    const uint16_t addressLength =
        (choices & kAddressBit) ? kAddressFieldLengthApplication : kAddressFieldLengthNone;
    const bool reportFailures = choices & kReportFailuresBit;
    const bool purgeThrows = choices & kPurgeThrowsBit;
    const bool timeoutRefused = choices & kTimeoutRefusedBit;

    FuzzChannel channel(stream, streamSize, purgeThrows, timeoutRefused);
    CountingHost host;
    RunState state;
    state.stopFlag = choices & kStopFlagBit;
    state.bootAllFrame = choices & kBootAllBit;
    state.addressFieldLength = addressLength;
    state.status.statusCode = kSentinelStatus;
    TRunReporter reporter(host, log, state);
    TLinkProtocol protocol(channel, reporter, log, state);
    Model model(stream, streamSize, state.stopFlag, addressLength);

    // Exactly the buffer's size on the heap: a write past it does not land in a neighbour.
    auto buffer = std::make_unique<ReplyBuffer>();
    buffer->fill(kUntouched);

    std::optional<uint16_t> result;
    std::optional<uint16_t> expectedResult;
    std::optional<StatusRecord> record;
    std::optional<StatusRecord> expectedRecord;
    std::optional<bool> answered;
    std::optional<bool> expectedAnswered;
    std::vector<uint16_t> framesSent;  // address field length of each status request
    switch (operation) {
        case kReceiveReply:
            result = protocol.ReceiveReply(*buffer, expected);
            expectedResult = model.Receive(false, true, expected);
            break;
        case kReceiveStatusReply:
            result = protocol.ReceiveStatusReply(*buffer, expected, reportFailures);
            expectedResult = model.Receive(true, reportFailures, expected);
            break;
        case kRequestStatus:
            record = protocol.RequestStatus(reportFailures);
            expectedRecord = model.RequestStatus(reportFailures);
            framesSent = {addressLength};
            break;
        case kProbeLink:
            if (timeoutRefused) {
                try {
                    protocol.ProbeLink();
                    findings.Add("the probe went on after the port refused its time-out");
                } catch (const EInOutError&) {
                }
                if (channel.Consumed() != 0 || !channel.Writes().empty())
                    findings.Add("the probe used a port that refused its time-out");
                return findings.First();
            }
            answered = protocol.ProbeLink();
            expectedAnswered = model.ProbeLink();
            framesSent = model.ProbeAttempts();
            if (channel.ReadConstants() !=
                std::vector<int32_t>{kProbeReadTotalConstantMs, kReadTotalConstantMs})
                findings.Add("the probe did not lower and restore the read time-out");
            break;
    }

    if (result != expectedResult)
        findings.Add("receive returned ", result.value_or(0), ", the rules give ",
                     expectedResult.value_or(0));
    if (answered != expectedAnswered)
        findings.Add("probe returned ", answered.value_or(false), ", the rules give ",
                     expectedAnswered.value_or(false));
    if (record && !SameRecord(*record, *expectedRecord))
        findings.Add("status record ", int{record->statusCode}, " differs from the rules' ",
                     int{expectedRecord->statusCode});
    if (host.exchangeErrors != model.ExchangeErrors() || host.crcErrors != model.CrcErrors())
        findings.Add("reported ", host.exchangeErrors, " exchange and ", host.crcErrors,
                     " CRC errors, the rules give ", model.ExchangeErrors(), " and ",
                     model.CrcErrors());
    if (host.others != 0)
        findings.Add("reply judging showed or asked something else");
    if (state.stopFlag != model.StopFlag())
        findings.Add("stopFlag ", state.stopFlag, ", the rules give ", model.StopFlag());
    if (state.addressFieldLength != model.AddressLength())
        findings.Add("address field length ", state.addressFieldLength, ", the rules give ",
                     model.AddressLength());
    if (state.status.statusCode != kSentinelStatus)
        findings.Add("the run's own status record was changed");
    if (channel.Consumed() != model.consumed)
        findings.Add("read ", channel.Consumed(), " bytes, the rules read ", model.consumed);
    if (operation == kReceiveReply || operation == kReceiveStatusReply) {
        if (*buffer != model.Buffer())
            findings.Add("the reply buffer holds other bytes than were received");
    }
    // A port that throws while purging gets nothing written.
    std::vector<std::vector<uint8_t>> frames;
    for (uint16_t n : framesSent) {
        if (!purgeThrows)
            frames.push_back(StatusRequestFrame(n, state.bootAllFrame));
    }
    if (channel.Writes() != frames)
        findings.Add("sent ", channel.Writes().size(), " frames, expected ", frames.size(),
                     " status requests");
    return findings.First();
}

}  // namespace kvr::fuzz

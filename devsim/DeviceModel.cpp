#include "DeviceModel.h"

#include <algorithm>
#include <cstring>

namespace kvr::devsim {

namespace {

constexpr uint8_t kWrongStartByte = 0xAA;
constexpr uint8_t kChecksumSpoiler = 0x5A;
constexpr size_t kShortReplyMissingBytes = 3;
constexpr size_t kStatusPageOffset = 6;
constexpr size_t kStatusLengthOffset = 8;

uint16_t ReadU16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

void AppendU16(std::vector<uint8_t>& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value & 0xFF));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

// XOR of the frame from the type byte up to the byte before the checksum.
uint8_t FrameChecksum(const std::vector<uint8_t>& frame) {
    uint8_t x = 0;
    for (size_t i = 1; i + 1 < frame.size(); ++i)
        x ^= frame[i];
    return x;
}

void Spoil(std::vector<uint8_t>& reply, FaultKind kind, uint16_t addressLength) {
    switch (kind) {
        case FaultKind::NoReply:
            reply.clear();
            break;
        case FaultKind::BadChecksum:
            reply.back() ^= kChecksumSpoiler;
            break;
        case FaultKind::WrongEcho:
            reply[kFrameHeaderBytes + addressLength] += 1;
            reply.back() = FrameChecksum(reply);
            break;
        case FaultKind::ShortReply:
            reply.resize(reply.size() - kShortReplyMissingBytes);
            break;
        case FaultKind::WrongStartByte:
            reply[0] = kWrongStartByte;
            break;
    }
}

}  // namespace

DeviceModel::DeviceModel(DeviceOptions options, PageMap pages, IClock& clock)
    : options_(std::move(options)),
      pages_(std::move(pages)),
      clock_(clock),
      mode_(options_.startInBootloader ? DeviceMode::Bootloader : DeviceMode::Application) {
    if (options_.silent)
        mode_ = DeviceMode::Dead;
    if (options_.requestedLength >= 0) {
        requestedLength_ =
            static_cast<uint16_t>(std::min<int32_t>(options_.requestedLength, 0xFFFF));
    } else if (!pages_.empty()) {
        requestedLength_ = static_cast<uint16_t>(pages_.begin()->second.pageData.size());
    }
}

std::vector<uint8_t> DeviceModel::BuildFrame(uint16_t addressLength, uint8_t command,
                                             const std::vector<uint8_t>& payload,
                                             uint8_t frameType) {
    std::vector<uint8_t> frame;
    frame.reserve(kFrameHeaderBytes + addressLength + 2 + payload.size());
    frame.push_back(kStartByte);
    frame.push_back(frameType);
    AppendU16(frame, static_cast<uint16_t>(addressLength + payload.size() + 2));
    frame.insert(frame.end(), addressLength, 0);
    frame.push_back(command);
    frame.insert(frame.end(), payload.begin(), payload.end());
    frame.push_back(0);
    frame.back() = FrameChecksum(frame);
    return frame;
}

DeviceMode DeviceModel::Mode() {
    FinishRestartIfDue();
    return mode_;
}

uint16_t DeviceModel::AddressLength() {
    FinishRestartIfDue();
    const DeviceMode speaking = mode_ == DeviceMode::Restarting ? restartTarget_ : mode_;
    return speaking == DeviceMode::Application ? options_.applicationAddressLength
                                               : options_.bootloaderAddressLength;
}

void DeviceModel::FinishRestartIfDue() {
    if (mode_ == DeviceMode::Restarting && clock_.TickMs() >= restartEndsMs_) {
        mode_ = restartTarget_;
    }
}

void DeviceModel::Restart(DeviceMode target) {
    mode_ = DeviceMode::Restarting;
    restartTarget_ = target;
    restartEndsMs_ = clock_.TickMs() + options_.restartDelayMs;
    nextPage_ = 0;
    beyondAsked_ = false;
    busyPending_ = false;
    pagesTakenThisUpdate_ = 0;
}

std::vector<uint8_t> DeviceModel::Receive(const uint8_t* data, size_t count) {
    const uint64_t now = clock_.TickMs();
    if (!input_.empty() && now - lastInputMs_ > kFrameGapMs)
        input_.clear();
    lastInputMs_ = now;
    input_.insert(input_.end(), data, data + count);

    std::vector<uint8_t> out;
    for (;;) {
        // Resynchronise on the start byte: anything before it is line noise.
        const auto start = std::find(input_.begin(), input_.end(), kStartByte);
        input_.erase(input_.begin(), start);
        if (input_.size() < kFrameHeaderBytes)
            break;
        const size_t total = kFrameHeaderBytes + ReadU16(&input_[2]);
        if (input_.size() < total)
            break;
        std::vector<uint8_t> frame(input_.begin(), input_.begin() + static_cast<ptrdiff_t>(total));
        input_.erase(input_.begin(), input_.begin() + static_cast<ptrdiff_t>(total));
        const std::vector<uint8_t> reply = HandleFrame(frame);
        out.insert(out.end(), reply.begin(), reply.end());
    }
    return out;
}

std::optional<DeviceModel::Request> DeviceModel::ParseFrame(
    const std::vector<uint8_t>& frame) const {
    const uint16_t n = mode_ == DeviceMode::Application ? options_.applicationAddressLength
                                                        : options_.bootloaderAddressLength;
    // start, type, length, address, command, checksum
    if (frame.size() < kFrameHeaderBytes + n + 2)
        return std::nullopt;
    if (FrameChecksum(frame) != frame.back())
        return std::nullopt;
    for (size_t i = 0; i < n; ++i) {
        if (frame[kFrameHeaderBytes + i] != 0)
            return std::nullopt;
    }
    Request request;
    request.frameType = frame[1];
    request.command = frame[kFrameHeaderBytes + n];
    const auto payloadBegin = frame.begin() + static_cast<ptrdiff_t>(kFrameHeaderBytes + n + 1);
    request.payload.assign(payloadBegin, frame.end() - 1);

    const size_t size = request.payload.size();
    switch (request.command) {
        case kCmdStatus:
        case kCmdStartUpdate:
            if (size != 0)
                return std::nullopt;
            break;
        case kCmdEnterBootloader:
            if (size != kEnterBootloaderPayloadBytes)
                return std::nullopt;
            break;
        case kCmdWritePage:
            if (size < kPageFrameFixedPayloadBytes ||
                size != kPageFrameFixedPayloadBytes + ReadU16(&request.payload[2])) {
                return std::nullopt;
            }
            break;
        case kCmdWriteSerialNumber:
            if (size != kSerialNumberPayloadBytes)
                return std::nullopt;
            break;
        default:
            return std::nullopt;
    }
    return request;
}

std::vector<uint8_t> DeviceModel::HandleFrame(const std::vector<uint8_t>& frame) {
    FinishRestartIfDue();
    if (mode_ == DeviceMode::Dead || mode_ == DeviceMode::Restarting) {
        ++report_.framesIgnored;
        return {};
    }
    const std::optional<Request> request = ParseFrame(frame);
    if (!request) {
        ++report_.framesIgnored;
        return {};
    }
    if (request->frameType == kFrameTypeBootAll) {
        if (request->command == kCmdWritePage) {
            ++report_.bootAllPageFrames;
        } else {
            ++report_.bootAllOtherFrames;
        }
    }
    // The reply goes out in the framing the device spoke when the request came in, even when
    // the request makes it restart.
    const uint16_t replyAddressLength = AddressLength();
    const uint32_t occurrence = ++occurrences_[request->command];
    std::vector<uint8_t> payload = Answer(*request);
    std::vector<uint8_t> reply = BuildFrame(replyAddressLength, request->command, payload);
    if (const auto fault = FaultFor(request->command, occurrence)) {
        Spoil(reply, *fault, replyAddressLength);
    }
    ++report_.framesHandled;
    return reply;
}

std::optional<FaultKind> DeviceModel::FaultFor(uint8_t command, uint32_t occurrence) const {
    for (const ReplyFault& fault : options_.faults) {
        if (fault.command != kAnyCommand && fault.command != command)
            continue;
        // With kAnyCommand the occurrence counts replies of this command, so a fault on any
        // command hits the n-th reply of each kind.
        if (occurrence < fault.first)
            continue;
        if (fault.count != 0 && occurrence >= fault.first + fault.count)
            continue;
        return fault.kind;
    }
    return std::nullopt;
}

std::vector<uint8_t> DeviceModel::Answer(const Request& request) {
    switch (request.command) {
        case kCmdStatus:
            ++report_.statusRequests;
            return AnswerStatus();
        case kCmdEnterBootloader:
            ++report_.enterBootloaderRequests;
            if (enterRefusals_ < options_.refuseEnterBootloader) {
                ++enterRefusals_;
                return {kReplyRefused};
            }
            Restart(DeviceMode::Bootloader);
            return {kReplyAccepted};
        case kCmdStartUpdate:
            ++report_.startUpdateRequests;
            if (mode_ != DeviceMode::Bootloader && mode_ != DeviceMode::Updating) {
                return {kReplyRefused};
            }
            if (startRefusals_ < options_.refuseStartUpdate) {
                ++startRefusals_;
                return {kReplyRefused};
            }
            mode_ = DeviceMode::Updating;
            nextPage_ = 0;
            beyondAsked_ = false;
            busyPending_ = false;
            pagesTakenThisUpdate_ = 0;
            return {kReplyAccepted};
        case kCmdWritePage:
            return AnswerWritePage(request);
        case kCmdWriteSerialNumber:
            return AnswerWriteSerialNumber(request);
        default:
            return {kReplyRefused};
    }
}

std::vector<uint8_t> DeviceModel::StatusRecord(uint8_t code, uint16_t page, uint16_t length) const {
    std::vector<uint8_t> record(kStatusRecordBytes, 0);
    record[0] = code;
    record[kStatusPageOffset] = static_cast<uint8_t>(page & 0xFF);
    record[kStatusPageOffset + 1] = static_cast<uint8_t>(page >> 8);
    record[kStatusLengthOffset] = static_cast<uint8_t>(length & 0xFF);
    record[kStatusLengthOffset + 1] = static_cast<uint8_t>(length >> 8);
    return record;
}

std::vector<uint8_t> DeviceModel::AnswerStatus() {
    switch (mode_) {
        case DeviceMode::Application:
            return StatusRecord(updated_ ? options_.finalStatus : options_.applicationStatus, 0, 0);
        case DeviceMode::Bootloader:
            return StatusRecord(options_.bootloaderStatus, 0, 0);
        case DeviceMode::Failed:
            return StatusRecord(kStatusUpdateError, 0, 0);
        case DeviceMode::Updating:
            break;
        case DeviceMode::Restarting:
        case DeviceMode::Dead:
            return {};  // not reached: HandleFrame answers nothing in these modes
    }
    const uint32_t pageCount = static_cast<uint32_t>(pages_.size());
    if (options_.errorStatusAtPage && nextPage_ == *options_.errorStatusAtPage) {
        mode_ = DeviceMode::Failed;
        return StatusRecord(kStatusUpdateError, 0, 0);
    }
    if (busyPending_) {
        busyPending_ = false;
        return StatusRecord(kStatusBusy, 0, 0);
    }
    if (nextPage_ < pageCount) {
        return StatusRecord(kStatusPageRequest, static_cast<uint16_t>(nextPage_), requestedLength_);
    }
    if (options_.requestPageBeyond && !beyondAsked_) {
        // The host sends nothing for a page it does not have; ask once and move on.
        beyondAsked_ = true;
        return StatusRecord(kStatusPageRequest, static_cast<uint16_t>(pageCount), requestedLength_);
    }
    ++report_.updatesCompleted;
    updated_ = true;
    if (options_.silentAfterCompletion) {
        mode_ = DeviceMode::Dead;
    } else {
        Restart(DeviceMode::Application);
    }
    return StatusRecord(kStatusComplete, 0, 0);
}

bool DeviceModel::PageMatches(uint16_t page, uint16_t length, const uint8_t* header,
                              const uint8_t* data) const {
    if (page != nextPage_ || length != requestedLength_)
        return false;
    const auto it = pages_.find(page);
    if (it == pages_.end())
        return false;
    const PackagePage& expected = it->second;
    if (std::memcmp(header, expected.pageHeader.data(), kPageHeaderBytes) != 0)
        return false;
    if (static_cast<size_t>(expected.pageData.size()) < length)
        return false;
    return length == 0 || std::memcmp(data, expected.pageData.constData(), length) == 0;
}

std::vector<uint8_t> DeviceModel::AnswerWritePage(const Request& request) {
    if (mode_ != DeviceMode::Updating)
        return {kPageFlagNotWritten};
    const uint8_t* p = request.payload.data();
    const uint16_t page = ReadU16(p);
    const uint16_t length = ReadU16(p + 2);
    ++report_.pagesReceived;
    if (!PageMatches(page, length, p + 4, p + kPageFrameFixedPayloadBytes)) {
        ++report_.pageMismatches;
    }
    uint8_t flags = 0;
    if (const auto it = options_.pageFlags.find(page); it != options_.pageFlags.end()) {
        flags = it->second;
    }
    // A real device cannot tell wrong firmware bytes from right ones, but it does see a page or
    // a length it did not ask for, and asks again.
    const bool asked = page == nextPage_ && length == requestedLength_;
    if ((flags & kPageFlagNotWritten) == 0 && asked) {
        ++nextPage_;
        ++pagesTakenThisUpdate_;
        if (options_.busyEveryPages != 0 && pagesTakenThisUpdate_ % options_.busyEveryPages == 0) {
            busyPending_ = true;
        }
    }
    return {flags};
}

std::vector<uint8_t> DeviceModel::AnswerWriteSerialNumber(const Request& request) {
    if (mode_ != DeviceMode::Application || options_.refuseSerialNumber)
        return {kReplyRefused};
    SerialNumberRecord record;
    record.hardware = request.payload[0];
    std::copy(request.payload.begin() + 1, request.payload.end(), record.serial.begin());
    report_.serialNumbers.push_back(record);
    return {kReplyAccepted};
}

}  // namespace kvr::devsim

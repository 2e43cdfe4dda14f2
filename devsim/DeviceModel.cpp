#include "DeviceModel.h"

#include <algorithm>
#include <cstring>

namespace kvr::devsim {

namespace {

constexpr uint8_t kWrongStartByte = 0xAA;
constexpr uint8_t kChecksumSpoiler = 0x5A;
constexpr size_t kShortReplyMissingBytes = 3;
constexpr uint32_t kDefaultNoiseBytes = 4096;
constexpr uint32_t kDefaultTrickleGapMs = 1500;
constexpr size_t kGarbledFrameBytes = 64;
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

uint32_t Or(uint32_t value, uint32_t fallback) {
    return value != 0 ? value : fallback;
}

}  // namespace

DeviceModel::DeviceModel(DeviceOptions options, PageMap pages, IClock& clock)
    : options_(std::move(options)),
      pages_(std::move(pages)),
      clock_(clock),
      mode_(options_.startInBootloader ? DeviceMode::Bootloader : DeviceMode::Application),
      random_(options_.noiseSeed) {
    if (options_.finalStatuses.empty())
        options_.finalStatuses.push_back(0);
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
    return AddressLengthOf(mode_ == DeviceMode::Restarting ? restartTarget_ : mode_);
}

uint16_t DeviceModel::AddressLengthOf(DeviceMode mode) const {
    if (mode != DeviceMode::Application)
        return options_.bootloaderAddressLength;
    if (updated_ && options_.updatedAddressLength)
        return *options_.updatedAddressLength;
    return options_.applicationAddressLength;
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
    requests_.clear();
    nextRequest_ = 0;
    busyPending_ = false;
    pagesTakenThisUpdate_ = 0;
}

void DeviceModel::StartTransfer() {
    mode_ = DeviceMode::Updating;
    requests_.clear();
    nextRequest_ = 0;
    busyPending_ = false;
    pagesTakenThisUpdate_ = 0;
    if (options_.pageRequests) {
        requests_ = *options_.pageRequests;
        return;
    }
    for (const auto& entry : pages_)
        requests_.push_back({static_cast<uint16_t>(entry.first), requestedLength_});
    if (options_.requestPageBeyond)
        requests_.push_back({static_cast<uint16_t>(pages_.size()), requestedLength_});
}

uint32_t DeviceModel::NextPage() const {
    if (nextRequest_ < requests_.size())
        return requests_[nextRequest_].page;
    return requests_.empty() ? 0 : requests_.back().page + 1u;
}

std::vector<uint8_t> DeviceModel::Commands() const {
    std::vector<uint8_t> commands;
    for (const ReceivedFrame& frame : frames_)
        commands.push_back(frame.command);
    return commands;
}

std::vector<uint8_t> DeviceModel::Noise(size_t count) {
    std::vector<uint8_t> bytes(count);
    for (uint8_t& b : bytes)
        b = static_cast<uint8_t>(random_());
    // Never the start of a frame.
    if (!bytes.empty() && bytes[0] == kStartByte)
        bytes[0] = kStartByte - 1;
    return bytes;
}

std::vector<uint8_t> DeviceModel::Receive(const uint8_t* data, size_t count) {
    std::vector<uint8_t> out;
    for (const ReplyPiece& piece : ReceiveTimed(data, count))
        out.insert(out.end(), piece.bytes.begin(), piece.bytes.end());
    return out;
}

std::vector<ReplyPiece> DeviceModel::ReceiveTimed(const uint8_t* data, size_t count) {
    if (options_.babbleBytes > 0) {
        if (count == 0)
            return {};
        return {{options_.replyDelayMs, Noise(options_.babbleBytes)}};
    }
    const uint64_t now = clock_.TickMs();
    if (!input_.empty() && now - lastInputMs_ > kFrameGapMs)
        input_.clear();
    lastInputMs_ = now;
    input_.insert(input_.end(), data, data + count);

    std::vector<ReplyPiece> out;
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
        for (ReplyPiece& piece : HandleFrame(frame))
            out.push_back(std::move(piece));
    }
    return out;
}

std::optional<DeviceModel::Request> DeviceModel::ParseFrame(
    const std::vector<uint8_t>& frame) const {
    const uint16_t n = AddressLengthOf(mode_);
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

bool DeviceModel::SwappedOut() {
    if (options_.swapAfterMs == 0 || !completedAtMs_)
        return false;
    const uint64_t now = clock_.TickMs();
    const uint64_t out = *completedAtMs_ + options_.swapAfterMs;
    if (now < out)
        return false;
    if (now < out + options_.swapGapMs)
        return true;
    // A fresh unit: in its application, never updated; the report goes on counting.
    completedAtMs_.reset();
    mode_ = options_.startInBootloader ? DeviceMode::Bootloader : DeviceMode::Application;
    updated_ = false;
    finalIndex_ = 0;
    busyPending_ = false;
    requests_.clear();
    nextRequest_ = 0;
    pagesTakenThisUpdate_ = 0;
    enterRefusals_ = 0;
    startRefusals_ = 0;
    occurrences_.clear();
    ++report_.unitsSwapped;
    return false;
}

std::vector<ReplyPiece> DeviceModel::HandleFrame(const std::vector<uint8_t>& frame) {
    FinishRestartIfDue();
    if (SwappedOut() || mode_ == DeviceMode::Dead || mode_ == DeviceMode::Restarting) {
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
    LogFrame(*request, replyAddressLength);
    const uint32_t occurrence = ++occurrences_[request->command];
    std::vector<uint8_t> payload = Answer(*request);
    ++report_.framesHandled;
    return Deliver(BuildFrame(replyAddressLength, request->command, payload), request->command,
                   occurrence, replyAddressLength);
}

void DeviceModel::LogFrame(const Request& request, uint16_t addressLength) {
    if (frameLogBytes_ + request.payload.size() > kMaxFrameLogBytes) {
        ++report_.framesNotLogged;
        return;
    }
    frameLogBytes_ += request.payload.size();
    frames_.push_back({request.frameType, addressLength, request.command, request.payload});
}

std::vector<ReplyPiece> DeviceModel::Deliver(std::vector<uint8_t> reply, uint8_t command,
                                             uint32_t occurrence, uint16_t addressLength) {
    const size_t echoAt = kFrameHeaderBytes + addressLength;
    uint32_t trickleGapMs = 0;
    for (const ReplyFault& fault : FaultsFor(command, occurrence)) {
        if (reply.empty())
            break;
        switch (fault.kind) {
            case FaultKind::NoReply:
                reply.clear();
                break;
            case FaultKind::BadChecksum:
                reply.back() ^= kChecksumSpoiler;
                break;
            case FaultKind::WrongEcho:
                if (reply.size() > echoAt + 1) {
                    reply[echoAt] += 1;
                    reply.back() = FrameChecksum(reply);
                }
                break;
            case FaultKind::ShortReply: {
                // erase, not resize: GCC 12 cannot tell that a shrinking resize fills nothing.
                const size_t cut =
                    std::min<size_t>(reply.size(), Or(fault.value, kShortReplyMissingBytes));
                reply.erase(reply.end() - static_cast<ptrdiff_t>(cut), reply.end());
                break;
            }
            case FaultKind::WrongStartByte:
                reply[0] = kWrongStartByte;
                break;
            case FaultKind::LengthField:
                if (reply.size() >= kFrameHeaderBytes) {
                    reply[2] = static_cast<uint8_t>(fault.value & 0xFF);
                    reply[3] = static_cast<uint8_t>((fault.value >> 8) & 0xFF);
                }
                break;
            case FaultKind::Status:
                if (command == kCmdStatus && reply.size() > echoAt + 2) {
                    reply[echoAt + 1] = static_cast<uint8_t>(fault.value);
                    reply.back() = FrameChecksum(reply);
                }
                break;
            case FaultKind::Noise:
                reply = Noise(Or(fault.value, kDefaultNoiseBytes));
                break;
            case FaultKind::Garbled: {
                reply = Noise(kGarbledFrameBytes);
                reply[0] = kStartByte;
                const auto length = static_cast<uint16_t>(kGarbledFrameBytes - kFrameHeaderBytes);
                reply[2] = static_cast<uint8_t>(length & 0xFF);
                reply[3] = static_cast<uint8_t>(length >> 8);
                reply[kFrameHeaderBytes] = static_cast<uint8_t>(command + 1);
                reply.back() = static_cast<uint8_t>(~FrameChecksum(reply));
                break;
            }
            case FaultKind::TrailingNoise: {
                const std::vector<uint8_t> tail = Noise(Or(fault.value, kDefaultNoiseBytes));
                reply.insert(reply.end(), tail.begin(), tail.end());
                break;
            }
            case FaultKind::Trickle:
                trickleGapMs = Or(fault.value, kDefaultTrickleGapMs);
                break;
        }
    }
    if (reply.empty())
        return {};
    if (trickleGapMs == 0)
        return {{options_.replyDelayMs, std::move(reply)}};
    std::vector<ReplyPiece> pieces;
    for (size_t i = 0; i < reply.size(); ++i)
        pieces.push_back({i == 0 ? options_.replyDelayMs : trickleGapMs, {reply[i]}});
    return pieces;
}

std::vector<ReplyFault> DeviceModel::FaultsFor(uint8_t command, uint32_t occurrence) const {
    std::vector<ReplyFault> hits;
    for (const ReplyFault& fault : options_.faults) {
        if (fault.command != kAnyCommand && fault.command != command)
            continue;
        // With kAnyCommand the occurrence counts replies of this command, so a fault on any
        // command hits the n-th reply of each kind.
        if (occurrence < fault.first)
            continue;
        if (fault.count != 0 && occurrence >= fault.first + fault.count)
            continue;
        hits.push_back(fault);
    }
    return hits;
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
            StartTransfer();
            return {kReplyAccepted};
        case kCmdWritePage:
            return AnswerWritePage(request);
        case kCmdWriteSerialNumber:
            return AnswerWriteSerialNumber(request);
        default:
            return {kReplyRefused};
    }
}

std::vector<uint8_t> DeviceModel::StatusRecord(uint8_t code, uint16_t page, uint16_t length) {
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
        case DeviceMode::Application: {
            if (!updated_)
                return StatusRecord(options_.applicationStatus, 0, 0);
            const auto& finals = options_.finalStatuses;
            const uint8_t code = finals[std::min(finalIndex_, finals.size() - 1)];
            ++finalIndex_;
            return StatusRecord(code, 0, 0);
        }
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
    if (options_.errorStatusAtPage && NextPage() == *options_.errorStatusAtPage) {
        mode_ = DeviceMode::Failed;
        return StatusRecord(kStatusUpdateError, 0, 0);
    }
    if (busyPending_) {
        busyPending_ = false;
        return StatusRecord(kStatusBusy, 0, 0);
    }
    if (nextRequest_ < requests_.size()) {
        const PageRequest request = requests_[nextRequest_];
        // The host sends nothing for a page it does not have; ask once and move on.
        if (pages_.find(request.page) == pages_.end())
            ++nextRequest_;
        return StatusRecord(kStatusPageRequest, request.page, request.length);
    }
    ++report_.updatesCompleted;
    updated_ = true;
    finalIndex_ = 0;
    completedAtMs_ = clock_.TickMs();
    if (options_.silentAfterCompletion) {
        mode_ = DeviceMode::Dead;
    } else {
        Restart(DeviceMode::Application);
    }
    return StatusRecord(kStatusComplete, 0, 0);
}

bool DeviceModel::PageMatches(uint16_t page, uint16_t length, const uint8_t* header,
                              const uint8_t* data) const {
    if (nextRequest_ >= requests_.size() || page != requests_[nextRequest_].page ||
        length != requests_[nextRequest_].length) {
        return false;
    }
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
    report_.pagesWritten.push_back(page);
    if (!PageMatches(page, length, p + 4, p + kPageFrameFixedPayloadBytes)) {
        ++report_.pageMismatches;
    }
    uint8_t flags = 0;
    if (const auto it = options_.pageFlags.find(page); it != options_.pageFlags.end()) {
        flags = it->second;
    }
    // A real device cannot tell wrong firmware bytes from right ones, but it does see a page or
    // a length it did not ask for, and asks again.
    const bool asked = nextRequest_ < requests_.size() && page == requests_[nextRequest_].page &&
                       length == requests_[nextRequest_].length;
    if ((flags & kPageFlagNotWritten) == 0 && asked) {
        ++nextRequest_;
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

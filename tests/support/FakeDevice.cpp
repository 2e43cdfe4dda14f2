#include "FakeDevice.h"

#include <algorithm>

namespace kvr::test {

namespace {

constexpr uint8_t kStart = 0x55;
constexpr uint8_t kCmdStatus = 0x01;
constexpr uint8_t kCmdEnterBootloader = 0x05;
constexpr uint8_t kCmdStartUpdate = 0x08;
constexpr uint8_t kCmdWritePage = 0x09;
constexpr uint8_t kCmdWriteSerialNumber = 0x30;
constexpr uint8_t kRefused = 0x01;
constexpr uint8_t kFlagNotWritten = 0x01;
constexpr uint8_t kStatusPageRequest = 3;
constexpr uint8_t kStatusBusy = 4;
constexpr uint8_t kStatusDone = 5;
constexpr uint8_t kStatusFailed = 6;
constexpr size_t kPagePrefix = 12;
constexpr size_t kPageHeader = 8;

uint8_t XorOf(const Bytes& bytes, size_t from, size_t to) {
    uint8_t x = 0;
    for (size_t i = from; i < to; ++i)
        x ^= bytes[i];
    return x;
}

uint16_t U16(const Bytes& b, size_t at) {
    return static_cast<uint16_t>(b[at] | (b[at + 1] << 8));
}

}  // namespace

Bytes LinkFrame(uint8_t command, const Bytes& payload, uint16_t addressLength, uint8_t frameType) {
    const size_t length = addressLength + payload.size() + 2;
    Bytes frame{kStart, frameType, static_cast<uint8_t>(length & 0xFF),
                static_cast<uint8_t>(length >> 8)};
    frame.reserve(frame.size() + length);  // also keeps GCC 12's -O3 bounds warning quiet
    frame.insert(frame.end(), addressLength, 0);
    frame.push_back(command);
    frame.insert(frame.end(), payload.begin(), payload.end());
    frame.push_back(XorOf(frame, 1, frame.size()));
    return frame;
}

Bytes StatusBytes(uint8_t code, uint16_t page, uint16_t length) {
    Bytes s(14, 0);
    s[0] = code;
    s[6] = static_cast<uint8_t>(page & 0xFF);
    s[7] = static_cast<uint8_t>(page >> 8);
    s[8] = static_cast<uint8_t>(length & 0xFF);
    s[9] = static_cast<uint8_t>(length >> 8);
    return s;
}

FakeDevice::FakeDevice(ScriptedChannel& channel, PageMap pages)
    : channel_(channel), pages_(std::move(pages)) {
    for (const auto& [index, page] : pages_) {
        defaultRequests_.push_back(
            {static_cast<uint16_t>(index), static_cast<uint16_t>(page.pageData.size())});
    }
    channel_.SetResponder(
        [this](ScriptedChannel& c, const Bytes& written) { OnWrite(c, written); });
}

FakeDevice::~FakeDevice() {
    channel_.SetResponder(nullptr);
}

void FakeDevice::InjectFault(uint8_t command, int occurrence, Fault fault) {
    faults_[{command, occurrence}] = fault;
}

std::vector<uint8_t> FakeDevice::Commands() const {
    std::vector<uint8_t> commands;
    for (const auto& f : frames_)
        commands.push_back(f.command);
    return commands;
}

uint16_t FakeDevice::AddressLength() const {
    if (afterDone_)
        return afterDoneAddressLength;
    return mode == Mode::Application ? applicationAddressLength : bootloaderAddressLength;
}

const std::vector<PageRequest>& FakeDevice::Requests() {
    return requests ? *requests : defaultRequests_;
}

void FakeDevice::OnWrite(ScriptedChannel& channel, const Bytes& w) {
    const uint64_t now = channel.Clock().Now();
    if (now < silentUntil_ || (afterDone_ && silentAfterDone))
        return;
    const uint16_t n = AddressLength();
    if (w.size() < n + 6u || w[0] != kStart)
        return;
    const uint16_t length = U16(w, 2);
    if (length != w.size() - 4 || length < n + 2u)
        return;
    if (XorOf(w, 1, w.size() - 1) != w.back())
        return;

    const uint8_t command = w[4 + n];
    if (command != kCmdStatus && command != kCmdEnterBootloader && command != kCmdStartUpdate &&
        command != kCmdWritePage && command != kCmdWriteSerialNumber) {
        return;  // unknown, or a frame in the other framing read as this one
    }

    ReceivedFrame frame;
    frame.frameType = w[1];
    frame.addressLength = n;
    frame.command = command;
    frame.payload.assign(w.begin() + 5 + n, w.end() - 1);
    frames_.push_back(frame);

    const int occurrence = ++replyCounts_[frame.command];
    const auto fault = faults_.find({frame.command, occurrence});
    std::optional<Bytes> reply;
    if (fault != faults_.end() && fault->second.kind == FaultKind::Status) {
        reply = LinkFrame(kCmdStatus, StatusBytes(static_cast<uint8_t>(fault->second.value)), n);
    } else {
        reply = Answer(frame.command, frame.payload);
    }
    if (!reply)
        return;
    if (fault != faults_.end()) {
        Bytes& r = *reply;
        switch (fault->second.kind) {
            case FaultKind::Silence:
                return;
            case FaultKind::BadChecksum:
                r.back() = static_cast<uint8_t>(~r.back());
                break;
            case FaultKind::WrongEcho:
                r[4 + n] = static_cast<uint8_t>(r[4 + n] + 1);
                r.back() = XorOf(r, 1, r.size() - 1);
                break;
            case FaultKind::WrongStart:
                r[0] = 0xAA;
                break;
            case FaultKind::Truncated:
                r.resize(std::min<size_t>(r.size(), fault->second.value));
                break;
            case FaultKind::LengthField:
                r[2] = static_cast<uint8_t>(fault->second.value & 0xFF);
                r[3] = static_cast<uint8_t>((fault->second.value >> 8) & 0xFF);
                break;
            case FaultKind::Status:
                break;
        }
    }
    channel.QueueBytes(*reply, replyDelayMs);
}

std::optional<Bytes> FakeDevice::Answer(uint8_t command, const Bytes& payload) {
    const uint16_t n = AddressLength();
    const uint64_t now = channel_.Clock().Now();
    switch (command) {
        case kCmdStatus:
            return LinkFrame(kCmdStatus, NextStatus(), n);
        case kCmdEnterBootloader: {
            const bool accepted = enterBootloaderAnswer == 0x00;
            if (accepted) {
                mode = Mode::Bootloader;
                afterDone_ = false;
                phase_ = Phase::Idle;
                silentUntil_ = now + restartDelayMs;
            }
            if (!answerEnterBootloader)
                return std::nullopt;
            return LinkFrame(kCmdEnterBootloader, {enterBootloaderAnswer}, n);
        }
        case kCmdStartUpdate: {
            if (mode != Mode::Bootloader || phase_ != Phase::Idle || afterDone_) {
                return LinkFrame(kCmdStartUpdate, {kRefused}, n);
            }
            if (refuseStartUpdateTimes > 0) {
                --refuseStartUpdateTimes;
                return LinkFrame(kCmdStartUpdate, {kRefused}, n);
            }
            if (startUpdateAnswer != kRefused) {
                phase_ = Phase::Transfer;
                requestIndex_ = 0;
                busyShown_ = false;
            }
            return LinkFrame(kCmdStartUpdate, {startUpdateAnswer}, n);
        }
        case kCmdWritePage: {
            if (phase_ != Phase::Transfer || payload.size() < kPagePrefix) {
                return LinkFrame(kCmdWritePage, {kFlagNotWritten}, n);
            }
            CheckPage(payload);
            const uint16_t page = U16(payload, 0);
            const auto flags = pageFlags.count(page) ? pageFlags.at(page) : uint8_t{0};
            const auto& reqs = Requests();
            if (!(flags & kFlagNotWritten) && requestIndex_ < reqs.size() &&
                reqs[requestIndex_].page == page) {
                ++requestIndex_;
                busyShown_ = false;
            }
            return LinkFrame(kCmdWritePage, {flags}, n);
        }
        case kCmdWriteSerialNumber:
            serialNumberPayloads_.push_back(payload);
            return LinkFrame(kCmdWriteSerialNumber, {serialNumberAnswer}, n);
        default:
            return std::nullopt;
    }
}

Bytes FakeDevice::NextStatus() {
    if (afterDone_) {
        const uint8_t code = finalStatuses[std::min(finalIndex_, finalStatuses.size() - 1)];
        ++finalIndex_;
        return StatusBytes(code);
    }
    if (mode == Mode::Application)
        return StatusBytes(applicationStatus);
    if (phase_ != Phase::Transfer)
        return StatusBytes(bootloaderIdleStatus);

    const auto& reqs = Requests();
    if (requestIndex_ < reqs.size()) {
        const PageRequest r = reqs[requestIndex_];
        if (failBeforePage && *failBeforePage == r.page)
            return StatusBytes(kStatusFailed);
        if (busyEveryPages > 0 && requestIndex_ > 0 &&
            requestIndex_ % static_cast<size_t>(busyEveryPages) == 0 && !busyShown_) {
            busyShown_ = true;
            return StatusBytes(kStatusBusy);
        }
        // A page the device has no data for is asked once; the host sends nothing for it.
        if (pages_.find(r.page) == pages_.end())
            ++requestIndex_;
        return StatusBytes(kStatusPageRequest, r.page, r.length);
    }
    // Every page is in: report success once, then restart into the application.
    phase_ = Phase::Done;
    afterDone_ = true;
    mode = Mode::Application;
    silentUntil_ = channel_.Clock().Now() + doneRestartDelayMs;
    return StatusBytes(kStatusDone);
}

void FakeDevice::CheckPage(const Bytes& payload) {
    const uint16_t page = U16(payload, 0);
    const uint16_t length = U16(payload, 2);
    pagesWritten_.push_back(page);
    const auto& reqs = Requests();
    bool ok = requestIndex_ < reqs.size() && reqs[requestIndex_].page == page &&
              reqs[requestIndex_].length == length && payload.size() == kPagePrefix + length;
    const auto found = pages_.find(page);
    ok =
        ok && found != pages_.end() && static_cast<size_t>(found->second.pageData.size()) >= length;
    if (ok) {
        const PackagePage& p = found->second;
        ok = std::equal(p.pageHeader.begin(), p.pageHeader.end(), payload.begin() + 4) &&
             std::equal(payload.begin() + 4 + kPageHeader, payload.end(),
                        reinterpret_cast<const uint8_t*>(p.pageData.constData()));
    }
    if (!ok)
        ++mismatchedPages_;
}

}  // namespace kvr::test

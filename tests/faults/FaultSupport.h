// Pieces shared by the fault scenarios: a small device that speaks only the framing without
// address bytes and whose replies can be spoilt on the way (noise, a huge length field, bytes
// that trickle in), a channel that notes every write with the bytes that crossed before it, and
// the checks that a run ended through its tail.
#pragma once

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QFile>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <map>
#include <random>
#include <vector>

#include "FakeChannel.h"
#include "FakeClock.h"
#include "FakeDevice.h"
#include "RunMessages.h"
#include "TestRunHost.h"
#include "UpdateSequence.h"

namespace kvr::test {

inline constexpr uint8_t kCommandStatus = 0x01;
inline constexpr uint8_t kCommandEnterBootloader = 0x05;
inline constexpr uint8_t kCommandStartUpdate = 0x08;
inline constexpr uint8_t kCommandWritePage = 0x09;

inline constexpr uint8_t kStatusIdleBootloader = 2;
inline constexpr uint8_t kStatusWantsPage = 3;
inline constexpr uint8_t kStatusDone = 5;

// The host's reply buffer: no read may ask for more than this.
inline constexpr uint32_t kReplyBufferLimitBytes = 1024;
// The host's longest gap between two bytes of one read.
inline constexpr uint64_t kIntervalTimeoutMs = 1000;

// True when the file can be locked for writing right now: nobody (this process included)
// holds the update log's lock on it.
inline bool LockIsFree(const QString& path) {
    const int fd = ::open(path.toLocal8Bit().constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    ::close(fd);
    return free;
}

inline QByteArray FileBytes(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

// The entries of an update log without their 25-character stamps, in file order. The text is
// decoded here byte by byte (UTF-16LE after the byte-order mark), apart from the code under test.
inline QStringList LogEntries(const QString& path) {
    constexpr qsizetype kStampChars = 25;
    const QByteArray bytes = FileBytes(path);
    if (bytes.size() < 2 || !bytes.startsWith("\xFF\xFE"))
        return {};
    QString text;
    for (qsizetype i = 2; i + 1 < bytes.size(); i += 2) {
        text += QChar(static_cast<char16_t>(static_cast<uint8_t>(bytes[i]) |
                                            (static_cast<uint8_t>(bytes[i + 1]) << 8)));
    }
    QStringList entries;
    for (const QString& line : text.split(QStringLiteral("\r\n"))) {
        if (!line.isEmpty())
            entries << line.mid(kStampChars);
    }
    return entries;
}

// `count` pages of `dataBytes` data bytes each, their contents random from `seed`.
inline PageMap RandomPages(int count, int dataBytes, uint32_t seed) {
    PageMap pages;
    std::mt19937 random(seed);
    for (int i = 0; i < count; ++i) {
        PackagePage page;
        for (auto& b : page.pageHeader)
            b = static_cast<uint8_t>(random());
        page.pageData.resize(dataBytes);
        for (int k = 0; k < dataBytes; ++k)
            page.pageData[k] = static_cast<char>(random());
        pages[i] = page;
    }
    return pages;
}

// Random bytes from a fixed seed that can never be read as the start of a frame.
inline Bytes Noise(std::mt19937& random, size_t count) {
    Bytes bytes(count);
    for (uint8_t& b : bytes)
        b = static_cast<uint8_t>(random());
    if (!bytes.empty() && bytes[0] == 0x55)
        bytes[0] = 0x54;
    return bytes;
}

// A device that answers frames without address bytes only (frames with address bytes read,
// to it, as the unknown command 0x00) and is silent to everything else. Status requests are
// answered from `statuses` in order, the last one repeating; cmdStartUpdate, cmdEnterBootloader
// and cmdWritePage are accepted. `spoil` decides, per reply, how it reaches the host.
class ZeroFramingDevice {
public:
    enum class Delivery {
        Prompt,        // the reply as it is
        Silent,        // nothing
        Noise,         // random bytes instead of the reply
        GarbledFrame,  // a frame start, a sound length, random data, wrong echo and checksum
        HugeLength,    // the reply's length field says 0xFFFF, followed by noise
        Trickle,       // the reply's bytes one by one, further apart than the interval time-out
    };
    // command and its 1-based occurrence among the frames of that command.
    using Spoil = std::function<Delivery(uint8_t command, int occurrence)>;

    explicit ZeroFramingDevice(ScriptedChannel& channel, uint32_t seed = 17)
        : channel_(channel), random_(seed) {
        channel_.SetResponder([this](ScriptedChannel& c, const Bytes& w) { OnWrite(c, w); });
    }
    ~ZeroFramingDevice() { channel_.SetResponder(nullptr); }
    ZeroFramingDevice(const ZeroFramingDevice&) = delete;
    ZeroFramingDevice& operator=(const ZeroFramingDevice&) = delete;

    std::vector<Bytes> statuses{StatusBytes(kStatusIdleBootloader)};
    Spoil spoil = [](uint8_t, int) { return Delivery::Prompt; };
    // Answers every write, whatever its framing, with noise only.
    bool babbling = false;
    // Bytes of noise sent in place of one reply.
    size_t noiseBytes = 4096;
    // Gap between two trickled bytes.
    uint64_t trickleGapMs = kIntervalTimeoutMs + 500;

    // Commands received, in order.
    const std::vector<uint8_t>& Received() const { return received_; }
    std::vector<uint16_t> PagesReceived() const { return pages_; }

private:
    void OnWrite(ScriptedChannel& channel, const Bytes& w) {
        if (babbling) {
            channel.QueueBytes(Noise(random_, noiseBytes));
            return;
        }
        // 55 type length(2) command payload checksum, with length = payload + 2.
        if (w.size() < 6 || w[0] != 0x55 || static_cast<size_t>(w[2] | (w[3] << 8)) != w.size() - 4)
            return;
        const uint8_t command = w[4];
        Bytes payload;
        switch (command) {
            case kCommandStatus:
                payload = statuses[std::min(statusIndex_, statuses.size() - 1)];
                ++statusIndex_;
                break;
            case kCommandWritePage:
                if (w.size() >= 8)
                    pages_.push_back(static_cast<uint16_t>(w[5] | (w[6] << 8)));
                payload = {0x00};
                break;
            case kCommandStartUpdate:
            case kCommandEnterBootloader:
                payload = {0x00};
                break;
            default:
                return;  // frames with address bytes end up here
        }
        received_.push_back(command);
        const Bytes reply = LinkFrame(command, payload, 0);
        switch (spoil(command, ++occurrences_[command])) {
            case Delivery::Prompt:
                channel.QueueBytes(reply);
                break;
            case Delivery::Silent:
                break;
            case Delivery::Noise:
                channel.QueueBytes(Noise(random_, noiseBytes));
                break;
            case Delivery::GarbledFrame: {
                Bytes frame = Noise(random_, 64);
                frame[0] = 0x55;
                frame[2] = 60;  // reply data: 60 bytes follow the header
                frame[3] = 0;
                frame[4] = static_cast<uint8_t>(command + 1);
                uint8_t sum = 0;
                for (size_t i = 1; i + 1 < frame.size(); ++i)
                    sum ^= frame[i];
                frame.back() = static_cast<uint8_t>(~sum);
                channel.QueueBytes(frame);
                break;
            }
            case Delivery::HugeLength: {
                Bytes frame = reply;
                frame[2] = 0xFF;
                frame[3] = 0xFF;
                const Bytes tail = Noise(random_, noiseBytes);
                frame.insert(frame.end(), tail.begin(), tail.end());
                channel.QueueBytes(frame);
                break;
            }
            case Delivery::Trickle:
                for (size_t i = 0; i < reply.size(); ++i)
                    channel.QueueBytes({reply[i]}, i * trickleGapMs);
                break;
        }
    }

    ScriptedChannel& channel_;
    std::mt19937 random_;
    size_t statusIndex_ = 0;
    std::map<uint8_t, int> occurrences_;
    std::vector<uint8_t> received_;
    std::vector<uint16_t> pages_;
};

// Forwards to a channel and notes, for every write, the bytes that had crossed before it.
class CountingChannel final : public ForwardingChannel {
public:
    struct WriteNote {
        uint64_t bytesBefore = 0;
        Bytes frame;
    };

    explicit CountingChannel(IByteChannel& inner) : ForwardingChannel(inner) {}
    uint32_t Read(uint8_t* buffer, uint32_t count) override {
        const uint32_t got = Inner().Read(buffer, count);
        crossed_ += got;
        return got;
    }
    uint32_t Write(const uint8_t* buffer, uint32_t count) override {
        writes_.push_back({crossed_, Bytes(buffer, buffer + count)});
        const uint32_t put = Inner().Write(buffer, count);
        crossed_ += put;
        return put;
    }

    const std::vector<WriteNote>& Writes() const { return writes_; }
    uint64_t Crossed() const { return crossed_; }

private:
    std::vector<WriteNote> writes_;
    uint64_t crossed_ = 0;
};

// The page number of a cmdWritePage request frame with `addressLength` address bytes, or -1.
inline int PageOfFrame(const Bytes& frame, uint16_t addressLength) {
    const size_t command = 4u + addressLength;
    if (frame.size() < command + 3 || frame[command] != kCommandWritePage)
        return -1;
    return frame[command + 1] | (frame[command + 2] << 8);
}

// A whole undisturbed run against the scripted device, without a log: the bytes that crossed
// and the note of every page frame's write, by page number. Empty when the run did not succeed.
struct DryRunResult {
    uint64_t bytes = 0;
    std::map<int, CountingChannel::WriteNote> pageFrames;
};

inline DryRunResult DryRunOf(const PageMap& pages) {
    FakeClock clock;
    ScriptedChannel channel(clock);
    FakeDevice device(channel, pages);
    CountingChannel counting(channel);
    ForwardingChannelFactory factory(counting);
    TestRunHost host;
    TUpdateSequence run(QStringLiteral("ttyDRY0"), pages, RunOptions{}, factory, clock, host);
    run.RunUpdate();
    DryRunResult result;
    if (host.Shown() != QStringList{kSuccess})
        return result;
    result.bytes = counting.Crossed();
    for (const auto& w : counting.Writes()) {
        // The bootloader of the scripted device speaks without address bytes.
        const int page = PageOfFrame(w.frame, 0);
        if (page >= 0)
            result.pageFrames[page] = w;
    }
    return result;
}

}  // namespace kvr::test

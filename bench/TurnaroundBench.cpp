// Where a turnaround goes. A whole update (256 pages of 256 data bytes by default) runs in this
// process over the real serial component against the simulated device on a pseudo-terminal,
// with or without wire-time emulation (--baud). Two clocks look at each turnaround:
// - host_*: inside the host, from the first Read that brought bytes of a reply to the Write of
//   the next request: the engine's own work (the rest of the reply, log entries, progress,
//   frame building, the protocol's purge of unread input);
// - device_*: on the device side, from the last reply byte written to the first request byte
//   read; this adds the terminal's hand-over both ways and waking each side.
// Variants: "handover" runs as the command line does (update thread, progress and messages
// handed to this thread's event loop), "direct" runs the sequence on this thread with no
// hand-over, "nolog" is direct without an update log, and "floor" is no host at all: a bare
// loop of read and write system calls sends the same status and page frames (one pair per page)
// to the same device, which shows what the terminal and the scheduler cost on this machine;
// "floorpurge" adds the drop of unread input that the protocol makes before every request.
//
// Usage: kvr-bench-turnaround [--pages N] [--length L] [--baud B]
//                             [--variant handover|direct|nolog|floor|floorpurge]...
//        kvr-bench-turnaround --print-constants
// Prints "<variant>.<figure>=<value>" lines; exits 1 when a run does not end in success.
// --print-constants prints the engine's line speed and fixed waits as "name=value" lines, so
// that kvr-bench-report computes its ideal times from the engine itself.
#include <QCoreApplication>
#include <QEventLoop>
#include <QTemporaryDir>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>

#include "BenchSupport.h"
#include "DevsimCommandLine.h"
#include "HandOver.h"
#include "RunReporter.h"
#include "SerialChannel.h"
#include "Translate.h"
#include "UpdateSequence.h"
#include "UpdateThread.h"

namespace kvr::bench {
namespace {

constexpr uint32_t kDefaultPages = 256;
constexpr uint16_t kDefaultLength = 256;
// A request longer than this is a page frame (a status request is 6 or 12 bytes).
constexpr uint32_t kPageFrameMinBytes = 64;
constexpr uint32_t kMedianPercent = 50;
constexpr uint32_t kTailPercent = 99;
constexpr uint32_t kMaxBaud = 10'000'000;
constexpr size_t kPagePayloadPrefixBytes = 12;  // page, length, page header

struct HostSamples {
    std::vector<uint32_t> afterStatusUs;  // the reply answered a status request
    std::vector<uint32_t> afterPageUs;    // the reply answered a page (progress follows)
};

// Passes everything to the serial channel and notes when replies end and requests start.
class TimingChannel final : public ForwardingChannel {
public:
    explicit TimingChannel(HostSamples& samples)
        : ForwardingChannel(std::make_unique<SerialChannel>()), samples_(samples) {}
    uint32_t Read(uint8_t* buffer, uint32_t count) override {
        const uint32_t got = Inner().Read(buffer, count);
        if (got > 0 && !readSinceWrite_) {
            firstReadEndUs_ = NowUs();
            readSinceWrite_ = true;
        }
        return got;
    }
    uint32_t Write(const uint8_t* buffer, uint32_t count) override {
        const uint64_t now = NowUs();
        if (readSinceWrite_) {
            auto& into = lastWriteBytes_ >= kPageFrameMinBytes ? samples_.afterPageUs
                                                               : samples_.afterStatusUs;
            into.push_back(static_cast<uint32_t>(now - firstReadEndUs_));
        }
        readSinceWrite_ = false;
        lastWriteBytes_ = count;
        return Inner().Write(buffer, count);
    }

private:
    HostSamples& samples_;
    uint64_t firstReadEndUs_ = 0;  // the reply's first bytes came in
    bool readSinceWrite_ = false;
    uint32_t lastWriteBytes_ = 0;
};

class TimingChannelFactory final : public IChannelFactory {
public:
    std::unique_ptr<IByteChannel> Create() override {
        return std::make_unique<TimingChannel>(samples);
    }
    HostSamples samples;
};

void PrintSamples(const std::string& prefix, const char* name, std::vector<uint32_t> samples) {
    const auto key = [&](const char* figure) { return prefix + name + "_" + figure; };
    PrintFigure(key("count").c_str(), samples.size());
    PrintFigure(key("median_us").c_str(), devsim::PercentileOf(samples, kMedianPercent));
    PrintFigure(key("p99_us").c_str(), devsim::PercentileOf(samples, kTailPercent));
}

void PrintLine(const std::string& prefix, const ServedDevice& served) {
    const devsim::LineStats& line = served.Stats();
    PrintFigure((prefix + "bytes").c_str(), line.bytesReceived + line.bytesSent);
    PrintFigure((prefix + "line_time_us").c_str(), line.lastByteOutUs - line.firstByteInUs);
    PrintFigure((prefix + "wire_due_us").c_str(), line.wireDueUs);
    PrintFigure((prefix + "wire_slept_us").c_str(), line.wireSleptUs);
    // The device's gaps include the fixed 2000 ms wait after completion once; it only moves
    // the maximum, which is left out here.
    PrintSamples(prefix, "device", line.turnaroundsUs);
}

devsim::DeviceOptions BootloaderDevice(uint16_t length) {
    devsim::DeviceOptions device;
    device.startInBootloader = true;
    device.bootloaderAddressLength = kAddressFieldLengthApplication;  // no silent probe
    device.requestedLength = length;
    return device;
}

bool RunUpdateVariant(const std::string& variant, uint32_t pages, uint16_t length, uint32_t baud) {
    ServedDevice served(BootloaderDevice(length), BuildPages(pages, length), baud);

    QTemporaryDir logFolder;
    RunOptions options;
    if (variant != "nolog")
        options.logPath = logFolder.filePath(QStringLiteral("log.txt"));
    SystemClock clock;
    QuietHost host;
    TimingChannelFactory channels;
    const QString port = QString::fromStdString(served.Path());

    const uint64_t startUs = NowUs();
    if (variant == "handover") {
        TRunHandOver handOver(host);
        TUpdateThread run(port, BuildPages(pages, length), options, channels, clock, handOver);
        QEventLoop loop;
        QObject::connect(&run, &QThread::finished, &loop, &QEventLoop::quit);
        run.start();
        loop.exec();
        handOver.WaitServing(run);
    } else {
        TUpdateSequence sequence(port, BuildPages(pages, length), options, channels, clock, host);
        sequence.RunUpdate();
    }
    const uint64_t wallUs = NowUs() - startUs;
    served.Stop();

    const std::string prefix = variant + ".";
    const bool success = host.lastMessage == Translate(QString::fromUtf8(kTextSuccess));
    if (!success || !served.Failure().empty()) {
        std::fprintf(stderr, "%s: the run did not succeed (last message \"%s\"; %s)\n",
                     variant.c_str(), host.lastMessage.toUtf8().constData(),
                     served.Failure().c_str());
        return false;
    }
    PrintFigure((prefix + "wall_us").c_str(), wallUs);
    PrintFigure((prefix + "pages_received").c_str(), served.Report().pagesReceived);
    PrintSamples(prefix, "host_after_status", channels.samples.afterStatusUs);
    PrintSamples(prefix, "host_after_page", channels.samples.afterPageUs);
    std::vector<uint32_t> all = channels.samples.afterStatusUs;
    all.insert(all.end(), channels.samples.afterPageUs.begin(), channels.samples.afterPageUs.end());
    PrintSamples(prefix, "host", all);
    PrintLine(prefix, served);
    return true;
}

// Reads one whole reply (start, type, length, then length more bytes); false on silence.
bool ReadReply(int fd, std::vector<uint8_t>& reply) {
    constexpr int kSilenceMs = 5000;
    constexpr size_t kHeaderBytes = 4;
    reply.clear();
    size_t wanted = kHeaderBytes;
    while (reply.size() < wanted) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, kSilenceMs) <= 0)
            return false;
        uint8_t chunk[512];
        const ssize_t n = ::read(fd, chunk, std::min(sizeof chunk, wanted - reply.size()));
        if (n <= 0)
            return false;
        reply.insert(reply.end(), chunk, chunk + n);
        if (reply.size() == kHeaderBytes)
            wanted = kHeaderBytes + (reply[2] | (reply[3] << 8));
    }
    return true;
}

bool RunFloor(const std::string& variant, uint32_t pages, uint16_t length, uint32_t baud) {
    PageMap map = BuildPages(pages, length);
    ServedDevice served(BootloaderDevice(length), map, baud);
    const int fd = ::open(served.Path().c_str(), O_RDWR | O_NOCTTY);
    termios tio{};
    if (fd < 0 || ::tcgetattr(fd, &tio) != 0) {
        std::perror("floor: terminal");
        return false;
    }
    ::cfmakeraw(&tio);
    ::tcsetattr(fd, TCSANOW, &tio);

    // The frames of an update: a status request and a page, once per page (the idle
    // bootloader answers both; whether it takes the page does not matter here).
    const std::vector<uint8_t> status =
        devsim::DeviceModel::BuildFrame(kAddressFieldLengthApplication, devsim::kCmdStatus, {});
    const PackagePage& page = map.begin()->second;
    std::vector<uint8_t> payload;
    payload.reserve(kPagePayloadPrefixBytes + length);
    payload.push_back(0);  // page 0
    payload.push_back(0);
    payload.push_back(static_cast<uint8_t>(length & 0xFF));
    payload.push_back(static_cast<uint8_t>(length >> 8));
    payload.insert(payload.end(), page.pageHeader.begin(), page.pageHeader.end());
    payload.insert(payload.end(), page.pageData.begin(), page.pageData.begin() + length);
    const std::vector<uint8_t> pageFrame = devsim::DeviceModel::BuildFrame(
        kAddressFieldLengthApplication, devsim::kCmdWritePage, payload);

    // The protocol drops unread input before every request; "floorpurge" does that too.
    const bool purge = variant == "floorpurge";
    std::vector<uint8_t> reply;
    bool answered = true;
    const uint64_t startUs = NowUs();
    for (uint32_t i = 0; i < pages && answered; ++i) {
        for (const std::vector<uint8_t>* frame : {&status, &pageFrame}) {
            if (!answered)
                break;
            if (purge)
                ::tcflush(fd, TCIFLUSH);
            const auto size = static_cast<ssize_t>(frame->size());
            answered = ::write(fd, frame->data(), frame->size()) == size && ReadReply(fd, reply);
        }
    }
    const uint64_t wallUs = NowUs() - startUs;
    ::close(fd);
    served.Stop();
    if (!answered) {
        std::fprintf(stderr, "%s: the device stopped answering\n", variant.c_str());
        return false;
    }
    PrintFigure((variant + ".wall_us").c_str(), wallUs);
    PrintLine(variant + ".", served);
    return true;
}

// A decimal number in min … max, digits only.
bool ParseNumber(const char* text, uint32_t min, uint32_t max, uint32_t& value) {
    if (*text < '0' || *text > '9')
        return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long v = std::strtoul(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < min || v > max)
        return false;
    value = static_cast<uint32_t>(v);
    return true;
}

// The figures kvr-bench-report needs, from the engine's own constants.
void PrintConstants() {
    uint32_t baud = 0;
    for (const char* c = kvr::kLinkSetupString; *c >= '0' && *c <= '9'; ++c)
        baud = baud * 10 + static_cast<uint32_t>(*c - '0');
    // A probe attempt in a framing the device does not speak waits for a header that never
    // comes: the header's bytes at the read multiplier, plus the probe's constant.
    const uint64_t silentProbeMs =
        kvr::kFrameHeaderBytes * static_cast<uint64_t>(kvr::kReadTotalMultiplierMs) +
        static_cast<uint64_t>(kvr::kProbeReadTotalConstantMs);
    std::printf("baud=%u\n", baud);
    std::printf("wait_after_done_ms=%u\n", kvr::kAfterUpdateDoneWaitMs);
    std::printf("wait_enter_reply_ms=%u\n", kvr::kAfterEnterBootloaderReplyWaitMs);
    std::printf("wait_restart_ms=%u\n", kvr::kBootloaderRestartWaitMs);
    std::printf("silent_probe_ms=%llu\n", static_cast<unsigned long long>(silentProbeMs));
}

}  // namespace
}  // namespace kvr::bench

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    using namespace kvr::bench;
    uint32_t pages = kDefaultPages;
    uint32_t length = kDefaultLength;
    uint32_t baud = 0;
    std::vector<std::string> variants;
    if (argc == 2 && std::strcmp(argv[1], "--print-constants") == 0) {
        PrintConstants();
        return 0;
    }
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--pages" && hasValue && ParseNumber(argv[i + 1], 1, 0xFFFF, pages)) {
            ++i;
        } else if (arg == "--length" && hasValue && ParseNumber(argv[i + 1], 1, 0xFFF0, length)) {
            ++i;
        } else if (arg == "--baud" && hasValue && ParseNumber(argv[i + 1], 0, kMaxBaud, baud)) {
            ++i;
        } else if (arg == "--variant" && hasValue &&
                   (std::strcmp(argv[i + 1], "handover") == 0 ||
                    std::strcmp(argv[i + 1], "direct") == 0 ||
                    std::strcmp(argv[i + 1], "nolog") == 0 ||
                    std::strcmp(argv[i + 1], "floor") == 0 ||
                    std::strcmp(argv[i + 1], "floorpurge") == 0)) {
            variants.emplace_back(argv[++i]);
        } else {
            std::fprintf(stderr,
                         "usage: kvr-bench-turnaround [--pages 1-65535] [--length 1-65520] "
                         "[--baud B] [--variant handover|direct|nolog|floor|floorpurge]...\n"
                         "       kvr-bench-turnaround --print-constants\n");
            return 2;
        }
    }
    if (variants.empty())
        variants = {"handover", "direct", "nolog", "floor", "floorpurge"};
    for (const std::string& v : variants) {
        const auto l = static_cast<uint16_t>(length);
        const bool floor = v.rfind("floor", 0) == 0;
        if (!(floor ? RunFloor(v, pages, l, baud) : RunUpdateVariant(v, pages, l, baud)))
            return 1;
    }
    return 0;
}

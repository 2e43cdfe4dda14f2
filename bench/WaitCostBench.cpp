// What waiting for a silent device costs in CPU time, measured with getrusage on the waiting
// thread:
// - serial: one TSerialComm Read of 4 bytes with a 5000 ms total time-out on a pseudo-terminal
//   that never sends anything;
// - engine: an update run whose device answers the link probe and then stays silent, so the
//   first polled status waits its full 50 x 4 + 5000 ms before the exchange error.
// Prints "<part>.wall_us", "<part>.cpu_us" (and the outcome) as "key=value" lines.
#include <fcntl.h>
#include <stdlib.h>

#include <QCoreApplication>
#include <QTemporaryDir>
#include <cstring>

#include "BenchSupport.h"
#include "RunReporter.h"
#include "SerialChannel.h"
#include "SerialComm.h"
#include "Translate.h"
#include "UpdateSequence.h"

namespace kvr::bench {
namespace {

constexpr int32_t kSilentWaitMs = 5000;
constexpr uint32_t kHeaderBytes = 4;
constexpr uint32_t kEnginePages = 4;
constexpr uint16_t kEngineLength = 256;

bool SerialPart() {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        std::perror("pseudo-terminal");
        return false;
    }
    const char* path = ::ptsname(master);
    TSerialComm port;
    port.FSetPortName(path == nullptr ? std::string() : std::string(path));
    port.FSetSetupString(kLinkSetupString);
    port.FSetReadIntervalTimeout(kReadIntervalMs);
    port.FSetReadTotalTimeoutMultiplier(0);
    port.FSetReadTotalTimeoutConstant(kSilentWaitMs);
    try {
        port.Connect();
    } catch (const Exception& e) {
        std::fprintf(stderr, "serial: %s\n", e.Message().c_str());
        ::close(master);
        return false;
    }
    uint8_t buffer[kHeaderBytes] = {};
    const uint64_t cpuBefore = ThreadCpuUs();
    const uint64_t start = NowUs();
    const uint32_t got = port.Read(buffer, kHeaderBytes);
    const uint64_t wall = NowUs() - start;
    const uint64_t cpu = ThreadCpuUs() - cpuBefore;
    port.Disconnect();
    ::close(master);
    PrintFigure("serial.wall_us", wall);
    PrintFigure("serial.cpu_us", cpu);
    PrintFigure("serial.bytes_read", got);
    return got == 0;
}

bool EnginePart() {
    devsim::DeviceOptions device;
    device.startInBootloader = true;
    device.bootloaderAddressLength = kAddressFieldLengthApplication;
    // The probe's status is answered, every later one is not.
    device.faults.push_back({devsim::FaultKind::NoReply, devsim::kCmdStatus, 2, 0});
    ServedDevice served(device, BuildPages(kEnginePages, kEngineLength));

    QTemporaryDir logFolder;
    RunOptions options;
    options.logPath = logFolder.filePath(QStringLiteral("log.txt"));
    SystemClock clock;
    QuietHost host;
    SerialChannelFactory channels;
    TUpdateSequence sequence(QString::fromStdString(served.Path()),
                             BuildPages(kEnginePages, kEngineLength), options, channels, clock,
                             host);
    const uint64_t cpuBefore = ThreadCpuUs();
    const uint64_t start = NowUs();
    sequence.RunUpdate();
    const uint64_t wall = NowUs() - start;
    const uint64_t cpu = ThreadCpuUs() - cpuBefore;
    served.Stop();
    PrintFigure("engine.wall_us", wall);
    PrintFigure("engine.cpu_us", cpu);
    // The run ends with the exchange error of the unanswered status, then the tail.
    const bool asExpected = served.Report().statusRequests == 2 && !host.lastMessage.isEmpty();
    if (!asExpected) {
        std::fprintf(stderr, "engine: the run did not wait as planned (%u status requests)\n",
                     served.Report().statusRequests);
    }
    return asExpected;
}

}  // namespace
}  // namespace kvr::bench

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    bool serial = true;
    bool engine = true;
    if (argc == 3 && std::strcmp(argv[1], "--only") == 0 && std::strcmp(argv[2], "serial") == 0) {
        engine = false;
    } else if (argc == 3 && std::strcmp(argv[1], "--only") == 0 &&
               std::strcmp(argv[2], "engine") == 0) {
        serial = false;
    } else if (argc != 1) {
        std::fprintf(stderr, "usage: kvr-bench-wait [--only serial|engine]\n");
        return 2;
    }
    bool ok = true;
    if (serial)
        ok = kvr::bench::SerialPart() && ok;
    if (engine)
        ok = kvr::bench::EnginePart() && ok;
    return ok ? 0 : 1;
}

// The simulated device on a real pseudo-terminal: requests in, replies out, across a host that
// closes and reopens the port, and a clean stop.
#include "PtyServer.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <thread>

namespace kvr::devsim {
namespace {

// Only guards against a hang; no result depends on it.
constexpr int kGuardMs = 10'000;

// Reads exactly `count` bytes, or fewer if the guard runs out.
std::vector<uint8_t> ReadBytes(int fd, size_t count) {
    std::vector<uint8_t> bytes;
    while (bytes.size() < count) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, kGuardMs) <= 0)
            break;
        uint8_t buffer[64];
        const ssize_t n = ::read(fd, buffer, std::min(sizeof buffer, count - bytes.size()));
        if (n <= 0)
            break;
        bytes.insert(bytes.end(), buffer, buffer + n);
    }
    return bytes;
}

int OpenRaw(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0)
        return fd;
    termios tio{};
    ::tcgetattr(fd, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(fd, TCSANOW, &tio);
    return fd;
}

TEST(DevsimPty, ServesAcrossReopeningAndStopsCleanly) {
    SystemClock clock;
    DeviceModel device({}, {}, clock);
    PtyServer server(device, clock, 0);
    ASSERT_FALSE(server.DevicePath().empty());

    int stop[2];
    ASSERT_EQ(::pipe(stop), 0);
    std::string served = "not finished";
    std::thread thread([&] { served = server.Serve(stop[0]); });

    const std::vector<uint8_t> request = DeviceModel::BuildFrame(6, kCmdStatus, {});
    const std::vector<uint8_t> reply =
        DeviceModel::BuildFrame(6, kCmdStatus, std::vector<uint8_t>(kStatusRecordBytes, 0));
    for (int session = 0; session < 2; ++session) {
        SCOPED_TRACE(session);
        const int fd = OpenRaw(server.DevicePath());
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, request.data(), request.size()),
                  static_cast<ssize_t>(request.size()));
        EXPECT_EQ(ReadBytes(fd, reply.size()), reply);
        ::close(fd);
    }

    const char byte = 1;
    ASSERT_EQ(::write(stop[1], &byte, 1), 1);
    thread.join();
    EXPECT_EQ(served, "");
    EXPECT_EQ(device.Report().statusRequests, 2u);
    ::close(stop[0]);
    ::close(stop[1]);
}

TEST(DevsimPty, RequestSplitAcrossWritesIsAnsweredOnce) {
    SystemClock clock;
    DeviceModel device({}, {}, clock);
    PtyServer server(device, clock, 0);
    int stop[2];
    ASSERT_EQ(::pipe(stop), 0);
    std::thread thread([&] { server.Serve(stop[0]); });

    const int fd = OpenRaw(server.DevicePath());
    ASSERT_GE(fd, 0);
    const std::vector<uint8_t> request = DeviceModel::BuildFrame(6, kCmdStatus, {});
    ASSERT_EQ(::write(fd, request.data(), 5), 5);
    ::tcdrain(fd);
    ASSERT_EQ(::write(fd, request.data() + 5, request.size() - 5),
              static_cast<ssize_t>(request.size() - 5));
    const std::vector<uint8_t> reply =
        DeviceModel::BuildFrame(6, kCmdStatus, std::vector<uint8_t>(kStatusRecordBytes, 0));
    EXPECT_EQ(ReadBytes(fd, reply.size()), reply);
    ::close(fd);

    const char byte = 1;
    ASSERT_EQ(::write(stop[1], &byte, 1), 1);
    thread.join();
    EXPECT_EQ(device.Report().statusRequests, 1u);
    ::close(stop[0]);
    ::close(stop[1]);
}

TEST(DevsimPty, LineStatsCountBytesAndOneTurnaroundPerAnsweredRequestFollowed) {
    SystemClock clock;
    DeviceModel device({}, {}, clock);  // application mode, 6 address bytes
    PtyServer server(device, clock, 0);
    int stop[2];
    ASSERT_EQ(::pipe(stop), 0);
    std::thread thread([&] { server.Serve(stop[0]); });

    const int fd = OpenRaw(server.DevicePath());
    ASSERT_GE(fd, 0);
    const std::vector<uint8_t> request = DeviceModel::BuildFrame(6, kCmdStatus, {});
    const std::vector<uint8_t> reply =
        DeviceModel::BuildFrame(6, kCmdStatus, std::vector<uint8_t>(kStatusRecordBytes, 0));
    // Answered; then a frame in the other framing (ignored) together with an answered one.
    ASSERT_EQ(::write(fd, request.data(), request.size()), static_cast<ssize_t>(request.size()));
    EXPECT_EQ(ReadBytes(fd, reply.size()), reply);
    std::vector<uint8_t> pair = DeviceModel::BuildFrame(0, kCmdStatus, {});
    pair.insert(pair.end(), request.begin(), request.end());
    ASSERT_EQ(::write(fd, pair.data(), pair.size()), static_cast<ssize_t>(pair.size()));
    EXPECT_EQ(ReadBytes(fd, reply.size()), reply);
    ::close(fd);

    const char byte = 1;
    ASSERT_EQ(::write(stop[1], &byte, 1), 1);
    thread.join();
    const LineStats& stats = server.Stats();
    EXPECT_EQ(stats.bytesReceived, request.size() + pair.size());
    EXPECT_EQ(stats.bytesSent, 2 * reply.size());
    // The second reply was followed by nothing.
    EXPECT_EQ(stats.turnaroundsUs.size(), 1u);
    EXPECT_EQ(stats.turnaroundsDropped, 0u);
    EXPECT_GE(stats.lastByteOutUs, stats.firstByteInUs);
    EXPECT_GT(stats.firstByteInUs, 0u);
    ::close(stop[0]);
    ::close(stop[1]);
}

TEST(DevsimWireTime, DelaysAddUpToTheWireTimeInWholeMilliseconds) {
    EXPECT_EQ(WireTimeUs(11520, 115200), 1'000'000u);
    EXPECT_EQ(WireTimeUs(6, 115200), 520u);
    EXPECT_EQ(WireTimeUs(100, 0), 0u) << "no emulation";

    WireTimeAccumulator wire(115200);
    uint64_t handedOutMs = 0;
    for (int i = 0; i < 100; ++i)
        handedOutMs += wire.AddBytes(6);  // 520 us each: 52 ms in all
    EXPECT_EQ(handedOutMs, 52u);
    EXPECT_EQ(wire.DueUs(), 52'000u);
}

TEST(DevsimWireTime, OversleptTimeIsTakenOffTheNextDelays) {
    WireTimeAccumulator wire(115200);
    EXPECT_EQ(wire.AddBytes(288), 25u);  // 25 ms
    wire.Overslept(7'500);               // that sleep took 32.5 ms
    EXPECT_EQ(wire.AddBytes(72), 0u);    // 6.25 ms of wire time, all owed already
    EXPECT_EQ(wire.AddBytes(72), 5u);    // the rest of the debt paid: 12.5 - 7.5
    EXPECT_EQ(wire.DueUs(), 37'500u);    // the wire time itself is unchanged

    WireTimeAccumulator exact(115200);
    exact.Overslept(0);
    EXPECT_EQ(exact.AddBytes(288), 25u);
}

}  // namespace
}  // namespace kvr::devsim

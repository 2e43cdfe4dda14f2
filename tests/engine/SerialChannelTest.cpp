// The production channel over a pseudo-terminal: the serial port component underneath, with
// the link's settings. Data is always in place before a read, so no test waits on a time-out
// to pass.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <string>

#include "Exception.h"
#include "SerialChannel.h"

namespace kvr {
namespace {

// The far end of a pseudo-terminal, standing for the device.
class PtyDevice {
public:
    PtyDevice() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0)
            return;
        char name[128] = {};
        if (::ptsname_r(master_, name, sizeof name) == 0)
            path_ = name;
    }
    ~PtyDevice() {
        if (master_ >= 0)
            ::close(master_);
    }
    const std::string& Path() const { return path_; }
    void Send(const std::string& bytes) const {
        ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Blocks until `count` bytes came from the host.
    std::string Receive(size_t count) const {
        std::string got;
        while (got.size() < count) {
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, -1) <= 0)
                break;
            char buffer[256];
            const ssize_t n = ::read(master_, buffer, std::min(sizeof buffer, count - got.size()));
            if (n <= 0)
                break;
            got.append(buffer, static_cast<size_t>(n));
        }
        return got;
    }

private:
    int master_ = -1;
    std::string path_;
};

LinkSettings LinkOn(const std::string& port) {
    LinkSettings s;
    s.portName = port;
    s.setupString = "115200,n,8,1";
    s.readInterval = 1000;
    s.readTotalMultiplier = 50;
    s.readTotalConstant = 5000;
    s.writeTotalMultiplier = 250;
    s.writeTotalConstant = 500;
    return s;
}

TEST(SerialChannel, CarriesBytesBothWays) {
    PtyDevice device;
    ASSERT_FALSE(device.Path().empty());
    SerialChannel channel;
    channel.Connect(LinkOn(device.Path()));
    ASSERT_TRUE(channel.Connected());

    const uint8_t frame[] = {0x55, 0x01, 0x02, 0x00, 0x01, 0x02};
    EXPECT_EQ(channel.Write(frame, sizeof frame), sizeof frame);
    EXPECT_EQ(device.Receive(sizeof frame), std::string("\x55\x01\x02\x00\x01\x02", 6));

    device.Send(std::string("\x55\x01\x10\x00", 4));
    std::array<uint8_t, 8> buffer{};
    EXPECT_EQ(channel.Read(buffer.data(), 4), 4u);
    EXPECT_EQ(buffer[0], 0x55);
    EXPECT_EQ(buffer[2], 0x10);

    channel.Disconnect();
    EXPECT_FALSE(channel.Connected());
}

TEST(SerialChannel, PurgeDropsWhatHasArrived) {
    PtyDevice device;
    SerialChannel channel;
    channel.Connect(LinkOn(device.Path()));
    // Lower the read's wait so the empty read below ends soon; its length is not checked.
    channel.SetReadTotalConstant(0);
    device.Send("stale");
    // The bytes are in the host's queue once a read could see them: read one to be sure.
    std::array<uint8_t, 8> buffer{};
    ASSERT_EQ(channel.Read(buffer.data(), 1), 1u);
    channel.PurgeReceive();
    device.Send("N");
    ASSERT_EQ(channel.Read(buffer.data(), 1), 1u);
    EXPECT_EQ(buffer[0], 'N');
}

TEST(SerialChannel, PortThatDoesNotExistThrowsAndStaysClosed) {
    SerialChannel channel;
    try {
        channel.Connect(LinkOn("/dev/kvr-no-such-port"));
        FAIL() << "Connect did not throw";
    } catch (const EFOpenError& e) {
        EXPECT_EQ(std::string(e.what()), "SerialComm open port error, 2");
    }
    EXPECT_FALSE(channel.Connected());
    std::array<uint8_t, 4> buffer{1, 2, 3, 4};
    EXPECT_EQ(channel.Read(buffer.data(), 4), 0u);
    EXPECT_EQ(channel.Write(buffer.data(), 4), 0u);
    EXPECT_THROW(channel.PurgeReceive(), EInOutError);
    channel.SetReadTotalConstant(0);  // only stored while closed
}

TEST(SerialChannel, FactoryMakesAFreshChannelEachTime) {
    SerialChannelFactory factory;
    auto a = factory.Create();
    auto b = factory.Create();
    ASSERT_NE(a, nullptr);
    EXPECT_NE(a.get(), b.get());
    EXPECT_FALSE(a->Connected());
}

}  // namespace
}  // namespace kvr

// What the POSIX half adds: exclusive opening, the line settings termios receives, the
// settings restored on close, and the errno codes in the messages.
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "PtyBaud.h"
#include "PtyDevice.h"
#include "SerialComm.h"

namespace kvr::test {
namespace {

termios SlaveSettings(const PtyDevice& device) {
    termios t{};
    EXPECT_EQ(::tcgetattr(device.MasterFd(), &t), 0);
    return t;
}

std::string MessageOf(TSerialComm& c) {
    try {
        c.Connect();
    } catch (const Exception& e) {
        return e.Message();
    }
    return "(connected)";
}

class SerialCommPosix : public ::testing::Test {
protected:
    PtyDevice device_;
    TSerialComm port_;
};

TEST_F(SerialCommPosix, SecondComponentOnTheSamePortIsRefused) {
    port_.FSetPortName(device_.PortName());
    port_.Connect();
    TSerialComm second;
    second.FSetPortName(device_.PortName());
    // flock refuses even root, whom TIOCEXCL lets through.
    const std::string message = MessageOf(second);
    EXPECT_TRUE(message == "SerialComm open port error, " + std::to_string(EWOULDBLOCK) ||
                message == "SerialComm open port error, " + std::to_string(EBUSY))
        << message;
    EXPECT_FALSE(second.FGetConnected());
    EXPECT_TRUE(port_.FGetConnected());
}

TEST_F(SerialCommPosix, ExclusiveUseEndsWithDisconnect) {
    port_.FSetPortName(device_.PortName());
    port_.Connect();
    port_.Disconnect();
    TSerialComm second;
    second.FSetPortName(device_.PortName());
    EXPECT_EQ(MessageOf(second), "(connected)");
}

TEST_F(SerialCommPosix, RawLineWithTheSetupStringsSpeedAndFraming) {
    port_.FSetPortName(device_.PortName());
    port_.FSetSetupString("115200,n,8,1");
    port_.Connect();
    termios t = SlaveSettings(device_);
    EXPECT_EQ(::cfgetospeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(::cfgetispeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_NE(t.c_cflag & CREAD, 0u);
    EXPECT_NE(t.c_cflag & CLOCAL, 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL | INLCR | ISTRIP), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);

    port_.FSetSetupString("9600,N,8,2");
    t = SlaveSettings(device_);
    EXPECT_EQ(::cfgetospeed(&t), static_cast<speed_t>(B9600));
    EXPECT_NE(t.c_cflag & CSTOPB, 0u);
}

TEST_F(SerialCommPosix, RawLinePassesEveryByteValueUnchanged) {
    port_.FSetPortName(device_.PortName());
    port_.FSetSetupString("115200,n,8,1");
    port_.FSetReadTotalTimeoutConstant(5000);
    port_.FSetWriteTotalTimeoutConstant(5000);
    port_.Connect();
    std::string all;
    for (int i = 0; i < 256; ++i) {
        all.push_back(static_cast<char>(i));
    }
    device_.Send(all);
    std::vector<char> in(256);
    ASSERT_EQ(port_.Read(in.data(), 256), 256u);
    EXPECT_EQ(std::string(in.begin(), in.end()), all);
    ASSERT_EQ(port_.Write(all.data(), 256), 256u);
    EXPECT_EQ(device_.Receive(256, kArrivalMs), all);
}

TEST_F(SerialCommPosix, RateWithoutAConstantGoesThroughTheNumericInterface) {
    port_.FSetPortName(device_.PortName());
    port_.FSetSetupString("250000,n,8,1");
    port_.Connect();
    uint32_t baud = 0;
    ASSERT_TRUE(SlaveOutputBaud(device_.MasterFd(), baud));
    EXPECT_EQ(baud, 250000u);
}

TEST_F(SerialCommPosix, SettingsTheLineDoesNotKeepAreRefused) {
    // A pseudo-terminal always runs 8 data bits without parity; the read-back notices.
    port_.FSetPortName(device_.PortName());
    port_.FSetSetupString("9600,e,7,1");
    EXPECT_EQ(MessageOf(port_), "SerialComm apply DCB error, code " + std::to_string(EINVAL));
    EXPECT_FALSE(port_.FGetConnected());
}

TEST_F(SerialCommPosix, StopBitsThatDoNotFitTheCharacterSizeAreRefused) {
    port_.FSetPortName(device_.PortName());
    for (const char* setup : {"9600,n,8,1.5", "9600,n,5,2"}) {
        port_.FSetSetupString(setup);
        EXPECT_EQ(MessageOf(port_), "SerialComm apply DCB error, code " + std::to_string(EINVAL))
            << setup;
    }
}

TEST_F(SerialCommPosix, RejectedSetupStringCarriesEinval) {
    port_.FSetPortName(device_.PortName());
    port_.FSetSetupString("");
    EXPECT_EQ(MessageOf(port_), "SerialComm build DCB error, code " + std::to_string(EINVAL));
}

TEST_F(SerialCommPosix, DisconnectRestoresTheEarlierSettings) {
    termios before = SlaveSettings(device_);
    ::cfsetospeed(&before, B4800);
    ::cfsetispeed(&before, B4800);
    before.c_lflag |= ICANON | ECHO;
    ASSERT_EQ(::tcsetattr(device_.MasterFd(), TCSANOW, &before), 0);
    before = SlaveSettings(device_);

    port_.FSetPortName(device_.PortName());
    port_.Connect();
    EXPECT_EQ(SlaveSettings(device_).c_lflag & ICANON, 0u);
    port_.Disconnect();

    const termios after = SlaveSettings(device_);
    EXPECT_EQ(::cfgetospeed(&after), static_cast<speed_t>(B4800));
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
}

TEST(SerialCommPosixOpen, BareNameIsLookedUpInDev) {
    TSerialComm c;
    c.FSetPortName("kvr-no-such-tty");
    EXPECT_EQ(MessageOf(c), "SerialComm open port error, " + std::to_string(ENOENT));
    // /dev/ptmx is a terminal any machine has; opening it makes a fresh pseudo-terminal.
    c.FSetPortName("ptmx");
    EXPECT_EQ(MessageOf(c), "(connected)");
}

TEST(SerialCommPosixOpen, AFileThatIsNoTerminalIsRefused) {
    char path[] = "/tmp/kvr-serial-notatty-XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    ::close(fd);
    TSerialComm c;
    c.FSetPortName(path);
    EXPECT_EQ(MessageOf(c), "SerialComm open port error, " + std::to_string(ENOTTY));
    ::unlink(path);
}

TEST(SerialCommPosixOpen, EmptyNameOpensTheBareDevDirectoryAndFails) {
    TSerialComm c;
    EXPECT_EQ(MessageOf(c), "SerialComm open port error, " + std::to_string(EISDIR));
}

TEST_F(SerialCommPosix, LowLatencyRefusalIsNoFailure) {
    port_.FSetPortName(device_.PortName());
    EXPECT_TRUE(port_.RequestLowLatency());
    port_.Connect();
    EXPECT_TRUE(port_.FGetConnected());
    EXPECT_FALSE(port_.LowLatencyGranted()) << "a pseudo-terminal has no such mode";
    port_.Disconnect();
    port_.SetRequestLowLatency(false);
    port_.Connect();
    EXPECT_FALSE(port_.LowLatencyGranted());
}

TEST_F(SerialCommPosix, ModemLinesOtherThanDtrFailWithTheSystemText) {
    port_.FSetPortName(device_.PortName());
    port_.Connect();
    try {
        port_.Escape(TSerialComm::EscapeFunc::SetRts);
        FAIL() << "RTS on a pseudo-terminal succeeded";
    } catch (const EInOutError& e) {
        const std::string expected = std::generic_category().message(ENOTTY);
        const std::string alternative = std::generic_category().message(EINVAL);
        EXPECT_TRUE(e.Message() == expected || e.Message() == alternative) << e.Message();
    }
    EXPECT_TRUE(port_.FGetConnected());
    EXPECT_NO_THROW(port_.Escape(TSerialComm::EscapeFunc::SetBreak));
    EXPECT_NO_THROW(port_.Escape(TSerialComm::EscapeFunc::ClrBreak));
}

TEST_F(SerialCommPosix, UnknownEscapeCodeIsRefused) {
    port_.FSetPortName(device_.PortName());
    port_.Connect();
    EXPECT_THROW(port_.Escape(static_cast<TSerialComm::EscapeFunc>(77)), EInOutError);
    EXPECT_TRUE(port_.FGetConnected());
}

TEST_F(SerialCommPosix, WriteThatTheLineCannotTakeReportsWhatWentOut) {
    port_.FSetPortName(device_.PortName());
    port_.FSetWriteTotalTimeoutConstant(200);
    port_.Connect();
    // Far more than a pseudo-terminal buffers while nobody reads the other end.
    const std::vector<char> big(4 * 1024 * 1024, 'w');
    const uint32_t written = port_.Write(big.data(), static_cast<uint32_t>(big.size()));
    EXPECT_GT(written, 0u);
    EXPECT_LT(written, big.size());
    EXPECT_EQ(device_.Receive(big.size(), kQuietMs).size(), written);
}

// A /dev/serial/by-id name is a link to the node: the port opens through it, and the lock
// holds for the device, not for the name.
TEST_F(SerialCommPosix, PortOpensThroughALinkAndStaysExclusiveUnderItsOtherName) {
    char pattern[] = "/tmp/kvr-by-id-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::filesystem::path dir = pattern;
    struct Removal {
        std::filesystem::path dir;
        ~Removal() {
            std::error_code ec;
            std::filesystem::remove_all(dir, ec);
        }
    } removal{dir};
    const std::string link = (dir / "usb-KVR_Sim_0001-if00-port0").string();
    std::filesystem::create_symlink(device_.PortName(), link);

    port_.FSetPortName(link);
    port_.Connect();
    ASSERT_EQ(port_.Write("hello", 5), 5u);
    EXPECT_EQ(device_.Receive(5, kArrivalMs), "hello");
    TSerialComm byNode;
    byNode.FSetPortName(device_.PortName());
    EXPECT_NE(MessageOf(byNode), "(connected)");
}

TEST_F(SerialCommPosix, DefaultWriteTakesWhatFitsAtOnce) {
    port_.FSetPortName(device_.PortName());
    port_.Connect();
    ASSERT_EQ(port_.Write("hello", 5), 5u);
    EXPECT_EQ(device_.Receive(5, kArrivalMs), "hello");
}

}  // namespace
}  // namespace kvr::test

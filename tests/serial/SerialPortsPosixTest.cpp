// The POSIX port list: which /sys/class/tty entries count as serial ports, their order, and
// the extra paths from the environment.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "PtyDevice.h"
#include "SerialPorts.h"
#include "SerialPortsScan.h"

namespace kvr::test {
namespace {

namespace fs = std::filesystem;

// A made-up sysfs class directory and /dev beside it.
class FakeTtyTree {
public:
    FakeTtyTree() {
        char pattern[] = "/tmp/kvr-sysfs-XXXXXX";
        root_ = ::mkdtemp(pattern);
        fs::create_directories(Sys());
        fs::create_directories(Dev());
        fs::create_directories(root_ / "drivers" / "serial8250");
        fs::create_directories(root_ / "drivers" / "usb-serial");
    }
    ~FakeTtyTree() {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    std::string Sys() const { return (root_ / "class-tty").string(); }
    std::string Dev() const { return (root_ / "dev").string(); }
    std::string Node(const std::string& name) const { return (root_ / "dev" / name).string(); }

    // A tty entry; driver empty = no device/driver link; type < 0 = no type attribute.
    void Add(const std::string& name, const std::string& driver, int type, bool node = true) {
        const fs::path entry = fs::path(Sys()) / name;
        fs::create_directories(entry);
        if (!driver.empty()) {
            fs::create_directories(entry / "device");
            fs::create_directory_symlink(root_ / "drivers" / driver, entry / "device" / "driver");
        }
        if (type >= 0) {
            std::ofstream(entry / "type") << type << "\n";
        }
        if (node) {
            std::ofstream(Dev() + "/" + name);
        }
    }

private:
    fs::path root_;
};

std::vector<std::string> PortNames(const std::vector<SerialPortEntry>& ports) {
    std::vector<std::string> names;
    for (const auto& p : ports) {
        names.push_back(p.portName);
    }
    return names;
}

TEST(SerialPortScan, OffersDevicesWithADriverInNaturalOrder) {
    FakeTtyTree tree;
    tree.Add("ttyUSB0", "usb-serial", -1);
    tree.Add("ttyS10", "serial8250", 4);
    tree.Add("ttyS2", "serial8250", 4);
    tree.Add("ttyS0", "serial8250", 4);
    tree.Add("ttyACM1", "usb-serial", -1);
    tree.Add("tty0", "", -1);     // a virtual console: no driver
    tree.Add("console", "", -1);  // likewise
    const auto ports = ScanSerialPorts(tree.Sys(), tree.Dev(), nullptr);
    EXPECT_EQ(PortNames(ports), (std::vector<std::string>{tree.Node("ttyACM1"), tree.Node("ttyS0"),
                                                          tree.Node("ttyS2"), tree.Node("ttyS10"),
                                                          tree.Node("ttyUSB0")}));
    ASSERT_EQ(ports.size(), 5u);
    EXPECT_EQ(ports[0].deviceName, "ttyACM1");
}

TEST(SerialPortScan, LeavesOutSlotsWithoutAUartAndEntriesWithoutANode) {
    FakeTtyTree tree;
    tree.Add("ttyS0", "serial8250", 4);
    tree.Add("ttyS1", "serial8250", 0);  // PORT_UNKNOWN: nothing behind it
    tree.Add("ttyS3", "serial8250", 0);
    tree.Add("ttyUSB3", "usb-serial", -1, /*node=*/false);
    EXPECT_EQ(PortNames(ScanSerialPorts(tree.Sys(), tree.Dev(), nullptr)),
              std::vector<std::string>{tree.Node("ttyS0")});
}

TEST(SerialPortScan, ExtraPathsFollowInTheirOwnOrder) {
    FakeTtyTree tree;
    tree.Add("ttyS0", "serial8250", 4);
    const std::string extra =
        ":/tmp/kvr-z::/tmp/kvr-a:" + tree.Node("ttyS0") + ":/tmp/kvr-z:/tmp/kvr-b:";
    const auto ports = ScanSerialPorts(tree.Sys(), tree.Dev(), extra.c_str());
    EXPECT_EQ(PortNames(ports), (std::vector<std::string>{tree.Node("ttyS0"), "/tmp/kvr-z",
                                                          "/tmp/kvr-a", "/tmp/kvr-b"}));
    EXPECT_EQ(ports[1].deviceName, "/tmp/kvr-z");
}

TEST(SerialPortScan, UnreadableSysfsLeavesOnlyTheExtraPaths) {
    EXPECT_EQ(PortNames(ScanSerialPorts("/nonexistent-kvr-sys", "/dev", "/tmp/kvr-p")),
              std::vector<std::string>{"/tmp/kvr-p"});
    EXPECT_TRUE(ScanSerialPorts("/nonexistent-kvr-sys", "/dev", "").empty());
    EXPECT_TRUE(ScanSerialPorts("/nonexistent-kvr-sys", "/dev", ":::").empty());
}

TEST(SerialPortScan, NaturalOrderComparesDigitRunsByValue) {
    EXPECT_TRUE(NaturalLess("/dev/ttyS2", "/dev/ttyS10"));
    EXPECT_FALSE(NaturalLess("/dev/ttyS10", "/dev/ttyS2"));
    EXPECT_TRUE(NaturalLess("/dev/ttyACM0", "/dev/ttyS0"));
    EXPECT_TRUE(NaturalLess("/dev/ttyS0", "/dev/ttyUSB0"));
    EXPECT_TRUE(NaturalLess("/dev/ttyS", "/dev/ttyS0"));
    EXPECT_TRUE(NaturalLess("/dev/ttyUSB1", "/dev/ttyUSB1a"));
    EXPECT_TRUE(NaturalLess("/dev/ttyS99999999999999999999", "/dev/ttyS100000000000000000000"));
    // Equal by value but different text: a strict order all the same.
    EXPECT_NE(NaturalLess("/dev/ttyS01", "/dev/ttyS1"), NaturalLess("/dev/ttyS1", "/dev/ttyS01"));
    EXPECT_FALSE(NaturalLess("/dev/ttyS1", "/dev/ttyS1"));
}

// Sets an environment variable for one test and puts the old value back.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        if (const char* old = ::getenv(name)) {
            old_ = old;
            had_ = true;
        }
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (had_) {
            ::setenv(name_, old_.c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }

private:
    const char* name_;
    std::string old_;
    bool had_ = false;
};

TEST(SerialPortList, EnvironmentOffersASimulatedDeviceThatThePortOpens) {
    PtyDevice device;
    ScopedEnv env(kExtraPortsEnvVar, "/tmp/kvr-never-there:" + device.PortName());
    const auto ports = EnumerateSerialPorts();
    ASSERT_GE(ports.size(), 2u);
    EXPECT_EQ(ports[ports.size() - 2].portName, "/tmp/kvr-never-there");
    EXPECT_EQ(ports.back().portName, device.PortName());
    EXPECT_EQ(PortNames(EnumerateSerialPorts()), PortNames(ports)) << "the order is stable";
    for (size_t i = 0; i + 2 < ports.size(); ++i) {
        EXPECT_EQ(ports[i].portName.rfind("/dev/tty", 0), 0u) << ports[i].portName;
    }
}

TEST(SerialPortList, WithoutTheEnvironmentOnlySystemDevicesAreListed) {
    ScopedEnv env(kExtraPortsEnvVar, "");
    for (const auto& p : EnumerateSerialPorts()) {
        EXPECT_EQ(p.portName, "/dev/" + p.deviceName);
        EXPECT_TRUE(fs::exists(p.portName)) << p.portName;
    }
}

}  // namespace
}  // namespace kvr::test

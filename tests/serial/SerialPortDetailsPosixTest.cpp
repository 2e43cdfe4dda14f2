// What the POSIX port list says about each port: the USB device found above the port's sysfs
// device, the driver, and the /dev/serial/by-id link, over a made-up tree laid out as Linux
// lays out /sys and /dev.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "SerialPorts.h"
#include "SerialPortsScan.h"

namespace kvr::test {
namespace {

namespace fs = std::filesystem;

// root/sys/{class/tty,devices,bus} and root/dev/serial/by-id, linked as the kernel and udev
// link them (relative targets).
class FakeSysfs {
public:
    FakeSysfs() {
        char pattern[] = "/tmp/kvr-sysfs-XXXXXX";
        root_ = ::mkdtemp(pattern);
        fs::create_directories(Sys());
        fs::create_directories(ById());
    }
    ~FakeSysfs() {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    std::string Sys() const { return (root_ / "sys" / "class" / "tty").string(); }
    std::string Dev() const { return (root_ / "dev").string(); }
    std::string ById() const { return (root_ / "dev" / "serial" / "by-id").string(); }
    std::string Node(const std::string& name) const { return Dev() + "/" + name; }
    fs::path Root() const { return root_; }

    // A directory below sys/devices with the given files, written exactly as given.
    fs::path Device(const std::string& path,
                    const std::map<std::string, std::string>& files = {}) const {
        const fs::path dir = root_ / "sys" / "devices" / path;
        fs::create_directories(dir);
        for (const auto& [name, text] : files) {
            std::ofstream(dir / name, std::ios::binary) << text;
        }
        return dir;
    }

    // A tty of the class whose device is `device`, bound to `driver`, with a node in dev.
    void AddTty(const std::string& name, const fs::path& device, const std::string& driver,
                int type = -1) {
        const fs::path driverDir = root_ / "sys" / "bus" / "any" / "drivers" / driver;
        fs::create_directories(driverDir);
        fs::create_directory_symlink(fs::relative(driverDir, device), device / "driver");
        const fs::path ttyDir = device / "tty" / name;
        fs::create_directories(ttyDir);
        fs::create_directory_symlink("../../../" + device.filename().string(), ttyDir / "device");
        if (type >= 0) {
            std::ofstream(ttyDir / "type") << type << "\n";
        }
        fs::create_directory_symlink(fs::relative(ttyDir, Sys()), fs::path(Sys()) / name);
        std::ofstream(Node(name)).flush();
    }

    void AddByIdLink(const std::string& name, const std::string& target) const {
        fs::create_symlink(target, fs::path(ById()) / name);
    }

private:
    fs::path root_;
};

const std::map<std::string, std::string> kFtdiAttributes = {
    {"idVendor", "0403\n"},     {"idProduct", "6001\n"},          {"serial", "A9X1B2C3\n"},
    {"manufacturer", "FTDI\n"}, {"product", "FT232R USB UART\n"},
};

std::string UsbText(const SerialPortDetails& d) {
    return d.usbVendorId + "|" + d.usbProductId + "|" + d.usbSerialNumber + "|" + d.manufacturer +
           "|" + d.product;
}

TEST(SerialPortDetails, UsbAdapterWithEveryAttributeAndItsStableLink) {
    FakeSysfs tree;
    const fs::path usb = tree.Device("pci0000:00/0000:00:14.0/usb1/1-2", kFtdiAttributes);
    tree.AddTty("ttyUSB0", tree.Device("pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/ttyUSB0"),
                "ftdi_sio");
    tree.AddByIdLink("usb-FTDI_FT232R_USB_UART_A9X1B2C3-if00-port0", "../../ttyUSB0");

    const auto ports = DescribeScannedPorts(tree.Sys(), tree.Dev(), tree.ById(), nullptr);
    ASSERT_EQ(ports.size(), 1u);
    const SerialPortDetails& d = ports[0];
    EXPECT_EQ(d.portName, tree.Node("ttyUSB0"));
    EXPECT_EQ(d.deviceName, "ttyUSB0");
    EXPECT_EQ(d.byIdPath, tree.ById() + "/usb-FTDI_FT232R_USB_UART_A9X1B2C3-if00-port0");
    EXPECT_EQ(UsbText(d), "0403|6001|A9X1B2C3|FTDI|FT232R USB UART");
    EXPECT_EQ(d.driver, "ftdi_sio");
}

TEST(SerialPortDetails, MissingOddAndOverLongAttributesReadAsEmpty) {
    FakeSysfs tree;
    const std::string longest(kMaxAttributeBytes - 1, 'p');
    tree.Device("pci0000:00/usb1/1-3",
                {{"idVendor", "2341"},  // no newline: kept whole
                 {"idProduct", "0043\n\n"},
                 {"manufacturer", std::string(kMaxAttributeBytes, 'm') + "\n"},
                 {"product", longest + "\n"}});
    // Where nothing would ever come: opened, it would block.
    ASSERT_EQ(::mkfifo((tree.Root() / "sys/devices/pci0000:00/usb1/1-3/serial").c_str(), 0600), 0);
    tree.AddTty("ttyACM0", tree.Device("pci0000:00/usb1/1-3/1-3:1.0"), "cdc_acm");
    // Half a USB device's ids.
    tree.Device("pci0000:00/usb1/1-4", {{"idVendor", "067b\n"}});
    tree.AddTty("ttyUSB1", tree.Device("pci0000:00/usb1/1-4/1-4:1.0/ttyUSB1"), "pl2303");

    const auto ports = DescribeScannedPorts(tree.Sys(), tree.Dev(), tree.ById(), nullptr);
    ASSERT_EQ(ports.size(), 2u);
    const SerialPortDetails& acm = ports[0];
    EXPECT_EQ(acm.deviceName, "ttyACM0");
    EXPECT_EQ(acm.usbVendorId, "2341");
    EXPECT_EQ(acm.usbProductId, "0043\n") << "one newline trimmed";
    EXPECT_EQ(acm.usbSerialNumber, "") << "a FIFO, not a file";
    EXPECT_EQ(acm.manufacturer, "") << "one byte over the bound";
    EXPECT_EQ(acm.product, longest) << "exactly at the bound";
    EXPECT_EQ(acm.driver, "cdc_acm");
    EXPECT_EQ(acm.byIdPath, "");

    const SerialPortDetails& pl = ports[1];
    EXPECT_EQ(pl.deviceName, "ttyUSB1");
    EXPECT_EQ(UsbText(pl), "||||") << "idVendor without idProduct is no USB device";
    EXPECT_EQ(pl.driver, "pl2303");
}

TEST(SerialPortDetails, PortOffUsbHasItsDriverOnlyAndTheWalkStaysInsideSysfs) {
    FakeSysfs tree;
    // Ids above the sysfs root, where a walk without a bound would find them.
    std::ofstream(tree.Root() / "idVendor") << "dead\n";
    std::ofstream(tree.Root() / "idProduct") << "beef\n";
    std::ofstream(tree.Root() / "sys" / "idVendor") << "dead\n";
    std::ofstream(tree.Root() / "sys" / "idProduct") << "beef\n";
    tree.AddTty("ttyS0", tree.Device("platform/serial8250"), "serial8250", 4);
    tree.AddTty("ttyS1", tree.Device("platform/serial8250.1"), "serial8250", 0);  // no UART

    const auto ports = DescribeScannedPorts(tree.Sys(), tree.Dev(), tree.ById(), nullptr);
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(ports[0].portName, tree.Node("ttyS0"));
    EXPECT_EQ(UsbText(ports[0]), "||||");
    EXPECT_EQ(ports[0].driver, "serial8250");
    EXPECT_EQ(ports[0].byIdPath, "");
}

TEST(SerialPortDetails, EnvironmentPortsHaveTheirNamesAndAStableLinkOnly) {
    FakeSysfs tree;
    tree.Device("usb1/1-2", kFtdiAttributes);
    tree.AddTty("ttyUSB0", tree.Device("usb1/1-2/1-2:1.0/ttyUSB0"), "ftdi_sio");
    const std::string pty = (tree.Root() / "pts-7").string();
    std::ofstream(pty).flush();
    // Links in no order of their own; the first in natural order is taken when two fit.
    tree.AddByIdLink("usb-sim-if10", pty);
    tree.AddByIdLink("usb-sim-if9", "../../../pts-7");
    tree.AddByIdLink("usb-gone", "../../ttyUSB9");    // leads nowhere
    std::ofstream(tree.ById() + "/ttyUSB0").flush();  // a file, not a link, named like the port
    const std::string missing = (tree.Root() / "not-there").string();
    const std::string extra = pty + ":" + missing + ":" + tree.Node("ttyUSB0");

    const auto ports = DescribeScannedPorts(tree.Sys(), tree.Dev(), tree.ById(), extra.c_str());
    std::vector<std::string> names;
    for (const auto& p : ports) {
        names.push_back(p.portName);
    }
    ASSERT_EQ(names, (std::vector<std::string>{tree.Node("ttyUSB0"), pty, missing}));

    EXPECT_EQ(ports[0].byIdPath, "") << "the file of the same name is not a link";
    EXPECT_EQ(ports[0].driver, "ftdi_sio");
    EXPECT_EQ(ports[1].deviceName, pty);
    EXPECT_EQ(ports[1].byIdPath, tree.ById() + "/usb-sim-if9");
    EXPECT_EQ(UsbText(ports[1]) + ports[1].driver, "||||");
    EXPECT_EQ(ports[2].byIdPath, "");
    EXPECT_EQ(UsbText(ports[2]) + ports[2].driver, "||||");
}

}  // namespace
}  // namespace kvr::test

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "SerialPorts.h"
#include "SerialPortsScan.h"

namespace kvr {

namespace {

namespace fs = std::filesystem;

constexpr const char* kSysClassTty = "/sys/class/tty";
constexpr const char* kDevDir = "/dev";
constexpr const char* kByIdDir = "/dev/serial/by-id";
constexpr char kExtraPortsSeparator = ':';
// serial_core's "type" attribute: 0 (PORT_UNKNOWN) is a slot without a UART behind it, such
// as the serial8250 driver's placeholders ttyS1..ttyS31.
constexpr int kPortTypeUnknown = 0;

bool HasDriver(const fs::path& entry) {
    std::error_code ec;
    return fs::exists(entry / "device" / "driver", ec);
}

bool HasNoUart(const fs::path& entry) {
    std::ifstream in(entry / "type");
    int type = -1;
    return in >> type && type == kPortTypeUnknown;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

bool NaturalLess(const std::string& a, const std::string& b) {
    size_t i = 0;
    size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (IsDigit(a[i]) && IsDigit(b[j])) {
            size_t ie = i;
            size_t je = j;
            while (ie < a.size() && IsDigit(a[ie])) {
                ++ie;
            }
            while (je < b.size() && IsDigit(b[je])) {
                ++je;
            }
            // Compare by value without converting: skip leading zeros, then length, then text.
            size_t ia = i;
            size_t jb = j;
            while (ia + 1 < ie && a[ia] == '0') {
                ++ia;
            }
            while (jb + 1 < je && b[jb] == '0') {
                ++jb;
            }
            if (ie - ia != je - jb) {
                return ie - ia < je - jb;
            }
            const int cmp = a.compare(ia, ie - ia, b, jb, je - jb);
            if (cmp != 0) {
                return cmp < 0;
            }
            i = ie;
            j = je;
            continue;
        }
        if (a[i] != b[j]) {
            return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
        }
        ++i;
        ++j;
    }
    if ((a.size() - i) != (b.size() - j)) {
        return a.size() - i < b.size() - j;
    }
    return a < b;  // equal by value ("ttyS01" vs "ttyS1"): fall back to a strict order
}

namespace {

std::vector<SerialPortEntry> ScanSystemPorts(const std::string& sysClassTty,
                                             const std::string& devDir) {
    std::vector<SerialPortEntry> ports;
    std::error_code ec;
    for (fs::directory_iterator it(sysClassTty, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path entry = it->path();
        const std::string name = entry.filename().string();
        if (!HasDriver(entry) || HasNoUart(entry)) {
            continue;
        }
        const std::string node = (fs::path(devDir) / name).string();
        std::error_code nodeEc;
        if (!fs::exists(node, nodeEc)) {
            continue;
        }
        ports.push_back({name, node});
    }
    std::sort(ports.begin(), ports.end(), [](const SerialPortEntry& a, const SerialPortEntry& b) {
        return NaturalLess(a.portName, b.portName);
    });
    return ports;
}

void AppendExtraPorts(std::vector<SerialPortEntry>& ports, const char* extraPorts) {
    if (extraPorts == nullptr) {
        return;
    }
    const std::string list = extraPorts;
    size_t start = 0;
    while (start <= list.size()) {
        size_t stop = list.find(kExtraPortsSeparator, start);
        if (stop == std::string::npos) {
            stop = list.size();
        }
        const std::string path = list.substr(start, stop - start);
        const bool listed = std::any_of(ports.begin(), ports.end(), [&](const SerialPortEntry& p) {
            return p.portName == path;
        });
        if (!path.empty() && !listed) {
            ports.push_back({path, path});
        }
        start = stop + 1;
    }
}

// The file's text less its trailing newline; see kMaxAttributeBytes. Only regular files are
// opened: a FIFO or a device node in their place would block or never end.
std::string ReadAttribute(const fs::path& path) {
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) {
        return {};
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return {};
    }
    std::string text(kMaxAttributeBytes + 1, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    const auto got = static_cast<size_t>(in.gcount());
    if (got > kMaxAttributeBytes) {
        return {};
    }
    text.resize(got);
    if (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    return text;
}

// True when `path` lies strictly inside `root`; both canonical.
bool IsInside(const fs::path& path, const fs::path& root) {
    auto p = path.begin();
    for (auto r = root.begin(); r != root.end(); ++r, ++p) {
        if (p == path.end() || *p != *r) {
            return false;
        }
    }
    return p != path.end();
}

bool IsUsbDevice(const fs::path& dir) {
    std::error_code ec;
    return fs::is_regular_file(dir / "idVendor", ec) && fs::is_regular_file(dir / "idProduct", ec);
}

// Fills the driver and the USB attributes of the tty class entry `entry`. The device's own
// directory is a USB interface or a usb-serial port; the USB device is one or two levels up.
void DescribeSysfsDevice(const fs::path& entry, const fs::path& sysRoot, SerialPortDetails& d) {
    std::error_code ec;
    const fs::path driverLink = fs::read_symlink(entry / "device" / "driver", ec);
    if (!ec) {
        d.driver = driverLink.filename().string();
    }
    fs::path dir = fs::canonical(entry / "device", ec);
    if (ec) {
        return;
    }
    // Bounded by sysRoot so that a made-up tree never reads outside itself.
    for (; IsInside(dir, sysRoot); dir = dir.parent_path()) {
        if (IsUsbDevice(dir)) {
            d.usbVendorId = ReadAttribute(dir / "idVendor");
            d.usbProductId = ReadAttribute(dir / "idProduct");
            d.usbSerialNumber = ReadAttribute(dir / "serial");
            d.manufacturer = ReadAttribute(dir / "manufacturer");
            d.product = ReadAttribute(dir / "product");
            return;
        }
    }
}

struct ByIdLink {
    fs::path target;  // canonical
    std::string path;
};

// The links in byIdDir and what they lead to, in natural order of their names so that the
// first that fits a port is always the same one.
std::vector<ByIdLink> ReadByIdLinks(const std::string& byIdDir) {
    std::vector<ByIdLink> links;
    std::error_code ec;
    for (fs::directory_iterator it(byIdDir, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code linkEc;
        if (!it->is_symlink(linkEc)) {
            continue;
        }
        fs::path target = fs::canonical(it->path(), linkEc);
        if (!linkEc) {
            links.push_back({std::move(target), it->path().string()});
        }
    }
    std::sort(links.begin(), links.end(),
              [](const ByIdLink& a, const ByIdLink& b) { return NaturalLess(a.path, b.path); });
    return links;
}

std::string ByIdPathOf(const std::vector<ByIdLink>& links, const std::string& portName) {
    std::error_code ec;
    const fs::path node = fs::canonical(portName, ec);
    if (ec) {
        return {};
    }
    for (const ByIdLink& link : links) {
        if (link.target == node) {
            return link.path;
        }
    }
    return {};
}

}  // namespace

std::vector<SerialPortEntry> ScanSerialPorts(const std::string& sysClassTty,
                                             const std::string& devDir, const char* extraPorts) {
    std::vector<SerialPortEntry> ports = ScanSystemPorts(sysClassTty, devDir);
    AppendExtraPorts(ports, extraPorts);
    return ports;
}

std::vector<SerialPortDetails> DescribeScannedPorts(const std::string& sysClassTty,
                                                    const std::string& devDir,
                                                    const std::string& byIdDir,
                                                    const char* extraPorts) {
    std::vector<SerialPortEntry> ports = ScanSystemPorts(sysClassTty, devDir);
    const size_t systemCount = ports.size();
    AppendExtraPorts(ports, extraPorts);

    std::error_code ec;
    const fs::path sysRoot = fs::canonical(sysClassTty, ec).parent_path().parent_path();
    const std::vector<ByIdLink> links = ReadByIdLinks(byIdDir);
    std::vector<SerialPortDetails> details;
    details.reserve(ports.size());
    for (size_t i = 0; i < ports.size(); ++i) {
        SerialPortDetails d;
        d.portName = ports[i].portName;
        d.deviceName = ports[i].deviceName;
        d.byIdPath = ByIdPathOf(links, d.portName);
        if (i < systemCount && !sysRoot.empty()) {
            DescribeSysfsDevice(fs::path(sysClassTty) / d.deviceName, sysRoot, d);
        }
        details.push_back(std::move(d));
    }
    return details;
}

std::vector<SerialPortEntry> EnumerateSerialPorts() {
    return ScanSerialPorts(kSysClassTty, kDevDir, std::getenv(kExtraPortsEnvVar));
}

std::vector<SerialPortDetails> DescribeSerialPorts() {
    return DescribeScannedPorts(kSysClassTty, kDevDir, kByIdDir, std::getenv(kExtraPortsEnvVar));
}

}  // namespace kvr

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

std::vector<SerialPortEntry> ScanSerialPorts(const std::string& sysClassTty,
                                             const std::string& devDir, const char* extraPorts) {
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

    if (extraPorts != nullptr) {
        const std::string list = extraPorts;
        size_t start = 0;
        while (start <= list.size()) {
            size_t stop = list.find(kExtraPortsSeparator, start);
            if (stop == std::string::npos) {
                stop = list.size();
            }
            const std::string path = list.substr(start, stop - start);
            const bool listed =
                std::any_of(ports.begin(), ports.end(),
                            [&](const SerialPortEntry& p) { return p.portName == path; });
            if (!path.empty() && !listed) {
                ports.push_back({path, path});
            }
            start = stop + 1;
        }
    }
    return ports;
}

std::vector<SerialPortEntry> EnumerateSerialPorts() {
    return ScanSerialPorts(kSysClassTty, kDevDir, std::getenv(kExtraPortsEnvVar));
}

}  // namespace kvr

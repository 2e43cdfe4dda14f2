// The loaded update package, as the window holds it and a run receives it.
#pragma once

#include <QByteArray>
#include <QString>
#include <array>
#include <cstdint>
#include <map>
#include <vector>

namespace kvr {

struct PackagePage {
    std::array<uint8_t, 8> pageHeader{};  // the first 8 bytes of the page, as read
    QByteArray pageData;                  // pageSize - 8 bytes (implicitly shared on copy)
};

// Pages by index, 0 … lastPageIndex, no gaps.
using PageMap = std::map<int32_t, PackagePage>;

struct UpdatePackage {
    uint32_t pageSize = 0;
    uint8_t hwPrefixMajor = 0;
    uint16_t hwPrefixMinor = 0;
    std::vector<uint16_t> hardwareVersions;  // file order
    std::vector<uint16_t> programVersions;   // file order
    PageMap pages;
    // SHA-256 of the very bytes the pages were cut from, lowercase hex: what a record names as
    // the package flashed, whatever the file holds by then.
    QString sha256;
};

}  // namespace kvr

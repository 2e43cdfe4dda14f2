// Builds update package files for tests, the demo and the simulated device. The product
// itself never writes packages; this lives in the test support only.
//
// A built package is well formed: the header block with "BOOT_KVR", both version lists inside
// page 0, pageCount full pages, optional trailing bytes, and the XOR checksum byte. Page
// contents (page headers and data of pages 1..n-1, and page 0 after the lists) are
// pseudo-random from `seed`, identical on every platform and run. Defective files are made by
// editing a built one with the helpers below and re-stamping the checksum where wanted.
#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace kvr::test {

struct PackageOptions {
    uint32_t pageCount = 4;   // lastPageIndex + 1, 1 … 65536
    uint16_t pageSize = 256;  // bytes per page, its 8-byte page header included
    uint8_t hwPrefixMajor = 17;
    uint16_t hwPrefixMinor = 2;
    std::vector<uint16_t> hardwareVersions{1};
    std::vector<uint16_t> programVersions{0x1203};
    uint32_t seed = 1;
    QByteArray trailing;  // bytes between the last page and the checksum byte
};

// Raised for options that cannot be laid out (lists larger than page 0, no pages …).
class PackageOptionsError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// Byte offsets of the header fields that tests edit.
inline constexpr int kSignatureEndOffset = 8;  // the zero byte after "BOOT_KVR"
inline constexpr int kLastPageIndexOffset = 12;
inline constexpr int kPageSizeOffset = 14;
inline constexpr int kHwPrefixMinorOffset = 18;
inline constexpr int kHwPrefixMajorOffset = 21;
inline constexpr int kHardwareCountOffset = 22;
inline constexpr int kProgramCountOffset = 24;
inline constexpr int kVersionListsOffset = 26;

// The smallest page that holds the fixed header, both lists and the 2-byte field after them.
int MinimumPageSize(size_t hardwareCount, size_t programCount);

// The whole file, checksum included. Throws PackageOptionsError.
QByteArray BuildPackage(const PackageOptions& options);

// XOR of every byte but the last.
uint8_t ComputeChecksum(const QByteArray& file);
// Sets the last byte to the checksum of the others (no-op on an empty array).
void StampChecksum(QByteArray& file);
// Little-endian u16 write inside the file; throws std::out_of_range past its end.
void PutU16(QByteArray& file, int offset, uint16_t value);

// Deterministic byte generator (splitmix64), the same on every platform.
class SeededBytes {
public:
    explicit SeededBytes(uint64_t seed) : state_(seed) {}
    uint64_t Next();
    void Fill(char* data, size_t n);

private:
    uint64_t state_;
};

// The defect fixtures checked in under tests/data/packages, by file name. Rebuilding them
// gives the same bytes as the checked-in files (a test holds both to that).
struct NamedFile {
    QString fileName;
    QByteArray bytes;
};
std::vector<NamedFile> FixtureFiles();

}  // namespace kvr::test

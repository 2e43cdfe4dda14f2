#include "PackageBuilder.h"

#include <cstring>
#include <string>

namespace kvr::test {

namespace {

constexpr char kSignature[] = "BOOT_KVR";  // with its terminating zero: 9 bytes
constexpr int kFixedHeaderSizeBytes = 26;
constexpr int kVersionEntrySizeBytes = 2;
constexpr int kListsTrailerSizeBytes = 2;
constexpr uint32_t kMaxPageCount = 65536;  // lastPageIndex is a u16
constexpr size_t kMaxListEntries = 65535;  // the counts are u16

}  // namespace

uint64_t SeededBytes::Next() {
    state_ += 0x9E3779B97F4A7C15ull;
    uint64_t z = state_;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

void SeededBytes::Fill(char* data, size_t n) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const uint64_t v = Next();
        for (int b = 0; b < 8; ++b)
            data[i + b] = static_cast<char>(v >> (8 * b));
    }
    if (i < n) {
        const uint64_t v = Next();
        for (int b = 0; i < n; ++i, ++b)
            data[i] = static_cast<char>(v >> (8 * b));
    }
}

int MinimumPageSize(size_t hardwareCount, size_t programCount) {
    return static_cast<int>(kFixedHeaderSizeBytes +
                            kVersionEntrySizeBytes * (hardwareCount + programCount) +
                            kListsTrailerSizeBytes);
}

uint8_t ComputeChecksum(const QByteArray& file) {
    uint8_t x = 0;
    for (qsizetype i = 0; i + 1 < file.size(); ++i)
        x ^= static_cast<uint8_t>(file[i]);
    return x;
}

void StampChecksum(QByteArray& file) {
    if (file.isEmpty())
        return;
    file[file.size() - 1] = static_cast<char>(ComputeChecksum(file));
}

void PutU16(QByteArray& file, int offset, uint16_t value) {
    if (offset < 0 || offset + 2 > file.size()) {
        throw std::out_of_range("PutU16 at " + std::to_string(offset) + " outside " +
                                std::to_string(file.size()) + " bytes");
    }
    file[offset] = static_cast<char>(value & 0xFF);
    file[offset + 1] = static_cast<char>(value >> 8);
}

QByteArray BuildPackage(const PackageOptions& options) {
    if (options.pageCount < 1 || options.pageCount > kMaxPageCount) {
        throw PackageOptionsError("page count must be 1 to 65536, not " +
                                  std::to_string(options.pageCount));
    }
    if (options.hardwareVersions.size() > kMaxListEntries ||
        options.programVersions.size() > kMaxListEntries) {
        throw PackageOptionsError("a version list holds at most 65535 entries");
    }
    const int minimum =
        MinimumPageSize(options.hardwareVersions.size(), options.programVersions.size());
    if (options.pageSize < minimum) {
        throw PackageOptionsError("page size " + std::to_string(options.pageSize) +
                                  " cannot hold the header and lists (" + std::to_string(minimum) +
                                  " bytes needed)");
    }

    const qsizetype pagesSize = qsizetype{options.pageCount} * options.pageSize;
    QByteArray file(pagesSize + options.trailing.size() + 1, '\0');
    SeededBytes(options.seed).Fill(file.data(), static_cast<size_t>(pagesSize));

    // The fixed header, with the fields the format leaves open set to zero.
    std::memset(file.data(), 0, kFixedHeaderSizeBytes);
    std::memcpy(file.data(), kSignature, sizeof kSignature);
    PutU16(file, kLastPageIndexOffset, static_cast<uint16_t>(options.pageCount - 1));
    PutU16(file, kPageSizeOffset, options.pageSize);
    PutU16(file, kHwPrefixMinorOffset, options.hwPrefixMinor);
    file[kHwPrefixMajorOffset] = static_cast<char>(options.hwPrefixMajor);
    PutU16(file, kHardwareCountOffset, static_cast<uint16_t>(options.hardwareVersions.size()));
    PutU16(file, kProgramCountOffset, static_cast<uint16_t>(options.programVersions.size()));
    int offset = kVersionListsOffset;
    for (uint16_t v : options.hardwareVersions) {
        PutU16(file, offset, v);
        offset += kVersionEntrySizeBytes;
    }
    for (uint16_t v : options.programVersions) {
        PutU16(file, offset, v);
        offset += kVersionEntrySizeBytes;
    }
    PutU16(file, offset, 0);  // the field after the lists

    if (!options.trailing.isEmpty()) {
        std::memcpy(file.data() + pagesSize, options.trailing.constData(),
                    static_cast<size_t>(options.trailing.size()));
    }
    StampChecksum(file);
    return file;
}

std::vector<NamedFile> FixtureFiles() {
    std::vector<NamedFile> files;
    const auto add = [&files](const char* name, QByteArray bytes) {
        files.push_back({QString::fromLatin1(name), std::move(bytes)});
    };

    // Small, readable packages: 128-byte pages, lists that exercise the texts.
    PackageOptions four;
    four.pageCount = 4;
    four.pageSize = 128;
    four.hardwareVersions = {9, 10, 1};
    four.programVersions = {0x1203, 0x10A5, 0x0000, 0xFFFF};
    four.seed = 17;
    const QByteArray valid = BuildPackage(four);
    add("valid_four_pages.bsk", valid);

    PackageOptions one = four;
    one.pageCount = 1;
    one.pageSize = 300;
    add("valid_one_page.bsk", BuildPackage(one));

    PackageOptions noLists = four;
    noLists.hardwareVersions.clear();
    noLists.programVersions.clear();
    add("valid_empty_lists.bsk", BuildPackage(noLists));

    PackageOptions withTrailing = four;
    withTrailing.trailing = QByteArray("\x01\x02\x03\xFE\xFF", 5);
    add("valid_trailing_bytes.bsk", BuildPackage(withTrailing));

    // 3 pages of 100 bytes and the checksum: 301 bytes, exactly 19 + 282.
    PackageOptions atBound;
    atBound.pageCount = 3;
    atBound.pageSize = 100;
    atBound.hardwareVersions.assign(19, 7);
    atBound.programVersions.clear();
    add("valid_length_at_hw_bound.bsk", BuildPackage(atBound));
    // The same 301 bytes with 20 entries need 302.
    PackageOptions belowBound = atBound;
    belowBound.hardwareVersions.assign(20, 7);
    add("length_below_hw_bound.bsk", BuildPackage(belowBound));

    QByteArray badChecksum = valid;
    badChecksum[badChecksum.size() - 1] = static_cast<char>(badChecksum.back() ^ 0x01);
    add("bad_checksum.bsk", badChecksum);

    add("empty.bsk", QByteArray());
    add("single_zero_byte.bsk", QByteArray(1, '\0'));

    QByteArray short25 = valid.left(25);
    StampChecksum(short25);
    add("short_25_bytes.bsk", short25);

    QByteArray lower = valid;
    std::memcpy(lower.data(), "boot_kvr", 8);
    StampChecksum(lower);
    add("signature_lowercase.bsk", lower);

    QByteArray byte8 = valid;
    byte8[kSignatureEndOffset] = ' ';
    StampChecksum(byte8);
    add("signature_byte8_nonzero.bsk", byte8);

    // Damaged and foreign at once: the damage is reported.
    QByteArray lowerDamaged = lower;
    lowerDamaged[lowerDamaged.size() - 1] = static_cast<char>(lowerDamaged.back() ^ 0x80);
    add("signature_lowercase_bad_checksum.bsk", lowerDamaged);

    PackageOptions hw21 = four;
    hw21.hardwareVersions.assign(21, 3);
    add("hw_count_21.bsk", BuildPackage(hw21));

    QByteArray smallPage = valid;
    PutU16(smallPage, kPageSizeOffset, 7);
    StampChecksum(smallPage);
    add("page_size_below_8.bsk", smallPage);

    // 26 + 2 × (3 + 60) + 2 = 154 bytes of header in a 128-byte page.
    QByteArray listsOverflow = valid;
    PutU16(listsOverflow, kProgramCountOffset, 60);
    StampChecksum(listsOverflow);
    add("lists_beyond_page_0.bsk", listsOverflow);

    QByteArray truncated = valid;
    truncated.remove(truncated.size() - 11, 10);  // ten bytes of the last page
    StampChecksum(truncated);
    add("truncated_last_page.bsk", truncated);

    QByteArray missingPage = valid;
    PutU16(missingPage, kLastPageIndexOffset, 4);  // claims five pages, holds four
    StampChecksum(missingPage);
    add("last_page_index_beyond_file.bsk", missingPage);

    return files;
}

}  // namespace kvr::test

#include "PackageCheck.h"

#include <QByteArray>
#include <QString>
#include <cstring>
#include <memory>
#include <vector>

#include "PackageLoader.h"
#include "UpdatePackage.h"

namespace kvr::fuzz {

namespace {

// The layout of a package file, from the format's own description.
constexpr size_t kFixedHeaderBytes = 26;
constexpr size_t kLastPageIndexOffset = 12;
constexpr size_t kPageSizeOffset = 14;
constexpr size_t kHwPrefixMinorOffset = 18;
constexpr size_t kHwPrefixMajorOffset = 21;
constexpr size_t kHardwareCountOffset = 22;
constexpr size_t kProgramCountOffset = 24;
constexpr size_t kListsOffset = 26;
constexpr size_t kListsTrailerBytes = 2;
constexpr size_t kPageHeaderBytes = 8;
constexpr size_t kMaxHardwareVersions = 20;
constexpr size_t kHeaderLengthBoundBytes = 282;
constexpr char kSignature[] = "BOOT_KVR";  // with its zero byte: 9 bytes
constexpr int kFullPercent = 100;

const char* const kChangedText = "Неправильный формат файла. Указанный файл был изменен.";
const char* const kHeaderText = "Неправильный формат файла. Ошибка заголовка.";
const char* const kForeignText =
    "Неправильный формат файла. Файл не предназначен для этой программы.";
const char* const kHeaderSizeText = "Неправильный формат файла. Ошибка размера заголовка.";
const char* const kHeaderSizeBangText = "Неправильный формат файла. Ошибка размера заголовка!";

uint16_t U16(const uint8_t* data, size_t offset) {
    return static_cast<uint16_t>(data[offset] | (data[offset + 1] << 8));
}

// The rejection text the rules give for these bytes, or nullptr when they make a package.
// Missing bytes are never made up, so a header that promises more than the file holds is
// refused, and so is a page too small for its own header.
const char* ExpectedRejection(const uint8_t* data, size_t size) {
    if (size == 0)
        return kHeaderText;  // no checksum byte at all
    uint8_t x = 0;
    for (size_t i = 0; i + 1 < size; ++i)
        x ^= data[i];
    if (x != data[size - 1])
        return kChangedText;
    if (size < kFixedHeaderBytes)
        return kHeaderText;
    if (std::memcmp(data, kSignature, sizeof kSignature) != 0)
        return kForeignText;
    const size_t hardwareCount = U16(data, kHardwareCountOffset);
    if (hardwareCount > kMaxHardwareVersions)
        return kHeaderSizeText;
    if (size < hardwareCount + kHeaderLengthBoundBytes)
        return kHeaderSizeBangText;
    const size_t pageSize = U16(data, kPageSizeOffset);
    if (pageSize < kPageHeaderBytes)
        return kHeaderSizeText;
    const size_t programCount = U16(data, kProgramCountOffset);
    if (kListsOffset + 2 * (hardwareCount + programCount) + kListsTrailerBytes > pageSize)
        return kHeaderSizeBangText;
    const size_t pageCount = size_t{U16(data, kLastPageIndexOffset)} + 1;
    if (pageCount * pageSize + 1 > size)
        return kHeaderSizeBangText;
    return nullptr;
}

// Whether the header passes every check but the checksum: only then is the page split (and
// its progress) under way when the checksum is judged.
bool HeaderHolds(const uint8_t* data, size_t size) {
    if (size < kFixedHeaderBytes || std::memcmp(data, kSignature, sizeof kSignature) != 0)
        return false;
    const size_t hardwareCount = U16(data, kHardwareCountOffset);
    const size_t pageSize = U16(data, kPageSizeOffset);
    const size_t programCount = U16(data, kProgramCountOffset);
    const size_t pageCount = size_t{U16(data, kLastPageIndexOffset)} + 1;
    return hardwareCount <= kMaxHardwareVersions &&
           size >= hardwareCount + kHeaderLengthBoundBytes && pageSize >= kPageHeaderBytes &&
           kListsOffset + 2 * (hardwareCount + programCount) + kListsTrailerBytes <= pageSize &&
           pageCount * pageSize + 1 <= size;
}

// The bar's values during a split of pageCount pages: 0 first, each change once, back to 0.
std::vector<int> ExpectedProgress(size_t pageCount) {
    std::vector<int> calls{0};
    int shown = 0;
    for (size_t i = 0; i < pageCount; ++i) {
        const int percent = static_cast<int>(i * kFullPercent / pageCount);
        if (percent != shown) {
            calls.push_back(percent);
            shown = percent;
        }
    }
    if (shown != 0)
        calls.push_back(0);
    return calls;
}

// A package that cannot come out of any parse of these bytes by accident.
UpdatePackage Sentinel() {
    UpdatePackage p;
    p.pageSize = 77;
    p.hwPrefixMajor = 3;
    p.hwPrefixMinor = 4;
    p.hardwareVersions = {1, 2, 3};
    p.programVersions = {0xBEEF};
    PackagePage page;
    page.pageHeader = {9, 8, 7, 6, 5, 4, 3, 2};
    page.pageData = QByteArray("sentinel page");
    p.pages.emplace(41, page);
    return p;
}

bool SamePackage(const UpdatePackage& a, const UpdatePackage& b) {
    if (a.pageSize != b.pageSize || a.hwPrefixMajor != b.hwPrefixMajor ||
        a.hwPrefixMinor != b.hwPrefixMinor || a.hardwareVersions != b.hardwareVersions ||
        a.programVersions != b.programVersions || a.pages.size() != b.pages.size())
        return false;
    for (auto ia = a.pages.begin(), ib = b.pages.begin(); ia != a.pages.end(); ++ia, ++ib) {
        if (ia->first != ib->first || ia->second.pageHeader != ib->second.pageHeader ||
            ia->second.pageData != ib->second.pageData)
            return false;
    }
    return true;
}

void CheckAccepted(const uint8_t* data, const UpdatePackage& p, FindingLog& log) {
    const size_t pageSize = U16(data, kPageSizeOffset);
    const size_t pageCount = size_t{U16(data, kLastPageIndexOffset)} + 1;
    const size_t hardwareCount = U16(data, kHardwareCountOffset);
    const size_t programCount = U16(data, kProgramCountOffset);
    if (p.pageSize != pageSize)
        log.Add("pageSize ", p.pageSize, ", header says ", pageSize);
    if (p.hwPrefixMajor != data[kHwPrefixMajorOffset] ||
        p.hwPrefixMinor != U16(data, kHwPrefixMinorOffset))
        log.Add("hardware prefix differs from the header");
    if (p.hardwareVersions.size() != hardwareCount || p.programVersions.size() != programCount) {
        log.Add("list sizes ", p.hardwareVersions.size(), "/", p.programVersions.size(),
                ", header says ", hardwareCount, "/", programCount);
        return;
    }
    size_t offset = kListsOffset;
    for (uint16_t v : p.hardwareVersions) {
        if (v != U16(data, offset))
            log.Add("hardware version at file offset ", offset, " differs");
        offset += 2;
    }
    for (uint16_t v : p.programVersions) {
        if (v != U16(data, offset))
            log.Add("program version at file offset ", offset, " differs");
        offset += 2;
    }
    if (p.pages.size() != pageCount) {
        log.Add(p.pages.size(), " pages, header says ", pageCount);
        return;
    }
    size_t index = 0;
    for (const auto& [key, page] : p.pages) {
        if (key != static_cast<int32_t>(index)) {
            log.Add("page key ", key, " where ", index, " belongs");
            return;
        }
        const uint8_t* start = data + index * pageSize;
        if (static_cast<size_t>(page.pageData.size()) != pageSize - kPageHeaderBytes) {
            log.Add("page ", index, " holds ", page.pageData.size(), " data bytes, not ",
                    pageSize - kPageHeaderBytes);
            return;
        }
        if (std::memcmp(page.pageHeader.data(), start, kPageHeaderBytes) != 0 ||
            std::memcmp(page.pageData.constData(), start + kPageHeaderBytes,
                        pageSize - kPageHeaderBytes) != 0)
            log.Add("page ", index, " differs from its bytes in the file");
        ++index;
    }

    // The list texts of what was just loaded.
    for (uint16_t v : p.hardwareVersions) {
        const QString expected =
            QStringLiteral("%1.%2.%3").arg(p.hwPrefixMajor).arg(p.hwPrefixMinor).arg(v);
        if (FormatHardwareVersionText(p.hwPrefixMajor, p.hwPrefixMinor, v) != expected)
            log.Add("hardware version text of ", v, " is not ", expected.toStdString());
    }
    for (uint16_t v : p.programVersions) {
        const QString expected = QStringLiteral("%1.%2.%3.%4")
                                     .arg(v >> 12)
                                     .arg((v >> 8) & 0xF)
                                     .arg((v >> 4) & 0xF)
                                     .arg(v & 0xF);
        if (FormatProgramVersionText(v) != expected)
            log.Add("program version text of ", v, " is not ", expected.toStdString());
    }
}

}  // namespace

namespace {

Finding CheckOne(const uint8_t* data, size_t size) {
    FindingLog log;
    // No copy: the parser sees exactly the fuzzer's buffer.
    const QByteArray bytes =
        QByteArray::fromRawData(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    UpdatePackage package = Sentinel();
    QString error;
    std::vector<int> progress;
    const bool ok = ParseUpdatePackage(bytes, package, error,
                                       [&progress](int percent) { progress.push_back(percent); });

    const char* rejection = ExpectedRejection(data, size);
    if (rejection == nullptr) {
        if (!ok) {
            log.Add("a sound package was refused: ", error.toStdString());
            return log.First();
        }
        if (!error.isEmpty())
            log.Add("accepted with an error text: ", error.toStdString());
        CheckAccepted(data, package, log);
    } else {
        if (ok) {
            log.Add("accepted, but the rules refuse it with \"", rejection, "\"");
            return log.First();
        }
        if (error != QString::fromUtf8(rejection))
            log.Add("refused with \"", error.toStdString(), "\" instead of \"", rejection, "\"");
        if (!SamePackage(package, Sentinel()))
            log.Add("a refused package changed the caller's package");
    }

    const std::vector<int> expectedProgress =
        HeaderHolds(data, size) ? ExpectedProgress(size_t{U16(data, kLastPageIndexOffset)} + 1)
                                : std::vector<int>{};
    if (progress != expectedProgress) {
        log.Add("progress reported ", progress.size(), " values, expected ",
                expectedProgress.size());
    }
    return log.First();
}

}  // namespace

Finding CheckPackageInput(const uint8_t* data, size_t size) {
    Finding finding = CheckOne(data, size);
    if (!finding.empty() || size == 0)
        return finding;
    // Mutated files nearly always fail the checksum first; the same bytes with the checksum
    // made right reach the header and page checks. Exactly sized, like the fuzzer's buffer.
    std::vector<uint8_t> fixed(data, data + size);
    uint8_t x = 0;
    for (size_t i = 0; i + 1 < size; ++i)
        x ^= data[i];
    if (x == data[size - 1])
        return finding;
    fixed[size - 1] = x;
    finding = CheckOne(fixed.data(), size);
    return finding.empty() ? finding : "with the checksum made right: " + finding;
}

}  // namespace kvr::fuzz

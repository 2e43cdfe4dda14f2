#include "PackageLoader.h"

#include <QFile>
#include <QFileInfo>
#include <cstring>
#include <new>
#include <utility>

#include "Translate.h"

namespace kvr {

namespace {

constexpr char kSignature[] = "BOOT_KVR";  // the zero byte after it is part of the signature
constexpr qsizetype kSignatureSizeBytes = sizeof(kSignature);  // 8 letters and the zero byte
constexpr qsizetype kFixedHeaderSizeBytes = 26;
constexpr qsizetype kLastPageIndexOffset = 12;
constexpr qsizetype kPageSizeOffset = 14;
constexpr qsizetype kHwPrefixMinorOffset = 18;
constexpr qsizetype kHwPrefixMajorOffset = 21;
constexpr qsizetype kHardwareCountOffset = 22;
constexpr qsizetype kProgramCountOffset = 24;
constexpr qsizetype kVersionListsOffset = 26;
constexpr qsizetype kVersionEntrySizeBytes = 2;
constexpr qsizetype kListsTrailerSizeBytes = 2;  // the field read past after both lists
constexpr qsizetype kPageHeaderSizeBytes = 8;
constexpr qsizetype kChecksumSizeBytes = 1;
constexpr uint16_t kMaxHardwareVersions = 20;
// The format's own lower bound on the file length: hardwareVersionCount + this many bytes
// (the count itself, not twice it).
constexpr qsizetype kHeaderLengthBoundBytes = 282;
constexpr int kProgressFullPercent = 100;

// The texts are looked up at failure time so that a language file opened later still counts.
QString ChangedFileText() {
    return QStringLiteral("Неправильный формат файла. Указанный файл был изменен.");
}
QString HeaderErrorText() {
    return QStringLiteral("Неправильный формат файла. Ошибка заголовка.");
}
QString ForeignFileText() {
    return QStringLiteral("Неправильный формат файла. Файл не предназначен для этой программы.");
}
QString HeaderSizeText() {
    return QStringLiteral("Неправильный формат файла. Ошибка размера заголовка.");
}
QString HeaderSizeBangText() {
    return QStringLiteral("Неправильный формат файла. Ошибка размера заголовка!");
}
QString OutOfMemoryText() {
    return QStringLiteral("Out of memory");
}

uint16_t ReadU16(const uint8_t* data, qsizetype offset) {
    return static_cast<uint16_t>(data[offset] | (data[offset + 1] << 8));
}

// XOR of n bytes, eight at a time: the check runs over the whole file, so it must not be the
// slow part of a load even in an unoptimised build.
uint8_t XorBytes(const uint8_t* data, qsizetype n) {
    uint64_t a = 0;
    uint64_t b = 0;
    qsizetype i = 0;
    for (; i + 16 <= n; i += 16) {
        uint64_t wa;
        uint64_t wb;
        std::memcpy(&wa, data + i, sizeof wa);
        std::memcpy(&wb, data + i + 8, sizeof wb);
        a ^= wa;
        b ^= wb;
    }
    a ^= b;
    a ^= a >> 32;
    a ^= a >> 16;
    a ^= a >> 8;
    auto x = static_cast<uint8_t>(a);
    for (; i < n; ++i)
        x ^= data[i];
    return x;
}

// What the header says, once it has passed every check.
struct Layout {
    uint32_t pageSize = 0;
    qsizetype pageCount = 0;
    uint8_t hwPrefixMajor = 0;
    uint16_t hwPrefixMinor = 0;
    uint16_t hardwareCount = 0;
    uint16_t programCount = 0;
};

// Checks everything but the checksum, reading only inside [data, data + size).
// Returns the untranslated failure text, or an empty text when the header holds.
QString CheckHeader(const uint8_t* data, qsizetype size, Layout& layout) {
    if (size < kFixedHeaderSizeBytes)
        return HeaderErrorText();
    if (std::memcmp(data, kSignature, kSignatureSizeBytes) != 0)
        return ForeignFileText();

    const uint16_t hardwareCount = ReadU16(data, kHardwareCountOffset);
    if (hardwareCount > kMaxHardwareVersions)
        return HeaderSizeText();
    if (size < hardwareCount + kHeaderLengthBoundBytes)
        return HeaderSizeBangText();

    // A page must at least hold its own 8-byte header.
    const uint16_t pageSize = ReadU16(data, kPageSizeOffset);
    if (pageSize < kPageHeaderSizeBytes)
        return HeaderSizeText();

    // Both lists travel to the device inside page 0, and every page must really be in the
    // file: bytes that are not there are never made up.
    const uint16_t programCount = ReadU16(data, kProgramCountOffset);
    const qsizetype listsEnd = kVersionListsOffset +
                               kVersionEntrySizeBytes * (qsizetype{hardwareCount} + programCount) +
                               kListsTrailerSizeBytes;
    if (listsEnd > pageSize)
        return HeaderSizeBangText();
    const qsizetype pageCount = qsizetype{ReadU16(data, kLastPageIndexOffset)} + 1;
    if (size < pageCount * pageSize + kChecksumSizeBytes)
        return HeaderSizeBangText();

    layout.pageSize = pageSize;
    layout.pageCount = pageCount;
    layout.hwPrefixMajor = data[kHwPrefixMajorOffset];
    layout.hwPrefixMinor = ReadU16(data, kHwPrefixMinorOffset);
    layout.hardwareCount = hardwareCount;
    layout.programCount = programCount;
    return {};
}

bool Fail(QString& error, const QString& text) {
    error = Translate(text);
    return false;
}

bool Parse(const QByteArray& bytes, UpdatePackage& out, QString& error,
           const std::function<void(int)>& progress) {
    const auto* data = reinterpret_cast<const uint8_t*>(bytes.constData());
    const qsizetype size = bytes.size();
    if (size == 0)
        return Fail(error, HeaderErrorText());  // not even a checksum byte
    const qsizetype checkedSize = size - kChecksumSizeBytes;
    const uint8_t storedChecksum = data[checkedSize];

    Layout layout;
    const QString headerFailure = CheckHeader(data, size, layout);
    if (!headerFailure.isEmpty()) {
        // The integrity check still decides first: a damaged file reads as damaged.
        if (XorBytes(data, checkedSize) != storedChecksum)
            return Fail(error, ChangedFileText());
        return Fail(error, headerFailure);
    }

    // One pass: each page is folded into the checksum while it is copied out.
    const auto report = [&progress](int percent) {
        if (progress)
            progress(percent);
    };
    report(0);
    int shown = 0;
    PageMap pages;
    uint8_t checksum = 0;
    for (qsizetype i = 0; i < layout.pageCount; ++i) {
        const uint8_t* page = data + i * layout.pageSize;
        checksum ^= XorBytes(page, layout.pageSize);
        PackagePage entry;
        std::memcpy(entry.pageHeader.data(), page, kPageHeaderSizeBytes);
        entry.pageData = QByteArray(reinterpret_cast<const char*>(page + kPageHeaderSizeBytes),
                                    layout.pageSize - kPageHeaderSizeBytes);
        pages.emplace_hint(pages.end(), static_cast<int32_t>(i), std::move(entry));
        const auto percent = static_cast<int>(i * kProgressFullPercent / layout.pageCount);
        if (percent != shown) {
            shown = percent;
            report(percent);
        }
    }
    // Bytes after the last page are no page, but they are part of the file.
    const qsizetype pagesEnd = layout.pageCount * layout.pageSize;
    checksum ^= XorBytes(data + pagesEnd, checkedSize - pagesEnd);
    if (shown != 0)
        report(0);
    if (checksum != storedChecksum)
        return Fail(error, ChangedFileText());

    UpdatePackage loaded;
    loaded.pageSize = layout.pageSize;
    loaded.hwPrefixMajor = layout.hwPrefixMajor;
    loaded.hwPrefixMinor = layout.hwPrefixMinor;
    loaded.hardwareVersions.reserve(layout.hardwareCount);
    loaded.programVersions.reserve(layout.programCount);
    qsizetype offset = kVersionListsOffset;
    for (uint16_t k = 0; k < layout.hardwareCount; ++k, offset += kVersionEntrySizeBytes) {
        loaded.hardwareVersions.push_back(ReadU16(data, offset));
    }
    for (uint16_t k = 0; k < layout.programCount; ++k, offset += kVersionEntrySizeBytes) {
        loaded.programVersions.push_back(ReadU16(data, offset));
    }
    loaded.pages = std::move(pages);
    out = std::move(loaded);  // moves cannot fail: `out` is either untouched or fully new
    return true;
}

QString FileErrorText(const QString& format, const QString& path, const QString& reason) {
    return format.arg(path, reason);
}

}  // namespace

bool ParseUpdatePackage(const QByteArray& bytes, UpdatePackage& out, QString& error,
                        const std::function<void(int)>& progress) {
    try {
        return Parse(bytes, out, error, progress);
    } catch (const std::bad_alloc&) {
        error = OutOfMemoryText();
        return false;
    }
}

bool LoadUpdatePackageFile(const QString& path, UpdatePackage& out, QString& error,
                           const std::function<void(int)>& progress) {
    const QString openFormat = QStringLiteral("Cannot open file \"%1\". %2");
    // A pipe or a device would block or never end; only plain files are packages.
    const QFileInfo info(path);
    if (info.exists() && !info.isFile() && !info.isDir()) {
        error = FileErrorText(openFormat, path, QStringLiteral("Not a regular file"));
        return false;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = FileErrorText(openFormat, path, file.errorString());
        return false;
    }
    try {
        const qint64 expected = file.size();
        QByteArray bytes(expected, Qt::Uninitialized);
        qint64 done = 0;
        while (done < expected) {
            const qint64 n = file.read(bytes.data() + done, expected - done);
            if (n < 0) {
                error = FileErrorText(QStringLiteral("Cannot read file \"%1\". %2"), path,
                                      file.errorString());
                return false;
            }
            if (n == 0)
                break;  // the file shrank since its size was taken
            done += n;
        }
        bytes.truncate(done);
        file.close();
        return Parse(bytes, out, error, progress);
    } catch (const std::bad_alloc&) {
        error = OutOfMemoryText();
        return false;
    }
}

}  // namespace kvr

#include "PackageLoader.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <array>
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

// The failure texts as written; Fail() passes them through Translate.
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

// Checks everything but the checksum from the fixed header and the file size. `head` holds the
// first 26 bytes; it is not looked at when the file is shorter than that.
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

// Where the package bytes come from: memory or a file, read front to back exactly once.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual qsizetype Size() const = 0;
    // Exactly n more bytes into dest, or false with FailureText() set.
    virtual bool Read(char* dest, qsizetype n) = 0;
    virtual QString FailureText() const = 0;
};

class MemorySource final : public ByteSource {
public:
    explicit MemorySource(const QByteArray& bytes) : bytes_(bytes) {}
    qsizetype Size() const override { return bytes_.size(); }
    bool Read(char* dest, qsizetype n) override {
        if (n > bytes_.size() - position_)
            return false;
        std::memcpy(dest, bytes_.constData() + position_, static_cast<size_t>(n));
        position_ += n;
        return true;
    }
    QString FailureText() const override { return QStringLiteral("Read beyond the end of data"); }

private:
    const QByteArray& bytes_;
    qsizetype position_ = 0;
};

class FileSource final : public ByteSource {
public:
    FileSource(QFile& file, const QString& path) : file_(file), path_(path), size_(file.size()) {}
    qsizetype Size() const override { return size_; }
    bool Read(char* dest, qsizetype n) override {
        while (n > 0) {
            const qint64 got = file_.read(dest, n);
            if (got <= 0) {
                // Shorter than its size said: it changed while it was read.
                reason_ = got < 0 ? file_.errorString() : QStringLiteral("Unexpected end of file");
                return false;
            }
            dest += got;
            n -= got;
        }
        return true;
    }
    QString FailureText() const override {
        return QStringLiteral("Cannot read file \"%1\". %2").arg(path_, reason_);
    }

private:
    QFile& file_;
    QString path_;
    qsizetype size_;
    QString reason_;
};

// Hashes every byte on its way to the parser, so that the hash is of what was parsed.
class HashingSource final : public ByteSource {
public:
    explicit HashingSource(ByteSource& inner) : inner_(inner), hash_(QCryptographicHash::Sha256) {}
    qsizetype Size() const override { return inner_.Size(); }
    bool Read(char* dest, qsizetype n) override {
        if (!inner_.Read(dest, n))
            return false;
        hash_.addData(QByteArrayView(dest, n));
        return true;
    }
    QString FailureText() const override { return inner_.FailureText(); }
    QString Hex() const { return QString::fromLatin1(hash_.result().toHex()); }

private:
    ByteSource& inner_;
    QCryptographicHash hash_;
};

// Follows the page split like the window's progress bar: 0 at the start, each new value once,
// and back to 0 however the split ends.
class ProgressReporter {
public:
    explicit ProgressReporter(const std::function<void(int)>& progress) : progress_(progress) {
        if (progress_)
            progress_(0);
    }
    ~ProgressReporter() {
        if (shown_ == 0 || !progress_)
            return;
        try {
            progress_(0);
        } catch (...) {  // already unwinding or failing; the bar is only cosmetic
        }
    }
    ProgressReporter(const ProgressReporter&) = delete;
    ProgressReporter& operator=(const ProgressReporter&) = delete;

    void Set(int percent) {
        if (percent == shown_)
            return;
        shown_ = percent;
        if (progress_)
            progress_(percent);
    }

private:
    const std::function<void(int)>& progress_;
    int shown_ = 0;
};

constexpr qsizetype kSkipChunkBytes = 64 * 1024;

// Reads n bytes that are no page and folds them into checksum.
bool FoldSkipped(ByteSource& source, qsizetype n, uint8_t& checksum) {
    if (n <= 0)
        return true;
    QByteArray chunk(std::min(n, kSkipChunkBytes), Qt::Uninitialized);
    while (n > 0) {
        const qsizetype step = std::min(n, chunk.size());
        if (!source.Read(chunk.data(), step))
            return false;
        checksum ^= XorBytes(reinterpret_cast<const uint8_t*>(chunk.constData()), step);
        n -= step;
    }
    return true;
}

bool ReadFailure(const ByteSource& source, QString& error) {
    error = source.FailureText();
    return false;
}

// Validates and splits in one front-to-back pass over the source: the header decides whether
// there are pages to cut, the checksum is folded in as the bytes go by, and nothing is
// installed in `out` before the last byte has confirmed it.
bool Parse(ByteSource& raw, UpdatePackage& out, QString& error,
           const std::function<void(int)>& progress) {
    HashingSource source(raw);
    const qsizetype size = source.Size();
    if (size == 0)
        return Fail(error, HeaderErrorText());  // not even a checksum byte
    const qsizetype checkedSize = size - kChecksumSizeBytes;

    std::array<uint8_t, kFixedHeaderSizeBytes> head{};
    const qsizetype headSize = std::min(size, kFixedHeaderSizeBytes);
    if (!source.Read(reinterpret_cast<char*>(head.data()), headSize))
        return ReadFailure(source, error);

    Layout layout;
    const QString headerFailure = CheckHeader(head.data(), size, layout);
    if (!headerFailure.isEmpty()) {
        // The integrity check still decides first: a damaged file reads as damaged.
        uint8_t checksum = XorBytes(head.data(), std::min(headSize, checkedSize));
        uint8_t stored = head[static_cast<size_t>(headSize - 1)];
        if (size > headSize) {
            if (!FoldSkipped(source, checkedSize - headSize, checksum) ||
                !source.Read(reinterpret_cast<char*>(&stored), kChecksumSizeBytes))
                return ReadFailure(source, error);
        }
        return Fail(error, checksum != stored ? ChangedFileText() : headerFailure);
    }

    ProgressReporter reporter(progress);
    PageMap pages;
    uint8_t checksum = XorBytes(head.data(), kFixedHeaderSizeBytes);
    const qsizetype dataSize = layout.pageSize - kPageHeaderSizeBytes;
    for (qsizetype i = 0; i < layout.pageCount; ++i) {
        PackagePage page;
        page.pageData = QByteArray(dataSize, Qt::Uninitialized);
        char* data = page.pageData.data();
        qsizetype alreadyRead = 0;
        if (i == 0) {
            // Page 0 begins with the header that has been read already.
            std::memcpy(page.pageHeader.data(), head.data(), kPageHeaderSizeBytes);
            alreadyRead = kFixedHeaderSizeBytes - kPageHeaderSizeBytes;
            std::memcpy(data, head.data() + kPageHeaderSizeBytes, static_cast<size_t>(alreadyRead));
        } else {
            if (!source.Read(reinterpret_cast<char*>(page.pageHeader.data()), kPageHeaderSizeBytes))
                return ReadFailure(source, error);
            checksum ^= XorBytes(page.pageHeader.data(), kPageHeaderSizeBytes);
        }
        if (!source.Read(data + alreadyRead, dataSize - alreadyRead))
            return ReadFailure(source, error);
        checksum ^=
            XorBytes(reinterpret_cast<const uint8_t*>(data) + alreadyRead, dataSize - alreadyRead);
        pages.emplace_hint(pages.end(), static_cast<int32_t>(i), std::move(page));
        reporter.Set(static_cast<int>(i * kProgressFullPercent / layout.pageCount));
    }
    reporter.Set(0);
    // Bytes after the last page are no page, but they are part of the file.
    uint8_t stored = 0;
    if (!FoldSkipped(source, checkedSize - layout.pageCount * layout.pageSize, checksum) ||
        !source.Read(reinterpret_cast<char*>(&stored), kChecksumSizeBytes))
        return ReadFailure(source, error);
    if (checksum != stored)
        return Fail(error, ChangedFileText());

    // The lists lie inside page 0, after its 8-byte page header.
    const auto* page0 =
        reinterpret_cast<const uint8_t*>(pages.begin()->second.pageData.constData());
    qsizetype offset = kVersionListsOffset - kPageHeaderSizeBytes;
    UpdatePackage loaded;
    loaded.pageSize = layout.pageSize;
    loaded.hwPrefixMajor = layout.hwPrefixMajor;
    loaded.hwPrefixMinor = layout.hwPrefixMinor;
    loaded.hardwareVersions.reserve(layout.hardwareCount);
    loaded.programVersions.reserve(layout.programCount);
    for (uint16_t k = 0; k < layout.hardwareCount; ++k, offset += kVersionEntrySizeBytes) {
        loaded.hardwareVersions.push_back(ReadU16(page0, offset));
    }
    for (uint16_t k = 0; k < layout.programCount; ++k, offset += kVersionEntrySizeBytes) {
        loaded.programVersions.push_back(ReadU16(page0, offset));
    }
    loaded.pages = std::move(pages);
    loaded.sha256 = source.Hex();
    out = std::move(loaded);  // moves cannot fail: `out` is either untouched or wholly new
    return true;
}

QString FileErrorText(const QString& format, const QString& path, const QString& reason) {
    return format.arg(path, reason);
}

}  // namespace

bool ParseUpdatePackage(const QByteArray& bytes, UpdatePackage& out, QString& error,
                        const std::function<void(int)>& progress) {
    try {
        MemorySource source(bytes);
        return Parse(source, out, error, progress);
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
        FileSource source(file, path);
        return Parse(source, out, error, progress);
    } catch (const std::bad_alloc&) {
        error = OutOfMemoryText();
        return false;
    }
}

}  // namespace kvr

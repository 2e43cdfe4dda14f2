// kvr-mkpackage: writes a well-formed update package (or the defect fixture set) for tests and
// the demo. Bad options give a message on standard error and exit status 2; the output file is
// written atomically, so a failed run leaves no half-written package behind.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QSaveFile>
#include <QStringList>
#include <cstdio>
#include <optional>

#include "PackageBuilder.h"

namespace {

constexpr int kExitUsage = 2;
constexpr int kExitWriteFailed = 1;
constexpr unsigned kMaxDigit = 15;
constexpr unsigned kDigitBits = 4;

void PrintError(const QString& text) {
    std::fprintf(stderr, "kvr-mkpackage: %s\n", text.toUtf8().constData());
}

std::optional<unsigned long> ParseNumber(const QString& text, unsigned long max) {
    const QString t = text.trimmed();
    const bool hex = t.startsWith(QStringLiteral("0x"), Qt::CaseInsensitive);
    bool ok = false;
    const unsigned long value = (hex ? t.mid(2) : t).toULong(&ok, hex ? 16 : 10);
    if (!ok || value > max)
        return std::nullopt;
    return value;
}

// "1,9,10" (empty text: no entries).
std::optional<std::vector<uint16_t>> ParseHardwareList(const QString& text) {
    std::vector<uint16_t> values;
    if (text.trimmed().isEmpty())
        return values;
    for (const QString& item : text.split(u',')) {
        const auto v = ParseNumber(item, 0xFFFF);
        if (!v)
            return std::nullopt;
        values.push_back(static_cast<uint16_t>(*v));
    }
    return values;
}

// "1.2.0.3,0x10A5": four dotted digits 0…15, or one number.
std::optional<std::vector<uint16_t>> ParseProgramList(const QString& text) {
    std::vector<uint16_t> values;
    if (text.trimmed().isEmpty())
        return values;
    for (const QString& item : text.split(u',')) {
        const QStringList digits = item.split(u'.');
        if (digits.size() == 1) {
            const auto v = ParseNumber(item, 0xFFFF);
            if (!v)
                return std::nullopt;
            values.push_back(static_cast<uint16_t>(*v));
            continue;
        }
        if (digits.size() != 4)
            return std::nullopt;
        unsigned value = 0;
        for (const QString& d : digits) {
            const auto v = ParseNumber(d, kMaxDigit);
            if (!v)
                return std::nullopt;
            value = (value << kDigitBits) | static_cast<unsigned>(*v);
        }
        values.push_back(static_cast<uint16_t>(value));
    }
    return values;
}

bool WriteFile(const QString& path, const QByteArray& bytes) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        PrintError(QStringLiteral("cannot write \"%1\": %2").arg(path, file.errorString()));
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kvr-mkpackage"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Writes a well-formed KVR17 update package with pseudo-random pages."));
    parser.addHelpOption();
    const QCommandLineOption out({QStringLiteral("o"), QStringLiteral("out")},
                                 QStringLiteral("Package file to write."), QStringLiteral("FILE"));
    const QCommandLineOption pages(QStringLiteral("pages"),
                                   QStringLiteral("Number of pages, 1 to 65536 (default 4)."),
                                   QStringLiteral("N"), QStringLiteral("4"));
    const QCommandLineOption pageSize(
        QStringLiteral("page-size"),
        QStringLiteral("Bytes per page, page header included (default 256)."), QStringLiteral("S"),
        QStringLiteral("256"));
    const QCommandLineOption hwPrefix(QStringLiteral("hw-prefix"),
                                      QStringLiteral("Hardware prefix MAJOR.MINOR (default 17.2)."),
                                      QStringLiteral("MAJOR.MINOR"), QStringLiteral("17.2"));
    const QCommandLineOption hw(QStringLiteral("hw"),
                                QStringLiteral("Hardware versions, comma-separated (default 1)."),
                                QStringLiteral("LIST"), QStringLiteral("1"));
    const QCommandLineOption programs(
        QStringLiteral("programs"),
        QStringLiteral("Program versions as a.b.c.d or 0xNNNN, comma-separated (default 1.2.0.3)."),
        QStringLiteral("LIST"), QStringLiteral("1.2.0.3"));
    const QCommandLineOption seed(QStringLiteral("seed"),
                                  QStringLiteral("Seed of the page contents (default 1)."),
                                  QStringLiteral("N"), QStringLiteral("1"));
    const QCommandLineOption trailing(
        QStringLiteral("trailing"),
        QStringLiteral("Extra bytes between the last page and the checksum (default 0)."),
        QStringLiteral("N"), QStringLiteral("0"));
    const QCommandLineOption fixtures(
        QStringLiteral("fixtures"),
        QStringLiteral("Write the defect fixture set into DIR instead of one package."),
        QStringLiteral("DIR"));
    parser.addOptions({out, pages, pageSize, hwPrefix, hw, programs, seed, trailing, fixtures});

    if (!parser.parse(QCoreApplication::arguments())) {
        PrintError(parser.errorText());
        return kExitUsage;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        std::fputs(parser.helpText().toUtf8().constData(), stdout);
        return 0;
    }
    if (!parser.positionalArguments().isEmpty()) {
        PrintError(
            QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments()[0]));
        return kExitUsage;
    }

    if (parser.isSet(fixtures)) {
        const QDir dir(parser.value(fixtures));
        if (!dir.exists()) {
            PrintError(QStringLiteral("no folder \"%1\"").arg(parser.value(fixtures)));
            return kExitUsage;
        }
        for (const auto& file : kvr::test::FixtureFiles()) {
            if (!WriteFile(dir.filePath(file.fileName), file.bytes))
                return kExitWriteFailed;
        }
        return 0;
    }
    if (!parser.isSet(out)) {
        PrintError(QStringLiteral("--out FILE is required (see --help)"));
        return kExitUsage;
    }

    kvr::test::PackageOptions options;
    const auto pageCount = ParseNumber(parser.value(pages), 65536);
    const auto size = ParseNumber(parser.value(pageSize), 0xFFFF);
    const QStringList prefix = parser.value(hwPrefix).split(u'.');
    const auto major = prefix.size() == 2 ? ParseNumber(prefix[0], 0xFF) : std::nullopt;
    const auto minor = prefix.size() == 2 ? ParseNumber(prefix[1], 0xFFFF) : std::nullopt;
    const auto hwList = ParseHardwareList(parser.value(hw));
    const auto programList = ParseProgramList(parser.value(programs));
    const auto seedValue = ParseNumber(parser.value(seed), 0xFFFFFFFFul);
    const auto trailingCount = ParseNumber(parser.value(trailing), 1ul << 20);
    if (!pageCount || *pageCount == 0) {
        PrintError(QStringLiteral("--pages must be 1 to 65536"));
        return kExitUsage;
    }
    if (!size) {
        PrintError(QStringLiteral("--page-size must be 0 to 65535"));
        return kExitUsage;
    }
    if (!major || !minor) {
        PrintError(QStringLiteral("--hw-prefix must be MAJOR.MINOR, 0-255 and 0-65535"));
        return kExitUsage;
    }
    if (!hwList || !programList) {
        PrintError(QStringLiteral("bad version list (see --help)"));
        return kExitUsage;
    }
    if (!seedValue || !trailingCount) {
        PrintError(QStringLiteral("--seed and --trailing take a number"));
        return kExitUsage;
    }
    options.pageCount = static_cast<uint32_t>(*pageCount);
    options.pageSize = static_cast<uint16_t>(*size);
    options.hwPrefixMajor = static_cast<uint8_t>(*major);
    options.hwPrefixMinor = static_cast<uint16_t>(*minor);
    options.hardwareVersions = *hwList;
    options.programVersions = *programList;
    options.seed = static_cast<uint32_t>(*seedValue);
    options.trailing = QByteArray(static_cast<qsizetype>(*trailingCount), '\0');
    kvr::test::SeededBytes(~options.seed)
        .Fill(options.trailing.data(), static_cast<size_t>(options.trailing.size()));

    QByteArray bytes;
    try {
        bytes = kvr::test::BuildPackage(options);
    } catch (const kvr::test::PackageOptionsError& e) {
        PrintError(QString::fromUtf8(e.what()));
        return kExitUsage;
    }
    return WriteFile(parser.value(out), bytes) ? 0 : kExitWriteFailed;
}

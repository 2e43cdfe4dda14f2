// info PACKAGE [--json]: loads and checks a package exactly as the window does and describes
// it. A package that does not load gives the loader's text alone on standard error and exit
// status 2.
#include <QStringList>

#include "Arguments.h"
#include "Cli.h"
#include "PackageLoader.h"

namespace kvr::cli {

namespace {

QStringList HardwareTexts(const UpdatePackage& package) {
    QStringList texts;
    for (uint16_t v : package.hardwareVersions) {
        texts << FormatHardwareVersionText(package.hwPrefixMajor, package.hwPrefixMinor, v);
    }
    return texts;
}

QStringList ProgramTexts(const UpdatePackage& package) {
    QStringList texts;
    for (uint16_t v : package.programVersions)
        texts << FormatProgramVersionText(v);
    return texts;
}

// The texts hold only digits and dots, so they need no escaping.
QString JsonArray(const QStringList& texts) {
    QStringList quoted;
    for (const QString& t : texts)
        quoted << u'"' + t + u'"';
    return u'[' + quoted.join(u',') + u']';
}

void PrintJson(CliOutput& io, const UpdatePackage& package) {
    io.Out(QStringLiteral("{\"pages\":%1,\"pageSize\":%2,\"hwPrefixMajor\":%3,\"hwPrefixMinor\":%4,"
                          "\"hardwareVersions\":%5,\"programVersions\":%6}")
               .arg(package.pages.size())
               .arg(package.pageSize)
               .arg(package.hwPrefixMajor)
               .arg(package.hwPrefixMinor)
               .arg(JsonArray(HardwareTexts(package)), JsonArray(ProgramTexts(package))));
}

// The list boxes keep their lines sorted as text (17.2.10 before 17.2.9); so does this.
void PrintList(CliOutput& io, const QString& title, QStringList texts) {
    texts.sort(Qt::CaseSensitive);
    io.Out(QStringLiteral("%1 (%2):").arg(title).arg(texts.size()));
    for (const QString& t : texts)
        io.Out(QStringLiteral("  ") + t);
}

void PrintText(CliOutput& io, const UpdatePackage& package) {
    io.Out(QStringLiteral("Pages: %1").arg(package.pages.size()));
    io.Out(QStringLiteral("Page size: %1").arg(package.pageSize));
    PrintList(io, QStringLiteral("Hardware versions"), HardwareTexts(package));
    PrintList(io, QStringLiteral("Program versions"), ProgramTexts(package));
}

}  // namespace

int RunInfoCommand(const CliCommand& command, const QStringList& args, CliOutput& io) {
    InfoSettings settings;
    QString error;
    if (!ParseInfoArguments(args, settings, error))
        return UsageError(io, error);
    if (settings.help)
        return PrintCommandHelp(io, command);

    UpdatePackage package;
    if (!LoadUpdatePackageFile(settings.packagePath, package, error)) {
        io.Err(error);
        return kExitUsage;
    }
    if (settings.json) {
        PrintJson(io, package);
    } else {
        PrintText(io, package);
    }
    return kExitOk;
}

}  // namespace kvr::cli

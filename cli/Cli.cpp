#include "Cli.h"

#include "Exception.h"
#include "OutputQueue.h"
#include "Translate.h"

namespace kvr::cli {

namespace {

constexpr int kSynopsisColumnWidth = 28;

const CliCommand* FindCommand(std::span<const CliCommand> commands, const QString& name) {
    for (const CliCommand& command : commands) {
        if (name == QLatin1String(command.name))
            return &command;
    }
    return nullptr;
}

void PrintHelp(std::span<const CliCommand> commands, CliOutput& io) {
    io.Out(QStringLiteral("Usage: %1 COMMAND [ARGUMENTS]").arg(QLatin1String(kProgramName)));
    io.Out(QString());
    io.Out(QStringLiteral(
        "Updates the firmware of the КВР-17 instrument through its serial bootloader."));
    io.Out(QString());
    io.Out(QStringLiteral("Commands:"));
    for (const CliCommand& command : commands) {
        io.Out(QStringLiteral("  %1 %2")
                   .arg(QLatin1String(command.synopsis), -kSynopsisColumnWidth)
                   .arg(QString::fromUtf8(command.summary)));
    }
    io.Out(QString());
    io.Out(QStringLiteral("Options:"));
    io.Out(QStringLiteral("  %1 %2")
               .arg(QStringLiteral("-h, --help"), -kSynopsisColumnWidth)
               .arg(QStringLiteral("Show this help; after a command, that command's help.")));
    io.Out(QString());
    io.Out(
        QStringLiteral("Exit status: 0 success, 1 any other outcome of a run, 2 bad usage or a "
                       "package that does not load."));
}

// Releases the language file however the command ends.
struct LanguageFileScope {
    LanguageFileScope() { OpenLanguageFile(); }
    ~LanguageFileScope() { ReleaseLanguageFile(); }
    LanguageFileScope(const LanguageFileScope&) = delete;
    LanguageFileScope& operator=(const LanguageFileScope&) = delete;
};

}  // namespace

void CliOutput::Out(const QString& line) {
    Raw(out_, line.toUtf8() + '\n');
}
void CliOutput::Err(const QString& line) {
    Raw(err_, line.toUtf8() + '\n');
}

void CliOutput::Flush() {
    if (queue_ != nullptr)
        queue_->Drain();
}

void CliOutput::Raw(std::FILE* stream, const QByteArray& bytes) {
    if (queue_ != nullptr) {
        queue_->Write(stream, bytes);
        return;
    }
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    std::fflush(stream);
}

int UsageError(CliOutput& io, const QString& text) {
    io.Err(QStringLiteral("%1: %2").arg(QLatin1String(kProgramName), text));
    io.Err(QStringLiteral("Try \"%1 --help\".").arg(QLatin1String(kProgramName)));
    return kExitUsage;
}

bool IsHelpOption(const QString& arg) {
    return arg == QLatin1String("--help") || arg == QLatin1String("-h");
}

int PrintCommandHelp(CliOutput& io, const CliCommand& command) {
    io.Out(QStringLiteral("Usage: %1 %2")
               .arg(QLatin1String(kProgramName), QLatin1String(command.synopsis)));
    io.Out(QString::fromUtf8(command.summary));
    return kExitOk;
}

int RunCli(std::span<const CliCommand> commands, const QStringList& args, CliOutput& io) {
    if (args.isEmpty()) {
        return UsageError(io, QStringLiteral("no command given"));
    }
    if (IsHelpOption(args.first())) {
        PrintHelp(commands, io);
        return kExitOk;
    }
    const CliCommand* command = FindCommand(commands, args.first());
    if (command == nullptr) {
        return UsageError(io, QStringLiteral("unknown command \"%1\"").arg(args.first()));
    }
    try {
        // Texts come out translated exactly as in the window.
        LanguageFileScope language;
        return command->run(*command, args.mid(1), io);
    } catch (const Exception& e) {
        io.Err(QString::fromUtf8(e.what()));
        return kExitFailed;
    }
}

}  // namespace kvr::cli

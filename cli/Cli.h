// kvr-uplinker-cli: the command table and what every command shares.
//
// A command is one file (<Name>Command.cpp) holding its Run function, plus one row in the table
// in Cli.cpp. Commands print nothing of their own accord outside CliOutput and return an exit
// status: kExitOk, kExitFailed for any other outcome, kExitUsage for bad usage or a package that
// does not load.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdio>

namespace kvr::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

inline constexpr char kProgramName[] = "kvr-uplinker-cli";

// Lines of UTF-8 text to standard output and standard error.
class CliOutput {
public:
    CliOutput(std::FILE* out, std::FILE* err) : out_(out), err_(err) {}
    void Out(const QString& line);
    void Err(const QString& line);

private:
    std::FILE* out_;
    std::FILE* err_;
};

// Arguments after the command name.
using CommandFn = int (*)(const QStringList& args, CliOutput& io);

struct CliCommand {
    const char* name;
    const char* synopsis;  // "info PACKAGE [--json]"
    const char* summary;   // one line for --help
    CommandFn run;
};

int RunInfoCommand(const QStringList& args, CliOutput& io);
int RunPortsCommand(const QStringList& args, CliOutput& io);
int RunFlashCommand(const QStringList& args, CliOutput& io);

// Prints "kvr-uplinker-cli: <text>" and a pointer to --help on standard error; returns
// kExitUsage.
int UsageError(CliOutput& io, const QString& text);
// True for "--help" and "-h".
bool IsHelpOption(const QString& arg);
// Prints "Usage: kvr-uplinker-cli <synopsis>" and the summary of one command.
int PrintCommandHelp(CliOutput& io, const char* commandName);

// Dispatches argv (without the program name). Opens the language file for the command.
int RunCli(const QStringList& args, CliOutput& io);

}  // namespace kvr::cli

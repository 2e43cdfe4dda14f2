// kvr-uplinker-cli: the command table's row and what every command shares.
//
// A command is one file (<Name>Command.cpp, listed in CMakeLists.txt) holding its Run function,
// plus one row in the table in main.cpp. Commands print nothing of their own accord outside
// CliOutput and return an exit status: kExitOk, kExitFailed for any other outcome, kExitUsage
// for bad usage or a package that does not load.
//
// The dispatch takes the table as an argument, so that it and the argument parsing (Arguments.h)
// can be tested without linking every command.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdio>
#include <span>

namespace kvr::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

inline constexpr char kProgramName[] = "kvr-uplinker-cli";

class OutputQueue;

// Lines of UTF-8 text to standard output and standard error, written at once or, once a queue
// is set, from the queue's thread (in the order given either way).
class CliOutput {
public:
    CliOutput(std::FILE* out, std::FILE* err) : out_(out), err_(err) {}
    void Out(const QString& line);
    void Err(const QString& line);
    // Bytes as they are (progress redrawn in place, JSON lines), on either stream.
    void Raw(std::FILE* stream, const QByteArray& bytes);
    std::FILE* OutStream() const { return out_; }
    std::FILE* ErrStream() const { return err_; }
    // nullptr: straight to the streams again. The queue must outlive its use here.
    void SetQueue(OutputQueue* queue) { queue_ = queue; }
    // Returns once everything given so far is written (a prompt before a read).
    void Flush();

private:
    std::FILE* out_;
    std::FILE* err_;
    OutputQueue* queue_ = nullptr;
};

struct CliCommand;

// The command's own row and the arguments after the command name.
using CommandFn = int (*)(const CliCommand& command, const QStringList& args, CliOutput& io);

struct CliCommand {
    const char* name;
    const char* synopsis;  // "info PACKAGE [--json]"
    const char* summary;   // one line for --help
    CommandFn run;
};

int RunInfoCommand(const CliCommand& command, const QStringList& args, CliOutput& io);
int RunPortsCommand(const CliCommand& command, const QStringList& args, CliOutput& io);
int RunFlashCommand(const CliCommand& command, const QStringList& args, CliOutput& io);
int RunPoolCommand(const CliCommand& command, const QStringList& args, CliOutput& io);
int RunHistoryCommand(const CliCommand& command, const QStringList& args, CliOutput& io);

// Prints "kvr-uplinker-cli: <text>" and a pointer to --help on standard error; returns
// kExitUsage.
int UsageError(CliOutput& io, const QString& text);
// True for "--help" and "-h".
bool IsHelpOption(const QString& arg);
// Prints "Usage: kvr-uplinker-cli <synopsis>" and the summary of one command; returns kExitOk.
int PrintCommandHelp(CliOutput& io, const CliCommand& command);

// Dispatches argv (without the program name) to one of `commands`, in the order --help lists
// them. Opens the language file for the command.
int RunCli(std::span<const CliCommand> commands, const QStringList& args, CliOutput& io);

}  // namespace kvr::cli

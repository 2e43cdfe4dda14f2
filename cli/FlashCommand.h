// flash --port PORT --package FILE [--bootall] [--technology --sn SN --hw HW]
//       [--program-mismatch ask|continue|stop]
//
// One update run of the engine on its own thread, as the window starts it, with a command-line
// run host:
// - every text the window would show in a message box (the two version questions included)
//   goes to standard output, one line each, in order, translated; nothing else goes there;
// - progress goes to standard error: on a terminal a bar with percentage, pages and rate
//   redrawn in place, otherwise one "NN%" line each time the value changes;
// - the program-version question: "ask" asks on the terminal (standard input) and counts as No
//   without one, "continue" answers Yes, "stop" No;
// - the exit status is 0 exactly when the run ended with the success message, 1 for any other
//   outcome (a stop by Ctrl+C included), 2 for bad usage or a package that does not load;
// - Ctrl+C (or SIGTERM) asks the run to stop as closing the window does: the exchange under
//   way finishes, the port and the log are closed. A second Ctrl+C ends the program at once.
// - the update log and the language file are the window's.
// The hand-overs of the run are served by this thread's event loop while the run goes on.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdio>

#include "Clock.h"
#include "RunHost.h"

namespace kvr::cli {

class CliOutput;

enum class ProgramMismatchAnswer { Ask, Continue, Stop };

struct FlashSettings {
    QString port;
    QString packagePath;
    bool bootAll = false;
    bool technology = false;
    QString serialNumber;  // technology mode: 1-12 digits
    QString hardware;      // technology mode: 1-3 digits
    ProgramMismatchAnswer programMismatch = ProgramMismatchAnswer::Ask;
    bool help = false;
};

// The arguments after "flash". Returns false with a one-line reason in `error`.
bool ParseFlashArguments(const QStringList& args, FlashSettings& settings, QString& error);

// The run's progress on standard error.
class ProgressDisplay {
public:
    ProgressDisplay(std::FILE* stream, bool terminal, int pageCount, IClock& clock);
    // One SetProgress of the run (one per page taken, then 100 at completion).
    void Update(int position);
    // Ends a bar line on a terminal, so that other text starts on a line of its own.
    void EndLine();

private:
    void DrawBar();

    std::FILE* stream_;
    bool terminal_;
    int pageCount_;
    IClock& clock_;
    int position_ = -1;
    int updates_ = 0;
    uint64_t firstUpdateMs_ = 0;
    bool lineOpen_ = false;
};

// The run host of the command line. Lives on the main thread; the run reaches it through its
// hand-over.
class CliRunHost final : public IRunHost {
public:
    CliRunHost(CliOutput& io, ProgressDisplay& progress, const FlashSettings& settings);

    void ShowMessage(const QString& text) override;
    bool AskYesNo(const QString& text) override;
    void SetProgress(int position) override;
    void EnableStart() override {}
    QString SerialNumberText() override { return settings_.serialNumber; }
    QString HardwareText() override { return settings_.hardware; }

    // The text of the last message box, empty when there was none.
    const QString& LastMessage() const { return lastMessage_; }

private:
    bool AskTerminal();

    CliOutput& io_;
    ProgressDisplay& progress_;
    const FlashSettings& settings_;
    QString lastMessage_;
};

}  // namespace kvr::cli

// flash --port PORT --package FILE [--bootall] [--technology --sn SN --hw HW]
//       [--program-mismatch ask|continue|stop]
//
// One update run of the engine on its own thread, as the window starts it, with a command-line
// run host:
// - every text the window would show in a message box (the two version questions included)
//   goes to standard output, one line each, in order, translated; nothing else goes there;
// - progress goes to standard error (ProgressDisplay.h);
// - the program-version question: "ask" asks on the terminal (standard input) and counts as No
//   without one, "continue" answers Yes, "stop" No;
// - the exit status is 0 exactly when the run ended with the success message, 1 for any other
//   outcome (a stop by Ctrl+C included), 2 for bad usage or a package that does not load;
// - Ctrl+C (or SIGTERM, or Ctrl+Break on Windows) asks the run to stop as closing the window
//   does: the exchange under way finishes, the port and the log are closed. A second Ctrl+C
//   ends the program at once (InterruptWatch.h).
// - the update log and the language file are the window's.
// The hand-overs of the run are served by this thread's event loop while the run goes on.
#pragma once

#include <QString>

#include "Arguments.h"
#include "RunHost.h"

namespace kvr::cli {

class CliOutput;
class ProgressDisplay;

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

// Ctrl+C during a run, and the terminal the program-version question waits on. One half per
// platform: InterruptWatch_posix.cpp (SIGINT, SIGTERM and SIGHUP: a closed terminal or a dropped
// SSH session) and InterruptWatch_win32.cpp (the console's Ctrl+C and Ctrl+Break, and its
// closing, log-off and shut-down).
#pragma once

#include <cstdio>
#include <functional>
#include <memory>

class QThread;

namespace kvr::cli {

class CliOutput;

// Turns the first interrupt into a call of `onInterrupt` on the thread that made the watch,
// through its event loop; a second Ctrl+C ends the program at once. Windows ends a program whose
// console closes once its handler returns: the handler holds on until the watch is destroyed
// (the runs have ended), as long as the system lets it. A read of a line from the
// terminal that is waiting on that thread gives up (std::fgets returns nullptr). One watch at a
// time; the system's handling comes back when it is destroyed.
class InterruptWatch {
public:
    explicit InterruptWatch(std::function<void()> onInterrupt);
    ~InterruptWatch();
    InterruptWatch(const InterruptWatch&) = delete;
    InterruptWatch& operator=(const InterruptWatch&) = delete;

    // Starts the run's thread so that interrupts reach the thread of the watch, not the run.
    static void StartRunThread(QThread& thread);

private:
    struct State;
    std::unique_ptr<State> state_;
};

// True when the stream is an interactive terminal (a console on Windows).
bool IsTerminal(std::FILE* stream);

// A yes-or-no question on the terminal ("y", "yes", "д", "да"); No without a terminal, and on
// Ctrl+C.
bool AskYesNo(CliOutput& io);

// True when the stream is a terminal that moves its cursor on the usual escape sequences, so
// that several lines can be redrawn in place (on Windows this turns the console's sequence
// handling on; consoles older than Windows 10 say no).
bool CanRedrawLines(std::FILE* stream);

// Makes the terminal show the UTF-8 lines the program writes, and a closed output a failed write
// rather than the end of the program. Call once at start.
void PrepareTerminal();

}  // namespace kvr::cli

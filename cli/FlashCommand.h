// flash --port PORT [--port PORT …] --package FILE [options]: see PrintFlashHelp for the
// options.
//
// One update run of the engine per port, each on its own thread, as the window starts one
// (Station.h), with the command line's output (StationOutput.h):
// - every text the window would show in a message box (the two version questions included)
//   goes to standard output, one line each, in order, translated; with several ports each line
//   starts with its port; nothing else goes there (with --json: JSON lines only);
// - progress goes to standard error (ProgressDisplay.h for one port);
// - the program-version question: "ask" asks on the terminal (standard input) and counts as No
//   without one, "continue" answers Yes, "stop" No;
// - the exit status is 0 exactly when every run ended with the success message, 1 for any other
//   outcome (a stop by Ctrl+C included), 2 for bad usage or a package that does not load;
// - Ctrl+C (or SIGTERM, SIGHUP, or Ctrl+Break and a closed console on Windows) asks every run
//   to stop as closing the window does: the exchange under way finishes, the port and the log
//   are closed, and the summary still prints. A second Ctrl+C ends the program at once
//   (InterruptWatch.h).
// - output is written from a queue (OutputQueue.h): a reader that stops reading, or a closed
//   pipe, stops no run, and the exit status still tells the outcome.
// - with --json a command refused before it starts prints an "error" line and the summary.
// - one port keeps the window's update log ("log.txt"); several ports each keep one of their
//   own beside it (PortLogPath).
#pragma once

#include <QString>
#include <QStringList>

namespace kvr::cli {

// The update log of one of several ports: "log-<port>.txt" beside the single log, named by the
// port's last path element ("/dev/ttyUSB0" → "log-ttyUSB0.txt", "COM5" → "log-COM5.txt", a
// /dev/serial/by-id name by its own name), or by its path below /dev ("/dev/pts/3" →
// "log-pts_3.txt"); anything but letters, digits, '.', '_' and '-' becomes '_'.
QString PortLogPath(const QString& updateLogPath, const QString& port);
// The update logs of several ports, one file each: a name that two ports would share
// (/run/fix/a/tty and /run/fix/b/tty) takes the port's whole path ("log-run_fix_a_tty.txt"),
// and what that still leaves shared is numbered ("log-…-2.txt").
QStringList PortLogPaths(const QString& updateLogPath, const QStringList& ports);

}  // namespace kvr::cli

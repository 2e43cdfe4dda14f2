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
//   own beside it (PortLogs.h).
#pragma once

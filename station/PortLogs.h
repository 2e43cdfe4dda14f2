// The names of a station's ports: their update logs, one file each beside the single log, and
// what tells two names of one port and the adapter behind a port.
#pragma once

#include <QString>
#include <QStringList>
#include <initializer_list>
#include <vector>

#include "SerialPorts.h"

namespace kvr::station {

// The update log of one of several ports: "log-<port>.txt" beside the single log, named by the
// port's last path element ("/dev/ttyUSB0" → "log-ttyUSB0.txt", "COM5" → "log-COM5.txt", a
// /dev/serial/by-id name by its own name), or by its path below /dev ("/dev/pts/3" →
// "log-pts_3.txt"); anything but letters, digits, '.', '_' and '-' becomes '_'.
QString PortLogPath(const QString& updateLogPath, const QString& port);
// The update logs of several ports, one file each: a name that two ports would share
// (/run/fix/a/tty and /run/fix/b/tty) takes the port's whole path ("log-run_fix_a_tty.txt"),
// and what that still leaves shared is numbered ("log-…-2.txt").
QStringList PortLogPaths(const QString& updateLogPath, const QStringList& ports);

// The port a name opens, whatever it was called (see PortIdentity in PortLogs.cpp): two names
// with one identity are one port.
QString PortIdentity(const QString& given);
// The system's serial ports, described; none when they cannot be listed (the adapter is a help
// for finding a fixture again, never a reason to stop).
std::vector<SerialPortDetails> KnownPorts();
// What the system knows of the port a name opens, under any of its names; null: nothing.
const SerialPortDetails* DetailsOf(const QString& port,
                                   const std::vector<SerialPortDetails>& known);
// The adapter behind a port, as a fixture finds it again: its by-id link, else its USB serial
// number; empty where the system says nothing.
QString AdapterOf(const QString& port, const std::vector<SerialPortDetails>& known);
// Two names of one port in `ports`: the message naming both; empty when every port is its own.
QString SamePortTwice(const QStringList& ports);

// The name without the first of `prefixes` it starts with (case does not count).
QString PortNameWithoutPrefix(const QString& name, std::initializer_list<QString> prefixes);

}  // namespace kvr::station

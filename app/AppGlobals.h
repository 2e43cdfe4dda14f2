// Process-wide state of the window application: the two operating modes, the version and the
// application title. The mode flags are written by the entry point before any window or run
// exists and only read afterwards, so they need no lock.
#pragma once

#include <QString>
#include <QStringList>

namespace kvr {

class TFormProgFrm;

inline constexpr const char* kAppVersion = "1.0.14";
inline constexpr const char* kInitialApplicationTitle = "KVR17 Uplinker";

// "-t": the S/N panel, a disabled Start button, and the serial number written after a run.
extern bool TechnologyMode;
// "-all": page frames carry the second frame type.
extern bool BootAllMode;
// The one main window, set by the entry point.
extern TFormProgFrm* FormProgFrm;

struct CommandLineModes {
    bool technologyMode = false;
    bool bootAllMode = false;
};

// Reads the switches from the arguments (program name excluded). A switch matches only when
// the whole argument equals it, letter case included; anything else is ignored.
CommandLineModes ParseSwitches(const QStringList& arguments);

// The application title: caption of every message box. Kept apart from Qt's display name,
// which the X11 and Wayland back ends would append to the window caption.
QString ApplicationTitle();
void SetApplicationTitle(const QString& title);

}  // namespace kvr

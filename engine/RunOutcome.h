// How one update run ended, as a value for whoever started it. The window goes by its message
// boxes; a station decides success, counts and records by this instead of comparing texts.
#pragma once

#include <QString>

namespace kvr {

enum class RunEnd {
    Success,               // the success message
    UpdateError,           // the device reported an update error, refused or never took a page
    ExchangeError,         // no valid reply, or a bad checksum, ended the run
    SerialNumberError,     // the serial number was not written (or the device never asked)
    HardwareIncompatible,  // the device flagged the hardware version
    ProgramRefused,        // the device flagged the program version and the answer was No
    NoConnection,          // the port did not open
    Stopped,               // a stop request ended the run before any closing message
};

struct RunOutcome {
    RunEnd end = RunEnd::Stopped;
    QString text;                        // the closing text shown (translated); empty when stopped
    bool serialNumberSent = false;       // a serial number went out to the device
    QString serialNumber;                // the one that went out; empty when none did
    bool serialNumberConfirmed = false;  // and the device confirmed writing it
};

// A stable word for each end, for machine-readable output and records.
inline const char* RunEndName(RunEnd end) {
    switch (end) {
        case RunEnd::Success:
            return "success";
        case RunEnd::UpdateError:
            return "update_error";
        case RunEnd::ExchangeError:
            return "exchange_error";
        case RunEnd::SerialNumberError:
            return "serial_number_error";
        case RunEnd::HardwareIncompatible:
            return "hardware_incompatible";
        case RunEnd::ProgramRefused:
            return "program_refused";
        case RunEnd::NoConnection:
            return "no_connection";
        case RunEnd::Stopped:
            break;
    }
    return "stopped";
}

}  // namespace kvr

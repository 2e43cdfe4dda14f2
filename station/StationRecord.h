// What a station hands to the outside about its serial numbers and its runs, so that a
// production record can keep them. Every call comes on the port's own thread, never on the
// station's, so a record that is slow to answer holds back only its port.
#pragma once

#include <QString>

namespace kvr::station {

struct RunResult;

// Where the ports without a fixed serial number get theirs. Thread-safe.
class ISerialNumberSource {
public:
    virtual ~ISerialNumberSource() = default;
    // Holds one number for a run about to start; false when none is left, or with the reason
    // in `why` when none can be had for another reason.
    virtual bool Reserve(QString& why) = 0;
    // After a failed Reserve: true when numbers are to come by themselves (a lease on its way
    // once the record answers); a looping port then waits and asks again.
    virtual bool Later() const { return false; }
    // Gives back a reservation that a run did not use.
    virtual void Release() = 0;
    // The number for `port`'s run, spent from now on; takes up a reservation. Empty when none
    // can be had; then `note` may say why.
    virtual QString Take(int port, QString& note) = 0;
    // What the device said of the number. note: anything the operator should hear.
    virtual void Settle(int port, const QString& number, bool confirmed, QString& note) = 0;
};

// The record of a station's runs. Thread-safe.
class IStationRecord {
public:
    virtual ~IStationRecord() = default;
    // Before the device sees anything. False refuses the run; `why` says why. A looping port
    // waits and asks again when Later() says so.
    virtual bool OpenRun(int port, QString& why) = 0;
    virtual bool Later() const { return false; }
    // After it ended. note: anything the operator should hear (an ending that waits in the
    // journal).
    virtual void CloseRun(int port, const RunResult& result, QString& note) = 0;
};

}  // namespace kvr::station

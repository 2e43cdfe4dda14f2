// TDevicePresence: whether a device answers on a port, between updates. A production station
// uses it to see a device taken off the fixture and the next one put in.
//
// Each Check opens the port when it is not open and sends one link probe (status requests in
// both framings, as a run starts), judged by a protocol that reports and logs nothing: a silent
// fixture is the normal state of a station waiting for its next device. A port that answered
// stays open from one Check to the next; after a silent Check it is opened afresh, so that an
// adapter unplugged and plugged in again is heard.
//
// A port that does not open is not a silent one: Check says PortLost, and the station must not
// take it for a device taken away (an adapter that drops out, or a port another program holds
// for a moment, still has the same device on it when it comes back).
//
// Thread rules: one thread at a time; channels and clock must outlive the object. Close the port
// (Close, or the destructor) before an update run opens it.
#pragma once

#include <QString>
#include <memory>

#include "ByteChannel.h"
#include "Clock.h"

namespace kvr::station {

enum class Presence {
    Answered,  // a device answered the probe
    Silent,    // the port is open and nothing answered
    PortLost,  // the port does not open (OpenError says why)
};

class TDevicePresence {
public:
    TDevicePresence(const QString& portName, IChannelFactory& channels);
    ~TDevicePresence();
    TDevicePresence(const TDevicePresence&) = delete;
    TDevicePresence& operator=(const TDevicePresence&) = delete;

    Presence Check();
    void Close();
    // Why the port did not open at the last Check; empty when it opened (or was open).
    const QString& OpenError() const { return openError_; }

private:
    struct Link;

    QString portName_;
    IChannelFactory& channels_;
    std::unique_ptr<Link> link_;
    QString openError_;
};

}  // namespace kvr::station

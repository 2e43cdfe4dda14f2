// TDevicePresence: whether a device answers on a port, between updates. A production station
// uses it to see a device taken off the fixture and the next one put in.
//
// Each Check opens the port when it is not open and sends one link probe (status requests in
// both framings, as a run starts). Nothing is logged and nothing is reported: a silent fixture
// is the normal state of a station waiting for its next device. A port that does not open, that
// fails, or where nothing answers counts as no answer and is opened afresh at the next Check;
// the port stays open from one answered Check to the next.
//
// Thread rules: one thread at a time; channels and clock must outlive the object. Close the port
// (Close, or the destructor) before an update run opens it.
#pragma once

#include <QString>
#include <memory>

#include "ByteChannel.h"
#include "Clock.h"

namespace kvr {

class TDevicePresence {
public:
    TDevicePresence(const QString& portName, IChannelFactory& channels, IClock& clock);
    ~TDevicePresence();
    TDevicePresence(const TDevicePresence&) = delete;
    TDevicePresence& operator=(const TDevicePresence&) = delete;

    // True when a device answered the probe.
    bool Check();
    void Close();
    // Why the port did not open at the last Check; empty when it opened (or was open).
    const QString& OpenError() const { return openError_; }

private:
    struct Link;

    QString portName_;
    IChannelFactory& channels_;
    IClock& clock_;
    std::unique_ptr<Link> link_;
    QString openError_;
};

}  // namespace kvr

// TUpdateThread: one firmware update run on its own thread.
//
// Usage (window or command line, on the host's thread):
//   TRunHandOver handOver(host);                  // lives on the host's thread
//   TUpdateThread run(port, package.pages, options, channels, clock, handOver);
//   run.start();                                  // the constructor does not start it
//   ... keep the event loop running (hand-overs are served from it) ...
//   run.requestInterruption();                    // optional: ask the run to stop
//   handOver.WaitServing(run);                    // never a bare run.wait(): see HandOver.h
//
// Contract:
// - The constructor copies the pages and the port name, sets the run's address field length
//   to 6 and opens the update log at options.logPath (empty: no log), writing the run
//   separator and the first entry. It does not touch the port.
// - run() carries out the whole update (UpdateSequence.h): it connects through `channels`,
//   probes the device's framing, polls and sends pages, and always ends with the tail: port
//   closed, log closed, EnableStart. Nothing is thrown past the thread.
// - Every report to the host (messages, the two version questions, progress, EnableStart, the
//   S/N and HW texts) goes through `handOver`, and the run waits until the host has run it.
// - A stop request (QThread::requestInterruption) is looked at once per polling turn, so the
//   exchange, wait or message under way finishes first; then the tail runs.
// - The mode flags come in `options`: nothing global is read. The address field length belongs
//   to this run alone, so several runs on several ports may exist at once (each with its own
//   hand-over, channel and log path).
// - channels, clock and handOver must outlive the thread object. Destroy the object only when
//   the thread has finished (QThread's own rule).
#pragma once

#include <QString>
#include <QThread>
#include <memory>
#include <mutex>

#include "ByteChannel.h"
#include "Clock.h"
#include "HandOver.h"
#include "RunOptions.h"
#include "RunOutcome.h"
#include "UpdatePackage.h"

namespace kvr {

class TUpdateSequence;

class TUpdateThread : public QThread {
    Q_OBJECT

public:
    TUpdateThread(const QString& portName, PageMap pages, const RunOptions& options,
                  IChannelFactory& channels, IClock& clock, TRunHandOver& handOver,
                  QObject* parent = nullptr);
    ~TUpdateThread() override;

    // The run's current address field length (6 or 0). Any thread, at any time: no lock is
    // held across the run's waits for its host, so a host may ask while a question is open.
    uint16_t AddressFieldLength() const;

    // True while the update log is open (and so receives this run's entries). Any thread.
    bool LogOpen() const;

    // How the run ended and the page frames it sent; once the thread has finished.
    RunOutcome Outcome() const;
    int PagesSent() const;

protected:
    void run() override;

private:
    // Taken by run() once the run is over and by the destructor. QThread::wait already orders
    // the run before the destruction, but through Qt's own locks, which ThreadSanitizer does
    // not see when Qt is not built for it; this lock states the order where it can be checked.
    // It is never held while the run waits for its host.
    mutable std::mutex finishedMutex_;
    std::unique_ptr<TUpdateSequence> sequence_;
};

}  // namespace kvr

// A production station: one update run per port, all at once, each on its own thread with its
// own framing state, hand-over and update log; optionally a hands-free loop per port.
//
// Every port's run is the engine's TUpdateSequence, unchanged; its outcome is the value the
// run returns. The station adds:
// - a host per port on the station's thread (the thread that calls Run), reached through the
//   port's TRunHandOver, that turns the run's reports into IStationEvents calls for that port;
// - serial numbers (technology mode): fixed per port, or taken from a source (a
//   SerialNumberCounter, a record's pool) on the port's thread when the run reaches its
//   serial-number step (a number is reserved before the run starts, so a run is not started
//   when no number is left for it); an empty number is never written;
// - a record (optional): each run's row is opened on the port's thread before the device sees
//   anything, and a run whose row cannot be opened is not started; the row is completed after
//   the run;
// - the loop (`repeat`), a state per port (PortState):
//     Waiting      until a device answers presentChecks probes in a row; its update follows.
//                  The probes that confirm an answer come presenceConfirmMs apart, not a whole
//                  poll pause: enough for a unit's contacts to settle, and a unit already in
//                  place when the loop starts is not kept waiting;
//     Updating     the run;
//     TakeOut      after every update, whatever its outcome, until the device has been silent
//                  for removalMs on a working port; then Waiting again. A device swapped in
//                  faster than that is not updated: the port still says TakeOut;
//     AdapterLost  the port does not open. That is no removal: when it opens again the port
//                  goes back to the state it was in, and the device that answers is the one
//                  that was there.
//     Held         the device is there but its run cannot start yet (no number leased while
//                  the record is away): checked again every heldRetryMs, never given up.
//   A device left in place is never updated twice.
// - Stop: every run stops after the exchange under way; a waiting port stops at its next check.
//
// Thread rules: construct, Run and read results on one thread (with an event loop available:
// Run spins its own). Stop may be called from any thread, before or while Run runs. The ports'
// channel factories and clocks must outlive Run; a factory may be shared by ports only when it is
// safe to call from several threads.
#pragma once

#include <QString>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "ByteChannel.h"
#include "Clock.h"
#include "RunOutcome.h"
#include "StationLimits.h"
#include "StationRecord.h"
#include "UpdatePackage.h"

class QThread;

namespace kvr::station {

struct StationPort {
    QString name;          // what the port opens by
    QString logPath;       // this port's update log; empty: none
    QString serialNumber;  // technology mode: this port's number; empty: from the counter
    IChannelFactory* channels = nullptr;
    IClock* clock = nullptr;
};

// How one update run on a port ended.
struct RunResult {
    int run = 0;  // 1, 2, … on its port
    bool started = false;
    RunEnd end = RunEnd::Stopped;  // the run's own outcome (Stopped when not started)
    bool succeeded = false;        // end is Success
    bool stopped = false;          // ended because of a stop request (not merely during one)
    QString outcome;               // the closing text shown, or the station's own word when none
    uint64_t durationMs = 0;
    int pagesSent = 0;
    QString serialNumber;                // given to the device in this run; empty: none
    bool serialNumberConfirmed = false;  // the device confirmed writing it
};

// A run's result from its outcome: the number written is the one the outcome carries.
RunResult ResultOf(const RunOutcome& outcome, uint64_t durationMs, int pagesSent);

// Held: a device is in place, and its run waits for what it needs (a serial number, the
// station's store); the detail says what. It starts by itself when that comes.
enum class PortState { Waiting, Updating, TakeOut, AdapterLost, Held };

// What the station reports, on its thread, in order for each port. `port` is the index into
// the station's ports.
class IStationEvents {
public:
    virtual ~IStationEvents() = default;
    // Loop only. detail: for AdapterLost the system's reason (said once until the port opens).
    virtual void StateChanged(int port, PortState state, const QString& detail) = 0;
    virtual void DevicePresent(int port) = 0;  // loop: a device answers; its update follows
    virtual void DeviceRemoved(int port) = 0;  // loop: the device stopped answering
    virtual void RunStarted(int port, int run) = 0;
    // pagesSent: page frames written to the device so far in this run.
    virtual void Progress(int port, int position, int pagesSent) = 0;
    virtual void Message(int port, const QString& text) = 0;
    virtual void Question(int port, const QString& text) = 0;  // before it is answered
    virtual void Answer(int port, bool yes) = 0;
    virtual void SerialNumberTaken(int port, const QString& number) = 0;
    // The port's update log does not open: its runs go on without one (said once per port).
    virtual void LogUnavailable(int port, const QString& path) = 0;
    // What the record or the pool has to tell the operator (a record out of reach).
    virtual void RecordNote(int port, const QString& text) = 0;
    virtual void RunEnded(int port, const RunResult& result) = 0;
};

struct StationOptions {
    PageMap pages;
    bool bootAll = false;
    bool technology = false;
    QString hardware;                        // technology mode
    ISerialNumberSource* counter = nullptr;  // technology mode, ports without a number
    IStationRecord* record = nullptr;        // none: nothing is recorded
    // The answer to the program-version question; default No.
    std::function<bool(int port, const QString& question)> answerQuestion;
    bool repeat = false;
    uint32_t presencePollMs = 500;     // pause between two presence checks
    uint32_t presenceConfirmMs = 100;  // the pause after a check that a device answered
    uint32_t heldRetryMs = 1000;       // pause between two tries of a held run
    int presentChecks = 2;             // answers in a row that make a device present
    // Silence on a working port that makes a device taken away.
    uint32_t removalMs = kDefaultRemovalMs;
    // Starts a port's thread (the command line blocks its interrupts there); default start().
    std::function<void(QThread&)> startThread;
};

inline constexpr const char* kOutcomeStopped = "stopped";
inline constexpr const char* kOutcomeNoSerialNumber = "no serial number left";

class Station {
public:
    Station(std::vector<StationPort> ports, StationOptions options, IStationEvents& events);
    ~Station();
    Station(const Station&) = delete;
    Station& operator=(const Station&) = delete;

    // Runs every port until it is done: one update each, or with `repeat` until Stop.
    void Run();
    void Stop();
    bool Stopping() const { return stop_.load(); }

    const std::vector<StationPort>& Ports() const { return ports_; }
    // Each port's runs, in order.
    const std::vector<std::vector<RunResult>>& Results() const { return results_; }
    // True when at least one run ended and every run succeeded.
    bool AllSucceeded() const;

private:
    class PortHost;
    class PortWorker;

    std::vector<StationPort> ports_;
    StationOptions options_;
    IStationEvents& events_;
    std::atomic<bool> stop_{false};
    std::vector<std::vector<RunResult>> results_;
};

}  // namespace kvr::station

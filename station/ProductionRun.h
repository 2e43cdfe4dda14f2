// The one place a production run is set up, for every program: the record opened by its name,
// the package described by the bytes that are flashed, the serial numbers' source with its
// checks, and the station built from them. The programs only gather what the user chose and
// show what comes back.
//
// With a record, no number reaches a device unless the record holds it as given to that run:
// pool numbers are taken from the pool, and fixed or counted numbers are given through the
// record too. A number the record already holds as given is refused before any run starts,
// unless the setup says it re-numbers units on purpose (the run's row keeps that).
#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

#include "ByteChannel.h"
#include "Clock.h"
#include "Record.h"
#include "Station.h"
#include "UpdatePackage.h"

class QThread;

namespace kvr::station {

class SerialNumberCounter;
class StationLedger;
struct LeasePolicy;

// Where an older version kept endings its record did not take: "record-journal.txt" beside
// the update log. A station's ledger moves what it holds into its store at the start.
QString RecordJournalPath(const QString& updateLogPath);

// The record that `given` names: a URL, or "default" for records.sqlite beside the update log;
// a relative sqlite: path lies in `folder` (empty: the current folder). False with one line in
// `error`, never with a password in it.
bool ResolveRecordName(const QString& given, const QString& folder, const QString& updateLogPath,
                       record::RecordUrl& url, QString& error);

// Opens the record that `given` names: a URL, or "default" for records.sqlite beside the
// update log. A relative sqlite: path lies in `folder` (empty: the current folder). Null with
// one line in `error`, never with a password in it; `usage` tells a name that names no record
// from a record that cannot be opened.
std::unique_ptr<record::Record> OpenNamedRecord(const QString& given, const QString& folder,
                                                const QString& updateLogPath, QString& error,
                                                bool& usage);

// A record out of reach, as the operator reads it.
QString RecordUnreachableText(const record::RecordUrl& url, const QString& reason);
// Who holds a number already, in a few words: "pool line2, confirmed on host-a".
QString GivenNumberText(const record::GivenNumber& given);

struct ProductionSetup {
    QString packagePath;    // named in the rows by its file name
    UpdatePackage package;  // as loaded: its pages are flashed and its hash is recorded
    QStringList ports;      // trimmed, each one port (see SamePortTwice)
    bool bootAll = false;
    bool technology = false;
    QString hardware;          // technology mode
    QStringList fixedNumbers;  // technology mode: one per port, or none
    QString firstNumber;       // technology mode: numbers from a counter starting here
    QString pool;              // technology mode: numbers from the record's pool
    bool renumber = false;     // numbers the record holds as given may be given again
    QString record;            // as given; "default"; empty: nothing is recorded
    QString recordFolder;      // where a relative sqlite: record lies; empty: current folder
    QString updateLogPath;     // the single update log; port logs and the journal lie beside it
    bool repeat = false;
    uint32_t removalMs = kDefaultRemovalMs;
    int leaseSize = 0;           // pool numbers leased at a time; 0: the default
    int leaseRefillBelow = 0;    // leased again when fewer are left; 0: the default
    int64_t leaseLifetimeS = 0;  // 0: the default
    // The clock of the leases' lifetimes and of the store's forwarding; it outlives the
    // production run. Null: the system's.
    IClock* ledgerClock = nullptr;
    std::function<bool(int port, const QString& question)> answerQuestion;
    std::function<void(QThread&)> startThread;
};

class ProductionRun {
public:
    // Opens the record and checks what the numbers need before any run starts: the pool is
    // there and not used up, no fixed or first number is held as given. Null with one line in
    // `error`; `usage` for a record name that names no record.
    static std::unique_ptr<ProductionRun> Prepare(ProductionSetup setup, QString& error,
                                                  bool& usage);
    ~ProductionRun();
    ProductionRun(const ProductionRun&) = delete;
    ProductionRun& operator=(const ProductionRun&) = delete;

    // The station on the ports' channels and clocks, in the setup's port order. Again once the
    // last one is gone: a counter goes on where it stopped.
    std::unique_ptr<Station> BuildStation(const std::function<IChannelFactory&(int port)>& channels,
                                          const std::function<IClock&(int port)>& clocks,
                                          IStationEvents& events);

    const ProductionSetup& Setup() const { return setup_; }
    // Each port's update log: the single log for one port, one file each for several.
    QStringList LogPaths() const;
    record::Record* Record() const { return record_.get(); }
    // The station's store and its record's state; null without a record or before the first
    // station was built.
    StationLedger* Ledger() const { return ledger_.get(); }
    // The number the next device would get; empty when there is none. Asks nobody: from the
    // counter, or the first number leased.
    QString NextNumber() const;
    // Ends the production run: numbers leased and not given go back, and what waits in the
    // store is forwarded for up to `flushMs`. Returns the rows left waiting for a next start.
    int64_t Finish(uint64_t flushMs = 10000);

private:
    explicit ProductionRun(ProductionSetup setup);
    bool CheckNumbers(QString& error);

    ProductionSetup setup_;
    SystemClock systemClock_;
    std::unique_ptr<record::Record> record_;
    std::unique_ptr<SerialNumberCounter> counter_;
    std::unique_ptr<StationLedger> ledger_;
    std::unique_ptr<ISerialNumberSource> numbers_;
};

}  // namespace kvr::station

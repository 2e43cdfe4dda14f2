// A station's runs and serial numbers in a production record (Record.h): one row per run, on
// every port, and the numbers of a pool.
//
// What the operator hears (as the station's RecordNote): a record out of reach at the end of a
// run ("… kept in the journal …"), a number the pool could not give. A run whose row cannot be
// opened is refused with the reason, so that no update goes unrecorded.
#pragma once

#include <QString>
#include <mutex>
#include <vector>

#include "Record.h"
#include "StationRecord.h"

namespace kvr::station {

class RecordedRuns final : public IStationRecord {
public:
    // One description per port, in the station's port order.
    RecordedRuns(record::Record& record, std::vector<record::RunStart> ports);

    bool OpenRun(int port, QString& why) override;
    void CloseRun(int port, const RunResult& result, QString& note) override;

    // The id of the port's run (open or last); empty before its first.
    QString RunId(int port) const;

private:
    record::Record& record_;
    std::vector<record::RunStart> ports_;
    std::vector<QString> runIds_;  // each written only by its own port's thread
};

class PoolNumbers final : public ISerialNumberSource {
public:
    PoolNumbers(record::Record& record, QString pool, const RecordedRuns& runs);

    bool Reserve(QString& why) override;
    void Release() override;
    QString Take(int port, QString& note) override;
    void Settle(int port, const QString& number, bool confirmed, QString& note) override;

private:
    record::Record& record_;
    QString pool_;
    const RecordedRuns& runs_;
    std::mutex mutex_;
    int64_t reserved_ = 0;
};

class SerialNumberCounter;

// Numbers chosen outside the pools, given through the record before a device sees them: one
// fixed number per port, or a counter's. A number the record holds as given already is not
// written (a counter goes on to its next one) unless `renumber`.
class GivenNumbers final : public ISerialNumberSource {
public:
    // fixed: one per port; empty: from `counter`.
    GivenNumbers(record::Record& record, const RecordedRuns& runs, QStringList fixed,
                 SerialNumberCounter* counter, bool renumber);

    bool Reserve(QString& why) override;
    void Release() override;
    QString Take(int port, QString& note) override;
    void Settle(int port, const QString& number, bool confirmed, QString& note) override;

private:
    enum class Gave { Yes, HeldAlready, No };
    Gave Give(int port, const QString& number, QString& note);

    record::Record& record_;
    const RecordedRuns& runs_;
    QStringList fixed_;
    SerialNumberCounter* counter_;
    bool renumber_;
};

struct StationPort;

// The row of one run on a port: the package's description with the port, its adapter (where
// the system knows it), its log and the station's modes.
record::RunStart DescribeRun(const record::RunStart& package, const QString& port,
                             const QString& logPath, bool technology, bool bootAll,
                             const QString& hardware, const QString& pool);
// The same for each of a station's ports.
std::vector<record::RunStart> DescribeRuns(const record::RunStart& package,
                                           const std::vector<StationPort>& ports, bool technology,
                                           bool bootAll, const QString& hardware,
                                           const QString& pool);
// How a run ended, as its row says it.
record::RunEnding EndingOf(const RunResult& result);

}  // namespace kvr::station

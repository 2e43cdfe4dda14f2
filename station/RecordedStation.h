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

struct StationPort;

// The rows of a station's runs, one per port: the package's description with the port, its
// adapter (where the system knows it), its log and the station's modes.
std::vector<record::RunStart> DescribeRuns(const record::RunStart& package,
                                           const std::vector<StationPort>& ports, bool technology,
                                           bool bootAll, const QString& hardware,
                                           const QString& pool);

// The texts of the record's messages, for the programs that open a record themselves.
QString RecordUnreachableText(const record::RecordUrl& url, const QString& reason);

}  // namespace kvr::station

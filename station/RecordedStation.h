// What a station's runs look like in a production record (Record.h), and the numbers chosen
// outside the pools (typed, fixed or counted), which the record checks before a device sees
// them. Rows and pool numbers go through the station's ledger (StationLedger.h).
#pragma once

#include <QString>
#include <vector>

#include "Record.h"
#include "StationRecord.h"

namespace kvr::station {

class SerialNumberCounter;
class StationLedger;

// Numbers chosen outside the pools, given through the record before a device sees them: one
// fixed number per port, or a counter's. A number the record holds as given already is not
// written (a counter goes on to its next one) unless `renumber`.
class GivenNumbers final : public ISerialNumberSource {
public:
    // fixed: one per port; empty: from `counter`.
    GivenNumbers(record::Record& record, StationLedger& ledger, QStringList fixed,
                 SerialNumberCounter* counter, bool renumber);

    bool Reserve(QString& why) override;
    void Release() override;
    QString Take(int port, QString& note) override;
    void Settle(int port, const QString& number, bool confirmed, QString& note) override;

private:
    enum class Gave { Yes, HeldAlready, No };
    Gave Give(int port, const QString& number, QString& note);

    record::Record& record_;
    StationLedger& ledger_;
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

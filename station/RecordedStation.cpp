#include "RecordedStation.h"

#include <QDir>

#include "PortLogs.h"
#include "SerialPorts.h"
#include "Station.h"

namespace kvr::station {

using record::RecordError;

QString RecordUnreachableText(const record::RecordUrl& url, const QString& reason) {
    return QStringLiteral("The record %1 cannot be reached: %2").arg(url.Text(), reason);
}

std::vector<record::RunStart> DescribeRuns(const record::RunStart& package,
                                           const std::vector<StationPort>& ports, bool technology,
                                           bool bootAll, const QString& hardware,
                                           const QString& pool) {
    std::vector<SerialPortDetails> known;
    try {
        known = DescribeSerialPorts();
    } catch (const std::exception&) {
        // The adapter is a help for finding a fixture again, never a reason to stop.
    }
    std::vector<record::RunStart> starts;
    for (const StationPort& port : ports) {
        record::RunStart start = package;
        start.port = port.name;
        start.adapter = AdapterOf(port.name, known);
        start.technology = technology;
        start.bootAll = bootAll;
        start.hardware = technology ? hardware : QString();
        start.pool = pool;
        start.logPath = QDir::toNativeSeparators(port.logPath);
        starts.push_back(start);
    }
    return starts;
}

RecordedRuns::RecordedRuns(record::Record& record, std::vector<record::RunStart> ports)
    : record_(record), ports_(std::move(ports)), runIds_(ports_.size()) {}

bool RecordedRuns::OpenRun(int port, QString& why) {
    try {
        runIds_[static_cast<size_t>(port)] = record_.BeginRun(ports_[static_cast<size_t>(port)]);
        return true;
    } catch (const RecordError& e) {
        why = e.Unreachable() ? RecordUnreachableText(record_.Url(), e.Text()) : e.Text();
        return false;
    }
}

void RecordedRuns::CloseRun(int port, const RunResult& result, QString& note) {
    record::RunEnding ending;
    ending.outcome = QString::fromUtf8(RunEndName(result.end));
    ending.outcomeText = result.outcome;
    ending.durationMs = result.durationMs;
    ending.pagesSent = result.pagesSent;
    ending.serialNumber = result.serialNumber;
    ending.serialNumberConfirmed = result.serialNumberConfirmed;
    try {
        if (record_.EndRun(RunId(port), ending) == record::Saved::Journaled) {
            note = QStringLiteral(
                       "The record %1 is out of reach: the run's ending is kept in %2 "
                       "and written to the record once it answers again")
                       .arg(record_.Url().Text(), record_.JournalPath());
        }
    } catch (const RecordError& e) {
        note = QStringLiteral("The run's ending was not recorded: %1").arg(e.Text());
    }
}

QString RecordedRuns::RunId(int port) const {
    return runIds_[static_cast<size_t>(port)];
}

PoolNumbers::PoolNumbers(record::Record& record, QString pool, const RecordedRuns& runs)
    : record_(record), pool_(std::move(pool)), runs_(runs) {}

bool PoolNumbers::Reserve(QString& why) {
    const std::lock_guard lock(mutex_);
    try {
        const std::vector<record::PoolStatus> pools = record_.Pools(pool_);
        if (pools.empty()) {
            why = QStringLiteral("There is no pool named \"%1\"").arg(pool_);
            return false;
        }
        // Another station may take the last numbers meanwhile: then the run's number step
        // finds none and writes nothing.
        if (pools.front().free - reserved_ <= 0)
            return false;
        ++reserved_;
        return true;
    } catch (const RecordError& e) {
        why = e.Unreachable() ? RecordUnreachableText(record_.Url(), e.Text()) : e.Text();
        return false;
    }
}

void PoolNumbers::Release() {
    const std::lock_guard lock(mutex_);
    if (reserved_ > 0)
        --reserved_;
}

QString PoolNumbers::Take(int port, QString& note) {
    QString number;
    try {
        number = record_.TakeNumber(pool_, runs_.RunId(port));
        if (number.isEmpty())
            note = QStringLiteral("The pool \"%1\" has no number left").arg(pool_);
    } catch (const RecordError& e) {
        note = QStringLiteral("No serial number from the pool \"%1\": %2").arg(pool_, e.Text());
    }
    if (!number.isEmpty()) {
        const std::lock_guard lock(mutex_);
        if (reserved_ > 0)
            --reserved_;
    }
    return number;
}

void PoolNumbers::Settle(int, const QString& number, bool confirmed, QString& note) {
    try {
        if (record_.SettleNumber(number, confirmed) == record::Saved::Journaled) {
            note = QStringLiteral(
                       "The record %1 is out of reach: the state of S/N %2 is kept in "
                       "%3")
                       .arg(record_.Url().Text(), number, record_.JournalPath());
        }
    } catch (const RecordError& e) {
        note = QStringLiteral("The state of S/N %1 was not recorded: %2").arg(number, e.Text());
    }
}

}  // namespace kvr::station

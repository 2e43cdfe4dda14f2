#include "RecordedStation.h"

#include <QDir>

#include "PortLogs.h"
#include "ProductionRun.h"
#include "SerialNumberCounter.h"
#include "SerialPorts.h"
#include "Station.h"
#include "StationLedger.h"

namespace kvr::station {

using record::RecordError;

namespace {

record::RunStart Described(const record::RunStart& package, const QString& port,
                           const QString& adapter, const QString& logPath, bool technology,
                           bool bootAll, const QString& hardware, const QString& pool) {
    record::RunStart start = package;
    start.port = port;
    start.adapter = adapter;
    start.technology = technology;
    start.bootAll = bootAll;
    start.hardware = technology ? hardware : QString();
    start.pool = pool;
    start.logPath = QDir::toNativeSeparators(logPath);
    return start;
}

}  // namespace

record::RunStart DescribeRun(const record::RunStart& package, const QString& port,
                             const QString& logPath, bool technology, bool bootAll,
                             const QString& hardware, const QString& pool) {
    return Described(package, port, AdapterOf(port, KnownPorts()), logPath, technology, bootAll,
                     hardware, pool);
}

std::vector<record::RunStart> DescribeRuns(const record::RunStart& package,
                                           const std::vector<StationPort>& ports, bool technology,
                                           bool bootAll, const QString& hardware,
                                           const QString& pool) {
    const std::vector<SerialPortDetails> known = KnownPorts();
    std::vector<record::RunStart> starts;
    for (const StationPort& port : ports) {
        starts.push_back(Described(package, port.name, AdapterOf(port.name, known), port.logPath,
                                   technology, bootAll, hardware, pool));
    }
    return starts;
}

record::RunEnding EndingOf(const RunResult& result) {
    record::RunEnding ending;
    ending.outcome =
        result.started ? QString::fromUtf8(RunEndName(result.end)) : QStringLiteral("not_started");
    ending.outcomeText = result.outcome;
    ending.durationMs = result.durationMs;
    ending.pagesSent = result.pagesSent;
    ending.serialNumber = result.serialNumber;
    ending.serialNumberConfirmed = result.serialNumberConfirmed;
    return ending;
}

GivenNumbers::GivenNumbers(record::Record& record, StationLedger& ledger, QStringList fixed,
                           SerialNumberCounter* counter, bool renumber)
    : record_(record),
      ledger_(ledger),
      fixed_(std::move(fixed)),
      counter_(counter),
      renumber_(renumber) {}

bool GivenNumbers::Reserve(QString& why) {
    return counter_ == nullptr || counter_->Reserve(why);
}

void GivenNumbers::Release() {
    if (counter_ != nullptr)
        counter_->Release();
}

GivenNumbers::Gave GivenNumbers::Give(int port, const QString& number, QString& note) {
    record::GivenNumber holder;
    try {
        // The record decides on a number chosen here, so the run's row must be there first.
        ledger_.ForwardBegin(port);
        if (record_.GiveNumber(number, ledger_.RunId(port), renumber_, &holder))
            return Gave::Yes;
        note = QStringLiteral("S/N %1 is given already (%2): not written")
                   .arg(number, GivenNumberText(holder));
        return Gave::HeldAlready;
    } catch (const RecordError& e) {
        note = QStringLiteral("S/N %1 was not given: the record did not take it: %2")
                   .arg(number, e.Text());
    }
    return Gave::No;
}

QString GivenNumbers::Take(int port, QString& note) {
    if (counter_ == nullptr) {
        const QString number = fixed_.value(port);
        return !number.isEmpty() && Give(port, number, note) == Gave::Yes ? number : QString();
    }
    // A counted number the record holds already is skipped; the next one is tried.
    for (;;) {
        const QString number = counter_->Take();
        if (number.isEmpty())
            return {};
        QString why;
        const Gave gave = Give(port, number, why);
        if (gave == Gave::Yes)
            return number;
        note = note.isEmpty() ? why : note + QStringLiteral("; ") + why;
        if (gave == Gave::No)
            return {};
    }
}

void GivenNumbers::Settle(int port, const QString&, bool confirmed, QString& note) {
    ledger_.SettleRun(port, confirmed, note);
}

}  // namespace kvr::station

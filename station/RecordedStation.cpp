#include "RecordedStation.h"

#include <QDir>

#include "PortLogs.h"
#include "ProductionRun.h"
#include "SerialNumberCounter.h"
#include "SerialPorts.h"
#include "Station.h"

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
    ending.outcome = QString::fromUtf8(RunEndName(result.end));
    ending.outcomeText = result.outcome;
    ending.durationMs = result.durationMs;
    ending.pagesSent = result.pagesSent;
    ending.serialNumber = result.serialNumber;
    ending.serialNumberConfirmed = result.serialNumberConfirmed;
    return ending;
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
    try {
        if (record_.EndRun(RunId(port), EndingOf(result)) == record::Saved::Journaled) {
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

GivenNumbers::GivenNumbers(record::Record& record, const RecordedRuns& runs, QStringList fixed,
                           SerialNumberCounter* counter, bool renumber)
    : record_(record),
      runs_(runs),
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
        if (record_.GiveNumber(number, runs_.RunId(port), renumber_, &holder))
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

void GivenNumbers::Settle(int port, const QString& number, bool confirmed, QString& note) {
    try {
        if (record_.SettleRun(runs_.RunId(port), confirmed) == record::Saved::Journaled) {
            note =
                QStringLiteral("The record %1 is out of reach: the state of S/N %2 is kept in %3")
                    .arg(record_.Url().Text(), number, record_.JournalPath());
        }
    } catch (const RecordError& e) {
        note = QStringLiteral("The state of S/N %1 was not recorded: %2").arg(number, e.Text());
    }
}

}  // namespace kvr::station

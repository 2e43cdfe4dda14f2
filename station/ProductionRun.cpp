#include "ProductionRun.h"

#include <QDir>
#include <QFileInfo>

#include "AppPaths.h"
#include "PackageRun.h"
#include "PortLogs.h"
#include "RecordUrl.h"
#include "RecordedStation.h"
#include "SerialNumberCounter.h"
#include "StationLedger.h"

namespace kvr::station {

using record::RecordError;

QString RecordJournalPath(const QString& updateLogPath) {
    return QFileInfo(updateLogPath).dir().filePath(QStringLiteral("record-journal.txt"));
}

bool ResolveRecordName(const QString& given, const QString& folder, const QString& updateLogPath,
                       record::RecordUrl& url, QString& error) {
    QString text = given.trimmed();
    if (text == QLatin1String("default")) {
        text = QStringLiteral("sqlite:") +
               QFileInfo(updateLogPath).dir().filePath(QStringLiteral("records.sqlite"));
    }
    const QString sqlite = QStringLiteral("sqlite:");
    if (!folder.isEmpty() && text.startsWith(sqlite) &&
        QFileInfo(text.mid(sqlite.size())).isRelative())
        text = sqlite + QDir(folder).filePath(text.mid(sqlite.size()));
    return record::ParseRecordUrl(text, url, error);
}

std::unique_ptr<record::Record> OpenNamedRecord(const QString& given, const QString& folder,
                                                const QString& updateLogPath, QString& error,
                                                bool& usage) {
    record::RecordUrl url;
    usage = !ResolveRecordName(given, folder, updateLogPath, url, error);
    if (usage)
        return nullptr;
    try {
        return record::Record::Open(url);
    } catch (const RecordError& e) {
        error = e.Unreachable() ? RecordUnreachableText(url, e.Text()) : e.Text();
        return nullptr;
    }
}

QString RecordUnreachableText(const record::RecordUrl& url, const QString& reason) {
    return QStringLiteral("The record %1 cannot be reached: %2").arg(url.Text(), reason);
}

QString GivenNumberText(const record::GivenNumber& given) {
    QStringList parts;
    if (!given.pool.isEmpty())
        parts << QStringLiteral("pool %1").arg(given.pool);
    QString state = given.state;
    if (!given.station.isEmpty())
        state += QStringLiteral(" on %1").arg(given.station);
    if (given.at.isValid())
        state += QStringLiteral(" at %1").arg(
            given.at.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm")));
    parts << state;
    return parts.join(QStringLiteral(", "));
}

ProductionRun::ProductionRun(ProductionSetup setup) : setup_(std::move(setup)) {}

ProductionRun::~ProductionRun() = default;

std::unique_ptr<ProductionRun> ProductionRun::Prepare(ProductionSetup setup, QString& error,
                                                      bool& usage) {
    usage = false;
    std::unique_ptr<ProductionRun> run(new ProductionRun(std::move(setup)));
    const ProductionSetup& s = run->setup_;
    // Opened before anything else happens: an update is never made unrecorded when a record
    // was asked for, nor started from a pool that is used up.
    if (!s.record.isEmpty()) {
        run->record_ = OpenNamedRecord(s.record, s.recordFolder, s.updateLogPath, error, usage);
        if (!run->record_)
            return nullptr;
    }
    if (s.technology && !s.firstNumber.isEmpty())
        run->counter_ = std::make_unique<SerialNumberCounter>(s.firstNumber);
    if (!run->CheckNumbers(error))
        return nullptr;
    return run;
}

bool ProductionRun::CheckNumbers(QString& error) {
    const ProductionSetup& s = setup_;
    if (!record_ || !s.technology)
        return true;
    try {
        if (!s.pool.isEmpty()) {
            const auto pools = record_->Pools(s.pool);
            if (pools.empty()) {
                error = QStringLiteral("There is no pool named \"%1\" in %2")
                            .arg(s.pool, record_->Url().Text());
                return false;
            }
            // Numbers leased to stations may come back to the pool; then the runs wait for them.
            if (pools.front().next.isEmpty() && pools.front().leased == 0) {
                error = QStringLiteral("The pool \"%1\" is used up (%2–%3)")
                            .arg(pools.front().name, pools.front().first, pools.front().last);
                return false;
            }
            return true;
        }
        if (s.renumber)
            return true;
        QStringList numbers = s.fixedNumbers;
        if (counter_)
            numbers << counter_->Next();
        for (const QString& number : numbers) {
            if (const auto given = record_->Given(number)) {
                error = QStringLiteral(
                            "S/N %1 is given already (%2): a unit is re-numbered only on "
                            "purpose (--renumber)")
                            .arg(number, GivenNumberText(*given));
                return false;
            }
        }
    } catch (const RecordError& e) {
        error = e.Unreachable() ? RecordUnreachableText(record_->Url(), e.Text()) : e.Text();
        return false;
    }
    return true;
}

QStringList ProductionRun::LogPaths() const {
    if (setup_.ports.size() == 1)
        return {setup_.updateLogPath};
    return PortLogPaths(setup_.updateLogPath, setup_.ports);
}

std::unique_ptr<Station> ProductionRun::BuildStation(
    const std::function<IChannelFactory&(int port)>& channels,
    const std::function<IClock&(int port)>& clocks, IStationEvents& events) {
    const ProductionSetup& s = setup_;
    std::vector<StationPort> ports;
    const QStringList logs = LogPaths();
    for (int i = 0; i < s.ports.size(); ++i) {
        StationPort port;
        port.name = s.ports[i];
        port.logPath = logs[i];
        // With a record, fixed numbers too go through it (GivenNumbers).
        if (s.technology && !record_)
            port.serialNumber = s.fixedNumbers.value(i);
        port.channels = &channels(i);
        port.clock = &clocks(i);
        ports.push_back(port);
    }
    StationOptions options;
    options.pages = s.package.pages;
    options.bootAll = s.bootAll;
    options.technology = s.technology;
    options.hardware = s.hardware;
    options.repeat = s.repeat;
    options.removalMs = s.removalMs;
    options.answerQuestion = s.answerQuestion;
    options.startThread = s.startThread;
    options.counter = counter_.get();
    if (record_) {
        // One ledger for the whole production run: its leases and what waits to be sent
        // outlive a station that stops and starts again.
        if (!ledger_) {
            const record::RunStart package = record::DescribePackage(s.packagePath, s.package);
            const bool pooled = s.technology && !s.pool.isEmpty();
            LeasePolicy policy;
            if (s.leaseSize > 0)
                policy.size = s.leaseSize;
            if (s.leaseRefillBelow > 0)
                policy.refillBelow = s.leaseRefillBelow;
            if (s.leaseLifetimeS > 0)
                policy.lifetimeS = s.leaseLifetimeS;
            ledger_ = std::make_unique<StationLedger>(
                *record_, StationStorePath(s.updateLogPath),
                DescribeRuns(package, ports, s.technology, s.bootAll, s.hardware, s.pool),
                pooled ? s.pool : QString(), policy,
                s.ledgerClock != nullptr ? *s.ledgerClock : systemClock_);
            if (pooled)
                options.counter = &ledger_->Numbers();
            else if (s.technology)
                numbers_ = std::make_unique<GivenNumbers>(*record_, *ledger_, s.fixedNumbers,
                                                          counter_.get(), s.renumber);
            ledger_->Start();
        }
        options.record = ledger_.get();
        if (s.technology && !s.pool.isEmpty())
            options.counter = &ledger_->Numbers();
        else if (numbers_)
            options.counter = numbers_.get();
    }
    return std::make_unique<Station>(std::move(ports), std::move(options), events);
}

QString ProductionRun::NextNumber() const {
    if (ledger_ && !setup_.pool.isEmpty())
        return ledger_->NextNumber();
    return counter_ ? counter_->Next() : QString();
}

int64_t ProductionRun::Finish(uint64_t flushMs) {
    return ledger_ ? ledger_->Stop(flushMs) : 0;
}

}  // namespace kvr::station

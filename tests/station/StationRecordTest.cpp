// A whole station against a production record: a row per port and run, the pool's numbers as
// the devices answered them, and a PostgreSQL server that goes away in the middle of a run.
#include <gtest/gtest.h>

#include <QSet>
#include <QTemporaryDir>
#include <QUuid>

#include "PgTestServer.h"
#include "RecordedStation.h"
#include "StationFixture.h"

namespace {

using namespace kvr;
using namespace kvr::record;
using namespace kvr::station;
using namespace kvr::test;

const QString kSha =
    QStringLiteral("9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08");

std::string Joined(const std::vector<std::string>& lines) {
    std::string all;
    for (const std::string& line : lines)
        all += line + "\n";
    return all;
}

class RecordedStationRun : public StationRun {
protected:
    std::vector<RunStart> Starts(const QString& pool, const QStringList& ports) const {
        std::vector<RunStart> starts;
        for (const QString& port : ports) {
            RunStart s;
            s.station = QStringLiteral("bench-1");
            s.port = port;
            s.packageName = QStringLiteral("kvr17.bsk");
            s.packageSha256 = kSha;
            s.pageCount = kPages;
            s.technology = true;
            s.hardware = QStringLiteral("3");
            s.pool = pool;
            starts.push_back(s);
        }
        return starts;
    }
    // A name no earlier run on the same server has used.
    static QString Unique(const char* stem) {
        return QLatin1String(stem) + QUuid::createUuid().toString(QUuid::Id128).left(10);
    }

    QTemporaryDir dir_;
};

TEST_F(RecordedStationRun, EveryPortGetsItsRowAndThePoolTellsWhatEachDeviceSaid) {
    // A confirms, B refuses its number, C's confirmation is lost: all three numbers are spent.
    for (int i = 0; i < 3; ++i)
        NewPort().line.options.finalStatuses = {10};
    fixture_[1]->line.options.refuseSerialNumber = true;
    fixture_[2]->line.options.faults.push_back(
        FaultOn(devsim::kCmdWriteSerialNumber, 1, FaultKind::NoReply));
    RecordUrl url;
    QString error;
    ASSERT_TRUE(ParseRecordUrl("sqlite:" + dir_.filePath("r.sqlite"), url, error))
        << error.toStdString();
    auto record = Record::Open(url, dir_.filePath("journal.txt"));
    record->CreatePool("line", "000101", "000103");
    RecordedRuns runs(*record, Starts("line", {"A", "B", "C"}));
    PoolNumbers pool(*record, "line", runs);

    Station& station = RunThreeWithCounter(pool, &runs);

    const std::vector<HistoryRow> rows = record->History({});
    ASSERT_EQ(rows.size(), 3u);
    QMap<QString, QString> states;  // port → "number state confirmed"
    for (const HistoryRow& row : rows) {
        ASSERT_TRUE(row.ending) << row.start.port.toStdString();
        EXPECT_EQ(row.start.packageSha256, kSha);
        EXPECT_EQ(row.start.pool, "line");
        states[row.start.port] = QStringLiteral("%1 %2 %3")
                                     .arg(row.ending->outcome, row.numberState,
                                          row.ending->serialNumberConfirmed ? "1" : "0");
        // The row holds what the station told its port.
        const int port = row.start.port == "A" ? 0 : row.start.port == "B" ? 1 : 2;
        EXPECT_EQ(row.serialNumber, station.Results()[port][0].serialNumber);
    }
    EXPECT_EQ(states["A"], "success confirmed 1");
    EXPECT_EQ(states["B"], "serial_number_error failed 0");
    EXPECT_EQ(states["C"], "serial_number_error failed 0");
    const PoolStatus status = record->Pools("line").front();
    EXPECT_EQ(status.confirmed, 1);
    EXPECT_EQ(status.failed, 2);
    EXPECT_EQ(status.free, 0);
    EXPECT_TRUE(status.next.isEmpty());

    // The pool is used up: the next station's run is refused before it starts.
    fixture_.clear();
    NewPort().line.options.finalStatuses = {10};
    RecordedRuns more(*record, Starts("line", {"D"}));
    PoolNumbers none(*record, "line", more);
    StationOptions options = Options();
    options.technology = true;
    options.hardware = "3";
    options.counter = &none;
    options.record = &more;
    Station next({fixture_[0]->Port("D")}, options, events_);
    next.Run();
    EXPECT_FALSE(next.Results()[0][0].started);
    EXPECT_EQ(record->History({}).size(), 3u) << "a refused run writes no row";
}

TEST_F(RecordedStationRun, ServerStoppedAfterTheNumberWasTakenLosesNothingAndDoublesNothing) {
    const QString address = PgTestUrl();
    if (address.isEmpty())
        GTEST_SKIP() << "no PostgreSQL test server (ctest starts one)";
    NewPort().line.options.finalStatuses = {10};
    RecordUrl url;
    QString error;
    ASSERT_TRUE(ParseRecordUrl(address, url, error)) << error.toStdString();
    const QString journal = dir_.filePath("journal.txt");
    auto record = Record::Open(url, journal);
    const QString poolName = Unique("p");
    const QString port = Unique("port");
    // A range of its own on a server that other tests' pools share.
    const QString first =
        QString::number(100000000000LL + (QUuid::createUuid().data1 % 800000000) * 1000);
    record->CreatePool(poolName, first, {});
    RecordedRuns runs(*record, Starts(poolName, {port}));
    PoolNumbers pool(*record, poolName, runs);

    // The server goes away once the number is committed and on its way to the device.
    bool halted = false;
    events_.onSerialNumber = [&](int) { halted = PgTestServer("halt"); };
    StationOptions options = Options();
    options.technology = true;
    options.hardware = "3";
    options.counter = &pool;
    options.record = &runs;
    fixture_[0]->line.Device();
    Station station({fixture_[0]->Port(port)}, options, events_);
    station.Run();
    const bool resumed = PgTestServer("resume");
    ASSERT_TRUE(halted && resumed) << Joined(events_.Of(0));

    const RunResult& result = station.Results()[0].at(0);
    EXPECT_TRUE(result.succeeded);
    EXPECT_EQ(result.serialNumber, first);
    int journaled = 0;
    for (const std::string& line : events_.Of(0))
        journaled += line.find("journal") != std::string::npos ? 1 : 0;
    EXPECT_EQ(journaled, 2) << "the number's state and the run's ending wait in the journal";

    // The next command writes them.
    record.reset();
    auto again = Record::Open(url, journal);
    HistoryFilter mine;
    mine.port = port;
    const std::vector<HistoryRow> rows = again->History(mine);
    ASSERT_EQ(rows.size(), 1u);
    ASSERT_TRUE(rows[0].ending);
    EXPECT_EQ(rows[0].ending->outcome, "success");
    EXPECT_EQ(rows[0].serialNumber, first);
    EXPECT_TRUE(rows[0].ending->serialNumberConfirmed);
    EXPECT_EQ(rows[0].numberState, "confirmed");
    const PoolStatus status = again->Pools(poolName).front();
    EXPECT_EQ(status.confirmed, 1);
    EXPECT_EQ(status.sent, 0);
    EXPECT_EQ(again->ReplayJournal(), 0) << "the journal was emptied";
    EXPECT_EQ(again->History(mine).size(), 1u);
}

}  // namespace

// The line's figures as kvr-line reads them from a record, on SQLite and on the test command's
// PostgreSQL server, each against figures worked out by hand: an empty record, a unit that
// failed and then passed, a shift across midnight, stations heard, silent and stopped, and a
// pool's outlook; the window a request names; and a read that writes nothing.
#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimeZone>
#include <QUuid>

#include "LineApi.h"
#include "LineView.h"
#include "PgTestServer.h"
#include "Record.h"
#include "Sender.h"

namespace {

using namespace kvr::record;
using kvr::line::Query;
using kvr::line::WindowStart;

// Each test's runs lie in a year of their own, far from the runs other tests leave on the
// shared server, and its serial numbers are its own.
QDateTime Base() {
    const int year = 2100 + static_cast<int>(QRandomGenerator::global()->bounded(7000));
    return QDateTime(QDate(year, 3, 10), QTime(12, 0), QTimeZone::utc());
}

QString Sn(const QString& prefix, int n) {
    return prefix + QStringLiteral("%1").arg(n, 3, 10, QLatin1Char('0'));
}

class LineViewTest : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        const QString text = kvr::test::EngineRecordText(GetParam(), dir_.path());
        if (text.isEmpty())
            GTEST_SKIP() << "no PostgreSQL test server (ctest starts one)";
        QString error;
        ASSERT_TRUE(ParseRecordUrl(text, url_, error)) << error.toStdString();
        record_ = Record::Open(url_);
        view_ = LineView::Open(url_);
        base_ = Base();
        prefix_ = QString::number(100000 + QRandomGenerator::global()->bounded(899999));
        station_ = QStringLiteral("host-") + QUuid::createUuid().toString(QUuid::Id128).left(8);
    }

    // A run of `seconds` that starts at `at` and ends as `outcome`.
    QString AddRun(const QDateTime& at, const QString& port, const QString& sn,
                   const QString& outcome, int seconds, const QString& station = {},
                   const QString& pool = {}) {
        RunStart start;
        start.station = station.isEmpty() ? station_ : station;
        start.port = port;
        start.packageName = QStringLiteral("fw.bsk");
        start.packageSha256 = QString(64, QLatin1Char('a'));
        start.pool = pool;
        start.logPath = QStringLiteral("/var/log/kvr/") + port + QStringLiteral(".log");
        record_->SetNow([at] { return at; });
        const QString id = record_->BeginRun(start);
        QString number = sn;
        if (!pool.isEmpty())
            number = record_->TakeNumber(pool, id);
        if (outcome.isEmpty())
            return id;  // still running
        const QDateTime end = at.addSecs(seconds);
        record_->SetNow([end] { return end; });
        RunEnding ending;
        ending.outcome = outcome;
        ending.outcomeText = outcome == QLatin1String("success") ? QStringLiteral("Готово")
                                                                 : QStringLiteral("Ошибка");
        ending.durationMs = static_cast<uint64_t>(seconds) * 1000;
        ending.serialNumber = number;
        record_->EndRun(id, ending);
        return id;
    }

    const ShiftFigures* Lane(const LineSnapshot& s, const QString& port) {
        for (const ShiftFigures& f : s.lanes) {
            if (f.station == station_ && f.port == port)
                return &f;
        }
        return nullptr;
    }

    QTemporaryDir dir_;
    RecordUrl url_;
    std::unique_ptr<Record> record_;
    std::unique_ptr<LineView> view_;
    QDateTime base_;
    QString prefix_, station_;
};

TEST_P(LineViewTest, AnEmptyWindowHasNoFiguresButEveryHour) {
    const LineSnapshot s = view_->Read(base_.addSecs(-4 * 3600), base_);
    EXPECT_EQ(s.line.runs, 0);
    EXPECT_EQ(s.line.units, 0);
    EXPECT_EQ(s.line.unitsPerHour, 0);
    EXPECT_FALSE(s.line.firstPassYield.has_value());
    EXPECT_FALSE(s.line.medianUnitS.has_value());
    EXPECT_TRUE(s.stations.empty());
    EXPECT_TRUE(s.pareto.empty());
    EXPECT_TRUE(s.latestFailures.empty());
    EXPECT_TRUE(s.stationsSeen.empty());
    ASSERT_EQ(s.hourly.size(), 4u);
    EXPECT_EQ(s.hourly.front().hour, base_.addSecs(-4 * 3600));
    EXPECT_EQ(s.hourly.back().passed + s.hourly.back().failed, 0);
}

TEST_P(LineViewTest, AUnitThatFailedThenPassedCountsOnceAndNotAsFirstPass) {
    const QDateTime t = base_.addSecs(-3 * 3600);  // a 4-hour window from base_ - 4 h
    // Before the window: 900 failed once; its pass in the window is no first pass.
    AddRun(t.addSecs(-2 * 3600), QStringLiteral("A"), Sn(prefix_, 900), "update_error", 50);
    AddRun(t.addSecs(0), QStringLiteral("A"), Sn(prefix_, 1), "update_error", 10);
    AddRun(t.addSecs(600), QStringLiteral("A"), Sn(prefix_, 1), "success", 20);
    AddRun(t.addSecs(1200), QStringLiteral("B"), Sn(prefix_, 2), "success", 30);
    AddRun(t.addSecs(1800), QStringLiteral("B"), QString(), "exchange_error", 5);
    AddRun(t.addSecs(3600 + 60), QStringLiteral("B"), Sn(prefix_, 900), "success", 40);
    AddRun(t.addSecs(7200), QStringLiteral("A"), Sn(prefix_, 3), QString(), 0);  // running

    const LineSnapshot s = view_->Read(base_.addSecs(-4 * 3600), base_);
    // Units: 001 (passed at its second run), 002, the run without a number, 900.
    EXPECT_EQ(s.line.runs, 6);
    EXPECT_EQ(s.line.running, 1);
    EXPECT_EQ(s.line.units, 4);
    EXPECT_EQ(s.line.passed, 3);
    EXPECT_EQ(s.line.failed, 1);
    // First runs in the window: 001 failed, 002 passed, the unnumbered run failed; 900's first
    // run lies before the window.
    ASSERT_TRUE(s.line.firstPassYield.has_value());
    EXPECT_DOUBLE_EQ(*s.line.firstPassYield, 1.0 / 3.0);
    EXPECT_DOUBLE_EQ(s.line.unitsPerHour, 1.0);
    ASSERT_TRUE(s.line.medianUnitS.has_value());
    EXPECT_DOUBLE_EQ(*s.line.medianUnitS, 20.0);  // 5 10 20 30 40

    const ShiftFigures* a = Lane(s, QStringLiteral("A"));
    const ShiftFigures* b = Lane(s, QStringLiteral("B"));
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->units, 1);
    EXPECT_EQ(a->passed, 1);
    EXPECT_EQ(a->running, 1);
    EXPECT_DOUBLE_EQ(*a->firstPassYield, 0.0);
    EXPECT_DOUBLE_EQ(*a->medianUnitS, 15.0);
    EXPECT_EQ(b->units, 3);
    EXPECT_EQ(b->failed, 1);
    EXPECT_DOUBLE_EQ(*b->firstPassYield, 0.5);
    ASSERT_EQ(s.stations.size(), 1u);
    EXPECT_EQ(s.stations[0].units, 4);

    ASSERT_EQ(s.pareto.size(), 2u);
    EXPECT_EQ(s.pareto[0].count + s.pareto[1].count, 2);
    ASSERT_EQ(s.latestFailures.size(), 2u);
    EXPECT_EQ(s.latestFailures[0].outcome, QStringLiteral("exchange_error"));
    EXPECT_EQ(s.latestFailures[0].logPath, QStringLiteral("/var/log/kvr/B.log"));
    EXPECT_EQ(s.latestFailures[1].serialNumber, Sn(prefix_, 1));

    // Units by the hour of their last run, from base_ - 4 h: nothing, then 001 (passed at its
    // second run), 002 and the unnumbered run, then 900.
    ASSERT_EQ(s.hourly.size(), 4u);
    EXPECT_EQ(s.hourly[0].passed + s.hourly[0].failed, 0);
    EXPECT_EQ(s.hourly[1].passed, 2);
    EXPECT_EQ(s.hourly[1].failed, 1);
    EXPECT_EQ(s.hourly[2].passed, 1);
    EXPECT_EQ(s.hourly[3].passed + s.hourly[3].failed, 0);  // the running one has not ended
}

TEST_P(LineViewTest, AShiftAcrossMidnightHoldsTheEveningAndTheNight) {
    // 22:00 to 01:30 the next day, UTC: hours 22, 23, 00 and 01.
    const QDateTime night(base_.date(), QTime(22, 0), QTimeZone::utc());
    const QDateTime now = night.addSecs(3 * 3600 + 1800);
    AddRun(night.addSecs(-60), QStringLiteral("A"), Sn(prefix_, 1), "success", 30);  // before
    AddRun(night.addSecs(1800), QStringLiteral("A"), Sn(prefix_, 2), "success", 30);
    AddRun(night.addSecs(2 * 3600 + 900), QStringLiteral("A"), Sn(prefix_, 3), "update_error", 30);
    AddRun(night.addSecs(2 * 3600 + 1500), QStringLiteral("A"), Sn(prefix_, 3), "success", 30);

    Query query{{"shift", "22:00"}};
    QDateTime since;
    QString error;
    ASSERT_TRUE(WindowStart(query, now, QTimeZone::utc(), since, error)) << error.toStdString();
    EXPECT_EQ(since, night);
    const LineSnapshot s = view_->Read(since, now);
    EXPECT_EQ(s.line.units, 2);
    EXPECT_EQ(s.line.passed, 2);
    EXPECT_DOUBLE_EQ(*s.line.firstPassYield, 0.5);
    EXPECT_DOUBLE_EQ(s.line.unitsPerHour, 2.0 / 3.5);
    ASSERT_EQ(s.hourly.size(), 4u);
    EXPECT_EQ(s.hourly[0].passed, 1);
    EXPECT_EQ(s.hourly[1].passed + s.hourly[1].failed, 0);
    EXPECT_EQ(s.hourly[2].failed, 0);  // 003 failed, then passed in the same hour
    EXPECT_EQ(s.hourly[2].passed, 1);
    EXPECT_EQ(s.hourly[2].hour.date(), night.date().addDays(1));
}

TEST_P(LineViewTest, AStationIsOnlineWhileItsBeatIsFreshAndSilentOrStoppedAfter) {
    const QDateTime now = base_;
    auto beat = [&](const QString& holder, const QString& host, const QDateTime& started,
                    const QDateTime& seen) {
        StationBeat b;
        b.holder = holder;
        b.station = host;
        b.startedAt = started;
        b.packageName = QStringLiteral("fw.bsk");
        b.waiting = 3;
        b.leaseLeft = 120;
        b.lanes = {{QStringLiteral("COM5"), QStringLiteral("updating"), QStringLiteral("success"),
                    seen.addSecs(-30)}};
        record_->SetNow([seen] { return seen; });
        record_->Beat(b);
    };
    const QString live = station_ + QStringLiteral("-live");
    const QString silent = station_ + QStringLiteral("-silent");
    const QString gone = station_ + QStringLiteral("-gone");
    const int64_t silentS = static_cast<int64_t>(kBeatSilentMs / 1000);
    beat(QStringLiteral("old-") + live, live, now.addSecs(-7200), now.addSecs(-3700));
    beat(QStringLiteral("new-") + live, live, now.addSecs(-3600), now.addSecs(-5));
    beat(silent, silent, now.addSecs(-3600), now.addSecs(-silentS - 10));
    beat(gone, gone, now.addSecs(-3600), now.addSecs(-600));
    record_->ApplyForwarded(QStringLiteral("stopped"),
                            QJsonObject{{"holder", gone}, {"at", StampText(now.addSecs(-590))}});

    const LineSnapshot s = view_->Read(now.addSecs(-8 * 3600), now);
    std::map<QString, const StationSeen*> seen;
    for (const StationSeen& st : s.stationsSeen)
        seen[st.station] = &st;
    ASSERT_EQ(seen.size(), 3u);  // the live host's earlier process is history
    EXPECT_TRUE(seen[live]->online);
    EXPECT_EQ(seen[live]->holder, QStringLiteral("new-") + live);
    EXPECT_EQ(seen[live]->waiting, 3);
    EXPECT_EQ(seen[live]->leaseLeft, 120);
    ASSERT_EQ(seen[live]->lanes.size(), 1u);
    EXPECT_EQ(seen[live]->lanes[0].state, QStringLiteral("updating"));
    EXPECT_EQ(seen[live]->lanes[0].lastOutcome, QStringLiteral("success"));
    EXPECT_FALSE(seen[silent]->online);
    EXPECT_FALSE(seen[silent]->stoppedAt.isValid());
    EXPECT_FALSE(seen[gone]->online);
    EXPECT_EQ(seen[gone]->stoppedAt, now.addSecs(-590));
}

TEST_P(LineViewTest, APoolRunsOutAtTheRateItsNumbersWereUsed) {
    const QString pool = QUuid::createUuid().toString(QUuid::Id128).left(12);
    const QString first = prefix_ + QStringLiteral("000");
    record_->CreatePool(pool, first, prefix_ + QStringLiteral("099"));
    const QDateTime t = base_.addSecs(-2 * 3600);
    for (int i = 0; i < 10; ++i)
        AddRun(t.addSecs(i * 600), QStringLiteral("A"), {}, "success", 30, {}, pool);

    const LineSnapshot s = view_->Read(t, base_);
    const PoolOutlook* p = nullptr;
    for (const PoolOutlook& o : s.pools) {
        if (o.status.name == pool)
            p = &o;
    }
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->left, 90);
    EXPECT_DOUBLE_EQ(p->usedPerHour, 5.0);
    EXPECT_EQ(p->runsOutAt, base_.addSecs(18 * 3600));
    EXPECT_DOUBLE_EQ(*s.line.firstPassYield, 1.0);
}

INSTANTIATE_TEST_SUITE_P(Engines, LineViewTest, ::testing::Values("sqlite", "postgresql"),
                         [](const auto& p) { return std::string(p.param); });

TEST(LineWindow, AShiftStartStillToComeIsYesterdays) {
    const QTimeZone zone(3 * 3600);  // the line's own time, three hours ahead of UTC
    const QDateTime now(QDate(2026, 12, 10), QTime(1, 30), zone);
    QDateTime since;
    QString error;
    ASSERT_TRUE(WindowStart(Query{{"shift", "22:00"}}, now.toUTC(), zone, since, error));
    EXPECT_EQ(since, QDateTime(QDate(2026, 12, 9), QTime(22, 0), zone));
    ASSERT_TRUE(WindowStart(Query{{"shift", "01:30"}}, now.toUTC(), zone, since, error));
    EXPECT_EQ(since, now);
    ASSERT_TRUE(WindowStart(Query{{"hours", "720"}}, now.toUTC(), zone, since, error));
    EXPECT_EQ(since.secsTo(now), 720 * 3600);
    ASSERT_TRUE(WindowStart(Query{}, now.toUTC(), zone, since, error));
    EXPECT_EQ(since.secsTo(now), kvr::line::kDefaultWindowHours * 3600);
}

TEST(LineWindow, BadParametersAreRefusedWithAMessage) {
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const Query bad[] = {
        {{"hours", "0"}},
        {{"hours", "721"}},
        {{"hours", "2.5"}},
        {{"hours", ""}},
        {{"hours", "-1"}},
        {{"shift", "24:00"}},
        {{"shift", "7:00"}},
        {{"shift", "07:60"}},
        {{"shift", "07:00x"}},
        {{"hours", "2"}, {"shift", "07:00"}},
        {{"hours", "2"}, {"hours", "3"}},
        {{"station", "a"}},
        {{"since", "2026-12-10T00:00:00Z"}},
    };
    for (const Query& query : bad) {
        QDateTime since;
        QString error;
        EXPECT_FALSE(WindowStart(query, now, QTimeZone::utc(), since, error))
            << query.begin()->first << "=" << query.begin()->second;
        EXPECT_FALSE(error.isEmpty());
    }
}

TEST(LineViewReadOnly, AReadWritesNothingAndAMissingRecordIsAway) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("r.sqlite"));
    RecordUrl url;
    QString error;
    ASSERT_TRUE(ParseRecordUrl(QStringLiteral("sqlite:") + path, url, error));
    try {
        LineView::Open(url);
        ADD_FAILURE() << "a missing record opened";
    } catch (const RecordError& e) {
        EXPECT_TRUE(e.Unreachable());
    }
    EXPECT_FALSE(QFile::exists(path));
    Record::Open(url).reset();
    auto digest = [&] {
        QFile file(path);
        file.open(QIODevice::ReadOnly);
        return QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256);
    };
    const QByteArray before = digest();
    const QDateTime now = QDateTime::currentDateTimeUtc();
    LineView::Open(url)->Read(now.addSecs(-3600), now);
    EXPECT_EQ(digest(), before);
    EXPECT_FALSE(QFile::exists(path + QStringLiteral("-wal")) &&
                 QFile(path + QStringLiteral("-wal")).size() > 0);
}

}  // namespace

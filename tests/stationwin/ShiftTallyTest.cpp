// The station window's shift figures on virtual time: which runs count as units and first
// passes, the median of the run durations and units per hour of a young shift.
#include <QTest>

#include "QtTestMain.h"
#include "ShiftTally.h"
#include "VirtualClock.h"

using namespace kvr;
using namespace kvr::stationwin;
using kvr::devsim::VirtualClock;

namespace {

constexpr uint64_t kMinuteMs = 60 * 1000;

station::RunResult Run(bool passed, uint64_t durationMs, const QString& serialNumber = {}) {
    station::RunResult result;
    result.started = true;
    result.succeeded = passed;
    result.durationMs = durationMs;
    result.serialNumber = serialNumber;
    return result;
}

}  // namespace

class ShiftTallyTest : public QObject {
    Q_OBJECT

private slots:
    void aShiftWithoutRunsTellsNothing() {
        VirtualClock clock;
        ShiftTally tally(2, clock);
        ShiftFigures station = tally.Station();
        QCOMPARE(station.units, 0);
        QVERIFY(!station.firstPassYield);
        QVERIFY(!station.medianRunMs);
        QVERIFY(!station.unitsPerHour);  // not begun
        tally.Begin();
        QVERIFY(!tally.Station().unitsPerHour);  // no time has passed
        clock.Advance(10 * kMinuteMs);
        QCOMPARE(*tally.Station().unitsPerHour, 0.0);
        QVERIFY(!tally.Lane(1).firstPassYield);
        QCOMPARE(tally.Lane(5).units, 0);  // no such lane
    }

    // Known by its serial number, a unit failed on one lane and passed on another is one unit,
    // the failing lane's, and no first pass.
    void aUnitThatFailedThenPassedIsNoFirstPass() {
        VirtualClock clock;
        ShiftTally tally(2, clock);
        tally.Add(0, Run(false, 1000, "000101"));
        tally.Add(1, Run(true, 3000, "000101"));
        tally.Add(1, Run(true, 2000, "000102"));
        const ShiftFigures station = tally.Station();
        QCOMPARE(station.runs, 3);
        QCOMPARE(station.units, 2);
        QCOMPARE(station.firstPass, 1);
        QCOMPARE(*station.firstPassYield, 0.5);
        const ShiftFigures failing = tally.Lane(0);
        QCOMPARE(failing.units, 1);
        QCOMPARE(*failing.firstPassYield, 0.0);
        const ShiftFigures other = tally.Lane(1);
        QCOMPARE(other.runs, 2);
        QCOMPARE(other.units, 1);
        QCOMPARE(*other.firstPassYield, 1.0);
        QCOMPARE(*other.medianRunMs, uint64_t(2500));  // both its runs take time
    }

    // Without a serial number nothing tells two runs of one unit apart: each is a unit.
    void runsWithoutSerialNumberAreUnitsOfTheirOwn() {
        VirtualClock clock;
        ShiftTally tally(1, clock);
        tally.Add(0, Run(false, 1000));
        tally.Add(0, Run(true, 1000));
        tally.Add(0, Run(true, 1000, "000101"));
        QCOMPARE(tally.Lane(0).units, 3);
        QCOMPARE(tally.Lane(0).firstPass, 2);
    }

    // Runs the operator stopped and runs that never started are no attempt at a unit.
    void stoppedAndRefusedRunsCountNowhere() {
        VirtualClock clock;
        ShiftTally tally(1, clock);
        station::RunResult stopped = Run(false, 500, "000101");
        stopped.stopped = true;
        tally.Add(0, stopped);
        station::RunResult refused;
        refused.outcome = QStringLiteral("no serial number left");
        tally.Add(0, refused);
        QCOMPARE(tally.Lane(0).runs, 0);
        tally.Add(0, Run(true, 4000, "000101"));  // its number was not spent on the stop
        QCOMPARE(tally.Lane(0).firstPass, 1);
        QCOMPARE(*tally.Lane(0).medianRunMs, uint64_t(4000));
    }

    void theMedianRunTime() {
        QVERIFY(!Median({}));
        QCOMPARE(*Median({7}), uint64_t(7));
        QCOMPARE(*Median({30, 10, 20}), uint64_t(20));
        QCOMPARE(*Median({40, 10, 30, 20}), uint64_t(25));  // even count: the middle two
        QCOMPARE(*Median({5, 5, 1, 100}), uint64_t(5));
        QCOMPARE(*Median({1000, 1000, 1000, 3000000}), uint64_t(1000));  // one stuck run
    }

    // A shift of 20 minutes with 3 units makes 9 an hour; its hours count from Begin, once.
    void unitsPerHourOfAShiftYoungerThanAnHour() {
        VirtualClock clock(5 * kMinuteMs);
        ShiftTally tally(2, clock);
        clock.Advance(30 * kMinuteMs);  // the window open, Start not pressed yet
        tally.Begin();
        clock.Advance(10 * kMinuteMs);
        tally.Begin();  // Start pressed again after a Stop
        tally.Add(0, Run(true, 60000));
        tally.Add(0, Run(true, 60000));
        tally.Add(1, Run(false, 60000));
        clock.Advance(10 * kMinuteMs);
        QCOMPARE(*tally.Station().unitsPerHour, 9.0);
        QCOMPARE(*tally.Lane(0).unitsPerHour, 6.0);
        QCOMPARE(*tally.Lane(1).unitsPerHour, 3.0);
        clock.Advance(100 * kMinuteMs);  // two hours in all, no more units
        QCOMPARE(*tally.Station().unitsPerHour, 1.5);
    }
};

KVR_QTEST_MAIN(ShiftTallyTest)
#include "ShiftTallyTest.moc"

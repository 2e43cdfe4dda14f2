// The benchmark report's figures against their goals: the goal file (bench/goals.json), the
// samples the runs gave, the verdict of each row, the table and its place in bench/README.md.
// Nothing here runs a benchmark, so that all of it can be tested on figures made up.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <map>
#include <optional>
#include <vector>

namespace kvr::bench {

enum class Better { Lower, Higher, None };

enum class GoalKind { AtMost, Below, AtLeast, Above };

struct Goal {
    GoalKind kind = GoalKind::AtMost;
    double value = 0;  // in the row's unit as shown ("ms": milliseconds)
};

// One row of the table: a figure, what it means and its goal, as the goal file gives it.
struct FigureRow {
    QString id;
    QString group;  // the part of the run that makes it
    // What the figure is; "{id|unit}" or "{id|unit|digits}" shows another figure's median.
    QString text;
    QString unit;
    int digits = -1;  // -1: the unit's own
    Better better = Better::None;
    std::optional<Goal> goal;
};

// Reads the goal file. False, with a message naming the row and what is wrong, for anything
// that would make a verdict meaningless: an unknown unit or direction, a goal that points the
// other way from the direction that is better, a goal that is not a number, a repeated id.
bool ParseGoals(const QByteArray& json, std::vector<FigureRow>& rows, QString& error);

// The samples of each figure, in the unit's base: times in microseconds, the rest as they are.
class Measurements {
public:
    void Add(const QString& id, double value) { samples_[id].push_back(value); }
    const std::vector<double>* Find(const QString& id) const;
    // The middle sample (of an even count, the lower of the two middle ones).
    std::optional<double> Median(const QString& id) const;

private:
    std::map<QString, std::vector<double>> samples_;
};

enum class Verdict { Met, Missed, Missing, NoGoal };

Verdict Judge(const FigureRow& row, const Measurements& measured);

// "≤ 1.02", "< 200 ms"; empty without a goal.
QString GoalText(const FigureRow& row);
// "1.0118 (1.0105–1.0141)": the median, with the range when there are several samples.
QString MeasuredText(const FigureRow& row, const Measurements& measured);
// The row's text with the figures it names filled in ("?" for one not measured).
QString FilledText(const QString& text, const Measurements& measured);
QString VerdictText(Verdict verdict);

struct Tally {
    int met = 0;
    int missed = 0;
    int missing = 0;
};

// The table's header and one line per row of the given groups (all when `groups` is empty).
QString Table(const std::vector<FigureRow>& rows, const Measurements& measured,
              const QStringList& groups, Tally* tally = nullptr);

// The README with everything between its two marker lines replaced by `block`; the markers
// and the block are appended when the README has no markers.
QString SpliceReadme(const QString& readme, const QString& block);

// One entry of a Google Benchmark program's JSON output (--benchmark_format=json).
struct BenchmarkEntry {
    double realTimeUs = 0;
    double cpuTimeUs = 0;
    std::map<QString, double> numbers;  // every other numeric field: counters, rates
    bool failed = false;                // error_occurred: no figure from it
    QString message;
};

// Entries by their "name" ("BM_LoadFile/64/real_time_median"). False when it is not such output.
bool ParseBenchmarkJson(const QByteArray& json, std::map<QString, BenchmarkEntry>& entries,
                        QString& error);

}  // namespace kvr::bench

#include <gtest/gtest.h>

#include <QFile>
#include <QString>
#include <limits>

#include "Report.h"

namespace {

using namespace kvr::bench;

std::vector<FigureRow> Goals(const char* json) {
    std::vector<FigureRow> rows;
    QString error;
    EXPECT_TRUE(ParseGoals(QByteArray(json), rows, error)) << error.toStdString();
    return rows;
}

// The refusal's message for a goal file that must be refused.
std::string Refusal(const char* json) {
    std::vector<FigureRow> rows;
    QString error;
    EXPECT_FALSE(ParseGoals(QByteArray(json), rows, error));
    EXPECT_TRUE(rows.empty());
    return error.toStdString();
}

// The table's line of the row whose text starts with `text`.
std::string LineOf(const QString& table, const QString& text) {
    for (const QString& line : table.split(QLatin1Char('\n'))) {
        if (line.startsWith(QStringLiteral("| ") + text))
            return line.toStdString();
    }
    return {};
}

const char* const kThreeGoals = R"({"figures": [
    {"id": "whole", "group": "update", "unit": "ratio", "better": "lower",
     "goal": {"at_most": 1.02}, "text": "whole command / ideal"},
    {"id": "read", "group": "line", "unit": "ms", "digits": 1, "better": "lower",
     "goal": {"below": 200}, "text": "one read of 12 hours"},
    {"id": "cpu", "group": "wait", "unit": "ms", "digits": 1, "better": "lower",
     "goal": {"at_most": 50}, "text": "waiting cost, CPU"},
    {"id": "rate", "group": "log", "unit": "per s", "better": "higher", "goal": null,
     "text": "entries per second"}
]})";

TEST(BenchReport, TableShowsMetMissedAndMissingEachAsSuch) {
    const std::vector<FigureRow> rows = Goals(kThreeGoals);
    Measurements measured;
    measured.Add(QStringLiteral("whole"), 1.0118);
    measured.Add(QStringLiteral("read"), 250000);  // 250 ms, in microseconds
    measured.Add(QStringLiteral("rate"), 303256);
    // "cpu": the benchmark gave nothing.
    Tally tally;
    const QString table = Table(rows, measured, {}, &tally);

    EXPECT_EQ(LineOf(table, QStringLiteral("whole command")),
              "| whole command / ideal | 1.0118 | ≤ 1.02 | met |");
    EXPECT_EQ(LineOf(table, QStringLiteral("one read")),
              "| one read of 12 hours | 250.0 ms | < 200 ms | **missed** |");
    EXPECT_EQ(LineOf(table, QStringLiteral("waiting cost")),
              "| waiting cost, CPU | — | ≤ 50 ms | **missing** |");
    EXPECT_EQ(LineOf(table, QStringLiteral("entries")), "| entries per second | 303256 /s |  |  |");
    EXPECT_EQ(tally.met, 1);
    EXPECT_EQ(tally.missed, 1);
    EXPECT_EQ(tally.missing, 1);
}

TEST(BenchReport, MissingIsNeverMetEvenWithoutAGoal) {
    const std::vector<FigureRow> rows = Goals(kThreeGoals);
    const Measurements none;
    for (const FigureRow& row : rows)
        EXPECT_EQ(Judge(row, none), Verdict::Missing) << row.id.toStdString();
    Measurements notANumber;
    notANumber.Add(QStringLiteral("whole"), std::numeric_limits<double>::quiet_NaN());
    EXPECT_EQ(Judge(rows[0], notANumber), Verdict::Missing);
}

TEST(BenchReport, GoalBoundsAreHeldAsWritten) {
    const std::vector<FigureRow> rows = Goals(R"({"figures": [
        {"id": "most", "group": "g", "unit": "ratio", "better": "lower", "goal": {"at_most": 1.5}, "text": "a"},
        {"id": "below", "group": "g", "unit": "ms", "better": "lower", "goal": {"below": 200}, "text": "b"},
        {"id": "least", "group": "g", "unit": "per s", "better": "higher", "goal": {"at_least": 1000}, "text": "c"},
        {"id": "above", "group": "g", "unit": "per s", "better": "higher", "goal": {"above": 1000}, "text": "d"}
    ]})");
    ASSERT_EQ(rows.size(), 4u);
    Measurements m;
    m.Add(QStringLiteral("most"), 1.5);
    m.Add(QStringLiteral("below"), 200000);
    m.Add(QStringLiteral("least"), 1000);
    m.Add(QStringLiteral("above"), 1000);
    EXPECT_EQ(Judge(rows[0], m), Verdict::Met);
    EXPECT_EQ(Judge(rows[1], m), Verdict::Missed);
    EXPECT_EQ(Judge(rows[2], m), Verdict::Met);
    EXPECT_EQ(Judge(rows[3], m), Verdict::Missed);
    Measurements under;
    under.Add(QStringLiteral("below"), 199999);
    under.Add(QStringLiteral("least"), 999);
    EXPECT_EQ(Judge(rows[1], under), Verdict::Met);
    EXPECT_EQ(Judge(rows[2], under), Verdict::Missed);
}

TEST(BenchReport, TheMedianOfTheRunsIsJudgedAndShownWithItsRange) {
    const std::vector<FigureRow> rows = Goals(kThreeGoals);
    Measurements m;
    // Two of three runs over the goal: the median misses it, though one run met it.
    for (const double v : {1.0300, 1.0100, 1.0250})
        m.Add(QStringLiteral("whole"), v);
    EXPECT_EQ(MeasuredText(rows[0], m), QStringLiteral("1.0250 (1.0100–1.0300)"));
    EXPECT_EQ(Judge(rows[0], m), Verdict::Missed);
    // Of an even count, the lower middle one.
    Measurements even;
    for (const double v : {4.0, 1.0, 3.0, 2.0})
        even.Add(QStringLiteral("x"), v);
    EXPECT_EQ(even.Median(QStringLiteral("x")), 2.0);
}

TEST(BenchReport, TheTextShowsTheFiguresItNamesAndMarksThoseNotMeasured) {
    Measurements m;
    m.Add(QStringLiteral("boot.ideal"), 9370000);
    m.Add(QStringLiteral("line.baud"), 115200);
    EXPECT_EQ(FilledText(QStringLiteral("at {line.baud|count} baud (ideal {boot.ideal|s}, "
                                        "{boot.ideal|ms|0}; command {boot.wall|s})"),
                         m),
              QStringLiteral("at 115200 baud (ideal 9.37 s, 9370 ms; command ?)"));
}

TEST(BenchReport, OnlyTheGroupsAskedForAreInTheTable) {
    const std::vector<FigureRow> rows = Goals(kThreeGoals);
    const QString table = Table(rows, Measurements(), {QStringLiteral("line")});
    EXPECT_FALSE(LineOf(table, QStringLiteral("one read")).empty());
    EXPECT_TRUE(LineOf(table, QStringLiteral("whole command")).empty());
    EXPECT_TRUE(LineOf(table, QStringLiteral("waiting cost")).empty());
}

TEST(BenchReport, ARowWithABadDirectionIsRefusedByName) {
    const std::string error = Refusal(R"({"figures": [
        {"id": "ok", "group": "g", "unit": "ratio", "better": "lower", "goal": null, "text": "a"},
        {"id": "station", "group": "g", "unit": "ratio", "better": "smaller",
         "goal": {"at_most": 1.02}, "text": "b"}]})");
    EXPECT_NE(error.find("row 2 (station)"), std::string::npos) << error;
    EXPECT_NE(error.find("\"better\" is \"smaller\""), std::string::npos) << error;
}

TEST(BenchReport, AGoalThatPointsTheOtherWayIsRefused) {
    const std::string higher = Refusal(R"({"figures": [
        {"id": "rate", "group": "g", "unit": "per s", "better": "higher",
         "goal": {"at_most": 1000}, "text": "a"}]})");
    EXPECT_NE(higher.find("(rate)"), std::string::npos) << higher;
    EXPECT_NE(higher.find("does not agree with \"better\""), std::string::npos) << higher;
    const std::string none = Refusal(R"({"figures": [
        {"id": "x", "group": "g", "unit": "ratio", "better": "none",
         "goal": {"below": 1}, "text": "a"}]})");
    EXPECT_NE(none.find("does not agree"), std::string::npos) << none;
}

TEST(BenchReport, AGoalThatIsNotANumberOrOfAnUnknownKindIsRefused) {
    const std::string text = Refusal(R"({"figures": [
        {"id": "x", "group": "g", "unit": "ms", "better": "lower",
         "goal": {"below": "200 ms"}, "text": "a"}]})");
    EXPECT_NE(text.find("goal \"below\" is not a number"), std::string::npos) << text;
    const std::string kind = Refusal(R"({"figures": [
        {"id": "x", "group": "g", "unit": "ms", "better": "lower",
         "goal": {"under": 200}, "text": "a"}]})");
    EXPECT_NE(kind.find("\"under\" is none of"), std::string::npos) << kind;
    const std::string bare = Refusal(R"({"figures": [
        {"id": "x", "group": "g", "unit": "ms", "better": "lower", "goal": 200, "text": "a"}]})");
    EXPECT_NE(bare.find("must be null or one of"), std::string::npos) << bare;
}

TEST(BenchReport, UnknownUnitsRepeatedIdsAndStrayFieldsAreRefused) {
    EXPECT_NE(Refusal(R"({"figures": [{"id": "x", "group": "g", "unit": "minutes",
        "better": "lower", "text": "a"}]})")
                  .find("unit \"minutes\""),
              std::string::npos);
    EXPECT_NE(Refusal(R"({"figures": [
        {"id": "x", "group": "g", "unit": "ms", "better": "lower", "text": "a"},
        {"id": "x", "group": "g", "unit": "ms", "better": "lower", "text": "b"}]})")
                  .find("row 2 (x) is refused: its id is already used"),
              std::string::npos);
    EXPECT_NE(Refusal(R"({"figures": [{"id": "x", "group": "g", "unit": "ms",
        "better": "lower", "gaol": {"below": 1}, "text": "a"}]})")
                  .find("unknown field \"gaol\""),
              std::string::npos);
    EXPECT_NE(Refusal(R"({"figures": [{"id": "x", "group": "g", "unit": "ms",
        "better": "lower", "text": "a {y|hours}"}]})")
                  .find("unknown unit \"hours\""),
              std::string::npos);
    EXPECT_NE(Refusal(R"({"figures": [{"id": "x", "group": "g", "unit": "ms",
        "better": "lower", "text": "a {y}"}]})")
                  .find("brace"),
              std::string::npos);
    EXPECT_NE(Refusal("[1, 2").find("not JSON"), std::string::npos);
}

// The project's own goal file: it reads, and holds the goals the tool is measured against.
TEST(BenchReport, TheProjectGoalFileHoldsItsGoals) {
    QFile file(QStringLiteral(KVR_GOALS_FILE));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    std::vector<FigureRow> rows;
    QString error;
    ASSERT_TRUE(ParseGoals(file.readAll(), rows, error)) << error.toStdString();
    const auto find = [&](const char* id) -> const FigureRow* {
        for (const FigureRow& row : rows) {
            if (row.id == QLatin1String(id))
                return &row;
        }
        return nullptr;
    };
    const auto expectGoal = [&](const char* id, GoalKind kind, double value) {
        const FigureRow* row = find(id);
        ASSERT_NE(row, nullptr) << id;
        ASSERT_TRUE(row->goal.has_value()) << id;
        EXPECT_EQ(row->goal->kind, kind) << id;
        EXPECT_DOUBLE_EQ(row->goal->value, value) << id;
    };
    expectGoal("boot.total", GoalKind::AtMost, 1.02);
    expectGoal("app.total", GoalKind::AtMost, 1.02);
    expectGoal("scale.8.ratio", GoalKind::AtMost, 1.10);
    expectGoal("station.8.ratio", GoalKind::AtMost, 1.02);
    expectGoal("turn.median", GoalKind::AtMost, 0.2);
    expectGoal("line.sqlite.12", GoalKind::Below, 200);
    expectGoal("line.postgresql.12", GoalKind::Below, 200);
    for (const char* id :
         {"line.sqlite.8", "line.sqlite.24", "line.postgresql.8", "line.postgresql.24"}) {
        ASSERT_NE(find(id), nullptr) << id;
        EXPECT_FALSE(find(id)->goal.has_value()) << id;
    }
    // Every figure a row's text names is made by the runs under that id or is a row itself;
    // here at least: no row names itself.
    for (const FigureRow& row : rows)
        EXPECT_FALSE(row.text.contains(QLatin1Char('{') + row.id + QLatin1Char('|')))
            << row.id.toStdString();
}

TEST(BenchReport, TheReadmeKeepsItsTextAroundTheTable) {
    const QString readme = QStringLiteral(
        "# Benchmarks\nintro\n<!-- bench.sh: begin -->\nold table\nold line\n"
        "<!-- bench.sh: end -->\n## Reading the figures\nmore\n");
    EXPECT_EQ(SpliceReadme(readme, QStringLiteral("new table\n")),
              QStringLiteral("# Benchmarks\nintro\n<!-- bench.sh: begin -->\nnew table\n"
                             "<!-- bench.sh: end -->\n## Reading the figures\nmore\n"));
    EXPECT_EQ(
        SpliceReadme(QStringLiteral("# Benchmarks\n"), QStringLiteral("t")),
        QStringLiteral("# Benchmarks\n\n<!-- bench.sh: begin -->\nt\n<!-- bench.sh: end -->\n"));
}

TEST(BenchReport, GoogleBenchmarkJsonGivesTimesInMicrosecondsAndItsFailures) {
    const char* json = R"json({"context": {"num_cpus": 2}, "benchmarks": [
        {"name": "BM_LoadFile/64/real_time_median", "run_name": "BM_LoadFile/64/real_time",
         "aggregate_name": "median", "real_time": 31.5, "cpu_time": 30.2, "time_unit": "ms",
         "peak_per_file_byte": 1.09},
        {"name": "BM_Entry/text/real_time_median", "real_time": 1450.0, "cpu_time": 1400.0,
         "time_unit": "ns", "items_per_second": 689466.0},
        {"name": "BM_AtLimit/frame268/real_time_cv", "real_time": 0.01, "cpu_time": 0.01,
         "time_unit": "ns", "wraps": NaN, "peak": -Infinity, "label": "NaN in a string"},
        {"name": "BM_LineRead/postgresql/12", "error_occurred": true,
         "error_message": "no record (KVR_BENCH_PG_URL)"}]})json";
    std::map<QString, BenchmarkEntry> entries;
    QString error;
    ASSERT_TRUE(ParseBenchmarkJson(QByteArray(json), entries, error)) << error.toStdString();
    ASSERT_EQ(entries.size(), 4u);
    // What Google Benchmark writes for a counter that is not a number is no figure.
    const BenchmarkEntry& cv = entries.at(QStringLiteral("BM_AtLimit/frame268/real_time_cv"));
    EXPECT_EQ(cv.numbers.count(QStringLiteral("wraps")), 0u);
    EXPECT_EQ(cv.numbers.count(QStringLiteral("peak")), 0u);
    const BenchmarkEntry& load = entries.at(QStringLiteral("BM_LoadFile/64/real_time_median"));
    EXPECT_DOUBLE_EQ(load.realTimeUs, 31500);
    EXPECT_DOUBLE_EQ(load.numbers.at(QStringLiteral("peak_per_file_byte")), 1.09);
    const BenchmarkEntry& entry = entries.at(QStringLiteral("BM_Entry/text/real_time_median"));
    EXPECT_DOUBLE_EQ(entry.realTimeUs, 1.45);
    EXPECT_DOUBLE_EQ(entry.numbers.at(QStringLiteral("items_per_second")), 689466);
    const BenchmarkEntry& failed = entries.at(QStringLiteral("BM_LineRead/postgresql/12"));
    EXPECT_TRUE(failed.failed);
    EXPECT_EQ(failed.message, QStringLiteral("no record (KVR_BENCH_PG_URL)"));
    EXPECT_FALSE(
        ParseBenchmarkJson("{\"benchmarks\": [{\"name\": \"a\", \"real_time\": 1, "
                           "\"cpu_time\": 1, \"time_unit\": \"fortnights\"}]}",
                           entries, error));
    EXPECT_FALSE(ParseBenchmarkJson("name,real_time\n", entries, error));
}

}  // namespace

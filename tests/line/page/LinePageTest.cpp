// kvr-line's page in a real browser: a station updates simulated devices into a SQLite record,
// kvr-line serves that record, and Debian's headless Chromium loads the page and runs its
// script. The figures the page shows are compared with figures worked out here from
// `history --csv`, apart from kvr-line's own arithmetic.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <vector>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QStringList>
#include <QTemporaryDir>

#include "ChildProcesses.h"
#include "DevsimProcess.h"
#include "PackageBuilder.h"
#include "TestFiles.h"

namespace {

using namespace kvr::test;

const QString kBuiltCli = QStringLiteral(KVR_CLI_PATH);
const QString kBuiltDevsim = QStringLiteral(KVR_DEVSIM_PATH);
const QString kBuiltLine = QStringLiteral(KVR_LINE_PATH);
const QString kShotPath = QStringLiteral(KVR_PAGE_SHOT_DIR "/line-page.png");
constexpr int kRunGuardMs = 120'000;
// A port no device is behind, named like markup: the page must show it as text.
const QString kMarkupPort = QStringLiteral("<i>x</i>");

// One finished or open run as `history --csv` tells it.
struct CsvRun {
    QString station;
    QString port;
    QString started;  // local "YYYY-MM-DD HH:MM:SS": sorts in time order
    double durationS = 0;
    QString outcome;
    QString serialNumber;
};

// The CSV's cells: ';' between them, a quoted cell may hold ';' and doubled quotes.
QStringList CsvCells(const QString& line) {
    QStringList cells;
    QString cell;
    bool quoted = false;
    for (qsizetype i = 0; i < line.size(); ++i) {
        const QChar c = line[i];
        if (quoted) {
            if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
                cell += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                cell += c;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ';') {
            cells << cell;
            cell.clear();
        } else {
            cell += c;
        }
    }
    cells << cell;
    return cells;
}

// A cell that a spreadsheet would run is written with a leading "'"; the value is without it.
QString Plain(const QString& cell) {
    return cell.startsWith('\'') ? cell.mid(1) : cell;
}

std::vector<CsvRun> ParseHistoryCsv(QByteArray bytes) {
    std::vector<CsvRun> runs;
    if (bytes.startsWith("\xEF\xBB\xBF"))
        bytes.remove(0, 3);
    const QStringList lines =
        QString::fromUtf8(bytes).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
    if (lines.isEmpty())
        return runs;
    const QStringList head = CsvCells(lines[0]);
    auto column = [&head](const char* name) { return head.indexOf(QLatin1String(name)); };
    const int station = column("station"), port = column("port"), started = column("started"),
              duration = column("duration_s"), outcome = column("outcome"),
              sn = column("serial_number");
    if (std::min({station, port, started, duration, outcome, sn}) < 0)
        return runs;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QStringList cells = CsvCells(lines[i]);
        CsvRun run;
        run.station = Plain(cells.value(station));
        run.port = Plain(cells.value(port));
        run.started = cells.value(started);
        run.durationS = QString(cells.value(duration)).replace(',', '.').toDouble();
        run.outcome = cells.value(outcome);
        run.serialNumber = cells.value(sn);
        runs.push_back(run);
    }
    return runs;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// The figures of some of the record's runs (`all`, in the CSV's start order), as a supervisor
// counts them: a unit is a serial number (a run that gave none is a unit of its own); it
// passed when its last run here succeeded. The first-pass yield is of the units whose first
// run ever is here: a unit that failed elsewhere and passed here does not pass first time
// here. The median is of the runs' durations.
struct Figures {
    int runs = 0;
    int units = 0;
    int passed = 0;
    int failed = 0;
    int firstTimers = 0;
    int firstPass = 0;
    std::vector<double> runSeconds;
};

QString UnitOf(const CsvRun& run, size_t index) {
    return run.serialNumber.isEmpty() ? QStringLiteral("#%1").arg(index) : run.serialNumber;
}

template <typename Pick>
Figures FiguresOf(const std::vector<CsvRun>& all, Pick pick) {
    std::map<QString, size_t> firstEver;
    for (size_t i = 0; i < all.size(); ++i)
        firstEver.emplace(UnitOf(all[i], i), i);
    Figures f;
    std::map<QString, std::vector<size_t>> units;  // unit: its runs here, oldest first
    for (size_t i = 0; i < all.size(); ++i) {
        const CsvRun& run = all[i];
        if (!pick(run) || run.outcome == QLatin1String("open"))
            continue;
        ++f.runs;
        f.runSeconds.push_back(run.durationS);
        units[UnitOf(run, i)].push_back(i);
    }
    for (const auto& [unit, list] : units) {
        ++f.units;
        const bool passed = all[list.back()].outcome == QLatin1String("success");
        f.passed += passed ? 1 : 0;
        f.failed += passed ? 0 : 1;
        if (firstEver.at(unit) == list.front()) {
            ++f.firstTimers;
            f.firstPass += all[list.front()].outcome == QLatin1String("success") ? 1 : 0;
        }
    }
    return f;
}

// What the page put in its DOM: every data-figure with its raw JSON value.
struct PageDom {
    QString html;
    std::map<QString, QJsonValue> figures;
    std::map<QString, int> keyCount;

    bool Has(const QString& key) const { return figures.count(key) != 0; }
    QJsonValue Raw(const QString& key) const {
        const auto it = figures.find(key);
        return it == figures.end() ? QJsonValue(QJsonValue::Undefined) : it->second;
    }
};

QString Unescape(QString s) {
    s.replace(QStringLiteral("&quot;"), QStringLiteral("\""));
    s.replace(QStringLiteral("&lt;"), QStringLiteral("<"));
    s.replace(QStringLiteral("&gt;"), QStringLiteral(">"));
    s.replace(QStringLiteral("&nbsp;"), QString(QChar(0xA0)));
    s.replace(QStringLiteral("&amp;"), QStringLiteral("&"));
    return s;
}

PageDom ParseDom(const QString& html) {
    PageDom dom;
    dom.html = html;
    static const QRegularExpression tag(QStringLiteral("<[a-zA-Z][^>]*\\sdata-figure=[^>]*>"));
    static const QRegularExpression figureAttr(QStringLiteral("\\sdata-figure=\"([^\"]*)\""));
    static const QRegularExpression rawAttr(QStringLiteral("\\sdata-raw=\"([^\"]*)\""));
    for (auto it = tag.globalMatch(html); it.hasNext();) {
        const QString text = it.next().captured(0);
        const QRegularExpressionMatch key = figureAttr.match(text);
        const QRegularExpressionMatch raw = rawAttr.match(text);
        if (!key.hasMatch() || !raw.hasMatch())
            continue;
        // The raw value is a JSON value; wrapped in an array so that a bare number parses.
        const QByteArray json = "[" + Unescape(raw.captured(1)).toUtf8() + "]";
        const QJsonDocument doc = QJsonDocument::fromJson(json);
        const QString name = Unescape(key.captured(1));
        dom.figures[name] = doc.isArray() && doc.array().size() == 1
                                ? doc.array().at(0)
                                : QJsonValue(QJsonValue::Undefined);
        ++dom.keyCount[name];
    }
    return dom;
}

// The first-pass yield shown under `prefix`: null (shown as a dash) without a first-timer.
void ExpectYield(const PageDom& dom, const QString& prefix, const Figures& f) {
    const QJsonValue shown = dom.Raw(prefix + ".first_pass_yield");
    if (f.firstTimers == 0) {
        EXPECT_TRUE(shown.isNull()) << prefix.toStdString();
    } else {
        EXPECT_NEAR(shown.toDouble(-1), double(f.firstPass) / f.firstTimers, 1e-3)
            << prefix.toStdString();
    }
}

// The body's start tag: the page marks its first render and the record's state there.
QString BodyTag(const QString& html) {
    static const QRegularExpression body(QStringLiteral("<body[^>]*>"));
    return body.match(html).captured(0);
}

class LinePage : public ::testing::Test {
protected:
    void SetUp() override {
        chromium_ = QStandardPaths::findExecutable(QStringLiteral("chromium"));
        if (chromium_.isEmpty())
            GTEST_SKIP() << "Debian's chromium is not installed (scripts/deps.sh installs it)";
        ASSERT_TRUE(dir_.isValid());
        cli_ = dir_.filePath("kvr-uplinker-cli");
        ASSERT_TRUE(CopyProgram(kBuiltCli, cli_));
        PackageOptions options;
        options.pageCount = 8;
        options.pageSize = 264;
        package_ = dir_.filePath("firmware.bsk");
        ASSERT_TRUE(WriteAll(package_, BuildPackage(options)));
        record_ = QStringLiteral("sqlite:") + dir_.filePath("line.sqlite");
    }
    void TearDown() override {
        if (line_.state() != QProcess::NotRunning) {
            line_.terminate();
            if (!line_.waitForFinished(kChildStartGuardMs))
                line_.kill();
            line_.waitForFinished(kChildStartGuardMs);
        }
    }

    ProcessResult Cli(const QStringList& args) const {
        return RunInFolder(cli_, args, dir_.path(), kRunGuardMs);
    }
    QStringList Device(const QStringList& more = {}) const {
        return BootloaderDevice(package_, more);
    }
    QStringList Flash(const QStringList& ports) const {
        QStringList args{"flash", "--package", package_, "--technology",       "--hw",
                         "3",     "--record",  record_,  "--program-mismatch", "continue"};
        for (const QString& port : ports)
            args << "--port" << port;
        return args;
    }

    // kvr-line over `record` on a port of its choosing; the address it printed first, empty when it
    // did not.
    QString StartLine(const QString& record) {
        line_.setWorkingDirectory(dir_.path());
        line_.start(kBuiltLine, {"--record", record, "--listen", "127.0.0.1:0"});
        if (!line_.waitForStarted(kChildStartGuardMs))
            return {};
        QByteArray out;
        while (!out.contains('\n') && line_.waitForReadyRead(kChildStartGuardMs))
            out += line_.readAllStandardOutput();
        static const QRegularExpression first(
            QStringLiteral("^kvr-line: (http://127\\.0\\.0\\.1:[0-9]+/)$"));
        return first.match(QString::fromUtf8(out.left(out.indexOf('\n'))).trimmed()).captured(1);
    }

    // Headless Chromium on a profile of its own; virtual time runs the page's script (its
    // first fetch and a refresh) without the test waiting for real seconds.
    ProcessResult Chromium(const QStringList& more, const QString& url) const {
        QProcess process;
        process.setWorkingDirectory(dir_.path());
        QStringList args{"--headless",
                         "--no-sandbox",
                         "--disable-gpu",
                         "--disable-dev-shm-usage",
                         "--no-first-run",
                         "--user-data-dir=" + dir_.filePath("chromium-profile"),
                         "--virtual-time-budget=8000"};
        process.start(chromium_, args + more + QStringList{url});
        process.closeWriteChannel();
        return FinishProcess(process, kRunGuardMs);
    }

    QTemporaryDir dir_;
    QString chromium_;
    QString cli_;
    QString package_;
    QString record_;
    QProcess line_;
};

TEST_F(LinePage, ShowsTheFiguresOfTheRecordThatAStationFilled) {
    ASSERT_EQ(Cli({"pool", "create", "line", "--first", "000101", "--last", "000199", "--record",
                   record_})
                  .exitCode,
              0);
    {
        // Two good units, one whose jumper refuses its number, one that fails on a page.
        DevsimProcess good1(kBuiltDevsim, Device());
        DevsimProcess good2(kBuiltDevsim, Device());
        DevsimProcess refuses(kBuiltDevsim, Device({"--refuse-serial"}));
        DevsimProcess pageError(kBuiltDevsim, Device({"--error-status-at-page", "3"}));
        for (const DevsimProcess* d : {&good1, &good2, &refuses, &pageError})
            ASSERT_FALSE(d->Port().isEmpty());
        const ProcessResult r =
            Cli(Flash({good1.Port(), good2.Port(), refuses.Port(), pageError.Port()}) << "--sn-pool"
                                                                                      << "line");
        EXPECT_EQ(r.exitCode, 1) << r.err.toStdString();
    }
    // The refused number, as the record has it.
    QString refusedNumber;
    {
        QProcess csv;
        csv.setWorkingDirectory(dir_.path());
        csv.start(cli_, {"history", "--csv", "--record", record_});
        ASSERT_TRUE(csv.waitForFinished(kRunGuardMs));
        for (const CsvRun& run : ParseHistoryCsv(csv.readAllStandardOutput())) {
            if (run.outcome == QLatin1String("serial_number_error"))
                refusedNumber = run.serialNumber;
        }
        ASSERT_FALSE(refusedNumber.isEmpty());
    }
    {
        // The jumper fixed, the same unit passes with its own number.
        DevsimProcess fixed(kBuiltDevsim, Device());
        const ProcessResult r =
            Cli(Flash({fixed.Port()}) << "--sn" << refusedNumber << "--renumber");
        EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    }
    {
        // A unit of another hardware: refused on its first page.
        DevsimProcess other(kBuiltDevsim, Device({"--page-flags", "1:2"}));
        const ProcessResult r = Cli(Flash({other.Port()}) << "--sn-pool"
                                                          << "line");
        EXPECT_EQ(r.exitCode, 1) << r.err.toStdString();
    }
    // Nothing behind the port: a run that ends at once, on a port whose name is markup.
    EXPECT_EQ(
        Cli({"flash", "--port", kMarkupPort, "--package", package_, "--record", record_}).exitCode,
        1);

    QProcess csv;
    csv.setWorkingDirectory(dir_.path());
    csv.start(cli_, {"history", "--csv", "--record", record_});
    ASSERT_TRUE(csv.waitForFinished(kRunGuardMs));
    const std::vector<CsvRun> runs = ParseHistoryCsv(csv.readAllStandardOutput());
    ASSERT_EQ(runs.size(), 7u);

    const Figures line = FiguresOf(runs, [](const CsvRun&) { return true; });
    std::map<QString, int> pareto;
    int failedRuns = 0;
    for (const CsvRun& run : runs) {
        if (run.outcome != QLatin1String("success") && run.outcome != QLatin1String("open")) {
            ++pareto[run.outcome];
            ++failedRuns;
        }
    }
    // The scenario is what it meant to be before the page is judged by it.
    ASSERT_EQ(line.firstPass + 1, line.passed) << "one unit passed only the second time";
    ASSERT_EQ(line.firstTimers, line.units);
    ASSERT_GE(pareto.size(), 4u);

    const QString poolStatus = Cli({"pool", "status", "line", "--record", record_}).out;
    static const QRegularExpression freeCount(QStringLiteral("free ([0-9]+)"));
    const QRegularExpressionMatch free = freeCount.match(poolStatus);
    ASSERT_TRUE(free.hasMatch()) << poolStatus.toStdString();

    const QString url = StartLine(record_);
    ASSERT_FALSE(url.isEmpty()) << "kvr-line printed no address first";

    const ProcessResult dump = Chromium({"--dump-dom"}, url + "?hours=24");
    ASSERT_EQ(dump.exitCode, 0) << dump.err.toStdString();
    const PageDom dom = ParseDom(dump.out);

    const QString body = BodyTag(dom.html);
    ASSERT_TRUE(body.contains(QStringLiteral("data-loaded=\"1\""))) << body.toStdString();
    EXPECT_TRUE(body.contains(QStringLiteral("data-record-state=\"ok\""))) << body.toStdString();
    static const QRegularExpression linkBanner(QStringLiteral("<div[^>]*id=\"link-banner\"[^>]*>"));
    EXPECT_TRUE(linkBanner.match(dom.html).captured(0).contains(QStringLiteral(" hidden")))
        << "the page lost its link to kvr-line";
    for (const auto& [key, count] : dom.keyCount)
        EXPECT_EQ(count, 1) << key.toStdString() << " shown more than once";

    // The window asked for in the page's address reached kvr-line.
    EXPECT_EQ(dom.Raw("window.hours").toDouble(-1), 24.0);

    EXPECT_EQ(dom.Raw("line.runs").toInt(-1), static_cast<int>(runs.size()));
    EXPECT_EQ(dom.Raw("line.running").toInt(-1), 0);
    EXPECT_EQ(dom.Raw("line.units").toInt(-1), line.units);
    EXPECT_EQ(dom.Raw("line.passed").toInt(-1), line.passed);
    EXPECT_EQ(dom.Raw("line.failed").toInt(-1), line.failed);
    ExpectYield(dom, "line", line);
    // kvr-line gives the rate to two decimals.
    EXPECT_NEAR(dom.Raw("line.units_per_hour").toDouble(-1), line.units / 24.0, 0.006);
    // The CSV rounds each duration to 0.1 s.
    EXPECT_NEAR(dom.Raw("line.median_unit_s").toDouble(-1), Median(line.runSeconds), 0.15);

    // By station and by lane: the same figures of each one's runs.
    std::set<QString> stations;
    std::set<std::pair<QString, QString>> lanes;
    for (const CsvRun& run : runs) {
        stations.insert(run.station);
        lanes.insert({run.station, run.port});
    }
    auto expectFigures = [&dom](const QString& prefix, const Figures& f) {
        SCOPED_TRACE(prefix.toStdString());
        EXPECT_EQ(dom.Raw(prefix + ".units").toInt(-1), f.units);
        EXPECT_EQ(dom.Raw(prefix + ".passed").toInt(-1), f.passed);
        EXPECT_EQ(dom.Raw(prefix + ".failed").toInt(-1), f.failed);
        ExpectYield(dom, prefix, f);
        if (f.units > 0) {
            EXPECT_NEAR(dom.Raw(prefix + ".median_unit_s").toDouble(-1), Median(f.runSeconds),
                        0.15);
        }
    };
    for (const QString& station : stations) {
        expectFigures("station." + station,
                      FiguresOf(runs, [&](const CsvRun& r) { return r.station == station; }));
    }
    for (const auto& [station, port] : lanes) {
        expectFigures("lane." + station + "." + port, FiguresOf(runs, [&](const CsvRun& r) {
                          return r.station == station && r.port == port;
                      }));
    }

    // The chart's bars: every unit once, in the hour of its last run, passed or failed.
    int hours = 0, passedBars = 0, failedBars = 0;
    for (const auto& [key, raw] : dom.figures) {
        if (!key.startsWith(QLatin1String("hourly.")))
            continue;
        if (key.endsWith(QLatin1String(".passed"))) {
            ++hours;
            passedBars += raw.toInt(-1000);
        } else if (key.endsWith(QLatin1String(".failed"))) {
            failedBars += raw.toInt(-1000);
        }
    }
    EXPECT_GE(hours, 24);
    EXPECT_EQ(passedBars, line.passed);
    EXPECT_EQ(failedBars, line.failed);

    // The station's card, from its heartbeat: its clean stops sent everything it kept.
    for (const QString& station : stations) {
        EXPECT_TRUE(dom.Has("station." + station + ".online")) << station.toStdString();
        EXPECT_EQ(dom.Raw("station." + station + ".waiting").toInt(-1), 0) << station.toStdString();
    }

    for (const auto& [outcome, count] : pareto)
        EXPECT_EQ(dom.Raw("pareto." + outcome).toInt(-1), count) << outcome.toStdString();
    EXPECT_FALSE(dom.Has("pareto.success")) << "a success is no failure";
    EXPECT_EQ(dom.Raw("failures.count").toInt(-1), failedRuns);
    EXPECT_EQ(dom.Raw("pool.line.left").toInt(-1), free.captured(1).toInt());

    // The port named like markup is text on the page, never an element.
    EXPECT_TRUE(dom.html.contains(QStringLiteral("&lt;i&gt;x&lt;/i&gt;")));
    EXPECT_FALSE(dom.html.contains(kMarkupPort));
    // Outcomes are shown in the station's words.
    EXPECT_TRUE(dom.html.contains(QStringLiteral("Серийный номер не записан")));
    EXPECT_TRUE(dom.html.contains(QStringLiteral("Несовместимое железо")));

    // The screenshot README shows, made from the same page.
    QFile::remove(kShotPath);
    const ProcessResult shot =
        Chromium({"--screenshot=" + kShotPath, "--window-size=1366,900"}, url + "?hours=24");
    ASSERT_EQ(shot.exitCode, 0) << shot.err.toStdString();
    EXPECT_TRUE(ReadAll(kShotPath).startsWith("\x89PNG\r\n\x1a\n")) << kShotPath.toStdString();
}

// A record that cannot be reached is a banner over the figures kvr-line has (none here), not
// an error page; a window in the address that cannot be used is named, and the default shown.
TEST_F(LinePage, SaysTheRecordIsAwayAndNamesAWindowItCannotUse) {
    // Nothing listens on port 1.
    const QString url = StartLine(QStringLiteral("postgresql://kvr@127.0.0.1:1/kvr_line"));
    ASSERT_FALSE(url.isEmpty()) << "kvr-line printed no address first";

    const ProcessResult dump = Chromium({"--dump-dom"}, url + "?hours=0");
    ASSERT_EQ(dump.exitCode, 0) << dump.err.toStdString();
    const PageDom dom = ParseDom(dump.out);
    const QString body = BodyTag(dom.html);
    ASSERT_TRUE(body.contains(QStringLiteral("data-loaded=\"1\""))) << body.toStdString();
    EXPECT_TRUE(body.contains(QStringLiteral("data-record-state=\"away\""))) << body.toStdString();

    static const QRegularExpression awayBanner(QStringLiteral("<div[^>]*id=\"away-banner\"[^>]*>"));
    const QString banner = awayBanner.match(dom.html).captured(0);
    ASSERT_FALSE(banner.isEmpty());
    EXPECT_FALSE(banner.contains(QStringLiteral(" hidden"))) << banner.toStdString();
    EXPECT_TRUE(dom.html.contains(QStringLiteral("Запись недоступна")));
    EXPECT_TRUE(dom.html.contains(QStringLiteral("Connection refused"))) << "the record's reason";

    // The figures are there, empty: no unit, so no yield and no median.
    EXPECT_EQ(dom.Raw("line.units").toInt(-1), 0);
    EXPECT_TRUE(dom.Raw("line.first_pass_yield").isNull());
    EXPECT_TRUE(dom.Raw("line.median_unit_s").isNull());

    static const QRegularExpression note(QStringLiteral("id=\"shift-note\"[^>]*>([^<]*)<"));
    const QString said = note.match(dom.html).captured(1);
    EXPECT_TRUE(said.contains(QStringLiteral("hours=0"))) << "the refused value is named";
    EXPECT_EQ(dom.Raw("window.hours").toDouble(-1), 12.0) << "the default window instead";
}

}  // namespace

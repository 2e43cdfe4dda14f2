// kvr-bench-report: runs the benchmarks, holds their figures against bench/goals.json, prints
// the table and writes it into bench/README.md. scripts/bench.sh builds and starts it.
//
//   kvr-bench-report [--repeat N] [--only scale] [--no-readme] [--goals FILE] [--readme FILE]
//                    [--pg-script FILE] [--bin DIR]
#include <QCoreApplication>
#include <QFile>
#include <QSaveFile>
#include <QTemporaryDir>
#include <cstdio>

#include "BenchRuns.h"
#include "Report.h"

namespace {

using namespace kvr::bench;

int Usage() {
    std::fprintf(stderr,
                 "usage: kvr-bench-report [--repeat N] [--only scale] [--no-readme] "
                 "[--goals FILE] [--readme FILE] [--pg-script FILE] [--bin DIR]\n");
    return 2;
}

QString Header(const RunContext& c, int repeat, const Tally& tally) {
    return QStringLiteral(
               "Measured %1 by `scripts/bench.sh` (`kvr-bench-report`) on %2; load average %3 "
               "at the start, %4 at the end. Whole-update figures: median of %5 runs, range in "
               "brackets. %6 pages, %7 data bytes asked for with each, %8 baud. Goals from "
               "`bench/goals.json`: %9 met, %10 missed, %11 missing.\n\n")
        .arg(c.started, c.machine, c.loadStart, c.loadEnd)
        .arg(repeat)
        .arg(c.pages)
        .arg(c.length)
        .arg(c.baud)
        .arg(tally.met)
        .arg(tally.missed)
        .arg(tally.missing);
}

QString NotMeasured(const RunContext& c) {
    if (c.notMeasured.isEmpty())
        return {};
    QString text = QStringLiteral("\nNot measured in this run:\n\n");
    for (const QString& line : c.notMeasured)
        text += QStringLiteral("- ") + QString(line).replace(QLatin1Char('\n'), QLatin1Char(' ')) +
                QLatin1Char('\n');
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    RunOptions options;
    options.bin = QCoreApplication::applicationDirPath();
    QString goalsPath = QStringLiteral(KVR_BENCH_SOURCE_DIR "/goals.json");
    QString readmePath = QStringLiteral(KVR_BENCH_SOURCE_DIR "/README.md");
    options.pgScript = QStringLiteral(KVR_PG_TEST_SCRIPT);
    bool writeReadme = true;
    const QStringList args = app.arguments().mid(1);
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& arg = args[i];
        const bool hasValue = i + 1 < args.size();
        if (arg == QLatin1String("--no-readme")) {
            writeReadme = false;
        } else if (arg == QLatin1String("--repeat") && hasValue) {
            bool ok = false;
            options.repeat = args[++i].toInt(&ok);
            if (!ok || options.repeat < 1)
                return Usage();
        } else if (arg == QLatin1String("--only") && hasValue) {
            if (args[++i] != QLatin1String("scale"))
                return Usage();
            options.onlyScale = true;
        } else if (arg == QLatin1String("--goals") && hasValue) {
            goalsPath = args[++i];
        } else if (arg == QLatin1String("--readme") && hasValue) {
            readmePath = args[++i];
        } else if (arg == QLatin1String("--pg-script") && hasValue) {
            options.pgScript = args[++i];
        } else if (arg == QLatin1String("--bin") && hasValue) {
            options.bin = args[++i];
        } else {
            return Usage();
        }
    }

    // The goals first: a goal file that is wrong stops the run before it starts.
    QFile goalsFile(goalsPath);
    if (!goalsFile.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "kvr-bench-report: cannot read %s\n", qPrintable(goalsPath));
        return 1;
    }
    std::vector<FigureRow> rows;
    QString error;
    if (!ParseGoals(goalsFile.readAll(), rows, error)) {
        std::fprintf(stderr, "kvr-bench-report: %s: %s\n", qPrintable(goalsPath),
                     qPrintable(error));
        return 1;
    }

    QTemporaryDir work;
    if (!work.isValid()) {
        std::fprintf(stderr, "kvr-bench-report: no temporary folder\n");
        return 1;
    }
    options.work = work.path();
    Measurements measured;
    RunContext context;
    RunBenchmarks(options, measured, context);

    const QStringList groups = options.onlyScale
                                   ? QStringList{QStringLiteral("scale"), QStringLiteral("station")}
                                   : QStringList{};
    Tally tally;
    const QString table = Table(rows, measured, groups, &tally);
    const QString block = Header(context, options.repeat, tally) + table + NotMeasured(context);
    std::printf("\n%s", block.toUtf8().constData());
    std::fflush(stdout);

    if (writeReadme && !options.onlyScale) {
        QFile readme(readmePath);
        if (!readme.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "kvr-bench-report: cannot read %s\n", qPrintable(readmePath));
            return 1;
        }
        const QString text = QString::fromUtf8(readme.readAll());
        readme.close();
        // Replaced in one step, so that an interrupted run leaves the old file whole.
        QSaveFile out(readmePath);
        if (!out.open(QIODevice::WriteOnly) || out.write(SpliceReadme(text, block).toUtf8()) < 0 ||
            !out.commit()) {
            std::fprintf(stderr, "kvr-bench-report: cannot write %s\n", qPrintable(readmePath));
            return 1;
        }
        std::printf("\nWritten to %s.\n", qPrintable(readmePath));
    } else if (options.onlyScale) {
        std::printf("\n(--only scale: %s is left as it is.)\n", qPrintable(readmePath));
    }
    // Figures that were not made are a failed run, whatever the table shows.
    return context.notMeasured.isEmpty() ? 0 : 1;
}

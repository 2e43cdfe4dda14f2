// The runs behind the report: simulated devices on pseudo-terminals, the command line tool
// timed by kvr-bench-rusage, the benchmark programs, the PostgreSQL server some of them need.
// Each part's figures go into Measurements under the ids bench/goals.json names. POSIX only.
#pragma once

#include <QString>
#include <QStringList>

#include "Report.h"

namespace kvr::bench {

struct RunOptions {
    QString bin;       // the release build's bin/ folder
    QString pgScript;  // scripts/pg-test-server.sh
    QString work;      // a temporary folder for packages, reports and logs
    int repeat = 3;    // runs of each whole-update figure
    bool onlyScale = false;
};

// What the report says about the run besides its figures.
struct RunContext {
    QString machine;
    QString started;
    QString loadStart;
    QString loadEnd;
    int baud = 0;
    int pages = 0;
    int length = 0;           // data bytes the device asks for with each page
    QStringList notMeasured;  // each part that failed, and why: its figures are missing
};

// Runs every part (only the several-devices and station parts with onlyScale); a part that
// fails is named in context.notMeasured and the others still run.
void RunBenchmarks(const RunOptions& options, Measurements& measured, RunContext& context);

}  // namespace kvr::bench

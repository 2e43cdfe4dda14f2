// The run's progress on standard error: on a terminal a bar with percentage, pages and rate
// redrawn in place, otherwise one "NN%" line each time the value changes.
#pragma once

#include <cstdint>
#include <cstdio>

#include "Cli.h"
#include "Clock.h"

namespace kvr::cli {

class ProgressDisplay {
public:
    ProgressDisplay(CliOutput& io, std::FILE* stream, bool terminal, int pageCount, IClock& clock);
    // One SetProgress of the run (one per page taken, then 100 at completion).
    void Update(int position);
    // Ends a bar line on a terminal, so that other text starts on a line of its own.
    void EndLine();

private:
    void DrawBar();

    CliOutput& io_;
    std::FILE* stream_;
    bool terminal_;
    int pageCount_;
    IClock& clock_;
    int position_ = -1;
    int updates_ = 0;
    uint64_t firstUpdateMs_ = 0;
    bool lineOpen_ = false;
};

}  // namespace kvr::cli

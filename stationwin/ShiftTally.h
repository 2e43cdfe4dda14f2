// The station window's shift figures: from the runs the window has seen since its first Start,
// for each lane and for the whole station,
// - first-pass yield: the share of units that passed at their first run. A unit is known by
//   the serial number its run gave it; a run without one is a unit of its own. A unit belongs
//   to the lane of its first run, so a unit moved to another fixture after a failure weighs on
//   the fixture that failed it, and its pass elsewhere is no first pass anywhere.
// - units per hour: units over the hours since the shift began (extrapolated while the shift
//   is younger than an hour, so the figure is comparable from the first unit on);
// - the median time per unit: the median duration of the lane's (the station's) runs.
// A run the operator stopped, or one that never started (no number left), is no attempt at a
// unit and counts nowhere.
//
// No widgets and no threads: the window feeds it on its own thread.
#pragma once

#include <QSet>
#include <QString>
#include <cstdint>
#include <optional>
#include <vector>

#include "Clock.h"
#include "Station.h"

namespace kvr::stationwin {

struct ShiftFigures {
    int runs = 0;
    int units = 0;
    int firstPass = 0;  // units that passed at their first run
    // Empty while there is nothing to tell: no unit, no run, a shift not yet begun.
    std::optional<double> firstPassYield;  // 0..1
    std::optional<double> unitsPerHour;
    std::optional<uint64_t> medianRunMs;
};

class ShiftTally {
public:
    ShiftTally(int lanes, IClock& clock);

    // The shift's hours count from the first call on; later calls change nothing.
    void Begin();
    bool Begun() const { return begun_; }

    void Add(int lane, const station::RunResult& result);

    ShiftFigures Lane(int lane) const;
    ShiftFigures Station() const;

private:
    struct Counts {
        int units = 0;
        int firstPass = 0;
        std::vector<uint64_t> durationsMs;
    };

    ShiftFigures Figures(const Counts& counts) const;

    IClock& clock_;
    bool begun_ = false;
    uint64_t begunMs_ = 0;
    std::vector<Counts> lanes_;
    Counts station_;
    QSet<QString> seenUnits_;  // by serial number
};

// The median of the values; even count: the mean of the middle two. Empty for no values.
std::optional<uint64_t> Median(std::vector<uint64_t> values);

}  // namespace kvr::stationwin

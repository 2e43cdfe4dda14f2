#include "ShiftTally.h"

#include <algorithm>

namespace kvr::stationwin {

namespace {
constexpr double kMsPerHour = 3600.0 * 1000.0;
}  // namespace

std::optional<uint64_t> Median(std::vector<uint64_t> values) {
    if (values.empty())
        return std::nullopt;
    const size_t middle = values.size() / 2;
    std::nth_element(values.begin(), values.begin() + middle, values.end());
    const uint64_t upper = values[middle];
    if (values.size() % 2 != 0)
        return upper;
    const uint64_t lower = *std::max_element(values.begin(), values.begin() + middle);
    return lower + (upper - lower) / 2;
}

ShiftTally::ShiftTally(int lanes, IClock& clock)
    : clock_(clock), lanes_(static_cast<size_t>(std::max(lanes, 0))) {}

void ShiftTally::Begin() {
    if (begun_)
        return;
    begun_ = true;
    begunMs_ = clock_.TickMs();
}

void ShiftTally::Add(int lane, const station::RunResult& result) {
    if (!result.started || result.stopped || lane < 0 || lane >= static_cast<int>(lanes_.size()))
        return;
    Counts& own = lanes_[static_cast<size_t>(lane)];
    own.durationsMs.push_back(result.durationMs);
    station_.durationsMs.push_back(result.durationMs);
    // A number seen before is a unit run again: neither a new unit nor a first pass.
    if (!result.serialNumber.isEmpty()) {
        if (seenUnits_.contains(result.serialNumber))
            return;
        seenUnits_.insert(result.serialNumber);
    }
    for (Counts* counts : {&own, &station_}) {
        ++counts->units;
        counts->firstPass += result.succeeded ? 1 : 0;
    }
}

ShiftFigures ShiftTally::Figures(const Counts& counts) const {
    ShiftFigures figures;
    figures.runs = static_cast<int>(counts.durationsMs.size());
    figures.units = counts.units;
    figures.firstPass = counts.firstPass;
    if (counts.units > 0)
        figures.firstPassYield = static_cast<double>(counts.firstPass) / counts.units;
    if (begun_) {
        const uint64_t elapsedMs = clock_.TickMs() - begunMs_;
        if (elapsedMs > 0)
            figures.unitsPerHour = counts.units * kMsPerHour / static_cast<double>(elapsedMs);
    }
    figures.medianRunMs = Median(counts.durationsMs);
    return figures;
}

ShiftFigures ShiftTally::Lane(int lane) const {
    if (lane < 0 || lane >= static_cast<int>(lanes_.size()))
        return {};
    return Figures(lanes_[static_cast<size_t>(lane)]);
}

ShiftFigures ShiftTally::Station() const {
    return Figures(station_);
}

}  // namespace kvr::stationwin

// The limits of a station's loop that users choose, in one place for every program.
#pragma once

#include <cstdint>

namespace kvr::station {

// A device restarting after its update stays silent for up to about 3 s.
inline constexpr uint32_t kDefaultRemovalMs = 5000;
// The removal silence a user may choose, in seconds.
inline constexpr double kRemovalSecondsMin = 0.5;
inline constexpr double kRemovalSecondsMax = 3600;

}  // namespace kvr::station

// The limits of a station's loop that users choose, in one place for every program.
#pragma once

#include <cstdint>

namespace kvr::station {

// A device restarting after its update stays silent for up to about 3 s.
inline constexpr uint32_t kDefaultRemovalMs = 5000;
// The removal silence a user may choose, in seconds.
inline constexpr double kRemovalSecondsMin = 0.5;
inline constexpr double kRemovalSecondsMax = 3600;
// A station's lease of pool numbers, as a user may size it.
inline constexpr int64_t kLeaseSizeMin = 1;
inline constexpr int64_t kLeaseSizeMax = 100000;
inline constexpr int64_t kLeaseHoursMin = 1;
inline constexpr int64_t kLeaseHoursMax = 72;

}  // namespace kvr::station

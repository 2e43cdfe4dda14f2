// The local time's offset from UTC, looked up once per UTC second. Time-zone transitions
// happen at whole seconds, so an offset looked up for a second holds for all of it; the
// system's lookup costs as much as the rest of an update log entry, which is why the clock
// does not repeat it for every stamp. A time zone changed by the user reaches the stamps at the
// next second. One cache per thread (not thread-safe).
#pragma once

#include <cstdint>
#include <limits>

namespace kvr {

class LocalOffsetCache {
public:
    static constexpr int64_t kMsPerSecond = 1000;

    // The offset in seconds for the instant msSinceEpoch; lookup(second) gives it for a whole
    // UTC second and is called only when the second differs from the last one.
    template <typename Lookup>
    int OffsetAt(int64_t msSinceEpoch, Lookup&& lookup) {
        // Seconds rounded down, also before 1970.
        int64_t second = msSinceEpoch / kMsPerSecond;
        if (msSinceEpoch % kMsPerSecond < 0)
            --second;
        if (second != second_) {
            offset_ = lookup(second);
            second_ = second;
        }
        return offset_;
    }

private:
    int64_t second_ = std::numeric_limits<int64_t>::min();
    int offset_ = 0;
};

}  // namespace kvr

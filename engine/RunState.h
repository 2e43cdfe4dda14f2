// The state one update run shares between its reporting, its link protocol and its sequence.
// Everything here belongs to the run: nothing is process-wide, so runs on several ports can
// coexist. Only the update thread touches it while the run is going; the one exception is the
// address field length, which the host's thread may read at any time.
#pragma once

#include <atomic>
#include <cstdint>

#include "LinkTypes.h"

namespace kvr {

// A value one thread writes and others may read at any moment; copies take its value.
template <typename T>
class SharedValue {
public:
    SharedValue(T value = T{}) : value_(value) {}  // NOLINT: stands in for a plain T
    SharedValue(const SharedValue& other) : value_(other.Get()) {}
    SharedValue& operator=(const SharedValue& other) {
        value_.store(other.Get(), std::memory_order_relaxed);
        return *this;
    }
    SharedValue& operator=(T value) {
        value_.store(value, std::memory_order_relaxed);
        return *this;
    }
    T Get() const { return value_.load(std::memory_order_relaxed); }
    operator T() const { return Get(); }  // NOLINT: reads as the plain value

private:
    std::atomic<T> value_;
};

struct RunState {
    // When set, the polling loop ends at its next turn. Set by every error report, by the
    // answer No to the program-version question and after the closing message; cleared when
    // the run begins, between the two attempts of a link probe and by the answer Yes.
    bool stopFlag = false;
    // Set only while a page request is being sent in BootAll mode (frame type 0x02).
    bool bootAllFrame = false;
    // What the progress bar is to show: requestedPage * 100 / 256 (above 100 for pages > 256).
    int32_t progress = 0;
    // Address bytes in every frame of this run, both directions: 6 or 0.
    SharedValue<uint16_t> addressFieldLength = kAddressFieldLengthApplication;
    // Page frames written to the device in this run; the host's thread may read it.
    SharedValue<int32_t> pagesSent = 0;
    // The status the device last reported in the polling loop.
    StatusRecord status;
};

}  // namespace kvr

// The state one update run shares between its reporting, its link protocol and its sequence.
// Everything here belongs to the run: nothing is process-wide, so runs on several ports can
// coexist. Only the update thread touches it while the run is going.
#pragma once

#include <cstdint>

#include "LinkTypes.h"

namespace kvr {

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
    uint16_t addressFieldLength = kAddressFieldLengthApplication;
    // The status the device last reported in the polling loop.
    StatusRecord status;
};

}  // namespace kvr

// How long a cancelled overlapped transfer is waited for. A sound driver finishes a cancelled
// transfer at once; some USB-serial drivers never do once their adapter is pulled, and an
// unbounded wait would hang the run's thread, and with it a window's close or a station's end.
// Private to the Win32 half of the serial component; a header of its own so that the bound can
// be tested without a driver that misbehaves.
#pragma once

#include <windows.h>

namespace kvr {

inline constexpr DWORD kCancelledTransferBoundMs = 2000;

// Cancels the transfer of `ov` on `port` and waits up to boundMs for the system to finish it.
// True when it finished (moved: what it moved before it stopped). False when the bound passed:
// the system may still write into ov and the transfer's buffer, so neither may be reused or
// freed from then on.
inline bool FinishCancelled(HANDLE port, OVERLAPPED& ov, DWORD boundMs, DWORD& moved) {
    moved = 0;
    CancelIoEx(port, &ov);
    if (WaitForSingleObject(ov.hEvent, boundMs) != WAIT_OBJECT_0)
        return false;
    if (!GetOverlappedResult(port, &ov, &moved, FALSE))
        ClearCommError(port, nullptr, nullptr);
    return true;
}

}  // namespace kvr

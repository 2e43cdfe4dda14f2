// Fuzz check of the link protocol's reply judging, fed by a byte channel that hands out the
// fuzzer's bytes.
//
// Input layout:
//   byte 0  choices: bits 0-1 the operation (0 ReceiveReply, 1 ReceiveStatusReply,
//           2 RequestStatus, 3 ProbeLink); bit 2 address field of 6 bytes (else none);
//           bit 3 reportFailures; bit 4 stopFlag already set; bit 5 BootAll frame type;
//           bit 6 the port throws when purged; bit 7 the port refuses the probe's time-out
//   byte 1  the command the receive expects
//   rest    what the device sends, handed out as reads ask for it; reads past the end come
//           back short (the time-out passed)
// Missing leading bytes count as 0.
#pragma once

#include <QDateTime>
#include <cstddef>
#include <cstdint>

#include "Clock.h"
#include "FuzzCheck.h"

namespace kvr {
class TUpdateLog;
}

namespace kvr::fuzz {

// A clock that never waits: the channel under test never blocks.
class StillClock final : public IClock {
public:
    void SleepMs(uint32_t milliseconds) override { tick_ += milliseconds; }
    uint64_t TickMs() override { return tick_; }
    QDateTime LocalNow() override;

private:
    uint64_t tick_ = 0;
};

// Runs the chosen operation and compares result, reports ("Ошибка обмена!", "Ошибка CRC!"),
// stopFlag, address field length, status record, bytes consumed, frames written and every
// byte of the caller's 1024-byte reply buffer with what the judging rules give. The buffer is
// a heap block of exactly 1024 bytes, so a write past it is caught by AddressSanitizer. Every
// byte crossing the line goes to log (open or not).
Finding CheckLinkInput(const uint8_t* data, size_t size, TUpdateLog& log);

}  // namespace kvr::fuzz

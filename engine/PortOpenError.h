// The error a byte channel raises when its port does not open. what() stays the serial
// component's own text, which ends in the system's error code; SystemCode() is that code as a
// number (errno on POSIX, GetLastError on Windows), so that a caller can name the usual cause
// without reading it back out of the text; SystemReason() gives the system's words for it, so
// that the update log can say why without the reader looking the number up. Catching
// EFOpenError still catches it.
#pragma once

#include <string>
#include <utility>

#include "Exception.h"

namespace kvr {

class EPortOpenError final : public EFOpenError {
public:
    // Neither platform's error codes are negative.
    static constexpr int kNoSystemCode = -1;

    EPortOpenError(std::string message, std::string systemReason, int systemCode = kNoSystemCode)
        : EFOpenError(std::move(message)),
          systemReason_(std::move(systemReason)),
          systemCode_(systemCode) {}
    // Empty when the system had no words for the code.
    const std::string& SystemReason() const noexcept { return systemReason_; }
    // kNoSystemCode when the text carried no code.
    int SystemCode() const noexcept { return systemCode_; }

private:
    std::string systemReason_;
    int systemCode_;
};

}  // namespace kvr

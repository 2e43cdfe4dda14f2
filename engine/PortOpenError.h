// The error a byte channel raises when its port does not open. what() stays the serial
// component's own text; SystemCode() is the system's code (errno on POSIX, GetLastError on
// Windows) as the component raised it, so that a caller can name the usual cause; SystemReason()
// gives the system's words for it, so that the update log can say why without the reader
// looking the number up. Catching EFOpenError still catches it.
#pragma once

#include <limits>
#include <string>
#include <utility>

#include "Exception.h"

namespace kvr {

class EPortOpenError final : public EFOpenError {
public:
    EPortOpenError(const EFOpenError& raised, std::string systemReason)
        : EFOpenError(raised.Message(), raised.SystemCode()),
          systemReason_(std::move(systemReason)) {}
    // Empty when the system had no words for the code.
    const std::string& SystemReason() const noexcept { return systemReason_; }
    // The code as an int, kNoSystemCode when there is none or it names no known cause.
    int OpenErrorCode() const noexcept {
        const long long code = SystemCode();
        return code >= 0 && code <= std::numeric_limits<int>::max() ? static_cast<int>(code) : -1;
    }

private:
    std::string systemReason_;
};

}  // namespace kvr

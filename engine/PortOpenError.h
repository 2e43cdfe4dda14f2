// The error a byte channel raises when its port does not open. what() stays the serial
// component's own text, which ends in the system's error code; SystemReason() gives the
// system's words for that code, so that the update log can say why without the reader looking
// the number up. Catching EFOpenError still catches it.
#pragma once

#include <string>
#include <utility>

#include "Exception.h"

namespace kvr {

class EPortOpenError final : public EFOpenError {
public:
    EPortOpenError(std::string message, std::string systemReason)
        : EFOpenError(std::move(message)), systemReason_(std::move(systemReason)) {}
    // Empty when the system had no words for the code.
    const std::string& SystemReason() const noexcept { return systemReason_; }

private:
    std::string systemReason_;
};

}  // namespace kvr

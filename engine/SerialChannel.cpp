#include "SerialChannel.h"

#include <limits>

#include "PortOpenError.h"

namespace kvr {

namespace {

// The component's open error ends with the system's error code in decimal; -1 when it does not.
long long TrailingCode(const std::string& message) {
    constexpr size_t kMaxCodeDigits = 10;
    size_t begin = message.size();
    while (begin > 0 && message[begin - 1] >= '0' && message[begin - 1] <= '9')
        --begin;
    const size_t digits = message.size() - begin;
    if (digits == 0 || digits > kMaxCodeDigits)
        return -1;
    return std::stoll(message.substr(begin));
}

}  // namespace

void SerialChannel::Connect(const LinkSettings& settings) {
    port_.FSetPortName(settings.portName);
    port_.FSetSetupString(settings.setupString);
    port_.FSetReadIntervalTimeout(settings.readInterval);
    port_.FSetReadTotalTimeoutMultiplier(settings.readTotalMultiplier);
    port_.FSetReadTotalTimeoutConstant(settings.readTotalConstant);
    port_.FSetWriteTotalTimeoutMultiplier(settings.writeTotalMultiplier);
    port_.FSetWriteTotalTimeoutConstant(settings.writeTotalConstant);
    try {
        port_.Connect();
    } catch (const EFOpenError& e) {
        const long long code = TrailingCode(e.Message());
        // The open errors of both platforms are small numbers; a larger one names no known cause.
        const int systemCode = code >= 0 && code <= std::numeric_limits<int>::max()
                                   ? static_cast<int>(code)
                                   : EPortOpenError::kNoSystemCode;
        throw EPortOpenError(e.Message(), code < 0 ? std::string() : port_.SystemErrorText(code),
                             systemCode);
    }
}

void SerialChannel::PurgeReceive() {
    port_.Purge({TSerialComm::PurgeFlag::RxClear});
}

void SerialChannel::SetReadTotalConstant(int32_t milliseconds) {
    port_.FSetReadTotalTimeoutConstant(milliseconds);
}

}  // namespace kvr

#include "SerialChannel.h"

#include "PortOpenError.h"

namespace kvr {

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
        const long long code = e.SystemCode();
        throw EPortOpenError(e, code < 0 ? std::string() : port_.SystemErrorText(code));
    }
}

void SerialChannel::PurgeReceive() {
    port_.Purge({TSerialComm::PurgeFlag::RxClear});
}

void SerialChannel::SetReadTotalConstant(int32_t milliseconds) {
    port_.FSetReadTotalTimeoutConstant(milliseconds);
}

}  // namespace kvr

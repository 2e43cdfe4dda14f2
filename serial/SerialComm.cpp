#include "SerialComm.h"

#include "SerialPortBackend.h"

namespace kvr {

namespace {

// Blanks and control characters around a port name are typing noise, never part of it.
std::string TrimPortName(const std::string& name) {
    auto isNoise = [](char c) { return static_cast<unsigned char>(c) <= 0x20; };
    size_t begin = 0;
    size_t end = name.size();
    while (begin < end && isNoise(name[begin])) {
        ++begin;
    }
    while (end > begin && isNoise(name[end - 1])) {
        --end;
    }
    return name.substr(begin, end - begin);
}

// The stored signed values, handed on as unsigned 32-bit (-1 becomes all ones).
CommTimeouts TimeoutsOf(const TSerialComm& c) {
    CommTimeouts t;
    t.readInterval = static_cast<uint32_t>(c.TimeoutReadInterval());
    t.readTotalMultiplier = static_cast<uint32_t>(c.TimeoutReadTotalMultiplier());
    t.readTotalConstant = static_cast<uint32_t>(c.TimeoutReadTotalConstant());
    t.writeTotalMultiplier = static_cast<uint32_t>(c.TimeoutWriteTotalMultiplier());
    t.writeTotalConstant = static_cast<uint32_t>(c.TimeoutWriteTotalConstant());
    return t;
}

}  // namespace

TSerialComm::TSerialComm() : port_(std::make_unique<SerialPortBackend>()) {}

TSerialComm::~TSerialComm() {
    try {
        Disconnect();
    } catch (...) {
        // Only an OnDisconnect handler can throw here, and a destructor has nowhere to send it.
    }
}

bool TSerialComm::FGetConnected() const {
    return port_->IsOpen();
}

void TSerialComm::FSetConnected(bool value) {
    if (value == FGetConnected()) {
        return;
    }
    if (value) {
        Connect();
    } else {
        Disconnect();
    }
}

bool TSerialComm::LowLatencyGranted() const {
    return port_->IsOpen() && port_->LowLatencyGranted();
}

void TSerialComm::Connect() {
    if (FGetConnected()) {
        return;
    }
    port_->Open(TrimPortName(portName_), requestLowLatency_);
    try {
        FSetDCB();
        FSetTimeouts();
        const long long error = port_->Escape(kEscapeSetDtr);
        if (error != 0) {
            throw EInOutError(WithCode(kRaiseDtrError, error), error);
        }
    } catch (...) {
        // A half-configured port is closed quietly: no purge, no DTR, no OnDisconnect.
        port_->Close();
        throw;
    }
    if (OnConnect) {
        OnConnect(*this);
    }
}

void TSerialComm::Disconnect() {
    if (!FGetConnected()) {
        return;
    }
    port_->Purge(kPurgeOnDisconnect);
    port_->Escape(kEscapeClrDtr);
    port_->Close();
    if (OnDisconnect) {
        OnDisconnect(*this);
    }
}

void TSerialComm::FSetDCB() {
    port_->ApplySetup(setupString_);
}

void TSerialComm::FSetTimeouts() {
    port_->ApplyTimeouts(TimeoutsOf(*this));
}

void TSerialComm::ApplyOrDisconnect(void (TSerialComm::*apply)()) {
    if (!FGetConnected()) {
        return;
    }
    try {
        (this->*apply)();
    } catch (const EInOutError&) {
        // The port may now run with half of the old and half of the new settings.
        Disconnect();
        throw;
    }
}

void TSerialComm::FSetPortName(const std::string& value) {
    if (value == portName_) {
        return;
    }
    const bool wasConnected = FGetConnected();
    if (wasConnected) {
        Disconnect();
    }
    portName_ = value;
    if (wasConnected) {
        Connect();
    }
}

void TSerialComm::FSetSetupString(const std::string& value) {
    if (value == setupString_) {
        return;
    }
    setupString_ = value;
    ApplyOrDisconnect(&TSerialComm::FSetDCB);
}

void TSerialComm::SetTimeoutMember(int32_t TSerialComm::*member, int32_t value) {
    if (this->*member == value) {
        return;
    }
    this->*member = value;
    ApplyOrDisconnect(&TSerialComm::FSetTimeouts);
}

void TSerialComm::FSetReadIntervalTimeout(int32_t value) {
    SetTimeoutMember(&TSerialComm::readInterval_, value);
}
void TSerialComm::FSetReadTotalTimeoutMultiplier(int32_t value) {
    SetTimeoutMember(&TSerialComm::readTotalMultiplier_, value);
}
void TSerialComm::FSetReadTotalTimeoutConstant(int32_t value) {
    SetTimeoutMember(&TSerialComm::readTotalConstant_, value);
}
void TSerialComm::FSetWriteTotalTimeoutMultiplier(int32_t value) {
    SetTimeoutMember(&TSerialComm::writeTotalMultiplier_, value);
}
void TSerialComm::FSetWriteTotalTimeoutConstant(int32_t value) {
    SetTimeoutMember(&TSerialComm::writeTotalConstant_, value);
}

uint32_t TSerialComm::Write(const void* buffer, uint32_t count) {
    return port_->Write(buffer, count, TimeoutsOf(*this));
}

uint32_t TSerialComm::Read(void* buffer, uint32_t count) {
    return port_->Read(buffer, count, TimeoutsOf(*this));
}

void TSerialComm::Purge(PurgeFlags flags) {
    const long long error = port_->Purge(flags.Bits());
    if (error != 0) {
        throw EInOutError(WithCode(kPurgeError, error), error);
    }
}

std::string TSerialComm::SystemErrorText(long long code) const {
    return port_->ErrorText(code);
}

void TSerialComm::Escape(EscapeFunc function) {
    const long long error = port_->Escape(static_cast<uint32_t>(function));
    if (error != 0) {
        throw EInOutError(port_->ErrorText(error), error);
    }
}

}  // namespace kvr

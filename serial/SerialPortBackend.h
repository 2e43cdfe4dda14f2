// The platform half of TSerialComm: one open port and its transfers. SerialComm.cpp holds the
// state rules shared by every platform; SerialPortBackend_posix.cpp and
// SerialPortBackend_win32.cpp (chosen in CMake) hold the system calls.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace kvr {

// The five time-outs in the order of Win32 COMMTIMEOUTS, as unsigned 32-bit values.
struct CommTimeouts {
    uint32_t readInterval = 0;
    uint32_t readTotalMultiplier = 0;
    uint32_t readTotalConstant = 0;
    uint32_t writeTotalMultiplier = 0;
    uint32_t writeTotalConstant = 0;
};

inline constexpr uint32_t kAllOnes = 0xFFFFFFFFu;

// count x multiplier + constant in milliseconds, wrapping modulo 2^32 like the 32-bit
// arithmetic the waits have always used.
constexpr uint32_t TotalTimeoutMs(uint32_t count, uint32_t multiplier, uint32_t constant) {
    return static_cast<uint32_t>(static_cast<uint64_t>(count) * multiplier + constant);
}

// The error texts; %d is appended as a decimal code.
inline constexpr const char* kOpenPortError = "SerialComm open port error, ";
inline constexpr const char* kBuildDcbError = "SerialComm build DCB error, code ";
inline constexpr const char* kApplyDcbError = "SerialComm apply DCB error, code ";
inline constexpr const char* kSetTimeoutsError = "SerialComm set timeouts error, code ";
inline constexpr const char* kRaiseDtrError = "SerialComm raise DTR error, ";
inline constexpr const char* kPurgeError = "Serial port purge error, code ";

inline std::string WithCode(const char* text, long long code) {
    return std::string(text) + std::to_string(code);
}

// Win32 extended-function codes the component itself issues.
inline constexpr uint32_t kEscapeSetDtr = 5;
inline constexpr uint32_t kEscapeClrDtr = 6;
// Abort pending writes and reads, clear the input queue: what Disconnect purges.
inline constexpr uint8_t kPurgeOnDisconnect = 1 | 2 | 8;

class SerialPortBackend {
public:
    SerialPortBackend();
    ~SerialPortBackend();  // closes the port if open
    SerialPortBackend(const SerialPortBackend&) = delete;
    SerialPortBackend& operator=(const SerialPortBackend&) = delete;

    bool IsOpen() const;
    // name is already trimmed. Raises EFOpenError with kOpenPortError.
    void Open(const std::string& name, bool requestLowLatency);
    // Restores what Open changed and closes. Never raises.
    void Close();

    // Raise EInOutError with kBuildDcbError / kApplyDcbError / kSetTimeoutsError.
    void ApplySetup(const std::string& setupString);
    void ApplyTimeouts(const CommTimeouts& timeouts);

    // 0 on success, else the system error code. Raising or lowering DTR on a port without
    // modem-control lines counts as success.
    long long Escape(uint32_t code);
    // 0 on success, else the system error code. bits: 1 abort writes, 2 abort reads, 4 clear
    // output, 8 clear input.
    long long Purge(uint8_t bits);
    // The system's own text for an error code, without a trailing line break.
    std::string ErrorText(long long code) const;

    // The component's Read and Write: `timeouts` give the component's own waits.
    uint32_t Read(void* buffer, uint32_t count, const CommTimeouts& timeouts);
    uint32_t Write(const void* buffer, uint32_t count, const CommTimeouts& timeouts);

    bool LowLatencyGranted() const;

private:
    struct State;
    std::unique_ptr<State> s_;
};

}  // namespace kvr

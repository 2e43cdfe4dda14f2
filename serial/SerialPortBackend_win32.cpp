// Win32 half: overlapped transfers on the port with one manual-reset event each for reads
// and writes; every wait bounded by the component's own time-out products.
#include <windows.h>

#include <chrono>
#include <cstring>

#include "Exception.h"
#include "SerialPortBackend.h"
#include "Win32Text.h"

namespace kvr {

namespace {

constexpr size_t kZeroedPrefixBytes = 4;
constexpr const char* kDevicePrefix = "\\\\.\\";

void ClearPortErrors(HANDLE port) {
    ClearCommError(port, nullptr, nullptr);
}

// Stops a transfer that is still running and waits until the system has let go of the
// record and the buffer. Returns what the transfer moved before it stopped.
DWORD CancelAndFinish(HANDLE port, OVERLAPPED& ov) {
    CancelIoEx(port, &ov);
    DWORD moved = 0;
    if (!GetOverlappedResult(port, &ov, &moved, TRUE)) {
        ClearPortErrors(port);
    }
    return moved;
}

// Milliseconds left of `budget` since `startTick`, by the wrapping 32-bit tick.
DWORD Remaining(DWORD startTick, DWORD budget) {
    const DWORD elapsed = GetTickCount() - startTick;
    return elapsed < budget ? budget - elapsed : 0;
}

// A relative kernel timer may expire up to one system clock period (15.6 ms by default) early,
// so the driver's total can end a transfer just before a precise clock says it has passed.
constexpr auto kDriverTimerSlack = std::chrono::milliseconds(16);

// Whether the driver's total time-out of `totalMs` has passed since `start`.
bool TotalPassed(std::chrono::steady_clock::time_point start, DWORD totalMs) {
    return std::chrono::steady_clock::now() - start + kDriverTimerSlack >=
           std::chrono::milliseconds(totalMs);
}

bool IsNotSupported(DWORD error) {
    return error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION;
}

}  // namespace

struct SerialPortBackend::State {
    HANDLE port = INVALID_HANDLE_VALUE;
    HANDLE readEvent = nullptr;
    HANDLE writeEvent = nullptr;
};

SerialPortBackend::SerialPortBackend() : s_(std::make_unique<State>()) {
    s_->readEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    s_->writeEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

SerialPortBackend::~SerialPortBackend() {
    Close();
    if (s_->readEvent != nullptr) {
        CloseHandle(s_->readEvent);
    }
    if (s_->writeEvent != nullptr) {
        CloseHandle(s_->writeEvent);
    }
}

bool SerialPortBackend::IsOpen() const {
    return s_->port != INVALID_HANDLE_VALUE;
}

bool SerialPortBackend::LowLatencyGranted() const {
    return false;
}

void SerialPortBackend::Open(const std::string& name, bool) {
    const std::string path = kDevicePrefix + name;
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        // A name outside the ANSI code page only opens through the wide function.
        h = CreateFileW(win32::Widen(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                        OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    }
    if (h == INVALID_HANDLE_VALUE) {
        throw EFOpenError(WithCode(kOpenPortError, GetLastError()));
    }
    s_->port = h;
}

void SerialPortBackend::Close() {
    if (s_->port == INVALID_HANDLE_VALUE) {
        return;
    }
    CloseHandle(s_->port);
    s_->port = INVALID_HANDLE_VALUE;
}

void SerialPortBackend::ApplySetup(const std::string& setupString) {
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!BuildCommDCBW(win32::Widen(setupString).c_str(), &dcb)) {
        throw EInOutError(WithCode(kBuildDcbError, GetLastError()));
    }
    dcb.EvtChar = '\n';
    if (!SetCommState(s_->port, &dcb)) {
        throw EInOutError(WithCode(kApplyDcbError, GetLastError()));
    }
}

void SerialPortBackend::ApplyTimeouts(const CommTimeouts& t) {
    COMMTIMEOUTS ct;
    ct.ReadIntervalTimeout = t.readInterval;
    ct.ReadTotalTimeoutMultiplier = t.readTotalMultiplier;
    ct.ReadTotalTimeoutConstant = t.readTotalConstant;
    ct.WriteTotalTimeoutMultiplier = t.writeTotalMultiplier;
    ct.WriteTotalTimeoutConstant = t.writeTotalConstant;
    if (!SetCommTimeouts(s_->port, &ct)) {
        throw EInOutError(WithCode(kSetTimeoutsError, GetLastError()));
    }
}

long long SerialPortBackend::Escape(uint32_t code) {
    if (EscapeCommFunction(s_->port, code)) {
        return 0;
    }
    const DWORD error = GetLastError();
    if ((code == kEscapeSetDtr || code == kEscapeClrDtr) && IsNotSupported(error)) {
        return 0;  // no modem lines (virtual port, Wine on a pseudo-terminal): data still flows
    }
    return error;
}

long long SerialPortBackend::Purge(uint8_t bits) {
    // The set's bit i is the PURGE_* value of the flag with ordinal i.
    return PurgeComm(s_->port, bits) ? 0 : GetLastError();
}

std::string SerialPortBackend::ErrorText(long long code) const {
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
        reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string message;
    if (length > 0 && text != nullptr) {
        message = win32::Narrow(text, length);
    }
    if (text != nullptr) {
        LocalFree(text);
    }
    // The system's texts end in a line break, which a message box would show as a blank line.
    while (!message.empty() && static_cast<unsigned char>(message.back()) <= ' ') {
        message.pop_back();
    }
    if (message.empty()) {
        message = "System error, code " + std::to_string(code);
    }
    return message;
}

uint32_t SerialPortBackend::Read(void* buffer, uint32_t count, const CommTimeouts& timeouts) {
    auto* bytes = static_cast<uint8_t*>(buffer);
    DWORD n = 0;
    OVERLAPPED ov;
    std::memset(&ov, 0, sizeof ov);
    ov.hEvent = s_->readEvent;
    std::memset(bytes, 0, kZeroedPrefixBytes);
    if (ov.hEvent == nullptr) {
        return 0;  // without its event a transfer could not be waited for
    }
    HANDLE port = s_->port;

    const DWORD wait =
        TotalTimeoutMs(count, timeouts.readTotalMultiplier, timeouts.readTotalConstant);
    const auto start = std::chrono::steady_clock::now();
    ResetEvent(ov.hEvent);
    if (!ReadFile(port, bytes, count, nullptr, &ov) && GetLastError() != ERROR_IO_PENDING) {
        ClearPortErrors(port);
        return 0;
    }
    if (WaitForSingleObject(ov.hEvent, wait) != WAIT_OBJECT_0) {
        return CancelAndFinish(port, ov);
    }
    if (!GetOverlappedResult(port, &ov, &n, FALSE)) {
        ClearPortErrors(port);
    }
    // Our wait and the driver's total run out together and the driver's may end the transfer
    // first: the read is then over all the same. Without a byte the interval never started, so
    // the total (or a failure) ended it.
    if (n >= count || n == 0 || TotalPassed(start, wait)) {
        return n;
    }

    // The driver ended the transfer early (interval): one further read for the rest, waited
    // for up to its own deadline.
    const DWORD rest = count - n;
    const DWORD budget =
        TotalTimeoutMs(rest, timeouts.readTotalMultiplier, timeouts.readTotalConstant);
    const DWORD startTick = GetTickCount();
    std::memset(&ov, 0, sizeof ov);
    ov.hEvent = s_->readEvent;
    ResetEvent(ov.hEvent);
    if (!ReadFile(port, bytes + n, rest, nullptr, &ov)) {
        if (GetLastError() != ERROR_IO_PENDING) {
            ClearPortErrors(port);
            return n;
        }
        if (WaitForSingleObject(ov.hEvent, Remaining(startTick, budget)) != WAIT_OBJECT_0) {
            return n + CancelAndFinish(port, ov);
        }
    }
    DWORD more = 0;
    if (!GetOverlappedResult(port, &ov, &more, FALSE)) {
        ClearPortErrors(port);
    }
    return n + more;
}

uint32_t SerialPortBackend::Write(const void* buffer, uint32_t count,
                                  const CommTimeouts& timeouts) {
    DWORD written = 0;
    OVERLAPPED ov;
    std::memset(&ov, 0, sizeof ov);
    ov.hEvent = s_->writeEvent;
    if (ov.hEvent == nullptr) {
        return 0;
    }
    HANDLE port = s_->port;
    ResetEvent(ov.hEvent);
    if (!WriteFile(port, buffer, count, nullptr, &ov) && GetLastError() != ERROR_IO_PENDING) {
        ClearPortErrors(port);
        return 0;
    }
    const DWORD wait =
        TotalTimeoutMs(count, timeouts.writeTotalMultiplier, timeouts.writeTotalConstant);
    if (WaitForSingleObject(ov.hEvent, wait) != WAIT_OBJECT_0) {
        written = CancelAndFinish(port, ov);
    } else if (!GetOverlappedResult(port, &ov, &written, FALSE)) {
        ClearPortErrors(port);
    }
    ResetEvent(ov.hEvent);
    return written;
}

}  // namespace kvr

// Win32 half: overlapped transfers on the port, one record with its manual-reset event and its
// own buffer each for reads and writes; every wait bounded by the component's own time-out
// products, and the wait for a cancelled transfer by kCancelledTransferBoundMs.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

#include "CancelBound_win32.h"
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

// The system's last error, as the component's text and as a value.
template <typename E>
[[noreturn]] void ThrowLastError(const char* text) {
    const DWORD error = GetLastError();
    throw E(WithCode(text, error), error);
}

bool IsNotSupported(DWORD error) {
    return error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION;
}

// One direction's transfer: the record the system reports into and the bytes it moves. The
// system owns both while the transfer runs, so they live on the heap, apart from the caller's
// buffer: a transfer that never finishes keeps them for good (Strand).
struct Transfer {
    Transfer() { ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
    ~Transfer() {
        if (ov.hEvent != nullptr) {
            CloseHandle(ov.hEvent);
        }
    }
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    // A fresh record for the next transfer (the event reset), with room for count bytes.
    bool Prepare(uint32_t count) {
        if (ov.hEvent == nullptr) {
            return false;  // without its event a transfer could not be waited for
        }
        HANDLE event = ov.hEvent;
        std::memset(&ov, 0, sizeof ov);
        ov.hEvent = event;
        ResetEvent(event);
        if (bytes.size() < count) {
            bytes.resize(count);
        }
        return true;
    }

    OVERLAPPED ov{};
    std::vector<uint8_t> bytes;
};

// A transfer the system did not finish may still write into its record and bytes whenever the
// driver gets to it: they are never freed. One per lost adapter, a few hundred bytes.
void Strand(std::unique_ptr<Transfer>& transfer) {
    static_cast<void>(transfer.release());
}

}  // namespace

struct SerialPortBackend::State {
    HANDLE port = INVALID_HANDLE_VALUE;
    std::unique_ptr<Transfer> read = std::make_unique<Transfer>();
    std::unique_ptr<Transfer> write = std::make_unique<Transfer>();
    // A cancelled transfer did not finish: the port takes no more transfers until reopened.
    bool lost = false;

    // Cancels a transfer still running. False when the system did not let go of it: the
    // transfer is stranded and the port counts as lost.
    bool Cancel(std::unique_ptr<Transfer>& transfer, DWORD& moved) {
        if (FinishCancelled(port, transfer->ov, kCancelledTransferBoundMs, moved)) {
            return true;
        }
        Strand(transfer);
        lost = true;
        moved = 0;
        return false;
    }
    Transfer* Ready(std::unique_ptr<Transfer>& transfer) {
        if (lost) {
            return nullptr;
        }
        if (!transfer) {
            transfer = std::make_unique<Transfer>();
        }
        return transfer.get();
    }
};

SerialPortBackend::SerialPortBackend() : s_(std::make_unique<State>()) {}

SerialPortBackend::~SerialPortBackend() {
    Close();
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
        ThrowLastError<EFOpenError>(kOpenPortError);
    }
    s_->port = h;
    s_->lost = false;
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
        ThrowLastError<EInOutError>(kBuildDcbError);
    }
    dcb.EvtChar = '\n';
    if (!SetCommState(s_->port, &dcb)) {
        ThrowLastError<EInOutError>(kApplyDcbError);
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
        ThrowLastError<EInOutError>(kSetTimeoutsError);
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
    std::memset(bytes, 0, kZeroedPrefixBytes);
    Transfer* t = s_->Ready(s_->read);
    if (t == nullptr || !t->Prepare(count)) {
        return 0;
    }
    HANDLE port = s_->port;
    // What the system moved lands in the transfer's own bytes first.
    auto deliver = [&](DWORD at, DWORD moved) {
        std::copy_n(t->bytes.data(), std::min<DWORD>(moved, count - at), bytes + at);
        return moved;
    };

    DWORD n = 0;
    const DWORD wait =
        TotalTimeoutMs(count, timeouts.readTotalMultiplier, timeouts.readTotalConstant);
    const auto start = std::chrono::steady_clock::now();
    if (!ReadFile(port, t->bytes.data(), count, nullptr, &t->ov) &&
        GetLastError() != ERROR_IO_PENDING) {
        ClearPortErrors(port);
        return 0;
    }
    if (WaitForSingleObject(t->ov.hEvent, wait) != WAIT_OBJECT_0) {
        DWORD moved = 0;
        if (!s_->Cancel(s_->read, moved)) {
            return 0;
        }
        return deliver(0, moved);
    }
    if (!GetOverlappedResult(port, &t->ov, &n, FALSE)) {
        ClearPortErrors(port);
    }
    deliver(0, n);
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
    t->Prepare(rest);
    if (!ReadFile(port, t->bytes.data(), rest, nullptr, &t->ov)) {
        if (GetLastError() != ERROR_IO_PENDING) {
            ClearPortErrors(port);
            return n;
        }
        if (WaitForSingleObject(t->ov.hEvent, Remaining(startTick, budget)) != WAIT_OBJECT_0) {
            DWORD moved = 0;
            if (!s_->Cancel(s_->read, moved)) {
                return n;
            }
            return n + deliver(n, moved);
        }
    }
    DWORD more = 0;
    if (!GetOverlappedResult(port, &t->ov, &more, FALSE)) {
        ClearPortErrors(port);
    }
    return n + deliver(n, more);
}

uint32_t SerialPortBackend::Write(const void* buffer, uint32_t count,
                                  const CommTimeouts& timeouts) {
    Transfer* t = s_->Ready(s_->write);
    if (t == nullptr || !t->Prepare(count)) {
        return 0;
    }
    std::copy_n(static_cast<const uint8_t*>(buffer), count, t->bytes.data());
    HANDLE port = s_->port;
    if (!WriteFile(port, t->bytes.data(), count, nullptr, &t->ov) &&
        GetLastError() != ERROR_IO_PENDING) {
        ClearPortErrors(port);
        return 0;
    }
    DWORD written = 0;
    const DWORD wait =
        TotalTimeoutMs(count, timeouts.writeTotalMultiplier, timeouts.writeTotalConstant);
    if (WaitForSingleObject(t->ov.hEvent, wait) != WAIT_OBJECT_0) {
        s_->Cancel(s_->write, written);
    } else if (!GetOverlappedResult(port, &t->ov, &written, FALSE)) {
        ClearPortErrors(port);
    }
    return written;
}

}  // namespace kvr

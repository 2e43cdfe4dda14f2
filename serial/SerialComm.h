// TSerialComm: owns one serial port of the platform.
//
// Contract in short:
// - Connect/Disconnect and the property setters raise kvr::EFOpenError (the port cannot be
//   opened) or kvr::EInOutError (it cannot be configured) with fixed English texts that carry
//   the system error code in decimal. Disconnect never raises.
// - Read and Write never raise: they report by the number of bytes transferred. A short count
//   means the time-out passed or the port failed. Write waits at most
//   count x multiplier + constant milliseconds (unsigned 32-bit, wrapping); Read waits as long
//   for its transfer and, when the interval ended that transfer early, once more
//   (rest x multiplier + constant) for the rest. The driver-level time-outs have the Win32
//   COMMTIMEOUTS meaning on every platform:
//     * read: ends when `count` bytes arrived, when the total (multiplier x count + constant,
//       unused when both are 0) passed, or, after the first byte, when the gap between two
//       bytes exceeds the interval (0 = unused);
//     * read interval all ones with both read totals 0: return at once with what has arrived
//       (the constructor's defaults);
//     * write: ends when done or after the write total (no limit when both are 0).
// - A transfer that is still running when Read or Write stops waiting is cancelled and
//   finished before the call returns; the bytes it did move are counted, and nothing touches
//   the caller's buffer after the call has returned.
// - Not thread-safe: one thread at a time. Handlers run on the thread that connects or
//   disconnects.
//
// Port names: on Windows "COM3" style names (the device path "\\.\" + name is opened); on
// POSIX a name without "/" is opened as "/dev/NAME", a name with "/" as a path. Leading and
// trailing blanks and control characters are ignored. Opening is exclusive on both.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>

#include "Exception.h"

namespace kvr {

class SerialPortBackend;

class TSerialComm {
public:
    enum class PurgeFlag : uint8_t { TxAbort = 0, RxAbort = 1, TxClear = 2, RxClear = 3 };

    // A set of PurgeFlag: bit i stands for the flag with ordinal i.
    class PurgeFlagSet {
    public:
        constexpr PurgeFlagSet() = default;
        constexpr PurgeFlagSet(std::initializer_list<PurgeFlag> flags) {
            for (PurgeFlag f : flags) {
                bits_ = static_cast<uint8_t>(bits_ | BitOf(f));
            }
        }
        constexpr bool Contains(PurgeFlag f) const { return (bits_ & BitOf(f)) != 0; }
        constexpr PurgeFlagSet& Include(PurgeFlag f) {
            bits_ = static_cast<uint8_t>(bits_ | BitOf(f));
            return *this;
        }
        constexpr bool Empty() const { return bits_ == 0; }
        // The four-bit value; equal to the Win32 PURGE_* mask of the members.
        constexpr uint8_t Bits() const { return bits_; }
        friend constexpr bool operator==(PurgeFlagSet, PurgeFlagSet) = default;

    private:
        static constexpr uint8_t BitOf(PurgeFlag f) {
            return static_cast<uint8_t>(1u << static_cast<unsigned>(f));
        }
        uint8_t bits_ = 0;
    };
    using PurgeFlags = PurgeFlagSet;

    // Extended functions; each value is the Win32 EscapeCommFunction code.
    enum class EscapeFunc : uint32_t {
        SetXoff = 1,  // act as if XOFF was received (output suspended)
        SetXon = 2,   // act as if XON was received (output resumed)
        SetRts = 3,
        ClrRts = 4,
        SetDtr = 5,
        ClrDtr = 6,
        SetBreak = 8,
        ClrBreak = 9,
    };

    using NotifyEvent = std::function<void(TSerialComm& sender)>;

    static constexpr const char* kDefaultSetupString = "19200,n,8,1";
    static constexpr int32_t kDefaultReadInterval = -1;  // all ones: see the contract above

    TSerialComm();
    ~TSerialComm();  // disconnects first when connected (OnDisconnect runs)
    TSerialComm(const TSerialComm&) = delete;
    TSerialComm& operator=(const TSerialComm&) = delete;

    // Connected: true while the port is open. Setting it connects or disconnects when the
    // value differs from the current one.
    bool FGetConnected() const;
    void FSetConnected(bool value);

    // Setters do nothing when the value is unchanged. While connected: a new port name
    // reconnects (Disconnect, store, Connect; Connect's exception reaches the caller with the
    // new name stored); a new setup string or time-out is applied at once, and when the port
    // refuses it the component disconnects (OnDisconnect runs), keeps the new value and
    // rethrows. While disconnected values are only stored.
    const std::string& PortName() const { return portName_; }
    void FSetPortName(const std::string& value);

    // "baud,parity,data,stop", e.g. "115200,n,8,1"; parity n/e/o/m/s, data 5-8, stop 1/1.5/2.
    const std::string& SetupString() const { return setupString_; }
    void FSetSetupString(const std::string& value);

    // Time-outs in milliseconds, handed on as unsigned 32-bit values (-1 = all ones).
    int32_t TimeoutReadInterval() const { return readInterval_; }
    int32_t TimeoutReadTotalMultiplier() const { return readTotalMultiplier_; }
    int32_t TimeoutReadTotalConstant() const { return readTotalConstant_; }
    int32_t TimeoutWriteTotalMultiplier() const { return writeTotalMultiplier_; }
    int32_t TimeoutWriteTotalConstant() const { return writeTotalConstant_; }
    void FSetReadIntervalTimeout(int32_t value);
    void FSetReadTotalTimeoutMultiplier(int32_t value);
    void FSetReadTotalTimeoutConstant(int32_t value);
    void FSetWriteTotalTimeoutMultiplier(int32_t value);
    void FSetWriteTotalTimeoutConstant(int32_t value);

    NotifyEvent OnConnect;     // after a successful Connect
    NotifyEvent OnDisconnect;  // after Disconnect closed the port

    // Opens the port, applies the setup string and time-outs, raises DTR, then OnConnect.
    // Nothing happens when already connected. Raises EFOpenError "SerialComm open port
    // error, %d" or EInOutError ("SerialComm build DCB error, code %d", "SerialComm apply DCB
    // error, code %d", "SerialComm set timeouts error, code %d", "SerialComm raise DTR error,
    // %d"); the port is then closed again and no handler runs. A port without modem-control
    // lines (a pseudo-terminal, some virtual ports) is accepted: DTR is simply not there.
    void Connect();
    // Aborts pending transfers, drops unread input, lowers DTR, closes, then OnDisconnect.
    // Nothing happens when not connected. Never raises.
    void Disconnect();

    // The system's words for an error code of this platform, such as the code that ends the
    // texts above (POSIX errno, Win32 GetLastError).
    std::string SystemErrorText(long long code) const;

    uint32_t Write(const void* buffer, uint32_t count);
    // Zeroes buffer[0..3] first, whatever count is: the buffer must hold at least
    // max(count, 4) bytes.
    uint32_t Read(void* buffer, uint32_t count);

    // Raises EInOutError "Serial port purge error, code %d" on failure (also when not
    // connected). The port stays open.
    void Purge(PurgeFlags flags);
    // Raises EInOutError with the system's text for the error on failure (also when not
    // connected). Lowering or raising DTR on a port without modem lines is not a failure.
    void Escape(EscapeFunc function);

    // POSIX (Linux): the driver is asked for low-latency mode at Connect, since USB-serial
    // adapters otherwise hold short replies for up to 16 ms. A refusal is ignored.
    bool RequestLowLatency() const { return requestLowLatency_; }
    void SetRequestLowLatency(bool value) { requestLowLatency_ = value; }
    // Whether the open port runs in low-latency mode (false when closed, on ports without
    // the mode such as pseudo-terminals, and on Windows).
    bool LowLatencyGranted() const;

private:
    void FSetDCB();
    void FSetTimeouts();
    void ApplyOrDisconnect(void (TSerialComm::*apply)());
    void SetTimeoutMember(int32_t TSerialComm::*member, int32_t value);

    std::unique_ptr<SerialPortBackend> port_;
    std::string portName_;
    std::string setupString_ = kDefaultSetupString;
    int32_t readInterval_ = kDefaultReadInterval;
    int32_t readTotalMultiplier_ = 0;
    int32_t readTotalConstant_ = 0;
    int32_t writeTotalMultiplier_ = 0;
    int32_t writeTotalConstant_ = 0;
    bool requestLowLatency_ = true;
};

}  // namespace kvr

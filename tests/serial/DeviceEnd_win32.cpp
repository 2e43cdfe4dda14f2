// The device end on Windows: the peer of a null-modem pair. The lane script names the pairs
// in the environment (KVR_TEST_PORT_A with its peer KVR_TEST_PEER_A, likewise B); under Wine
// two pseudo-terminals joined by a relay stand behind them.
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

#include "DeviceEnd.h"

namespace kvr::test {

namespace {

constexpr const wchar_t* kPeerSetup = L"115200,n,8,1";

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

class PeerPort : public DeviceEnd {
public:
    PeerPort(std::string port, const std::string& peer) : port_(std::move(port)) {
        const std::string path = "\\\\.\\" + peer;
        peer_ = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            0, nullptr);
        if (peer_ == INVALID_HANDLE_VALUE) {
            throw std::runtime_error("cannot open " + peer + ", error " +
                                     std::to_string(GetLastError()));
        }
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        BuildCommDCBW(kPeerSetup, &dcb);
        SetCommState(peer_, &dcb);
        Drain();
    }
    ~PeerPort() override { CloseHandle(peer_); }
    PeerPort(const PeerPort&) = delete;
    PeerPort& operator=(const PeerPort&) = delete;

    std::string PortName() const override { return port_; }

    void Send(const std::string& bytes) override {
        SetTimeouts(0, kArrivalMs);
        DWORD written = 0;
        if (!WriteFile(peer_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
            written != bytes.size()) {
            throw std::runtime_error("device write failed");
        }
    }

    std::string Receive(size_t max, int quietMs) override {
        SetTimeouts(static_cast<DWORD>(quietMs), 0);
        std::string got;
        char chunk[4096];
        while (got.size() < max) {
            const DWORD want = static_cast<DWORD>(std::min(sizeof chunk, max - got.size()));
            DWORD n = 0;
            if (!ReadFile(peer_, chunk, want, &n, nullptr) && n == 0) {
                break;
            }
            if (n == 0) {
                break;
            }
            got.append(chunk, n);
        }
        return got;
    }

    void Drain() override {
        PurgeComm(peer_, PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXABORT | PURGE_TXCLEAR);
    }

private:
    void SetTimeouts(DWORD readTotal, DWORD writeTotal) {
        COMMTIMEOUTS t{};
        t.ReadTotalTimeoutConstant = readTotal;
        t.WriteTotalTimeoutConstant = writeTotal;
        SetCommTimeouts(peer_, &t);
    }

    std::string port_;
    HANDLE peer_ = INVALID_HANDLE_VALUE;
};

}  // namespace

std::unique_ptr<DeviceEnd> MakeDeviceEnd(int index, std::string& why) {
    const char* suffix = index == 0 ? "A" : "B";
    const std::string port = Env((std::string("KVR_TEST_PORT_") + suffix).c_str());
    const std::string peer = Env((std::string("KVR_TEST_PEER_") + suffix).c_str());
    if (port.empty() || peer.empty()) {
        why = std::string("no null-modem pair in KVR_TEST_PORT_") + suffix + "/KVR_TEST_PEER_" +
              suffix;
        return nullptr;
    }
    return std::make_unique<PeerPort>(port, peer);
}

bool RunningUnderWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

long long ClosedPortErrorCode() {
    return ERROR_INVALID_HANDLE;
}

std::string MissingPortName() {
    return "KVRNOPORT9";
}

long long MissingPortErrorCode() {
    return ERROR_FILE_NOT_FOUND;
}

}  // namespace kvr::test

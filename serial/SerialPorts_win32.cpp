#include <windows.h>

#include <string>
#include <utility>

#include "Exception.h"
#include "SerialPorts.h"
#include "SerialPortsRegistry.h"
#include "Win32Text.h"

namespace kvr {

namespace {

// The longest value name the registry allows, plus its terminator.
constexpr DWORD kMaxValueNameChars = 16384;

constexpr const char* kOpenKeyError = "Serial port list open error, code ";
constexpr const char* kEnumValuesError = "Serial port list enumeration error, code ";

std::string WithCode(const char* text, LONG code) {
    return std::string(text) + std::to_string(code);
}

class KeyCloser {
public:
    explicit KeyCloser(HKEY key) : key_(key) {}
    ~KeyCloser() { RegCloseKey(key_); }
    KeyCloser(const KeyCloser&) = delete;
    KeyCloser& operator=(const KeyCloser&) = delete;

private:
    HKEY key_;
};

bool IsText(DWORD type) {
    return type == REG_SZ || type == REG_EXPAND_SZ;
}

std::string Quoted(const char* text, const std::wstring& name) {
    return std::string(text) + " for '" + win32::Narrow(name) + "'";
}

// The value's text up to its first NUL. A value whose size cannot be queried is empty.
std::string ReadText(HKEY key, const std::wstring& name) {
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(key, name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS) {
        return {};
    }
    if (!IsText(type)) {
        throw Exception(Quoted("Invalid data type", name));
    }
    if (size == 0) {
        return {};
    }
    // Room for an odd byte and a terminator the stored data may lack.
    std::wstring data(size / sizeof(wchar_t) + 2, L'\0');
    DWORD got = size;
    DWORD typeNow = 0;
    if (RegQueryValueExW(key, name.c_str(), nullptr, &typeNow, reinterpret_cast<BYTE*>(data.data()),
                         &got) != ERROR_SUCCESS ||
        !IsText(typeNow)) {
        throw Exception(Quoted("Failed to get data", name));
    }
    data.resize(got / sizeof(wchar_t));
    const size_t nul = data.find(L'\0');
    if (nul != std::wstring::npos) {
        data.resize(nul);
    }
    return win32::Narrow(data);
}

}  // namespace

std::vector<SerialPortEntry> ReadSerialPortKey(HKEY root, const wchar_t* subKey,
                                               const RegistryCalls& calls) {
    HKEY key = nullptr;
    const LONG opened = calls.openKey(root, subKey, 0, KEY_READ, &key);
    if (opened == ERROR_FILE_NOT_FOUND) {
        return {};  // no serial port has ever been there
    }
    if (opened != ERROR_SUCCESS) {
        throw EInOutError(WithCode(kOpenKeyError, opened), opened);
    }
    KeyCloser closer(key);

    // Walked to ERROR_NO_MORE_ITEMS rather than to a count taken first, so that values added
    // or removed meanwhile neither shorten the list nor fail it. The buffer holds the longest
    // name the registry allows, so a name that does not fit is a failure like any other.
    std::vector<std::wstring> names;
    std::wstring name(kMaxValueNameChars, L'\0');
    for (DWORD i = 0;; ++i) {
        DWORD length = kMaxValueNameChars;
        const LONG rc =
            calls.enumValue(key, i, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS) {
            break;
        }
        if (rc != ERROR_SUCCESS) {
            throw EInOutError(WithCode(kEnumValuesError, rc), rc);
        }
        names.emplace_back(name.data(), length);
    }

    std::vector<SerialPortEntry> ports;
    ports.reserve(names.size());
    for (const std::wstring& valueName : names) {
        ports.push_back({win32::Narrow(valueName), ReadText(key, valueName)});
    }
    return ports;
}

std::vector<SerialPortEntry> EnumerateSerialPorts() {
    return ReadSerialPortKey(HKEY_LOCAL_MACHINE, kSerialCommKey);
}

// The device map knows only the names; the rest would need SetupAPI's device tree.
std::vector<SerialPortDetails> DescribeSerialPorts() {
    std::vector<SerialPortDetails> details;
    for (SerialPortEntry& port : EnumerateSerialPorts()) {
        SerialPortDetails d;
        d.portName = std::move(port.portName);
        d.deviceName = std::move(port.deviceName);
        details.push_back(std::move(d));
    }
    return details;
}

}  // namespace kvr

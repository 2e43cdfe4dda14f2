#include <windows.h>

#include <string>

#include "Exception.h"
#include "SerialPorts.h"
#include "SerialPortsRegistry.h"
#include "Win32Text.h"

namespace kvr {

namespace {

// The longest value name the registry allows, plus its terminator.
constexpr DWORD kMaxValueNameChars = 16384;

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

std::vector<SerialPortEntry> ReadSerialPortKey(HKEY root, const wchar_t* subKey) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, subKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return {};
    }
    KeyCloser closer(key);
    DWORD valueCount = 0;
    DWORD maxNameChars = 0;
    if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &valueCount,
                         &maxNameChars, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
        return {};
    }

    std::vector<std::wstring> names;
    std::wstring name(maxNameChars + 1, L'\0');
    for (DWORD i = 0; i < valueCount; ++i) {
        DWORD length = static_cast<DWORD>(name.size());
        LONG rc = RegEnumValueW(key, i, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_MORE_DATA) {
            // A longer name appeared since the key was measured.
            name.assign(kMaxValueNameChars, L'\0');
            length = kMaxValueNameChars;
            rc = RegEnumValueW(key, i, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
        }
        if (rc != ERROR_SUCCESS) {
            break;  // values went away while we walked the key
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

}  // namespace kvr

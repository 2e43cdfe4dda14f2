// UTF-8 (the component's text) to and from UTF-16 (the wide Win32 API).
#pragma once

#include <windows.h>

#include <string>

namespace kvr::win32 {

inline std::wstring Widen(const std::string& utf8) {
    if (utf8.empty()) {
        return {};
    }
    const int n =
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0) {
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
    }
    return wide;
}

inline std::string Narrow(const wchar_t* text, size_t length) {
    if (length == 0) {
        return {};
    }
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0,
                                      nullptr, nullptr);
    std::string narrow(static_cast<size_t>(n > 0 ? n : 0), '\0');
    if (n > 0) {
        WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), narrow.data(), n, nullptr,
                            nullptr);
    }
    return narrow;
}

inline std::string Narrow(const std::wstring& text) {
    return Narrow(text.data(), text.size());
}

}  // namespace kvr::win32

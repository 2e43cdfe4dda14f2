#include <windows.h>

#include "LogFile.h"

namespace kvr {

namespace {

HANDLE AsHandle(std::intptr_t h) {
    return reinterpret_cast<HANDLE>(h);
}

}  // namespace

LogFile::~LogFile() {
    Close();
}

bool LogFile::Open(const std::filesystem::path& path) {
    Close();
    if (path.empty())
        return false;
    // Sharing reads only: another writer cannot open the log while we hold it, and a log that
    // another writer holds cannot be opened here.
    const HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                   nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    if (::GetFileType(h) != FILE_TYPE_DISK) {
        ::CloseHandle(h);
        return false;
    }
    handle_ = reinterpret_cast<std::intptr_t>(h);
    return true;
}

bool LogFile::IsOpen() const {
    return handle_ != -1;
}

void LogFile::Close() {
    if (handle_ == -1)
        return;
    ::CloseHandle(AsHandle(handle_));
    handle_ = -1;
}

int64_t LogFile::Size() const {
    if (handle_ == -1)
        return -1;
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(AsHandle(handle_), &size))
        return -1;
    return static_cast<int64_t>(size.QuadPart);
}

bool LogFile::WriteAt(int64_t offset, const char* data, size_t size) {
    if (handle_ == -1 || offset < 0)
        return false;
    while (size > 0) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(static_cast<uint64_t>(offset) & 0xFFFFFFFFu);
        at.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
        const DWORD chunk = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!::WriteFile(AsHandle(handle_), data, chunk, &written, &at) || written == 0) {
            return false;
        }
        data += written;
        size -= written;
        offset += written;
    }
    return true;
}

}  // namespace kvr

// The update log's file, with the platform's means of keeping other writers out. Private to
// the engine; one implementation per platform (LogFile_posix.cpp: flock; LogFile_win32.cpp:
// opened without write sharing). Standard C++ only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>

namespace kvr {

class LogFile {
public:
    LogFile() = default;
    ~LogFile();
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // Opens path for reading and writing, creating it empty when missing, and takes the
    // exclusive writer's lock without waiting. False (and closed) on any failure, including a
    // lock that someone else holds.
    bool Open(const std::filesystem::path& path);
    bool IsOpen() const;
    void Close();

    // The current size in bytes, or -1 when it cannot be told.
    int64_t Size() const;
    // Writes all of data at offset (one write unless interrupted); false on failure.
    bool WriteAt(int64_t offset, const char* data, size_t size);

private:
    // The platform's handle (POSIX descriptor, Win32 HANDLE); -1 while closed.
    std::intptr_t handle_ = -1;
};

}  // namespace kvr

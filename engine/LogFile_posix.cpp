#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "LogFile.h"

namespace kvr {

LogFile::~LogFile() {
    Close();
}

bool LogFile::Open(const std::filesystem::path& path) {
    Close();
    if (path.empty())
        return false;
    // No O_TRUNC: a file that appeared meanwhile keeps its text.
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    // flock, not fcntl locks: fcntl locks belong to the process, so a second run in the same
    // process would not be kept out.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return false;
    }
    handle_ = fd;
    return true;
}

bool LogFile::IsOpen() const {
    return handle_ >= 0;
}

void LogFile::Close() {
    if (handle_ < 0)
        return;
    ::close(static_cast<int>(handle_));  // releases the lock
    handle_ = -1;
}

int64_t LogFile::Size() const {
    if (handle_ < 0)
        return -1;
    struct stat info {};
    if (::fstat(static_cast<int>(handle_), &info) != 0)
        return -1;
    return static_cast<int64_t>(info.st_size);
}

bool LogFile::WriteAt(int64_t offset, const char* data, size_t size) {
    if (handle_ < 0 || offset < 0)
        return false;
    const int fd = static_cast<int>(handle_);
    while (size > 0) {
        const ssize_t written = ::pwrite(fd, data, size, static_cast<off_t>(offset));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (written == 0)
            return false;
        data += written;
        size -= static_cast<size_t>(written);
        offset += written;
    }
    return true;
}

}  // namespace kvr

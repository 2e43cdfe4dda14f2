#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <cerrno>

#include "LogFile.h"

namespace kvr {

LogFile::~LogFile() {
    Close();
}

bool LogFile::Open(const QString& path) {
    Close();
    const QByteArray native = QFile::encodeName(path);
    if (native.isEmpty())
        return false;
    // No O_TRUNC: a file that appeared meanwhile keeps its text.
    const int fd = ::open(native.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
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
    fd_ = fd;
    return true;
}

bool LogFile::IsOpen() const {
    return fd_ >= 0;
}

void LogFile::Close() {
    if (fd_ < 0)
        return;
    ::close(fd_);  // releases the lock
    fd_ = -1;
}

int64_t LogFile::Size() const {
    if (fd_ < 0)
        return -1;
    struct stat info {};
    if (::fstat(fd_, &info) != 0)
        return -1;
    return static_cast<int64_t>(info.st_size);
}

bool LogFile::WriteAt(int64_t offset, const char* data, size_t size) {
    if (fd_ < 0 || offset < 0)
        return false;
    while (size > 0) {
        const ssize_t written = ::pwrite(fd_, data, size, static_cast<off_t>(offset));
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

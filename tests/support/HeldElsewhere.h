// A file or terminal that another process holds, the way a second copy of the program would,
// from construction until the object goes (POSIX: the holder is a forked child); and a
// pseudo-terminal held that way.
#pragma once

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <stdlib.h>

#include <QString>
#include <optional>
#include <string>

namespace kvr::test {

class HeldElsewhere {
public:
    // The child opens `path` and takes flock's exclusive lock; with exclusiveTerminal it also
    // makes the terminal exclusive (TIOCEXCL), as the serial component does.
    HeldElsewhere(const std::string& path, bool exclusiveTerminal) {
        int ready[2];
        int release[2];
        if (::pipe(ready) != 0)
            return;
        if (::pipe(release) != 0) {
            ::close(ready[0]);
            ::close(ready[1]);
            return;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            // Only async-signal-safe calls from here on.
            ::close(ready[0]);
            ::close(release[1]);
            const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
            const bool held = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0 &&
                              (!exclusiveTerminal || ::ioctl(fd, TIOCEXCL) == 0);
            const char answer = held ? 1 : 0;
            [[maybe_unused]] ssize_t n = ::write(ready[1], &answer, 1);
            char byte = 0;
            n = ::read(release[0], &byte, 1);  // returns when the parent closes its end
            ::_exit(0);
        }
        ::close(ready[1]);
        ::close(release[0]);
        releaseFd_ = release[1];
        char answer = 0;
        held_ = pid_ > 0 && ::read(ready[0], &answer, 1) == 1 && answer == 1;
        ::close(ready[0]);
    }
    ~HeldElsewhere() {
        if (releaseFd_ >= 0)
            ::close(releaseFd_);
        if (pid_ > 0)
            ::waitpid(pid_, nullptr, 0);
    }
    HeldElsewhere(const HeldElsewhere&) = delete;
    HeldElsewhere& operator=(const HeldElsewhere&) = delete;

    bool Held() const { return held_; }

private:
    pid_t pid_ = -1;
    int releaseFd_ = -1;
    bool held_ = false;
};

// A pseudo-terminal whose device side another process holds the way the serial component
// does (flock and TIOCEXCL) until this object goes.
class HeldTerminal {
public:
    HeldTerminal() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0)
            return;
        path_ = ::ptsname(master_);
        holder_.emplace(path_, true);
    }
    ~HeldTerminal() {
        holder_.reset();
        if (master_ >= 0)
            ::close(master_);
    }
    HeldTerminal(const HeldTerminal&) = delete;
    HeldTerminal& operator=(const HeldTerminal&) = delete;

    bool Held() const { return holder_ && holder_->Held(); }
    QString Path() const { return QString::fromStdString(path_); }

private:
    int master_ = -1;
    std::string path_;
    std::optional<HeldElsewhere> holder_;
};

}  // namespace kvr::test

// A file or terminal that another process holds, the way a second copy of the program would,
// from construction until the object goes (POSIX: the holder is a forked child).
#pragma once

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

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

}  // namespace kvr::test

// kvr-bench-rusage: runs a command and reports what it cost, for kvr-bench-report.
//
//   kvr-bench-rusage OUT_FILE COMMAND [ARGUMENT...]
//
// The command inherits standard input and output. When it has ended, OUT_FILE receives
// "wall_us=", "user_us=", "sys_us=", "cpu_us=" (user + system), "maxrss_kb=" (its largest
// resident set) and "exit=" lines, from wait4's resource usage of that one child, at
// microsecond resolution. The exit status is the
// command's (128 + signal when a signal ended it), 127 when it could not be started.
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>

extern char** environ;

namespace {

constexpr int kExitUsage = 2;
constexpr int kExitNotStarted = 127;
constexpr int kExitSignalBase = 128;

uint64_t Microseconds(const timeval& t) {
    return static_cast<uint64_t>(t.tv_sec) * 1'000'000 + static_cast<uint64_t>(t.tv_usec);
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: kvr-bench-rusage OUT_FILE COMMAND [ARGUMENT...]\n");
        return kExitUsage;
    }
    const auto start = std::chrono::steady_clock::now();
    pid_t child = 0;
    const int spawned = ::posix_spawnp(&child, argv[2], nullptr, nullptr, argv + 2, environ);
    if (spawned != 0) {
        std::fprintf(stderr, "kvr-bench-rusage: cannot start %s\n", argv[2]);
        return kExitNotStarted;
    }
    int status = 0;
    rusage usage{};
    while (::wait4(child, &status, 0, &usage) < 0) {
        if (errno != EINTR) {
            std::perror("kvr-bench-rusage: wait4");
            return 1;
        }
    }
    const auto wall = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - start);
    const int exitCode =
        WIFEXITED(status) ? WEXITSTATUS(status) : kExitSignalBase + WTERMSIG(status);

    std::FILE* out = std::fopen(argv[1], "w");
    if (out == nullptr) {
        std::fprintf(stderr, "kvr-bench-rusage: cannot write %s\n", argv[1]);
        return exitCode == 0 ? 1 : exitCode;
    }
    const uint64_t user = Microseconds(usage.ru_utime);
    const uint64_t sys = Microseconds(usage.ru_stime);
    std::fprintf(out,
                 "wall_us=%llu\nuser_us=%llu\nsys_us=%llu\ncpu_us=%llu\nmaxrss_kb=%ld\nexit=%d\n",
                 static_cast<unsigned long long>(wall.count()),
                 static_cast<unsigned long long>(user), static_cast<unsigned long long>(sys),
                 static_cast<unsigned long long>(user + sys), usage.ru_maxrss, exitCode);
    std::fclose(out);
    return exitCode;
}

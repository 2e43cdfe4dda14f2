// Null-modem cable between pseudo-terminals, for the Windows tests under Wine: each pair is
// two pseudo-terminals whose masters this program joins, so that bytes written to one slave
// arrive at the other. Wine opens the slaves as COM ports through its dosdevices links.
//
// Usage: nullmodem-relay PAIRS
// Prints one line "PORT_SLAVE PEER_SLAVE" per pair, then relays until killed. It keeps every
// slave open itself, so that a COM port closed by a test never hangs up its master.
#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kMaxPairs = 8;
constexpr size_t kChunkBytes = 4096;

struct Pty {
    int master = -1;
    int slave = -1;
    std::string path;
};

Pty OpenPty() {
    Pty p;
    p.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[256] = {};
    if (p.master < 0 || grantpt(p.master) != 0 || unlockpt(p.master) != 0 ||
        ptsname_r(p.master, name, sizeof name) != 0) {
        std::perror("nullmodem-relay: pseudo-terminal");
        std::exit(1);
    }
    p.path = name;
    p.slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios t{};
    if (p.slave < 0 || tcgetattr(p.slave, &t) != 0) {
        std::perror("nullmodem-relay: slave");
        std::exit(1);
    }
    cfmakeraw(&t);  // no echo: an echo would bounce between the two ends for ever
    tcsetattr(p.slave, TCSANOW, &t);
    return p;
}

void Pump(int from, int to) {
    char chunk[kChunkBytes];
    for (;;) {
        const ssize_t n = read(from, chunk, sizeof chunk);
        if (n < 0 && (errno == EINTR || errno == EIO)) {
            if (errno == EIO) {
                usleep(1000);  // no slave open for a moment
            }
            continue;
        }
        if (n <= 0) {
            return;
        }
        for (ssize_t done = 0; done < n;) {
            const ssize_t put = write(to, chunk + done, static_cast<size_t>(n - done));
            if (put < 0 && errno == EINTR) {
                continue;
            }
            if (put <= 0) {
                return;
            }
            done += put;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    const int pairs = argc > 1 ? std::atoi(argv[1]) : 1;
    if (pairs < 1 || pairs > kMaxPairs) {
        std::fprintf(stderr, "usage: nullmodem-relay PAIRS (1 to %d)\n", kMaxPairs);
        return 2;
    }
    std::vector<std::thread> pumps;
    for (int i = 0; i < pairs; ++i) {
        const Pty port = OpenPty();
        const Pty peer = OpenPty();
        std::printf("%s %s\n", port.path.c_str(), peer.path.c_str());
        pumps.emplace_back(Pump, port.master, peer.master);
        pumps.emplace_back(Pump, peer.master, port.master);
    }
    std::fflush(stdout);
    for (auto& t : pumps) {
        t.join();
    }
    return 0;
}

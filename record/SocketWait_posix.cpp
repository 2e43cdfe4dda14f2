#include <poll.h>

#include <algorithm>
#include <cerrno>

#include "SocketWait.h"

namespace kvr::record {

SocketWait WaitForSocket(int socket, bool forRead, bool forWrite,
                         std::chrono::steady_clock::time_point deadline) {
    pollfd fd{};
    fd.fd = socket;
    fd.events = static_cast<short>((forRead ? POLLIN : 0) | (forWrite ? POLLOUT : 0));
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        const int timeoutMs = static_cast<int>(std::clamp<long long>(left.count(), 0, 60'000));
        const int ready = poll(&fd, 1, timeoutMs);
        if (ready > 0)
            return (fd.revents & POLLNVAL) != 0 ? SocketWait::Failed : SocketWait::Ready;
        if (ready < 0 && errno != EINTR)
            return SocketWait::Failed;
        // A signal, or a wait cut to a minute: the deadline decides, not the count of waits.
        if (ready == 0 && std::chrono::steady_clock::now() >= deadline)
            return SocketWait::TimedOut;
    }
}

}  // namespace kvr::record

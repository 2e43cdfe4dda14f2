#include <winsock2.h>

#include <algorithm>

#include "SocketWait.h"

namespace kvr::record {

// select() rather than WSAPoll: WSAPoll on older Windows 10 never reports a connection that
// was refused, so a connect would wait out its whole deadline. On Windows, select() is not
// limited by the socket's value, only by the count of sockets (one).
SocketWait WaitForSocket(int socket, bool forRead, bool forWrite,
                         std::chrono::steady_clock::time_point deadline) {
    const SOCKET s = static_cast<SOCKET>(socket);
    for (;;) {
        fd_set reads, writes, errors;
        FD_ZERO(&reads);
        FD_ZERO(&writes);
        FD_ZERO(&errors);
        if (forRead)
            FD_SET(s, &reads);
        if (forWrite)
            FD_SET(s, &writes);
        // A failed connect shows here only.
        FD_SET(s, &errors);
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        const long long ms = std::clamp<long long>(left.count(), 0, 60'000);
        timeval timeout{};
        timeout.tv_sec = static_cast<long>(ms / 1000);
        timeout.tv_usec = static_cast<long>((ms % 1000) * 1000);
        const int ready = select(0, &reads, &writes, &errors, &timeout);
        if (ready > 0)
            return SocketWait::Ready;
        if (ready == SOCKET_ERROR)
            return SocketWait::Failed;
        if (std::chrono::steady_clock::now() >= deadline)
            return SocketWait::TimedOut;
    }
}

}  // namespace kvr::record

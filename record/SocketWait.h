// Waiting on one socket with a deadline, for a client library that leaves the waiting to its
// caller (libpq's non-blocking calls). poll() on POSIX, select() on Windows.
#pragma once

#include <chrono>

namespace kvr::record {

enum class SocketWait {
    Ready,     // readable or writable as asked, or closed or failed: the caller reads the cause
    TimedOut,  // the deadline passed first
    Failed,    // the wait itself failed (a socket that is no socket)
};

// socket: as libpq's PQsocket gives it. Returns at the deadline at the latest; a deadline that
// has passed checks the socket once without waiting.
SocketWait WaitForSocket(int socket, bool forRead, bool forWrite,
                         std::chrono::steady_clock::time_point deadline);

}  // namespace kvr::record

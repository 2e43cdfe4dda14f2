// How long a PostgreSQL record's server is waited for, on the server and on this side. A
// server that still acknowledges TCP but says nothing (a stopped process, a stuck middlebox)
// is noticed by nothing else: libpq sets no deadline of its own on a statement, and
// tcp_user_timeout and keepalives see a live TCP peer.
#pragma once

#include <chrono>

namespace kvr::record {

// Connecting and setting the session up (TCP, TLS, password, the session's settings). The host
// name's lookup happens inside libpq, bounded by the system's resolver rather than by this.
inline constexpr std::chrono::seconds kPgConnectDeadline{5};

// The server gives up a lock wait, then a statement, with an error of its own that keeps the
// session; the statement's limit is above the lock's so that a long lock wait still reads as
// one. The record's statements take milliseconds: these catch a stuck server, not slow work.
inline constexpr std::chrono::seconds kPgLockTimeout{10};
inline constexpr std::chrono::seconds kPgStatementTimeout{12};

// This side waits a little longer than the server's own limit, for its error to come back, so
// it only cuts a server that answers nothing at all; the connection is then closed.
inline constexpr std::chrono::seconds kPgStatementDeadline =
    kPgStatementTimeout + std::chrono::seconds{3};

}  // namespace kvr::record

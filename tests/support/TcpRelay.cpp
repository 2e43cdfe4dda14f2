#include "TcpRelay.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

namespace kvr::test {

namespace {

// What one side may have read and the other not yet taken; the relay reads no more past it.
constexpr size_t kBufferBytes = 256 * 1024;
constexpr size_t kReadBytes = 64 * 1024;

void NonBlocking(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// Closes with a reset, not a FIN.
void Reset(int fd) {
    if (fd < 0)
        return;
    const linger abort{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    close(fd);
}

int ConnectTo(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    NonBlocking(fd);
    return fd;
}

// One client and the connection made for it; server is -1 until the relay forwards.
struct Link {
    int client = -1;
    int server = -1;
    std::string toServer, toClient;
    bool broken = false;
};

// Reads what `from` has, as far as the buffer takes, and sends what is pending to `to`; what
// does not go now goes at a later turn. False when either side ended.
bool Pump(int from, short fromEvents, std::string& pending, int to) {
    bool ended = false;
    if ((fromEvents & (POLLIN | POLLHUP | POLLERR)) != 0 && pending.size() < kBufferBytes) {
        char bytes[kReadBytes];
        const ssize_t got = recv(from, bytes, sizeof bytes, 0);
        if (got > 0)
            pending.append(bytes, static_cast<size_t>(got));
        else
            ended = got == 0 || (errno != EAGAIN && errno != EINTR);
    }
    if (!pending.empty()) {
        const ssize_t sent = send(to, pending.data(), pending.size(), MSG_NOSIGNAL);
        if (sent > 0)
            pending.erase(0, static_cast<size_t>(sent));
        else if (sent < 0 && errno != EAGAIN && errno != EINTR)
            ended = true;
    }
    return !ended;
}

}  // namespace

TcpRelay::TcpRelay(uint16_t targetPort) : target_(targetPort) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0 || pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_, 16) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return;
    NonBlocking(listener_);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Run(); });
}

TcpRelay::~TcpRelay() {
    stopping_ = true;
    if (wake_[1] >= 0)
        (void)!write(wake_[1], "x", 1);
    if (thread_.joinable())
        thread_.join();
    for (int fd : {listener_, wake_[0], wake_[1]}) {
        if (fd >= 0)
            close(fd);
    }
}

void TcpRelay::SetMode(Mode mode) {
    mode_ = mode;
    (void)!write(wake_[1], "x", 1);
}

void TcpRelay::Run() {
    std::vector<Link> links;
    std::vector<pollfd> fds;
    while (!stopping_) {
        const Mode mode = mode_;
        if (mode == Mode::Cut) {
            for (Link& link : links) {
                Reset(link.client);
                Reset(link.server);
            }
            links.clear();
        }
        if (mode == Mode::Forward) {
            for (Link& link : links) {
                if (link.server < 0) {
                    link.server = ConnectTo(target_);
                    link.broken = link.server < 0;
                }
            }
        }
        // The wake pipe, the listener, then each link's client and server.
        fds.assign({{wake_[0], POLLIN, 0}, {listener_, POLLIN, 0}});
        for (const Link& link : links) {
            const bool on = mode == Mode::Forward && link.server >= 0;
            const auto events = [&](const std::string& in, const std::string& out) {
                return static_cast<short>(
                    on ? ((in.size() < kBufferBytes ? POLLIN : 0) | (out.empty() ? 0 : POLLOUT))
                       : 0);
            };
            fds.push_back({link.client, events(link.toServer, link.toClient), 0});
            fds.push_back({link.server, events(link.toClient, link.toServer), 0});
        }
        if (poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR)
            return;
        if ((fds[0].revents & POLLIN) != 0) {
            char drained[64];
            while (read(wake_[0], drained, sizeof drained) > 0) {
            }
        }
        if ((fds[1].revents & POLLIN) != 0) {
            const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (client >= 0) {
                if (mode_ == Mode::Cut)
                    Reset(client);
                else
                    links.push_back({client, -1, {}, {}, false});
            }
        }
        for (size_t i = 0; i < links.size() && 3 + 2 * i < fds.size(); ++i) {
            Link& link = links[i];
            const short client = fds[2 + 2 * i].revents;
            const short server = fds[3 + 2 * i].revents;
            if (mode == Mode::Forward && link.server >= 0) {
                if (!Pump(link.client, client, link.toServer, link.server) ||
                    !Pump(link.server, server, link.toClient, link.client))
                    link.broken = true;
            } else if (((client | server) & (POLLHUP | POLLERR)) != 0) {
                // Reset by its peer while held: kept, it would wake every poll.
                link.broken = true;
            }
        }
        // A side that ended ends the other, as a plain close: the relay itself failed nothing.
        for (auto it = links.begin(); it != links.end();) {
            if (it->broken) {
                close(it->client);
                if (it->server >= 0)
                    close(it->server);
                it = links.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (Link& link : links) {
        close(link.client);
        if (link.server >= 0)
            close(link.server);
    }
}

}  // namespace kvr::test

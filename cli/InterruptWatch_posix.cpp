#include "InterruptWatch.h"

#include <QSocketNotifier>
#include <QThread>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

namespace kvr::cli {

namespace {

std::atomic<int> g_interruptPipeWrite{-1};

void OnInterrupt(int signalNumber) {
    const int saved = errno;
    const char byte = static_cast<char>(signalNumber);
    [[maybe_unused]] const ssize_t n = ::write(g_interruptPipeWrite.load(), &byte, 1);
    // A second Ctrl+C ends the program at once. A closed terminal (SIGHUP) or a service
    // manager (SIGTERM) saying it again changes nothing: the stop is under way.
    if (signalNumber == SIGINT)
        std::signal(SIGINT, SIG_DFL);
    errno = saved;
}

}  // namespace

// The handler only writes a byte to a pipe; the notifier on its other end makes the call on
// the event loop.
struct InterruptWatch::State {
    std::function<void()> onInterrupt;
    int fds[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> notifier;
    struct sigaction previousInt {};
    struct sigaction previousTerm {};
    struct sigaction previousHup {};
};

InterruptWatch::InterruptWatch(std::function<void()> onInterrupt)
    : state_(std::make_unique<State>()) {
    State& s = *state_;
    s.onInterrupt = std::move(onInterrupt);
    if (::pipe(s.fds) != 0) {
        s.fds[0] = s.fds[1] = -1;
        return;
    }
    ::fcntl(s.fds[1], F_SETFL, O_NONBLOCK);
    g_interruptPipeWrite.store(s.fds[1]);
    s.notifier = std::make_unique<QSocketNotifier>(s.fds[0], QSocketNotifier::Read);
    QObject::connect(s.notifier.get(), &QSocketNotifier::activated, [&s] {
        char buffer[16];
        [[maybe_unused]] const ssize_t n = ::read(s.fds[0], buffer, sizeof buffer);
        s.onInterrupt();
    });
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a question waiting on the terminal gives up
    ::sigaction(SIGINT, &action, &s.previousInt);
    ::sigaction(SIGTERM, &action, &s.previousTerm);
    ::sigaction(SIGHUP, &action, &s.previousHup);
}

InterruptWatch::~InterruptWatch() {
    State& s = *state_;
    if (s.fds[0] < 0)
        return;
    ::sigaction(SIGINT, &s.previousInt, nullptr);
    ::sigaction(SIGTERM, &s.previousTerm, nullptr);
    ::sigaction(SIGHUP, &s.previousHup, nullptr);
    g_interruptPipeWrite.store(-1);
    s.notifier.reset();
    ::close(s.fds[0]);
    ::close(s.fds[1]);
}

// The stop signals are blocked in the new thread, so that they always reach this thread: a
// question waiting on the terminal must be the read they interrupt.
void InterruptWatch::StartRunThread(QThread& thread) {
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    sigset_t previous;
    ::pthread_sigmask(SIG_BLOCK, &stopSignals, &previous);
    thread.start();
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

bool IsTerminal(std::FILE* stream) {
    return ::isatty(::fileno(stream)) != 0;
}

bool CanRedrawLines(std::FILE* stream) {
    const char* term = std::getenv("TERM");
    return IsTerminal(stream) && term != nullptr && std::strcmp(term, "dumb") != 0;
}

void PrepareTerminal() {
    // Terminals here take UTF-8 as it is. A reader that goes away (flash --json | head -n 1)
    // must not end the program in the middle of an update: its writes fail instead.
    std::signal(SIGPIPE, SIG_IGN);
}

}  // namespace kvr::cli

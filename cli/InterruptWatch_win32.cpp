#include "InterruptWatch.h"

#include <QMetaObject>
#include <QObject>
#include <QThread>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <utility>

#include <io.h>
#include <windows.h>

namespace kvr::cli {

namespace {

// The console calls the handler on a thread it starts for the purpose; the handler reaches the
// watch's thread only by posting to an object that lives there. The lock keeps the watch from
// going away while a post is under way.
std::mutex g_watchMutex;
QObject* g_receiver = nullptr;                         // guarded by g_watchMutex
const std::function<void()>* g_onInterrupt = nullptr;  // guarded by g_watchMutex
std::atomic<bool> g_interrupted{false};
// Set when the watch goes: the runs have ended.
HANDLE g_watchEnded = nullptr;

// The system gives a closing console's handler 5 s, a log-off's and a shut-down's more, before it
// ends the program: long enough for the exchange under way.
constexpr DWORD kClosingWaitMs = 4500;

BOOL WINAPI OnConsoleControl(DWORD type) {
    // Ctrl+Break is what another program sends to stop a console program, as SIGTERM is on
    // POSIX; a closed console, a log-off or a shut-down stop the runs the same way.
    const bool closing =
        type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT;
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && !closing)
        return FALSE;
    // A second Ctrl+C goes on to the system's handler, which ends the program at once.
    if (g_interrupted.exchange(true)) {
        if (closing && g_watchEnded != nullptr)
            ::WaitForSingleObject(g_watchEnded, kClosingWaitMs);
        return closing ? TRUE : FALSE;
    }
    {
        std::lock_guard lock(g_watchMutex);
        if (g_receiver != nullptr) {
            const std::function<void()>* onInterrupt = g_onInterrupt;
            QMetaObject::invokeMethod(
                g_receiver, [onInterrupt] { (*onInterrupt)(); }, Qt::QueuedConnection);
        }
    }
    // A question waiting on the terminal gives up, as the interrupted read does on POSIX. Only
    // the watch's thread reads standard input, and only for that question.
    ::CancelIoEx(::GetStdHandle(STD_INPUT_HANDLE), nullptr);
    // The program ends when this returns: let the runs finish their exchange and close first.
    if (closing && g_watchEnded != nullptr)
        ::WaitForSingleObject(g_watchEnded, kClosingWaitMs);
    return TRUE;
}

}  // namespace

struct InterruptWatch::State {
    std::function<void()> onInterrupt;
    // Made on the watch's thread; posts to it are dropped when it goes.
    QObject receiver;
};

InterruptWatch::InterruptWatch(std::function<void()> onInterrupt)
    : state_(std::make_unique<State>()) {
    state_->onInterrupt = std::move(onInterrupt);
    {
        std::lock_guard lock(g_watchMutex);
        g_receiver = &state_->receiver;
        g_onInterrupt = &state_->onInterrupt;
    }
    g_interrupted.store(false);
    if (g_watchEnded == nullptr)
        g_watchEnded = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    else
        ::ResetEvent(g_watchEnded);
    ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

InterruptWatch::~InterruptWatch() {
    ::SetConsoleCtrlHandler(OnConsoleControl, FALSE);
    // A handler already under way finds no receiver, or has finished its post.
    {
        std::lock_guard lock(g_watchMutex);
        g_receiver = nullptr;
        g_onInterrupt = nullptr;
    }
    if (g_watchEnded != nullptr)
        ::SetEvent(g_watchEnded);
}

// The console's handlers run on a thread of their own whatever the run's thread does.
void InterruptWatch::StartRunThread(QThread& thread) {
    thread.start();
}

bool IsTerminal(std::FILE* stream) {
    // _isatty also says yes for NUL and other character devices: only a console counts.
    const intptr_t handle = ::_get_osfhandle(::_fileno(stream));
    DWORD mode = 0;
    return handle != -1 && ::GetConsoleMode(reinterpret_cast<HANDLE>(handle), &mode) != 0;
}

bool CanRedrawLines(std::FILE* stream) {
    const intptr_t handle = ::_get_osfhandle(::_fileno(stream));
    DWORD mode = 0;
    if (handle == -1 || ::GetConsoleMode(reinterpret_cast<HANDLE>(handle), &mode) == 0)
        return false;
    return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
           ::SetConsoleMode(reinterpret_cast<HANDLE>(handle),
                            mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

void PrepareTerminal() {
    // Our lines are UTF-8; a console left in its OEM code page would garble the Russian texts.
    ::SetConsoleOutputCP(CP_UTF8);
}

}  // namespace kvr::cli

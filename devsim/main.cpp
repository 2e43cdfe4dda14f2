// kvr-devsim: the simulated device on a pseudo-terminal.
#include "Clock.h"
#include "DeviceModel.h"
#include "DevsimCommandLine.h"
#include "Exception.h"
#include "PackageLoader.h"
#include "PtyServer.h"
#include "Version.h"

#include <fcntl.h>
#include <unistd.h>
#include <QCoreApplication>
#include <cerrno>
#include <csignal>
#include <cstdio>

namespace {

constexpr int kExitStopped = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

int g_stopPipeWrite = -1;

void OnStopSignal(int) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_stopPipeWrite, &byte, 1);
    errno = saved;
}

// Returns the read end of a pipe that becomes readable on SIGTERM or SIGINT, or -1.
int InstallStopSignals() {
    int fds[2];
    if (::pipe(fds) != 0)
        return -1;
    ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
    g_stopPipeWrite = fds[1];
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a blocked write must come back and see the stop
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
    return fds[0];
}

void PrintError(const QString& text) {
    std::fprintf(stderr, "kvr-devsim: %s\n", text.toLocal8Bit().constData());
}

bool WriteReport(const QString& path, const QString& text) {
    if (path.isEmpty()) {
        std::fputs(text.toLocal8Bit().constData(), stderr);
        return true;
    }
    QString error;
    if (!kvr::devsim::WriteReportFile(path, text, error)) {
        PrintError(QStringLiteral("cannot write the report %1: %2").arg(path, error));
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (kvr::PrintVersionIfAsked(argc, argv, "kvr-devsim"))
        return 0;
    QCoreApplication app(argc, argv);
    using namespace kvr::devsim;

    DevsimSettings settings;
    QString error;
    if (!ParseDevsimArguments(app.arguments().mid(1), settings, error)) {
        PrintError(error);
        PrintError(QStringLiteral("try --help"));
        return kExitUsage;
    }
    if (settings.help) {
        std::fputs(DevsimUsage().toLocal8Bit().constData(), stdout);
        return kExitStopped;
    }
    kvr::UpdatePackage package;
    if (!kvr::LoadUpdatePackageFile(settings.packagePath, package, error)) {
        PrintError(error);
        return kExitUsage;
    }

    const int stopFd = InstallStopSignals();
    if (stopFd < 0) {
        PrintError(QStringLiteral("cannot create the stop pipe"));
        return kExitFailed;
    }
    kvr::SystemClock clock;
    DeviceModel device(settings.device, std::move(package.pages), clock);
    try {
        PtyServer server(device, clock, settings.baud);
        std::printf("%s\n", server.DevicePath().c_str());
        std::fflush(stdout);
        const std::string failure = server.Serve(stopFd);
        const bool reported =
            WriteReport(settings.reportPath,
                        FormatDeviceReport(device.Report()) + FormatLineReport(server.Stats()));
        if (!failure.empty()) {
            PrintError(QString::fromStdString(failure));
            return kExitFailed;
        }
        return reported ? kExitStopped : kExitFailed;
    } catch (const kvr::Exception& e) {
        PrintError(QString::fromStdString(e.Message()));
        return kExitFailed;
    }
}

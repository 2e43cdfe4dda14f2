// kvr-devsim serving one pseudo-terminal for as long as a test needs it, and its report
// (POSIX: the simulated device lives on a pseudo-terminal).
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <QByteArray>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QString>
#include <QStringList>

#include "ChildProcesses.h"

namespace kvr::test {

// kvr-devsim started with `args`; Port() is the terminal it printed first (empty when it did
// not start). Stopped when the object goes.
class DevsimProcess {
public:
    DevsimProcess(const QString& program, const QStringList& args) {
        process_.start(program, args);
        if (!process_.waitForStarted(kChildStartGuardMs))
            return;
        QByteArray out;
        while (!out.contains('\n') && process_.waitForReadyRead(kChildStartGuardMs))
            out += process_.readAllStandardOutput();
        port_ = QString::fromUtf8(out.left(out.indexOf('\n')));
    }
    ~DevsimProcess() { Stop(); }
    DevsimProcess(const DevsimProcess&) = delete;
    DevsimProcess& operator=(const DevsimProcess&) = delete;

    const QString& Port() const { return port_; }

    // Asks it to end, as an operator would, so that it writes its report; kills it if it will not.
    void Stop() {
        if (process_.state() == QProcess::NotRunning)
            return;
        process_.terminate();
        if (!process_.waitForFinished(kChildStartGuardMs))
            process_.kill();
        process_.waitForFinished(kChildStartGuardMs);
    }

    // Gone at once, without a word: its end of the terminal closes under the host.
    void KillHard() {
        ::kill(static_cast<pid_t>(process_.processId()), SIGKILL);
        process_.waitForFinished(kChildStartGuardMs);
    }

private:
    QProcess process_;
    QString port_;
};

// A kvr-devsim report ("pages_received=64" lines) as a map; empty when there is none.
inline QMap<QString, QString> ReadDevsimReport(const QString& path) {
    QMap<QString, QString> report;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return report;
    for (const QByteArray& line : file.readAll().split('\n')) {
        const qsizetype eq = line.indexOf('=');
        if (eq > 0)
            report.insert(QString::fromUtf8(line.left(eq)), QString::fromUtf8(line.mid(eq + 1)));
    }
    return report;
}

}  // namespace kvr::test

// Programs the end-to-end tests start: a command run to its end, and kvr-devsim serving one
// pseudo-terminal for as long as a test needs it. The time limits only guard against a hang;
// no result depends on them.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <QByteArray>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QString>
#include <QStringList>

namespace kvr::test {

inline constexpr int kChildStartGuardMs = 30'000;

struct ProcessResult {
    int exitCode = -1;  // -2: crashed, -3: hung and killed
    QString out;
    QString err;
};

// Waits for the process to end (killing it after runGuardMs) and collects what it wrote.
inline ProcessResult FinishProcess(QProcess& process, int runGuardMs) {
    ProcessResult r;
    if (!process.waitForFinished(runGuardMs)) {
        process.kill();
        process.waitForFinished(kChildStartGuardMs);
        r.exitCode = -3;
    } else {
        r.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
    }
    r.out = QString::fromUtf8(process.readAllStandardOutput());
    r.err = QString::fromUtf8(process.readAllStandardError());
    return r;
}

// Copies a built program to `to` (its own folder, so what it writes beside itself belongs to
// the test) and makes it executable for the owner only.
inline bool CopyProgram(const QString& from, const QString& to) {
    return QFile::copy(from, to) &&
           QFile::setPermissions(to, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

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

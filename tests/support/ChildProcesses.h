// Programs the end-to-end tests start and run to their end, from a copy in a folder of their
// own. The time limits only guard against a hang; no result depends on them.
#pragma once

#include <QByteArray>
#include <QFile>
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

// `program` run in `folder` with its input closed, to its end.
inline ProcessResult RunInFolder(const QString& program, const QStringList& args,
                                 const QString& folder, int runGuardMs) {
    QProcess process;
    process.setWorkingDirectory(folder);
    process.start(program, args);
    process.closeWriteChannel();
    return FinishProcess(process, runGuardMs);
}

// kvr-devsim's arguments for a device of `package` already in its bootloader (no restart to
// wait for) that confirms its serial number.
inline QStringList BootloaderDevice(const QString& package, const QStringList& more = {}) {
    return QStringList{"--package", package, "--start-in-bootloader", "--final-status", "10"} +
           more;
}

// Copies a built program to `to` (its own folder, so what it writes beside itself belongs to
// the test) and makes it executable for the owner only.
inline bool CopyProgram(const QString& from, const QString& to) {
    return QFile::copy(from, to) &&
           QFile::setPermissions(to, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

}  // namespace kvr::test

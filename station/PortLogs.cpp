#include "PortLogs.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <vector>
#include "SerialPorts.h"

namespace kvr::station {

// The name without the first of `prefixes` it starts with (case does not count).
QString PortNameWithoutPrefix(const QString& name, std::initializer_list<QString> prefixes) {
    for (const QString& prefix : prefixes) {
        if (name.startsWith(prefix, Qt::CaseInsensitive))
            return name.mid(prefix.size());
    }
    return name;
}

// The port a name opens, whatever it was called: the serial component opens a bare name below
// /dev on POSIX, and behind the device namespace "\\.\" on Windows, where "com5" is COM5.
// A name that resolves to a file is that file (a by-id link is its node); any other is compared
// without case.
QString PortIdentity(const QString& given) {
    QString name =
        PortNameWithoutPrefix(given.trimmed(), {QStringLiteral("\\\\.\\"), QStringLiteral("//./")});
    if (!name.contains(u'/') && !name.contains(u'\\'))
        name = QStringLiteral("/dev/") + name;
    const QString canonical = QFileInfo(name).canonicalFilePath();
    return canonical.isEmpty() ? name.toLower() : canonical;
}

std::vector<SerialPortDetails> KnownPorts() {
    try {
        return DescribeSerialPorts();
    } catch (const std::exception&) {
        return {};
    }
}

const SerialPortDetails* DetailsOf(const QString& port,
                                   const std::vector<SerialPortDetails>& known) {
    const QString identity = PortIdentity(port);
    for (const SerialPortDetails& d : known) {
        const QString name = QString::fromStdString(d.portName);
        const QString byId = QString::fromStdString(d.byIdPath);
        if (PortIdentity(name) == identity || (!byId.isEmpty() && PortIdentity(byId) == identity))
            return &d;
    }
    return nullptr;
}

QString AdapterOf(const QString& port, const std::vector<SerialPortDetails>& known) {
    const SerialPortDetails* d = DetailsOf(port, known);
    if (d == nullptr)
        return {};
    return QString::fromStdString(d->byIdPath.empty() ? d->usbSerialNumber : d->byIdPath);
}

QString SamePortTwice(const QStringList& ports) {
    QStringList seen;
    for (const QString& port : ports) {
        const QString key = PortIdentity(port);
        const qsizetype at = seen.indexOf(key);
        if (at >= 0)
            return QStringLiteral("\"%1\" and \"%2\" are the same port").arg(ports[at], port);
        seen << key;
    }
    return {};
}

namespace {

// Anything but letters, digits, '.', '_' and '-' becomes '_'.
QString PlainName(QString name) {
    for (QChar& c : name) {
        const bool plain = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') ||
                           (c >= u'0' && c <= u'9') || c == u'.' || c == u'_' || c == u'-';
        if (!plain)
            c = u'_';
    }
    return name.isEmpty() ? QStringLiteral("_") : name;
}

QString LogFileIn(const QString& updateLogPath, const QString& name) {
    return QFileInfo(updateLogPath).dir().filePath(QStringLiteral("log-%1.txt").arg(name));
}

// The whole name, without what every port's name starts with.
QString WholeName(const QString& port) {
    return PlainName(PortNameWithoutPrefix(
        port.trimmed(), {QStringLiteral("/dev/"), QStringLiteral("\\\\.\\"), QStringLiteral("/")}));
}

}  // namespace

QString PortLogPath(const QString& updateLogPath, const QString& port) {
    // /dev/ttyUSB0 and /dev/serial/by-id/usb-… by their last element; /dev/pts/3 as "pts_3",
    // since "3" alone says nothing.
    QString name = port.trimmed();
    const QString dev = QStringLiteral("/dev/");
    const bool inDev = name.startsWith(dev) && !name.startsWith(dev + QStringLiteral("serial/"));
    name = inDev ? name.mid(dev.size())
                 : name.mid(std::max(name.lastIndexOf(u'/'), name.lastIndexOf(u'\\')) + 1);
    return LogFileIn(updateLogPath, PlainName(name));
}

QStringList PortLogPaths(const QString& updateLogPath, const QStringList& ports) {
    QStringList paths;
    for (const QString& port : ports)
        paths << PortLogPath(updateLogPath, port);
    // Names that two ports share (/run/fix/a/tty, /run/fix/b/tty) take the whole path; file
    // names that differ only in case are one file on Windows.
    auto sharedAt = [&paths](qsizetype i) {
        for (qsizetype j = 0; j < paths.size(); ++j) {
            if (j != i && paths[j].compare(paths[i], Qt::CaseInsensitive) == 0)
                return true;
        }
        return false;
    };
    std::vector<bool> shared(static_cast<size_t>(ports.size()));
    for (qsizetype i = 0; i < ports.size(); ++i)
        shared[static_cast<size_t>(i)] = sharedAt(i);
    for (qsizetype i = 0; i < ports.size(); ++i) {
        if (shared[static_cast<size_t>(i)])
            paths[i] = LogFileIn(updateLogPath, WholeName(ports[i]));
    }
    // What the whole paths still share (a/b_c beside a_b/c) is told apart by number.
    for (qsizetype i = 0; i < ports.size(); ++i) {
        const QString base = paths[i];
        for (int n = 2; sharedAt(i); ++n) {
            paths[i] = base.left(base.size() - 4) + QStringLiteral("-%1.txt").arg(n);
        }
    }
    return paths;
}

}  // namespace kvr::station

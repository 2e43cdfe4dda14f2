// kvr-line --record URL [--listen ADDR:PORT]: a live view of a production line for its
// supervisor, as a web page and a JSON API over the line's record, read-only. Exit status 2
// when the command line is wrong or the address cannot be taken; otherwise it serves until it
// is ended (Ctrl+C), which leaves nothing to tidy: it never writes.
#include <QCoreApplication>
#include <QStringList>
#include <cstdio>

#include "AppPaths.h"
#include "LineServer.h"
#include "ProcessEnd.h"
#include "ProductionRun.h"
#include "RecordUrl.h"
#include "Version.h"

namespace {

constexpr int kExitUsage = 2;
constexpr int kDefaultPort = 8080;
constexpr char kUsage[] =
    "Usage: kvr-line --record URL [--listen ADDR:PORT]\n"
    "  --record URL        the line's record: sqlite:PATH, postgresql://USER@HOST[:PORT]/DB\n"
    "                      (TLS parameters as for flash), or default\n"
    "  --listen ADDR:PORT  where the page is served; 127.0.0.1:8080 unless given.\n"
    "                      0.0.0.0:PORT opens it to the network; port 0 takes a free one\n"
    "  --version           the program's version\n";

void Say(std::FILE* stream, const QString& text) {
    std::fputs(text.toUtf8().constData(), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

int Usage(const QString& why) {
    Say(stderr, QStringLiteral("kvr-line: %1").arg(why));
    std::fputs(kUsage, stderr);
    return kExitUsage;
}

// "ADDR:PORT", "[v6]:PORT" or ":PORT" (this computer only).
bool ParseListen(const QString& text, QString& host, int& port) {
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon < 0)
        return false;
    host = text.left(colon);
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    if (host.isEmpty())
        host = QStringLiteral("127.0.0.1");
    bool ok = false;
    port = text.mid(colon + 1).toInt(&ok);
    return ok && port >= 0 && port <= 65535 && !host.contains(QLatin1Char(' '));
}

int Run(int argc, char** argv) {
    if (kvr::PrintVersionIfAsked(argc, argv, "kvr-line"))
        return 0;
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments().mid(1);
    QString recordName, host = QStringLiteral("127.0.0.1");
    int port = kDefaultPort;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& arg = args[i];
        if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        const bool valued = arg == QLatin1String("--record") || arg == QLatin1String("--listen");
        if (!valued)
            return Usage(QStringLiteral("unknown argument \"%1\"").arg(arg.left(80)));
        if (i + 1 >= args.size())
            return Usage(QStringLiteral("%1 needs a value").arg(arg));
        const QString value = args[++i];
        if (arg == QLatin1String("--record")) {
            recordName = value;
        } else if (!ParseListen(value, host, port)) {
            return Usage(
                QStringLiteral("--listen \"%1\" is no ADDR:PORT (port 0 to 65535)").arg(value));
        }
    }
    if (recordName.isEmpty())
        return Usage(QStringLiteral("--record is required"));
    kvr::record::RecordUrl url;
    QString error;
    if (!kvr::station::ResolveRecordName(recordName, QString(), kvr::UpdateLogPath(), url, error))
        return Usage(error);
    kvr::line::LineServer server(url);
    if (!server.Listen(host, port, error)) {
        Say(stderr, QStringLiteral("kvr-line: %1").arg(error));
        return kExitUsage;
    }
    const QString shown = host.contains(QLatin1Char(':')) ? QStringLiteral("[%1]").arg(host) : host;
    Say(stdout, QStringLiteral("kvr-line: http://%1:%2/").arg(shown).arg(server.Port()));
    Say(stdout, QStringLiteral("kvr-line: reading %1").arg(url.Text()));
    server.Serve();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    return kvr::EndProcess(Run(argc, argv));
}

// What the command line makes of its arguments before anything runs: which command argv names,
// and what each command accepts, with the exact texts of its refusals. In-process, against
// kvr_cli_core alone; the process tests keep what only a real run shows.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <cstdio>
#include <string>
#include <vector>

#include "Arguments.h"
#include "Cli.h"
#include "Exception.h"

namespace {

using namespace kvr::cli;

std::string Joined(const QStringList& args) {
    return args.join(u' ').toStdString();
}

// ---- dispatch ------------------------------------------------------------------------------

// A table whose commands stand in for the real ones.
int g_runs = 0;
QStringList g_given;

int NoteArguments(const CliCommand&, const QStringList& args, CliOutput&) {
    ++g_runs;
    g_given = args;
    return 7;
}
int RaiseError(const CliCommand&, const QStringList&, CliOutput&) {
    ++g_runs;
    throw kvr::EInOutError("port gone");
}

constexpr CliCommand kTable[] = {
    {"note", "note [ARG...]", "Notes its arguments.", NoteArguments},
    {"fail", "fail", "Raises an error.", RaiseError},
};

std::string ReadBack(std::FILE* stream) {
    std::rewind(stream);
    std::string text;
    for (int c = std::fgetc(stream); c != EOF; c = std::fgetc(stream))
        text += static_cast<char>(c);
    std::fclose(stream);
    return text;
}

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

// One call with a fresh count of runs; what it returned and wrote.
Outcome Dispatch(const QStringList& args) {
    g_runs = 0;
    g_given.clear();
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    CliOutput io(out, err);
    const int status = RunCli(kTable, args, io);
    return {status, ReadBack(out), ReadBack(err)};
}

std::string UsageText(const std::string& reason) {
    return "kvr-uplinker-cli: " + reason + "\nTry \"kvr-uplinker-cli --help\".\n";
}

TEST(Dispatch, RunsTheNamedCommandWithTheRestOrRefusesBeforeRunningAny) {
    struct Row {
        QStringList args;
        int status;
        std::string err;
        int runs;
    };
    const std::vector<Row> rows = {
        {{}, kExitUsage, UsageText("no command given"), 0},
        {{"bogus"}, kExitUsage, UsageText("unknown command \"bogus\""), 0},
        {{"NOTE", "x"}, kExitUsage, UsageText("unknown command \"NOTE\""), 0},
        {{"--json"}, kExitUsage, UsageText("unknown command \"--json\""), 0},
        {{"note"}, 7, "", 1},
        {{"note", "a", "--help", "--b"}, 7, "", 1},
        {{"fail"}, kExitFailed, "port gone\n", 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(Joined(row.args));
        const Outcome o = Dispatch(row.args);
        EXPECT_EQ(o.status, row.status);
        EXPECT_EQ(o.out, "");
        EXPECT_EQ(o.err, row.err);
        EXPECT_EQ(g_runs, row.runs);
        EXPECT_EQ(g_given, row.runs > 0 ? row.args.mid(1) : QStringList());
    }
}

TEST(Dispatch, HelpListsEveryRowInItsColumnsAndRunsNothing) {
    for (const QStringList& args : {QStringList{"--help"}, QStringList{"-h", "bogus"}}) {
        SCOPED_TRACE(Joined(args));
        const Outcome o = Dispatch(args);
        EXPECT_EQ(o.status, kExitOk);
        EXPECT_EQ(o.err, "");
        EXPECT_EQ(g_runs, 0);
        EXPECT_EQ(o.out.rfind("Usage: kvr-uplinker-cli COMMAND [ARGUMENTS]\n", 0), 0u) << o.out;
        // The synopses fill 28 columns.
        EXPECT_NE(o.out.find("\n  note [ARG...]                Notes its arguments.\n"
                             "  fail                         Raises an error.\n"),
                  std::string::npos)
            << o.out;
    }
    std::FILE* out = std::tmpfile();
    CliOutput io(out, stderr);
    EXPECT_EQ(PrintCommandHelp(io, kTable[0]), kExitOk);
    EXPECT_EQ(ReadBack(out), "Usage: kvr-uplinker-cli note [ARG...]\nNotes its arguments.\n");
}

// ---- the commands' own arguments -----------------------------------------------------------

// The settings in a line, leaving out what is at its default.
std::string Describe(const PortsSettings& s) {
    QStringList parts;
    if (s.json)
        parts << QStringLiteral("json");
    if (s.help)
        parts << QStringLiteral("help");
    return Joined(parts);
}

std::string Describe(const InfoSettings& s) {
    QStringList parts;
    if (!s.packagePath.isEmpty())
        parts << u'[' + s.packagePath + u']';
    if (s.json)
        parts << QStringLiteral("json");
    if (s.help)
        parts << QStringLiteral("help");
    return Joined(parts);
}

std::string Describe(const FlashSettings& s) {
    static const char* const kAnswers[] = {"ask", "continue", "stop"};
    QStringList parts;
    for (const FlashPort& port : s.ports)
        parts << QStringLiteral("port [%1]").arg(port.name);
    if (!s.packagePath.isEmpty())
        parts << QStringLiteral("package [%1]").arg(s.packagePath);
    if (s.bootAll)
        parts << QStringLiteral("bootall");
    if (s.technology)
        parts << QStringLiteral("technology");
    for (const FlashPort& port : s.ports) {
        if (!port.serialNumber.isEmpty())
            parts << QStringLiteral("sn [%1]").arg(port.serialNumber);
    }
    if (!s.serialNumberFirst.isEmpty())
        parts << QStringLiteral("sn-first [%1]").arg(s.serialNumberFirst);
    if (!s.serialNumberPool.isEmpty())
        parts << QStringLiteral("sn-pool [%1]").arg(s.serialNumberPool);
    if (!s.hardware.isEmpty())
        parts << QStringLiteral("hw [%1]").arg(s.hardware);
    if (!s.record.isEmpty())
        parts << QStringLiteral("record [%1]").arg(s.record);
    if (s.programMismatch != ProgramMismatchAnswer::Ask)
        parts << QLatin1String(kAnswers[static_cast<int>(s.programMismatch)]);
    if (s.repeat)
        parts << QStringLiteral("repeat");
    if (s.removalMs != 0)
        parts << QStringLiteral("removal [%1 ms]").arg(s.removalMs);
    if (s.leaseSize != 0 || s.leaseRefillBelow != 0 || s.leaseLifetimeS != 0)
        parts << QStringLiteral("lease [%1/%2/%3 s]")
                     .arg(s.leaseSize)
                     .arg(s.leaseRefillBelow)
                     .arg(s.leaseLifetimeS);
    if (s.json)
        parts << QStringLiteral("json");
    if (s.help)
        parts << QStringLiteral("help");
    return Joined(parts);
}

template <typename Settings>
using Parser = bool (*)(const QStringList&, Settings&, QString&);

struct Accepted {
    QStringList args;
    const char* settings;  // as Describe puts them
};

struct Refused {
    QStringList args;
    const char* error;
};

template <typename Settings>
void ExpectAccepted(Parser<Settings> parse, const std::vector<Accepted>& rows) {
    for (const Accepted& row : rows) {
        SCOPED_TRACE(Joined(row.args));
        Settings settings;
        QString error;
        EXPECT_TRUE(parse(row.args, settings, error)) << error.toStdString();
        EXPECT_EQ(Describe(settings), row.settings);
    }
}

template <typename Settings>
void ExpectRefused(Parser<Settings> parse, const std::vector<Refused>& rows) {
    for (const Refused& row : rows) {
        SCOPED_TRACE(Joined(row.args));
        Settings settings;
        QString error;
        EXPECT_FALSE(parse(row.args, settings, error));
        EXPECT_EQ(error.toStdString(), row.error);
    }
}

TEST(PortsArguments, TakeJsonAndHelpOnly) {
    ExpectAccepted<PortsSettings>(ParsePortsArguments, {
                                                           {{}, ""},
                                                           {{"--json"}, "json"},
                                                           {{"--json", "--json"}, "json"},
                                                           {{"--help"}, "help"},
                                                           {{"-h", "extra"}, "help"},
                                                           {{"--json", "-h"}, "json help"},
                                                       });
    ExpectRefused<PortsSettings>(
        ParsePortsArguments,
        {
            {{"extra"}, "\"ports\" takes only --json, got \"extra\""},
            {{"extra", "--help"}, "\"ports\" takes only --json, got \"extra\""},
            {{"--json", "--jsonx"}, "\"ports\" takes only --json, got \"--jsonx\""},
            {{"--JSON"}, "\"ports\" takes only --json, got \"--JSON\""},
            {{"--json=1"}, "\"ports\" takes only --json, got \"--json=1\""},
            {{"--", "--json"}, "\"ports\" takes only --json, got \"--\""},
            {{""}, "\"ports\" takes only --json, got \"\""},
        });
}

TEST(InfoArguments, TakeOnePackageAndJsonInAnyOrder) {
    ExpectAccepted<InfoSettings>(ParseInfoArguments,
                                 {
                                     {{"f.bsk"}, "[f.bsk]"},
                                     {{"f.bsk", "--json"}, "[f.bsk] json"},
                                     {{"--json", "f.bsk"}, "[f.bsk] json"},
                                     // "--" lets a name start with a dash; a lone dash is one.
                                     {{"--json", "--", "-odd.bsk"}, "[-odd.bsk] json"},
                                     {{"--", "--json"}, "[--json]"},
                                     {{"-"}, "[-]"},
                                     // Help wins over whatever follows it.
                                     {{"--help"}, "help"},
                                     {{"f.bsk", "-h", "--xml", "g.bsk"}, "help"},
                                 });
}

TEST(InfoArguments, RefuseAMissingOrSecondPackageAndUnknownOptions) {
    ExpectRefused<InfoSettings>(
        ParseInfoArguments,
        {
            {{}, "\"info\" needs a PACKAGE file"},
            {{"--json"}, "\"info\" needs a PACKAGE file"},
            {{"a.bsk", "b.bsk"}, "\"info\" takes one PACKAGE, got also \"b.bsk\""},
            {{"--xml", "a.bsk"}, "unknown option \"--xml\" for \"info\""},
            {{"-odd.bsk"}, "unknown option \"-odd.bsk\" for \"info\""},
            {{"a.bsk", "--xml", "--help"}, "unknown option \"--xml\" for \"info\""},
        });
}

const QStringList kPortAndPackage = {"--port", "COM3", "--package", "f.bsk"};

TEST(FlashArguments, AcceptPortPackageAndTheOptionalModesInAnyOrder) {
    ExpectAccepted<FlashSettings>(
        ParseFlashArguments,
        {
            {kPortAndPackage, "port [COM3] package [f.bsk]"},
            // The port is trimmed where it is used, not here.
            {{"--package", "f.bsk", "--port", " /dev/ttyUSB0 "},
             "port [ /dev/ttyUSB0 ] package [f.bsk]"},
            {kPortAndPackage + QStringList{"--bootall"}, "port [COM3] package [f.bsk] bootall"},
            {kPortAndPackage + QStringList{"--technology", "--sn", "123456789012", "--hw", "999"},
             "port [COM3] package [f.bsk] technology sn [123456789012] hw [999]"},
            {QStringList{"--hw", "0", "--sn", "1", "--technology"} + kPortAndPackage,
             "port [COM3] package [f.bsk] technology sn [1] hw [0]"},
            {kPortAndPackage + QStringList{"--program-mismatch", "ask"},
             "port [COM3] package [f.bsk]"},
            {kPortAndPackage + QStringList{"--program-mismatch", "continue"},
             "port [COM3] package [f.bsk] continue"},
            {kPortAndPackage + QStringList{"--program-mismatch", "stop"},
             "port [COM3] package [f.bsk] stop"},
            {kPortAndPackage + QStringList{"--repeat", "--json"},
             "port [COM3] package [f.bsk] repeat json"},
            {kPortAndPackage + QStringList{"--repeat", "--removal-seconds", "2.5"},
             "port [COM3] package [f.bsk] repeat removal [2500 ms]"},
            {kPortAndPackage + QStringList{"--technology", "--hw", "1", "--sn-pool", "L",
                                           "--lease-refill", "20", "--lease", "80", "--lease-hours",
                                           "8"},
             "port [COM3] package [f.bsk] technology sn-pool [L] hw [1] record [default] "
             "lease [80/20/28800 s]"},
            // Several ports: each --sn follows its port, and nobody is asked.
            {{"--port", "A", "--sn", "101", "--port", "B", "--sn", "102", "--package", "f.bsk",
              "--technology", "--hw", "1"},
             "port [A] port [B] package [f.bsk] technology sn [101] sn [102] hw [1] stop"},
            {{"--port", "A", "--port", "B", "--package", "f.bsk", "--technology", "--sn-first",
              "000101", "--hw", "2", "--repeat", "--program-mismatch", "continue"},
             "port [A] port [B] package [f.bsk] technology sn-first [000101] hw [2] continue "
             "repeat"},
            // A pool without --record takes the station's own record.
            {{"--port", "A", "--port", "B", "--package", "f.bsk", "--technology", "--sn-pool",
              "line2", "--hw", "2", "--repeat"},
             "port [A] port [B] package [f.bsk] technology sn-pool [line2] hw [2] record [default] "
             "stop repeat"},
            {kPortAndPackage + QStringList{"--record", "postgresql://line@db/prod"},
             "port [COM3] package [f.bsk] record [postgresql://line@db/prod]"},
            // One port takes its --sn wherever it stands.
            {{"--sn", "7", "--hw", "1", "--technology", "--port", "A", "--package", "f.bsk"},
             "port [A] package [f.bsk] technology sn [7] hw [1]"},
            // Help needs nothing else, and excuses what is missing.
            {{"--help"}, "help"},
            {{"-h", "--technology", "--port", "p"}, "port [p] technology help"},
        });
}

TEST(FlashArguments, RefuseWhatCouldNotStartARightRun) {
    ExpectRefused<FlashSettings>(
        ParseFlashArguments,
        {
            {{"--package", "f.bsk"}, "\"flash\" needs --port PORT"},
            {{"--port", "  ", "--package", "f.bsk"}, "\"flash\" needs --port PORT"},
            {{"--port", "COM3"}, "\"flash\" needs --package FILE"},
            {kPortAndPackage + QStringList{"--technology"},
             "--technology goes with --hw HW and one of --sn SN, --sn-first N, --sn-pool NAME"},
            {kPortAndPackage + QStringList{"--sn", "1", "--hw", "1"},
             "--technology goes with --hw HW and one of --sn SN, --sn-first N, --sn-pool NAME"},
            {kPortAndPackage + QStringList{"--technology", "--sn", "1"},
             "--technology goes with --hw HW and one of --sn SN, --sn-first N, --sn-pool NAME"},
            {kPortAndPackage + QStringList{"--technology", "--sn", "12a", "--hw", "1"},
             "--sn takes 1 to 12 digits, not \"12a\""},
            {kPortAndPackage + QStringList{"--technology", "--sn", "1234567890123", "--hw", "1"},
             "--sn takes 1 to 12 digits, not \"1234567890123\""},
            {kPortAndPackage + QStringList{"--technology", "--sn", "", "--hw", "1"},
             "--sn takes 1 to 12 digits, not \"\""},
            {kPortAndPackage + QStringList{"--technology", "--sn", "1", "--hw", "1000"},
             "--hw takes 1 to 3 digits, not \"1000\""},
            {kPortAndPackage + QStringList{"--technology", "--sn", "1", "--hw", "-1"},
             "--hw takes 1 to 3 digits, not \"-1\""},
            {kPortAndPackage + QStringList{"--port", " COM3 "}, "--port \"COM3\" is given twice"},
            {kPortAndPackage + QStringList{"--port", "COM4", "--program-mismatch", "ask"},
             "--program-mismatch ask takes one port: with several there is nobody to ask"},
            {QStringList{"--technology", "--hw", "1", "--sn", "1", "--port", "A", "--sn", "2",
                         "--port", "B", "--package", "f.bsk"},
             "with several ports each --sn follows its --port"},
            {QStringList{"--technology", "--hw", "1", "--port", "A", "--sn", "1", "--sn", "2",
                         "--port", "B", "--package", "f.bsk"},
             "--port \"A\" has two --sn"},
            {QStringList{"--technology", "--hw", "1", "--port", "A", "--sn", "1", "--port", "B",
                         "--package", "f.bsk"},
             "--port \"B\" has no --sn (give each port one, or --sn-first)"},
            {kPortAndPackage + QStringList{"--technology", "--hw", "1", "--sn", "1", "--sn", "2"},
             "--sn is given twice"},
            {kPortAndPackage +
                 QStringList{"--technology", "--hw", "1", "--sn", "1", "--sn-first", "2"},
             "--sn and --sn-first do not go together"},
            {kPortAndPackage +
                 QStringList{"--technology", "--hw", "1", "--sn-first", "1", "--sn-pool", "L"},
             "--sn-pool takes the place of --sn and --sn-first"},
            {kPortAndPackage + QStringList{"--sn-pool", "L", "--hw", "1"},
             "--technology goes with --hw HW and one of --sn SN, --sn-first N, --sn-pool NAME"},
            {kPortAndPackage + QStringList{"--technology", "--hw", "1", "--sn", "1", "--repeat"},
             "--repeat numbers its devices with --sn-first, not --sn"},
            {kPortAndPackage + QStringList{"--technology", "--sn-first", "1"},
             "--technology goes with --hw HW and one of --sn SN, --sn-first N, --sn-pool NAME"},
            {kPortAndPackage +
                 QStringList{"--technology", "--hw", "1", "--sn-first", "1000000000000"},
             "--sn-first takes 1 to 12 digits, not \"1000000000000\""},
            {QStringList{"--technology", "--hw", "1", "--port", "A", "--sn", "0101", "--port", "B",
                         "--sn", "101", "--package", "f.bsk"},
             "--sn 0101 (--port \"A\") and --sn 101 (--port \"B\") are one number: every "
             "device needs its own"},
            {kPortAndPackage + QStringList{"--repeat", "--removal-seconds", "0.1"},
             "--removal-seconds takes 0.5 to 3600 seconds, not \"0.1\""},
            {kPortAndPackage + QStringList{"--repeat", "--removal-seconds", "soon"},
             "--removal-seconds takes 0.5 to 3600 seconds, not \"soon\""},
            {kPortAndPackage + QStringList{"--removal-seconds", "5"},
             "--removal-seconds goes with --repeat"},
            {kPortAndPackage +
                 QStringList{"--technology", "--hw", "1", "--sn-first", "1", "--lease", "50"},
             "--lease, --lease-refill and --lease-hours go with --sn-pool"},
            {kPortAndPackage +
                 QStringList{"--technology", "--hw", "1", "--sn-pool", "L", "--lease-hours", "0"},
             "--lease-hours takes 1 to 72, not \"0\""},
            {kPortAndPackage +
                 QStringList{"--technology", "--hw", "1", "--sn-pool", "L", "--lease", "many"},
             "--lease takes 1 to 100000, not \"many\""},
            {kPortAndPackage + QStringList{"--program-mismatch", "maybe"},
             "--program-mismatch takes ask, continue or stop, not \"maybe\""},
            {kPortAndPackage + QStringList{"--port"}, "--port needs a value"},
            {kPortAndPackage + QStringList{"--program-mismatch"},
             "--program-mismatch needs a value"},
            {kPortAndPackage + QStringList{"--verbose"},
             "unknown argument \"--verbose\" for \"flash\""},
            // Help does not excuse a wrong word.
            {{"--help", "--verbose"}, "unknown argument \"--verbose\" for \"flash\""},
            {{"--help", "--sn"}, "--sn needs a value"},
        });
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);  // the dispatch looks for the language file beside it
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

// kvr-devsim's command line: every option reaches the device options, and nothing malformed
// slips through as a default; the report goes where it is told without replacing what is there.
#include "DevsimCommandLine.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QTemporaryDir>

namespace kvr::devsim {
namespace {

QStringList Args(std::initializer_list<const char*> args) {
    QStringList list;
    for (const char* a : args)
        list << QString::fromUtf8(a);
    return list;
}

TEST(DevsimCommandLine, EveryOptionReachesTheSettings) {
    DevsimSettings s;
    QString error;
    ASSERT_TRUE(ParseDevsimArguments(Args({"--package",
                                           "p.bsk",
                                           "--report=r.txt",
                                           "--baud",
                                           "9600",
                                           "--app-address",
                                           "0",
                                           "--boot-address",
                                           "6",
                                           "--start-in-bootloader",
                                           "--app-status",
                                           "8",
                                           "--boot-status",
                                           "7",
                                           "--restart-delay",
                                           "250",
                                           "--requested-length",
                                           "100",
                                           "--page-beyond",
                                           "--busy-every",
                                           "4",
                                           "--final-status",
                                           "10",
                                           "--refuse-enter",
                                           "1",
                                           "--refuse-start",
                                           "2",
                                           "--refuse-serial",
                                           "--page-flags",
                                           "3:6",
                                           "--page-flags",
                                           "9:1",
                                           "--error-status-at-page",
                                           "12",
                                           "--silent-after-completion",
                                           "--silent",
                                           "--fault",
                                           "bad-checksum",
                                           "--fault",
                                           "short-reply:write-page:3:0"}),
                                     s, error))
        << error.toStdString();
    EXPECT_EQ(s.packagePath, QStringLiteral("p.bsk"));
    EXPECT_EQ(s.reportPath, QStringLiteral("r.txt"));
    EXPECT_EQ(s.baud, 9600u);
    EXPECT_FALSE(s.help);
    const DeviceOptions& d = s.device;
    EXPECT_EQ(d.applicationAddressLength, 0);
    EXPECT_EQ(d.bootloaderAddressLength, 6);
    EXPECT_TRUE(d.startInBootloader);
    EXPECT_EQ(d.applicationStatus, 8);
    EXPECT_EQ(d.bootloaderStatus, 7);
    EXPECT_EQ(d.restartDelayMs, 250u);
    EXPECT_EQ(d.requestedLength, 100);
    EXPECT_TRUE(d.requestPageBeyond);
    EXPECT_EQ(d.busyEveryPages, 4u);
    EXPECT_EQ(d.finalStatuses, std::vector<uint8_t>{10});
    EXPECT_EQ(d.refuseEnterBootloader, 1);
    EXPECT_EQ(d.refuseStartUpdate, 2);
    EXPECT_TRUE(d.refuseSerialNumber);
    EXPECT_EQ(d.pageFlags, (std::map<uint16_t, uint8_t>{{3, 6}, {9, 1}}));
    ASSERT_TRUE(d.errorStatusAtPage.has_value());
    EXPECT_EQ(*d.errorStatusAtPage, 12);
    EXPECT_TRUE(d.silentAfterCompletion);
    EXPECT_TRUE(d.silent);
    ASSERT_EQ(d.faults.size(), 2u);
    EXPECT_EQ(d.faults[0].kind, FaultKind::BadChecksum);
    EXPECT_EQ(d.faults[0].command, kAnyCommand);
    EXPECT_EQ(d.faults[0].first, 1u);
    EXPECT_EQ(d.faults[0].count, 1u);
    EXPECT_EQ(d.faults[1].kind, FaultKind::ShortReply);
    EXPECT_EQ(d.faults[1].command, kCmdWritePage);
    EXPECT_EQ(d.faults[1].first, 3u);
    EXPECT_EQ(d.faults[1].count, 0u);
}

TEST(DevsimCommandLine, DefaultsFollowAPlainDevice) {
    DevsimSettings s;
    QString error;
    ASSERT_TRUE(ParseDevsimArguments(Args({"--package", "p.bsk"}), s, error));
    EXPECT_EQ(s.device.applicationAddressLength, 6);
    EXPECT_EQ(s.device.bootloaderAddressLength, 0);
    EXPECT_EQ(s.device.requestedLength, -1);
    EXPECT_FALSE(s.device.errorStatusAtPage.has_value());
    EXPECT_TRUE(s.device.faults.empty());
    EXPECT_EQ(s.baud, 0u);
    EXPECT_TRUE(s.reportPath.isEmpty());
}

TEST(DevsimCommandLine, HelpNeedsNoPackage) {
    DevsimSettings s;
    QString error;
    ASSERT_TRUE(ParseDevsimArguments(Args({"--help"}), s, error));
    EXPECT_TRUE(s.help);
    for (const char* option : {"--package",
                               "--report",
                               "--baud",
                               "--app-address",
                               "--boot-address",
                               "--start-in-bootloader",
                               "--app-status",
                               "--boot-status",
                               "--restart-delay",
                               "--requested-length",
                               "--page-beyond",
                               "--busy-every",
                               "--final-status",
                               "--silent",
                               "--silent-after-completion",
                               "--error-status-at-page",
                               "--page-flags",
                               "--refuse-enter",
                               "--refuse-start",
                               "--refuse-serial",
                               "--fault",
                               "--help"}) {
        EXPECT_TRUE(DevsimUsage().contains(QString::fromUtf8(option))) << option;
    }
}

TEST(DevsimCommandLine, MalformedArgumentsAreRefusedWithAReason) {
    const std::initializer_list<const char*> cases[] = {
        {},                                            // no package
        {"--package"},                                 // value missing
        {"--package", "p", "--bogus"},                 // unknown option
        {"--package", "p", "--app-address", "3"},      // only 6 or 0
        {"--package", "p", "--app-status", "256"},     // beyond a byte
        {"--package", "p", "--app-status", "-1"},      // negative
        {"--package", "p", "--final-status", "0x0A"},  // decimal only
        {"--package", "p", "--requested-length", "65536"},
        {"--package", "p", "--page-flags", "3"},  // PAGE:FLAGS
        {"--package", "p", "--page-flags", "3:256"},
        {"--package", "p", "--page-flags", "65536:1"},
        {"--package", "p", "--fault", "garble"},             // unknown kind
        {"--package", "p", "--fault", "no-reply:reboot"},    // unknown command
        {"--package", "p", "--fault", "no-reply:status:0"},  // occurrences count from 1
        {"--package", "p", "--fault", "no-reply:status:1:1:1"},
        {"--package", "p", "--baud", "fast"},
        {"--package", "p", "--silent=yes"},  // a switch takes no value
        {"--package", ""},
    };
    for (const auto& args : cases) {
        DevsimSettings s;
        s.baud = 4242;
        QString error;
        const QStringList list = Args(args);
        SCOPED_TRACE(list.join(u' ').toStdString());
        EXPECT_FALSE(ParseDevsimArguments(list, s, error));
        EXPECT_FALSE(error.isEmpty());
        EXPECT_EQ(s.baud, 4242u) << "a refused command line leaves the settings alone";
    }
}

TEST(DevsimCommandLine, ReportListsCountersAndSerialNumbers) {
    DeviceReport report;
    report.pagesReceived = 64;
    report.pageMismatches = 2;
    SerialNumberRecord sn;
    sn.hardware = 44;
    sn.serial = {'1', '2', 0xAB, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    report.serialNumbers.push_back(sn);
    const QStringList lines = FormatDeviceReport(report).split(u'\n');
    EXPECT_TRUE(lines.contains(QStringLiteral("pages_received=64")));
    EXPECT_TRUE(lines.contains(QStringLiteral("mismatches=2")));
    EXPECT_TRUE(lines.contains(QStringLiteral("serial_number=44:3132AB000000000000000000")));
}

TEST(DevsimCommandLine, PercentileTakesTheNearestRank) {
    EXPECT_EQ(PercentileOf({}, 50), 0u) << "no samples";
    EXPECT_EQ(PercentileOf({7}, 50), 7u);
    EXPECT_EQ(PercentileOf({7}, 99), 7u);
    // 1 … 100 shuffled: rank ceil(p/100 * n).
    std::vector<uint32_t> hundred;
    for (uint32_t i = 0; i < 100; ++i)
        hundred.push_back((i * 37) % 100 + 1);
    EXPECT_EQ(PercentileOf(hundred, 50), 50u);
    EXPECT_EQ(PercentileOf(hundred, 99), 99u);
    EXPECT_EQ(PercentileOf(hundred, 100), 100u);
    EXPECT_EQ(PercentileOf(hundred, 1), 1u);
    // Four samples: the median is the 2nd, the 99th percentile the 4th (one outlier shows).
    EXPECT_EQ(PercentileOf({40, 10, 30000, 20}, 50), 20u);
    EXPECT_EQ(PercentileOf({40, 10, 30000, 20}, 99), 30000u);
}

TEST(DevsimCommandLine, LineReportGivesBytesSpanAndTurnarounds) {
    LineStats stats;
    stats.bytesReceived = 1200;
    stats.bytesSent = 340;
    stats.firstByteInUs = 1'000'000;
    stats.lastByteOutUs = 3'500'000;
    stats.turnaroundsUs = {90, 70, 80, 2'000'000};
    stats.turnaroundsDropped = 3;
    stats.wireDueUs = 1'234'567;
    stats.wireSleptUs = 1'240'000;
    const QStringList lines = FormatLineReport(stats).split(u'\n');
    EXPECT_TRUE(lines.contains(QStringLiteral("bytes_received=1200")));
    EXPECT_TRUE(lines.contains(QStringLiteral("bytes_sent=340")));
    EXPECT_TRUE(lines.contains(QStringLiteral("line_time_us=2500000")));
    EXPECT_TRUE(lines.contains(QStringLiteral("turnarounds=7"))) << "dropped ones are counted";
    EXPECT_TRUE(lines.contains(QStringLiteral("turnaround_median_us=80")));
    EXPECT_TRUE(lines.contains(QStringLiteral("turnaround_p99_us=2000000")));
    EXPECT_TRUE(lines.contains(QStringLiteral("turnaround_max_us=2000000")));
    EXPECT_TRUE(lines.contains(QStringLiteral("wire_due_us=1234567")));
    EXPECT_TRUE(lines.contains(QStringLiteral("wire_slept_us=1240000")));

    const QStringList idle = FormatLineReport(LineStats{}).split(u'\n');
    EXPECT_TRUE(idle.contains(QStringLiteral("line_time_us=0")));
    EXPECT_TRUE(idle.contains(QStringLiteral("turnaround_median_us=0")));
    EXPECT_TRUE(idle.contains(QStringLiteral("turnaround_max_us=0")));
}

}  // namespace
// A report sent to a device or a pipe (/dev/null, a FIFO) goes through it: a save file renamed
// over it would replace the node itself, which as root turned /dev/null into a plain file.
TEST(DevsimReportFile, APipeIsWrittenThroughAndAFileWhole) {
    QTemporaryDir dir;
    const QByteArray fifo = dir.filePath("report.fifo").toLocal8Bit();
    ASSERT_EQ(::mkfifo(fifo.constData(), 0600), 0);
    const int reader = ::open(fifo.constData(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    QString error;
    EXPECT_TRUE(WriteReportFile(QString::fromLocal8Bit(fifo), "pages_received=64\n", error))
        << error.toStdString();
    char buffer[64] = {};
    EXPECT_EQ(::read(reader, buffer, sizeof buffer - 1), 18);
    EXPECT_STREQ(buffer, "pages_received=64\n");
    ::close(reader);
    struct stat st {};
    ASSERT_EQ(::stat(fifo.constData(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode)) << "the pipe is still a pipe";

    const QString file = dir.filePath("report.txt");
    ASSERT_TRUE(WriteReportFile(file, "first\n", error));
    ASSERT_TRUE(WriteReportFile(file, "second\n", error));
    QFile written(file);
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    EXPECT_EQ(written.readAll(), "second\n");
    EXPECT_FALSE(WriteReportFile(dir.filePath("no/such/folder/r.txt"), "x", error));
    EXPECT_FALSE(error.isEmpty());
}

}  // namespace kvr::devsim

// kvr-uplinker-cli as a user runs it: output, standard error and exit status of --help, info and
// ports. The executable is copied into a folder of its own so that the language file beside it
// is the test's choice. What the arguments are refused for is ArgumentsTest's.
#include <gtest/gtest.h>
#include "PackageMessages.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <cerrno>
#include <cstring>
#include <memory>

#include "ChildProcesses.h"
#include "PackageBuilder.h"
#include "SerialPorts.h"

namespace {

const QString kFixtureDir = QStringLiteral(KVR_PACKAGE_FIXTURE_DIR);
const QString kBuiltCli = QStringLiteral(KVR_CLI_PATH);
// Guards against a hang only; no result depends on it.
constexpr int kRunGuardMs = 60'000;

using namespace kvr::test;  // the loader's texts

// A copy of the executable in a fresh folder, optionally with a language file beside it.
class CliCopy {
public:
    CliCopy() {
        path_ = dir_.filePath(QStringLiteral("kvr-uplinker-cli"));
        ok_ = dir_.isValid() && CopyProgram(kBuiltCli, path_);
    }
    bool ok() const { return ok_; }
    QString FilePath(const QString& name) const { return dir_.filePath(name); }

    ProcessResult Run(const QStringList& args, const QProcessEnvironment& env =
                                                   QProcessEnvironment::systemEnvironment()) const {
        QProcess process;
        process.setProcessEnvironment(env);
        process.setWorkingDirectory(dir_.path());
        process.start(path_, args);
        if (!process.waitForStarted(kChildStartGuardMs))
            return {};
        process.closeWriteChannel();
        return FinishProcess(process, kRunGuardMs);
    }

private:
    QTemporaryDir dir_;
    QString path_;
    bool ok_ = false;
};

class CliTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(cli_.ok()) << "cannot copy " << kBuiltCli.toStdString(); }
    ProcessResult Run(const QStringList& args) const { return cli_.Run(args); }
    static QString Fixture(const char* name) { return QDir(kFixtureDir).filePath(name); }

    CliCopy cli_;
};

// ---- help and usage ------------------------------------------------------------------------

TEST_F(CliTest, HelpListsTheCommandsOnStandardOutput) {
    for (const char* option : {"--help", "-h"}) {
        const ProcessResult r = Run({QString::fromLatin1(option)});
        EXPECT_EQ(r.exitCode, 0) << option;
        EXPECT_TRUE(r.err.isEmpty()) << r.err.toStdString();
        EXPECT_TRUE(r.out.startsWith(QStringLiteral("Usage: kvr-uplinker-cli "))) << option;
        EXPECT_TRUE(r.out.contains(QStringLiteral("info PACKAGE [--json]")));
        EXPECT_TRUE(r.out.contains(QStringLiteral("\n  ports [--json] ")));
    }
    const ProcessResult info = Run({QStringLiteral("info"), QStringLiteral("--help")});
    EXPECT_EQ(info.exitCode, 0);
    EXPECT_TRUE(
        info.out.startsWith(QStringLiteral("Usage: kvr-uplinker-cli info PACKAGE [--json]")));
}

// ---- info ----------------------------------------------------------------------------------

TEST_F(CliTest, InfoJsonReportsAValidPackageInFileOrder) {
    for (const QStringList& args :
         {QStringList{QStringLiteral("info"), Fixture("valid_four_pages.bsk"),
                      QStringLiteral("--json")},
          QStringList{QStringLiteral("info"), QStringLiteral("--json"),
                      Fixture("valid_four_pages.bsk")}}) {
        const ProcessResult r = Run(args);
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_TRUE(r.err.isEmpty()) << r.err.toStdString();
        EXPECT_EQ(r.out,
                  QStringLiteral("{\"pages\":4,\"pageSize\":128,\"hwPrefixMajor\":17,"
                                 "\"hwPrefixMinor\":2,\"hardwareVersions\":[\"17.2.9\",\"17.2.10\","
                                 "\"17.2.1\"],\"programVersions\":[\"1.2.0.3\",\"1.0.10.5\","
                                 "\"0.0.0.0\",\"15.15.15.15\"]}\n"));
    }
}

TEST_F(CliTest, InfoJsonIsValidJsonForAnyBuiltPackage) {
    kvr::test::PackageOptions options;
    options.pageCount = 33;
    options.pageSize = 512;
    options.hwPrefixMajor = 255;
    options.hwPrefixMinor = 65535;
    options.hardwareVersions = {0, 65535, 20};
    options.programVersions = {};
    const QString path = cli_.FilePath(QStringLiteral("built.bsk"));
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(kvr::test::BuildPackage(options));
    f.close();

    const ProcessResult r = Run({QStringLiteral("info"), path, QStringLiteral("--json")});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(r.out.toUtf8(), &parseError);
    ASSERT_EQ(parseError.error, QJsonParseError::NoError) << r.out.toStdString();
    const QJsonObject o = doc.object();
    EXPECT_EQ(o.value(QStringLiteral("pages")).toInt(), 33);
    EXPECT_EQ(o.value(QStringLiteral("pageSize")).toInt(), 512);
    EXPECT_EQ(o.value(QStringLiteral("hwPrefixMajor")).toInt(), 255);
    EXPECT_EQ(o.value(QStringLiteral("hwPrefixMinor")).toInt(), 65535);
    const QJsonArray hw = o.value(QStringLiteral("hardwareVersions")).toArray();
    ASSERT_EQ(hw.size(), 3);
    EXPECT_EQ(hw[0].toString(), QStringLiteral("255.65535.0"));
    EXPECT_EQ(hw[1].toString(), QStringLiteral("255.65535.65535"));
    EXPECT_EQ(hw[2].toString(), QStringLiteral("255.65535.20"));
    EXPECT_TRUE(o.value(QStringLiteral("programVersions")).toArray().isEmpty());
}

TEST_F(CliTest, InfoTextShowsTheListsAsTheSortedListBoxesDo) {
    const ProcessResult r = Run({QStringLiteral("info"), Fixture("valid_four_pages.bsk")});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.err.isEmpty()) << r.err.toStdString();
    EXPECT_EQ(r.out, QStringLiteral("Pages: 4\n"
                                    "Page size: 128\n"
                                    "Hardware versions (3):\n"
                                    "  17.2.1\n"
                                    "  17.2.10\n"
                                    "  17.2.9\n"
                                    "Program versions (4):\n"
                                    "  0.0.0.0\n"
                                    "  1.0.10.5\n"
                                    "  1.2.0.3\n"
                                    "  15.15.15.15\n"));

    const ProcessResult empty = Run({QStringLiteral("info"), Fixture("valid_empty_lists.bsk")});
    EXPECT_EQ(empty.exitCode, 0);
    EXPECT_EQ(empty.out, QStringLiteral("Pages: 4\nPage size: 128\nHardware versions (0):\n"
                                        "Program versions (0):\n"));
}

TEST_F(CliTest, EachBrokenFixtureGivesItsTextAloneOnStandardError) {
    struct Row {
        const char* file;
        QString text;
    };
    const std::vector<Row> rows = {
        {"bad_checksum.bsk", kChangedText},
        {"signature_lowercase_bad_checksum.bsk", kChangedText},
        {"empty.bsk", kHeaderText},
        {"single_zero_byte.bsk", kHeaderText},
        {"short_25_bytes.bsk", kHeaderText},
        {"signature_lowercase.bsk", kForeignText},
        {"signature_byte8_nonzero.bsk", kForeignText},
        {"hw_count_21.bsk", kHeaderSizeText},
        {"page_size_below_8.bsk", kHeaderSizeText},
        {"length_below_hw_bound.bsk", kHeaderSizeBangText},
        {"lists_beyond_page_0.bsk", kHeaderSizeBangText},
        {"truncated_last_page.bsk", kHeaderSizeBangText},
        {"last_page_index_beyond_file.bsk", kHeaderSizeBangText},
    };
    for (const Row& row : rows) {
        for (const char* json : {"", "--json"}) {
            QStringList args{QStringLiteral("info"), Fixture(row.file)};
            if (*json != '\0')
                args << QString::fromLatin1(json);
            const ProcessResult r = Run(args);
            SCOPED_TRACE(std::string(row.file) + " " + json);
            EXPECT_EQ(r.exitCode, 2);
            EXPECT_TRUE(r.out.isEmpty()) << r.out.toStdString();
            EXPECT_EQ(r.err, row.text + u'\n');
        }
    }
}

TEST_F(CliTest, MissingPackageGivesTheOpenErrorAndExitTwo) {
    const QString missing = cli_.FilePath(QStringLiteral("nowhere.bsk"));
    const ProcessResult r = Run({QStringLiteral("info"), missing});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_TRUE(r.out.isEmpty());
    EXPECT_EQ(r.err, QStringLiteral("Cannot open file \"%1\". %2\n")
                         .arg(missing, QString::fromLocal8Bit(std::strerror(ENOENT))));
}

// ---- the language file ---------------------------------------------------------------------

TEST_F(CliTest, LoaderTextsAreTranslatedByTheLanguageFileBesideTheExecutable) {
    QFile lng(cli_.FilePath(QStringLiteral("ru.lng")));
    ASSERT_TRUE(lng.open(QIODevice::WriteOnly));
    lng.write("\xEF\xBB\xBF[ru]\n");
    lng.write(
        QStringLiteral("Неправильный формат файла. Ошибка заголовка.=Broken header\n").toUtf8());
    lng.close();

    const ProcessResult r = Run({QStringLiteral("info"), Fixture("empty.bsk")});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.err, QStringLiteral("Broken header\n"));
    // Texts without an entry stay as they are.
    EXPECT_EQ(Run({QStringLiteral("info"), Fixture("bad_checksum.bsk")}).err, kChangedText + u'\n');
}

TEST_F(CliTest, UnreadableLanguageFileStopsTheCommandWithStatusOne) {
    ASSERT_TRUE(QDir(cli_.FilePath(QString())).mkdir(QStringLiteral("ru.lng")));
    const ProcessResult r = Run({QStringLiteral("info"), Fixture("valid_four_pages.bsk")});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.out.isEmpty());
    EXPECT_FALSE(r.err.isEmpty());
}

// ---- ports ---------------------------------------------------------------------------------

TEST_F(CliTest, PortsPrintsTheWindowsListOnePerLineInOrder) {
    const QString extra = QStringLiteral(
        "/tmp/kvr-cli-test-b:/tmp/kvr-cli-test-a::"
        "/tmp/kvr-cli-test-b");
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QString::fromLatin1(kvr::kExtraPortsEnvVar), extra);
    const ProcessResult r = cli_.Run({QStringLiteral("ports")}, env);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.err.isEmpty()) << r.err.toStdString();

    qputenv(kvr::kExtraPortsEnvVar, extra.toUtf8());
    QString expected;
    for (const auto& port : kvr::EnumerateSerialPorts()) {
        expected += QString::fromStdString(port.portName) + u'\n';
    }
    qunsetenv(kvr::kExtraPortsEnvVar);
    EXPECT_EQ(r.out, expected);
    EXPECT_TRUE(r.out.endsWith(QStringLiteral("/tmp/kvr-cli-test-b\n/tmp/kvr-cli-test-a\n")))
        << r.out.toStdString();
}

TEST_F(CliTest, PortsJsonDescribesTheSamePortsAsOneDocument) {
    // A quote and a backslash, which the document must escape.
    const QString known = QStringLiteral("/tmp/kvr-cli-test \"json\"\\x");
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QString::fromLatin1(kvr::kExtraPortsEnvVar), known);
    const ProcessResult plain = cli_.Run({QStringLiteral("ports")}, env);
    const ProcessResult r = cli_.Run({QStringLiteral("ports"), QStringLiteral("--json")}, env);
    ASSERT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.err.isEmpty()) << r.err.toStdString();
    EXPECT_EQ(r.out.count(u'\n'), 1) << "one line";

    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(r.out.toUtf8(), &parseError);
    ASSERT_EQ(parseError.error, QJsonParseError::NoError) << r.out.toStdString();
    const QJsonObject root = doc.object();
    EXPECT_EQ(root.value(QStringLiteral("version")), QJsonValue(1));
    const QJsonArray ports = root.value(QStringLiteral("ports")).toArray();
    QString listed;
    for (const QJsonValue& value : ports) {
        const QJsonObject port = value.toObject();
        SCOPED_TRACE(QJsonDocument(port).toJson().toStdString());
        EXPECT_EQ(port.keys(), (QStringList{"by_id", "device", "driver", "port", "usb"}));
        EXPECT_TRUE(port.value(QStringLiteral("port")).isString());
        EXPECT_TRUE(port.value(QStringLiteral("device")).isString());
        for (const char* key : {"by_id", "driver"}) {
            const QJsonValue v = port.value(QLatin1String(key));
            EXPECT_TRUE(v.isNull() || (v.isString() && !v.toString().isEmpty())) << key;
        }
        const QJsonValue usb = port.value(QStringLiteral("usb"));
        EXPECT_TRUE(usb.isNull() ||
                    usb.toObject().keys() == QStringList({"manufacturer", "product", "product_id",
                                                          "serial_number", "vendor_id"}));
        listed += port.value(QStringLiteral("port")).toString() + u'\n';
    }
    EXPECT_EQ(listed, plain.out);

    ASSERT_FALSE(ports.isEmpty());
    const QJsonObject last = ports.last().toObject();
    EXPECT_EQ(last.value(QStringLiteral("port")).toString(), known);
    EXPECT_EQ(last.value(QStringLiteral("device")).toString(), known);
    EXPECT_TRUE(last.value(QStringLiteral("by_id")).isNull());
    EXPECT_TRUE(last.value(QStringLiteral("usb")).isNull());
    EXPECT_TRUE(last.value(QStringLiteral("driver")).isNull());
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

// The record itself, on SQLite and on the test command's PostgreSQL server: serial numbers
// taken at once by several processes and threads, a pool's states from first to last number,
// and a record written by a newer tool.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>
#include <QFile>
#include <QSet>
#include <QTemporaryDir>
#include <QUuid>
#include <thread>

#include "Database.h"
#include "PgTestServer.h"
#include "Record.h"

namespace {

using namespace kvr::record;

constexpr int kProcesses = 2;
constexpr int kThreads = 2;
constexpr int kTakesEach = 500;
constexpr int kChildFailed = 3;

class RecordTest : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        QString text = QStringLiteral("sqlite:") + dir_.filePath("records.sqlite");
        if (QLatin1String(GetParam()) == QLatin1String("postgresql")) {
            text = kvr::test::PgTestUrl();
            if (text.isEmpty())
                GTEST_SKIP() << "no PostgreSQL test server (ctest starts one)";
        }
        QString error;
        ASSERT_TRUE(ParseRecordUrl(text, url_, error)) << error.toStdString();
    }
    std::unique_ptr<Record> Open() const { return Record::Open(url_, dir_.filePath("journal")); }

    // A pool of its own, also on a server that earlier tests' pools share.
    QString NewPool(Record& record, int width, int64_t size, QString& first) {
        const QString name = QUuid::createUuid().toString(QUuid::Id128).left(12);
        const int64_t base = 1 + static_cast<int64_t>(QUuid::createUuid().data1 % 100000) * 100000;
        first = QStringLiteral("%1").arg(base, width, 10, QLatin1Char('0'));
        record.CreatePool(name, first,
                          QStringLiteral("%1").arg(base + size - 1, width, 10, QLatin1Char('0')));
        return name;
    }

    QTemporaryDir dir_;
    RecordUrl url_;
};

TEST_P(RecordTest, ProcessesAndThreadsTakingAtOnceNeverShareOrSkipANumber) {
    QString first;
    const QString pool = NewPool(*Open(), 12, 100000, first);

    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            // Each process with its own connection, as two stations have.
            int rc = 0;
            try {
                auto record = Open();
                std::vector<QStringList> taken(kThreads);
                std::vector<std::thread> threads;
                for (int t = 0; t < kThreads; ++t) {
                    threads.emplace_back([&, t] {
                        for (int i = 0; i < kTakesEach; ++i)
                            taken[t] << record->TakeNumber(pool, QUuid::createUuid().toString());
                    });
                }
                for (auto& thread : threads)
                    thread.join();
                QFile out(dir_.filePath(QStringLiteral("taken-%1").arg(p)));
                if (!out.open(QIODevice::WriteOnly))
                    rc = kChildFailed;
                for (const QStringList& numbers : taken)
                    out.write(numbers.join('\n').toUtf8() + '\n');
            } catch (const std::exception& e) {
                std::fprintf(stderr, "child: %s\n", e.what());
                rc = kChildFailed;
            }
            std::fflush(nullptr);
            _exit(rc);
        }
        children.push_back(child);
    }
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }

    QSet<QString> all;
    int count = 0;
    for (int p = 0; p < kProcesses; ++p) {
        QFile in(dir_.filePath(QStringLiteral("taken-%1").arg(p)));
        ASSERT_TRUE(in.open(QIODevice::ReadOnly));
        for (const QByteArray& line : in.readAll().split('\n')) {
            if (line.isEmpty())
                continue;
            ++count;
            all.insert(QString::fromUtf8(line));
        }
    }
    const int total = kProcesses * kThreads * kTakesEach;
    EXPECT_EQ(count, total);
    EXPECT_EQ(all.size(), total) << "a number was given twice";
    // None skipped: exactly the first `total` numbers, each with its state.
    for (int64_t i = 0; i < total; ++i) {
        const QString n =
            QStringLiteral("%1").arg(first.toLongLong() + i, 12, 10, QLatin1Char('0'));
        ASSERT_TRUE(all.contains(n)) << n.toStdString() << " was skipped";
    }
    const PoolStatus status = Open()->Pools(pool).front();
    EXPECT_EQ(status.sent, total);
    EXPECT_EQ(status.next,
              QStringLiteral("%1").arg(first.toLongLong() + total, 12, 10, QLatin1Char('0')));
}

TEST_P(RecordTest, APoolGoesFromFirstToLastAndEveryNumberKeepsItsState) {
    auto record = Open();
    QString first;
    const QString pool = NewPool(*record, 6, 5, first);
    const int64_t base = first.toLongLong();
    auto n = [&](int i) { return QStringLiteral("%1").arg(base + i, 6, 10, QLatin1Char('0')); };

    // Ranges that meet another pool's would give its numbers twice.
    EXPECT_THROW(record->CreatePool("other", n(4), n(9)), RecordError);
    EXPECT_THROW(record->CreatePool(pool, n(100), n(101)), RecordError);

    record->VoidNumber(n(1), "label printer jammed");  // never given
    const QString runA = QUuid::createUuid().toString();
    EXPECT_EQ(record->TakeNumber(pool, runA), n(0)) << "width of --first kept";
    EXPECT_EQ(record->TakeNumber(pool, runA), n(0)) << "one run, one number";
    EXPECT_EQ(record->TakeNumber(pool, "b"), n(2)) << "the voided number is skipped";
    EXPECT_EQ(record->TakeNumber(pool, "c"), n(3));
    EXPECT_EQ(record->TakeNumber(pool, "d"), n(4));
    EXPECT_EQ(record->TakeNumber(pool, "e"), QString()) << "used up";
    EXPECT_THROW(record->TakeNumber("no such pool", "f"), RecordError);

    EXPECT_EQ(record->SettleNumber(n(0), true), Saved::Recorded);
    record->SettleNumber(n(2), false);
    record->SettleNumber(n(2), true);  // a late answer changes nothing once settled
    record->VoidNumber(n(3), "board scrapped");
    EXPECT_THROW(record->VoidNumber("999", "no pool of that width"), RecordError);

    const PoolStatus s = record->Pools(pool).front();
    EXPECT_EQ(s.first, n(0));
    EXPECT_EQ(s.last, n(4));
    EXPECT_TRUE(s.next.isEmpty());
    EXPECT_EQ(s.free, 0);
    EXPECT_EQ(s.confirmed, 1);
    EXPECT_EQ(s.failed, 1);
    EXPECT_EQ(s.sent, 1);
    EXPECT_EQ(s.voided, 2);
}

INSTANTIATE_TEST_SUITE_P(Engines, RecordTest, ::testing::Values("sqlite", "postgresql"),
                         [](const auto& param) { return std::string(param.param); });

TEST(RecordSchema, ARecordFromANewerToolIsRefusedAndLeftAsItIs) {
    QTemporaryDir dir;
    const QString path = dir.filePath("records.sqlite");
    RecordUrl url;
    QString error;
    ASSERT_TRUE(ParseRecordUrl("sqlite:" + path, url, error));
    Record::Open(url, dir.filePath("journal"));
    OpenSqlite(path)->Exec("UPDATE meta SET value = '99' WHERE key = 'schema_version'", {});
    const QByteArray before = [&] {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }();

    try {
        Record::Open(url, dir.filePath("journal"));
        FAIL() << "opened";
    } catch (const RecordError& e) {
        EXPECT_FALSE(e.Unreachable());
        EXPECT_TRUE(e.Text().contains("newer")) << e.what();
    }
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), before);

    // Nor is a file that is no database taken for one, or changed.
    const QString other = dir.filePath("notes.txt");
    QFile text(other);
    ASSERT_TRUE(text.open(QIODevice::WriteOnly));
    text.write("S/N 000101 went to line 2\n");
    text.close();
    ASSERT_TRUE(ParseRecordUrl("sqlite:" + other, url, error));
    EXPECT_THROW(Record::Open(url, dir.filePath("journal")), RecordError);
    ASSERT_TRUE(text.open(QIODevice::ReadOnly));
    EXPECT_EQ(text.readAll(), QByteArray("S/N 000101 went to line 2\n"));
}

TEST(RecordUrlText, NamesAreReadAsTheirOwnersMeanThem) {
    RecordUrl url;
    QString error;
    ASSERT_TRUE(ParseRecordUrl("postgresql://line@db.factory:6543/production", url, error));
    EXPECT_EQ(url.ConnInfo(), "user='line' host='db.factory' port=6543 dbname='production'");
    EXPECT_FALSE(ParseRecordUrl("postgresql://line:secret@db/production", url, error));
    EXPECT_TRUE(error.contains("PGPASSWORD")) << "a password never goes on a command line";
    EXPECT_FALSE(ParseRecordUrl("postgresql://db/production", url, error)) << "no user";
    EXPECT_FALSE(ParseRecordUrl("mysql://line@db/production", url, error));
    EXPECT_FALSE(ParseRecordUrl("sqlite:", url, error));
}

}  // namespace

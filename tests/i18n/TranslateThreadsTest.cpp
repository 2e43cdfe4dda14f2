// Two threads translating at once through the same language file.
#include <gtest/gtest.h>

#include <QStringList>
#include <atomic>
#include <thread>
#include <vector>

#include "Translate.h"

namespace kvr {
namespace {

TEST(TranslateThreads, ConcurrentLookupsAgreeWithSingleThreadedOnes) {
    constexpr int kRoundsPerThread = 500;
    OpenLanguageFile(QStringLiteral(KVR_LNG_DATA_DIR "/ru_cp1251.lng"));
    const QStringList messages = {
        QStringLiteral("Ошибка обмена!"),
        QStringLiteral("Ошибка CRC! "),
        QStringLiteral("Нет ответа!"),
        QStringLiteral("Ошибка записи страницы!"),
        QStringLiteral("Ошибка подключения!\r\n"),
        QStringLiteral("Ключ"),
    };
    QStringList expected;
    for (const QString& m : messages)
        expected.append(Translate(m));
    ASSERT_EQ(expected.first(), QStringLiteral("Exchange failure"));

    std::atomic<int> mismatches{0};
    auto worker = [&] {
        for (int round = 0; round < kRoundsPerThread; ++round) {
            for (qsizetype i = 0; i < messages.size(); ++i) {
                if (Translate(messages[i]) != expected[i])
                    ++mismatches;
            }
        }
    };
    std::vector<std::thread> threads;
    threads.emplace_back(worker);
    threads.emplace_back(worker);
    worker();
    for (std::thread& t : threads)
        t.join();
    ReleaseLanguageFile();
    EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
}  // namespace kvr

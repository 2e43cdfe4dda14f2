// Stored device exchanges through the link check, with the update log open as in a run.
#include <gtest/gtest.h>

#include <QTemporaryDir>

#include "LinkCheck.h"
#include "StoredInputs.h"
#include "UpdateLog.h"

namespace kvr::fuzz::test {
namespace {

class LinkInput : public ::testing::TestWithParam<StoredInput> {};

TEST_P(LinkInput, IsJudgedByTheRules) {
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    StillClock clock;
    TUpdateLog log(clock, LogSeparators{});
    ASSERT_TRUE(log.Open(folder.filePath("log.txt")));
    const std::vector<uint8_t> bytes = ReadBytes(GetParam().path);
    EXPECT_EQ(CheckLinkInput(bytes.data(), bytes.size(), log), "");
}

INSTANTIATE_TEST_SUITE_P(Stored, LinkInput, ::testing::ValuesIn(StoredInputs("link")),
                         StoredInputName());

}  // namespace
}  // namespace kvr::fuzz::test

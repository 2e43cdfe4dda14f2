// Stored language files through the translation check.
#include <gtest/gtest.h>

#include <QTemporaryDir>

#include "StoredInputs.h"
#include "TranslateCheck.h"

namespace kvr::fuzz::test {
namespace {

class TranslateInput : public ::testing::TestWithParam<StoredInput> {};

TEST_P(TranslateInput, TranslatesByTheRulesAndNeverThrows) {
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const std::vector<uint8_t> bytes = ReadBytes(GetParam().path);
    EXPECT_EQ(CheckTranslateInput(bytes.data(), bytes.size(), folder.filePath("ru.lng")), "");
}

INSTANTIATE_TEST_SUITE_P(Stored, TranslateInput, ::testing::ValuesIn(StoredInputs("translate")),
                         StoredInputName());

}  // namespace
}  // namespace kvr::fuzz::test

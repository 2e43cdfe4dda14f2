// Stored setup strings through the setup string check.
#include <gtest/gtest.h>

#include "SetupStringCheck.h"
#include "StoredInputs.h"

namespace kvr::fuzz::test {
namespace {

class SetupStringInput : public ::testing::TestWithParam<StoredInput> {};

TEST_P(SetupStringInput, ParsesByTheGrammar) {
    const std::vector<uint8_t> bytes = ReadBytes(GetParam().path);
    EXPECT_EQ(CheckSetupStringInput(bytes.data(), bytes.size()), "");
}

INSTANTIATE_TEST_SUITE_P(Stored, SetupStringInput,
                         ::testing::ValuesIn(StoredInputs("setup_string")), StoredInputName());

}  // namespace
}  // namespace kvr::fuzz::test

// Stored package inputs (seeds and former findings) through the package check.
#include <gtest/gtest.h>

#include "PackageCheck.h"
#include "StoredInputs.h"

namespace kvr::fuzz::test {
namespace {

class PackageInput : public ::testing::TestWithParam<StoredInput> {};

TEST_P(PackageInput, IsJudgedByTheFormatRules) {
    const std::vector<uint8_t> bytes = ReadBytes(GetParam().path);
    EXPECT_EQ(CheckPackageInput(bytes.data(), bytes.size()), "");
}

INSTANTIATE_TEST_SUITE_P(Stored, PackageInput, ::testing::ValuesIn(StoredInputs("package")),
                         StoredInputName());

}  // namespace
}  // namespace kvr::fuzz::test

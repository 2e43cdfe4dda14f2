#include <gtest/gtest.h>

#include <ostream>

#include "SetupString.h"

namespace kvr {
namespace {

struct Accepted {
    const char* text;
    LineSettings expected;
};

void PrintTo(const Accepted& a, std::ostream* os) {
    *os << '"' << a.text << '"';
}

class SetupStringAccepted : public ::testing::TestWithParam<Accepted> {};

TEST_P(SetupStringAccepted, Parses) {
    const auto parsed = ParseSetupString(GetParam().text);
    ASSERT_TRUE(parsed.has_value()) << GetParam().text;
    EXPECT_EQ(*parsed, GetParam().expected) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Forms, SetupStringAccepted,
    ::testing::Values(Accepted{"19200,n,8,1", {19200, Parity::None, 8, StopBits::One}},
                      Accepted{"115200,n,8,1", {115200, Parity::None, 8, StopBits::One}},
                      Accepted{"9600,E,7,2", {9600, Parity::Even, 7, StopBits::Two}},
                      Accepted{"300,o,6,1", {300, Parity::Odd, 6, StopBits::One}},
                      Accepted{"110,m,5,1.5", {110, Parity::Mark, 5, StopBits::OneAndHalf}},
                      Accepted{"250000,S,8,2", {250000, Parity::Space, 8, StopBits::Two}},
                      Accepted{" 57600 , n , 8 , 1 ", {57600, Parity::None, 8, StopBits::One}},
                      Accepted{"4294967295,n,8,1", {4294967295u, Parity::None, 8, StopBits::One}}));

class SetupStringRejected : public ::testing::TestWithParam<const char*> {};

TEST_P(SetupStringRejected, GivesNothing) {
    EXPECT_FALSE(ParseSetupString(GetParam()).has_value()) << GetParam();
}

INSTANTIATE_TEST_SUITE_P(Forms, SetupStringRejected,
                         ::testing::Values("", ",,,", "115200", "115200,n,8", "115200,n,8,1,",
                                           "115200,n,8,1,x", "0,n,8,1", "-9600,n,8,1",
                                           "4294967296,n,8,1", "99999999999999999999,n,8,1",
                                           "96OO,n,8,1", "9600,x,8,1", "9600,no,8,1", "9600,,8,1",
                                           "9600,n,4,1", "9600,n,9,1", "9600,n,08,1", "9600,n,8,0",
                                           "9600,n,8,3", "9600,n,8,1.0", "9600;n;8;1",
                                           "9600,n,8,1\n"));

}  // namespace
}  // namespace kvr

// Test programs on Windows end with _exit once GoogleTest has printed its summary. A static
// destructor of the runtime (libstdc++'s exception-globals key, deleted through winpthreads at
// exit) was seen waiting forever on winpthreads' key lock after a passed run under Wine, with
// no other thread left; the run's verdict was already out, so nothing after it matters.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

namespace {

class QuickExit final : public ::testing::EmptyTestEventListener {
    void OnTestProgramEnd(const ::testing::UnitTest& unit) override {
        std::fflush(nullptr);
        std::_Exit(unit.Passed() ? 0 : 1);
    }
};

// Appended last, so every printer has written its part first.
const bool kInstalled = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new QuickExit);
    return true;
}();

}  // namespace

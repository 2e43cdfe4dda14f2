// Shared by the libFuzzer harnesses and the regression tests: every check takes one input,
// drives the code under test with it, and returns what it found wrong (empty when the input was
// handled soundly). The harness aborts on a finding so that libFuzzer keeps the input; the
// regression tests expect no finding for every stored input.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

namespace kvr::fuzz {

// What went wrong, for the person who reads the crash report; empty when nothing did.
using Finding = std::string;

// Collects the first finding of a check; later ones add nothing but noise.
class FindingLog {
public:
    template <typename... Parts>
    void Add(const Parts&... parts) {
        if (!first_.empty())
            return;
        std::ostringstream out;
        (out << ... << parts);
        first_ = out.str();
    }
    bool Empty() const { return first_.empty(); }
    const Finding& First() const { return first_; }

private:
    Finding first_;
};

// For the harnesses: a finding ends the run so that libFuzzer saves the input.
inline void AbortOnFinding(const Finding& finding) {
    if (finding.empty())
        return;
    std::fprintf(stderr, "\n==fuzz finding== %s\n", finding.c_str());
    std::abort();
}

}  // namespace kvr::fuzz

// The stored inputs of one fuzz check: its seed corpus and the inputs that once found a fault
// (data/<check>/, each named after its fault). Every one of them must pass the check in every
// build, so a fault found by fuzzing stays fixed.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

namespace kvr::fuzz::test {

struct StoredInput {
    std::string name;  // test name: "<folder>_<file>" with other characters as "_"
    std::filesystem::path path;
};

// Shown by gtest in place of the object's bytes.
inline void PrintTo(const StoredInput& input, std::ostream* out) {
    *out << input.path;
}

inline std::vector<StoredInput> StoredInputs(const std::string& check) {
    std::vector<StoredInput> inputs;
    const std::pair<const char*, std::filesystem::path> folders[] = {
        {"seed", std::filesystem::path(KVR_FUZZ_SEED_DIR) / check},
        {"regression", std::filesystem::path(KVR_FUZZ_REGRESSION_DIR) / check},
    };
    for (const auto& [label, folder] : folders) {
        if (!std::filesystem::is_directory(folder))
            continue;
        for (const auto& entry : std::filesystem::directory_iterator(folder)) {
            if (!entry.is_regular_file())
                continue;
            std::string name = std::string(label) + "_" + entry.path().filename().string();
            std::replace_if(
                name.begin(), name.end(), [](unsigned char c) { return !std::isalnum(c); }, '_');
            inputs.push_back(StoredInput{name, entry.path()});
        }
    }
    std::sort(inputs.begin(), inputs.end(),
              [](const StoredInput& a, const StoredInput& b) { return a.name < b.name; });
    return inputs;
}

inline std::vector<uint8_t> ReadBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in),
                                std::istreambuf_iterator<char>());
}

inline std::vector<uint8_t> ReadRegression(const std::string& check, const std::string& file) {
    const auto path = std::filesystem::path(KVR_FUZZ_REGRESSION_DIR) / check / file;
    EXPECT_TRUE(std::filesystem::is_regular_file(path)) << path;
    return ReadBytes(path);
}

// Names the parameterised cases after their files.
struct StoredInputName {
    std::string operator()(const ::testing::TestParamInfo<StoredInput>& info) const {
        return info.param.name;
    }
};

}  // namespace kvr::fuzz::test

// The version every program tells with --version: the project's, set where it is built.
#pragma once

#include <cstdio>
#include <cstring>

namespace kvr {

inline constexpr char kVersion[] = KVR_VERSION;

// When the command line is just "--version": prints "<program> <version>" and returns true.
inline bool PrintVersionIfAsked(int argc, char** argv, const char* program) {
    if (argc != 2 || std::strcmp(argv[1], "--version") != 0)
        return false;
    std::printf("%s %s\n", program, kVersion);
    std::fflush(stdout);
    return true;
}

}  // namespace kvr

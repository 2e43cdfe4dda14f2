// How a program ends once its work is done and its own objects are gone.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace kvr {

// Call as `return EndProcess(Run(argc, argv));`, so that main's own objects are destroyed
// first. On Windows the runtime's static destructors are skipped: there, libstdc++'s
// exception-globals key, deleted from one of them through winpthreads, was seen waiting
// forever on winpthreads' key lock once threads had come and gone (under Wine, a program whose
// work was done hung instead of ending). Nothing of ours is left to them; open C streams are
// flushed. Elsewhere it returns the status.
inline int EndProcess(int status) {
#ifdef _WIN32
    std::fflush(nullptr);
    std::_Exit(status);
#else
    return status;
#endif
}

}  // namespace kvr

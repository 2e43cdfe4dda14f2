// libFuzzer entry: one input is one exchange with a device (see LinkCheck.h for the layout).
// The update log stays open across inputs in a folder of this process alone, so that its
// wrap-around at the size limit is exercised too.
#include <QTemporaryDir>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "LinkCheck.h"
#include "UpdateLog.h"

namespace {

kvr::fuzz::StillClock& Clock() {
    static kvr::fuzz::StillClock clock;
    return clock;
}

kvr::TUpdateLog& Log() {
    static QTemporaryDir folder;
    static kvr::TUpdateLog log(Clock(), kvr::LogSeparators{});
    if (!log.IsOpen() && (!folder.isValid() || !log.Open(folder.filePath("log.txt")))) {
        std::fprintf(stderr, "fuzz_link: cannot open the update log in a temporary folder\n");
        std::exit(1);
    }
    return log;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kvr::fuzz::AbortOnFinding(kvr::fuzz::CheckLinkInput(data, size, Log()));
    return 0;
}

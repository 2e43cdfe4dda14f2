// libFuzzer entry: one input is one language file. The file lives in a folder of this process
// alone, so that parallel fuzzing jobs do not read each other's inputs.
#include <QTemporaryDir>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "TranslateCheck.h"

namespace {

QTemporaryDir& PrivateFolder() {
    static QTemporaryDir folder;
    return folder;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!PrivateFolder().isValid()) {
        std::fprintf(stderr, "fuzz_translate: cannot create a temporary folder\n");
        std::exit(1);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kvr::fuzz::AbortOnFinding(
        kvr::fuzz::CheckTranslateInput(data, size, PrivateFolder().filePath("ru.lng")));
    return 0;
}

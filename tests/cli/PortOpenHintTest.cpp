// The POSIX half of the port-open hints: which error codes name a usual cause, and in what words.
// That the code travels from a real open to the hint is FlashEndToEndTest's.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "PortOpenHint.h"

namespace {

TEST(PortOpenHint, NamesTheUsualCauseOfEachKnownCode) {
    const std::string held =
        "hint: /dev/ttyUSB0 is held by another program (ModemManager or brltty often claim "
        "serial adapters)";
    struct Row {
        int code;
        std::string hint;
    };
    const Row rows[] = {
        {EACCES,
         "hint: /dev/ttyUSB0: permission denied; add your user to the \"dialout\" group (sudo "
         "usermod -aG dialout $USER) and log in again"},
        {EBUSY, held},
        {EWOULDBLOCK, held},
        {ENOENT,
         "hint: /dev/ttyUSB0 does not exist; the adapter may be unplugged or have another name "
         "now (see \"kvr-uplinker-cli ports\")"},
        {EIO, ""},
        {0, ""},
        {-1, ""},  // no code known
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.code);
        EXPECT_EQ(kvr::cli::PortOpenHint(QStringLiteral("/dev/ttyUSB0"), row.code).toStdString(),
                  row.hint);
    }
}

}  // namespace

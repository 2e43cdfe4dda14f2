// Faults that need a second process (POSIX: a forked holder): an update log that another
// program holds, and a port that another program holds or that does not exist, as the serial
// channel reports them.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <QFile>
#include <cerrno>
#include <cstring>
#include <optional>

#include "Exception.h"
#include "HeldElsewhere.h"
#include "PortOpenError.h"
#include "RunFaults.h"
#include "SerialChannel.h"

namespace kvr::test {
namespace {

TEST_F(LineFault, LogHeldByAnotherProcessIsLeftAloneAndTheRunGoesOn) {
    QFile log(options_.logPath);
    ASSERT_TRUE(log.open(QIODevice::WriteOnly));
    const QByteArray before("\xFF\xFE\r\0\n\0o\0l\0d\0", 12);
    ASSERT_EQ(log.write(before), before.size());
    log.close();
    line_.Device();
    {
        HeldElsewhere holder(options_.logPath.toStdString(), false);
        ASSERT_TRUE(holder.Held());
        TUpdateSequence run(QStringLiteral("ttyFAULT0"), pages_, options_, line_.factory, clock_,
                            host_);
        EXPECT_FALSE(run.LogOpen());
        run.RunUpdate();
        logOpenAfterRun_ = run.LogOpen();
        connectedAfterRun_ = channel_.Connected();
    }
    logLockFreeAfterRun_ = LogLockIsFree(options_.logPath);
    EXPECT_EQ(host_.Shown(), QStringList{kSuccess});
    EXPECT_EQ(line_.Report().pagesWritten, (std::vector<uint16_t>{0, 1, 2, 3}));
    EXPECT_EQ(ReadAll(options_.logPath), before);
    ExpectEndedThroughTheTail();
}

TEST(PortOpenReason, ChannelGivesTheSystemsWordsForTheCode) {
    LinkSettings settings;
    settings.setupString = "115200,n,8,1";
    {
        SerialChannel channel;
        settings.portName = "/dev/kvr-no-such-port";
        try {
            channel.Connect(settings);
            ADD_FAILURE() << "a missing port opened";
        } catch (const EPortOpenError& e) {
            EXPECT_EQ(e.Message(), "SerialComm open port error, " + std::to_string(ENOENT));
            EXPECT_EQ(e.SystemReason(), std::strerror(ENOENT));
        }
        EXPECT_FALSE(channel.Connected());
    }
    {
        HeldTerminal terminal;
        ASSERT_TRUE(terminal.Held());
        SerialChannel channel;
        settings.portName = terminal.Path().toStdString();
        try {
            channel.Connect(settings);
            ADD_FAILURE() << "a held port opened";
        } catch (const EPortOpenError& e) {
            EXPECT_EQ(e.Message(), "SerialComm open port error, " + std::to_string(EBUSY));
            EXPECT_EQ(e.SystemReason(), std::strerror(EBUSY));
        }
        EXPECT_FALSE(channel.Connected());
    }
}

}  // namespace
}  // namespace kvr::test

// TSerialComm against a device end the test plays: the state rules, Read's and Write's
// counts, purging and the errors. Runs on Linux over pseudo-terminals and under Wine.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "DeviceEnd.h"
#include "SerialComm.h"

namespace kvr::test {
namespace {

using PurgeFlag = TSerialComm::PurgeFlag;

constexpr uint8_t kFill = 0xAA;
constexpr int32_t kNoInterval = 0;

struct Timeouts {
    int32_t interval = -1;
    int32_t readMultiplier = 0;
    int32_t readConstant = 0;
    int32_t writeMultiplier = 0;
    int32_t writeConstant = 0;
};

void Apply(TSerialComm& c, const Timeouts& t) {
    c.FSetReadIntervalTimeout(t.interval);
    c.FSetReadTotalTimeoutMultiplier(t.readMultiplier);
    c.FSetReadTotalTimeoutConstant(t.readConstant);
    c.FSetWriteTotalTimeoutMultiplier(t.writeMultiplier);
    c.FSetWriteTotalTimeoutConstant(t.writeConstant);
}

// Reads wait up to kArrivalMs for bytes on their way; writes likewise.
constexpr Timeouts kPatient{kNoInterval, 0, kArrivalMs, 0, kArrivalMs};

// Records handler calls in order, with the sender each one saw.
struct Handlers {
    std::vector<std::string> calls;
    std::vector<TSerialComm*> senders;

    void Attach(TSerialComm& c) {
        c.OnConnect = [this](TSerialComm& s) {
            calls.push_back("connect");
            senders.push_back(&s);
        };
        c.OnDisconnect = [this](TSerialComm& s) {
            calls.push_back("disconnect");
            senders.push_back(&s);
        };
    }
};

std::string AsText(const std::vector<uint8_t>& bytes, uint32_t n) {
    return std::string(reinterpret_cast<const char*>(bytes.data()), n);
}

class SerialCommTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        device_ = MakeDeviceEnd(0, why);
        if (!device_) {
            GTEST_SKIP() << why;
        }
    }

    // A connected component with the given time-outs and a clean line.
    void ConnectPort(const Timeouts& t = kPatient) {
        port_.FSetPortName(device_->PortName());
        Apply(port_, t);
        port_.Connect();
        ASSERT_TRUE(port_.FGetConnected());
        port_.Purge({PurgeFlag::RxClear, PurgeFlag::TxClear});
        device_->Drain();
    }

    // Reads one byte with a patient time-out: proves that what the device sent has arrived.
    void AwaitFirstByte(char expected) {
        Timeouts saved{port_.TimeoutReadInterval(), port_.TimeoutReadTotalMultiplier(),
                       port_.TimeoutReadTotalConstant(), port_.TimeoutWriteTotalMultiplier(),
                       port_.TimeoutWriteTotalConstant()};
        Apply(port_, kPatient);
        uint8_t b[4];
        ASSERT_EQ(port_.Read(b, 1), 1u);
        ASSERT_EQ(static_cast<char>(b[0]), expected);
        Apply(port_, saved);
    }

    std::unique_ptr<DeviceEnd> device_;
    Handlers h_;  // declared before port_: its handlers may run when port_ is destroyed
    TSerialComm port_;
};

// ---------------------------------------------------------------- construction and state

TEST(SerialCommDefaults, ConstructedDisconnectedWithTheDocumentedValues) {
    TSerialComm c;
    EXPECT_FALSE(c.FGetConnected());
    EXPECT_EQ(c.PortName(), "");
    EXPECT_EQ(c.SetupString(), "19200,n,8,1");
    EXPECT_EQ(c.TimeoutReadInterval(), -1);
    EXPECT_EQ(c.TimeoutReadTotalMultiplier(), 0);
    EXPECT_EQ(c.TimeoutReadTotalConstant(), 0);
    EXPECT_EQ(c.TimeoutWriteTotalMultiplier(), 0);
    EXPECT_EQ(c.TimeoutWriteTotalConstant(), 0);
    EXPECT_FALSE(c.OnConnect);
    EXPECT_FALSE(c.OnDisconnect);
}

TEST(SerialCommDefaults, SettersWhileDisconnectedOnlyStore) {
    TSerialComm c;
    Handlers h;
    h.Attach(c);
    c.FSetPortName("no port by this name");
    c.FSetSetupString("not a setup string");
    Apply(c, {1, 2, 3, 4, 5});
    EXPECT_FALSE(c.FGetConnected());
    EXPECT_EQ(c.PortName(), "no port by this name");
    EXPECT_EQ(c.SetupString(), "not a setup string");
    EXPECT_EQ(c.TimeoutReadInterval(), 1);
    EXPECT_EQ(c.TimeoutReadTotalMultiplier(), 2);
    EXPECT_EQ(c.TimeoutReadTotalConstant(), 3);
    EXPECT_EQ(c.TimeoutWriteTotalMultiplier(), 4);
    EXPECT_EQ(c.TimeoutWriteTotalConstant(), 5);
    EXPECT_TRUE(h.calls.empty());
}

TEST(SerialCommDefaults, PurgeFlagSetUsesOneBitPerOrdinal) {
    using Set = TSerialComm::PurgeFlags;
    EXPECT_EQ(Set{PurgeFlag::TxAbort}.Bits(), 1);
    EXPECT_EQ(Set{PurgeFlag::RxAbort}.Bits(), 2);
    EXPECT_EQ(Set{PurgeFlag::TxClear}.Bits(), 4);
    EXPECT_EQ(Set{PurgeFlag::RxClear}.Bits(), 8);
    const Set all{PurgeFlag::TxAbort, PurgeFlag::RxAbort, PurgeFlag::TxClear, PurgeFlag::RxClear};
    EXPECT_EQ(all.Bits(), 15);
    EXPECT_TRUE(Set{}.Empty());
    Set s;
    s.Include(PurgeFlag::RxClear).Include(PurgeFlag::RxClear);
    EXPECT_EQ(s, Set{PurgeFlag::RxClear});
    EXPECT_FALSE(s.Contains(PurgeFlag::TxClear));
}

TEST_F(SerialCommTest, ConnectRunsOnConnectOnceAndSecondConnectDoesNothing) {
    h_.Attach(port_);
    port_.FSetPortName(device_->PortName());
    port_.Connect();
    EXPECT_TRUE(port_.FGetConnected());
    port_.Connect();
    port_.FSetConnected(true);
    ASSERT_EQ(h_.calls, std::vector<std::string>{"connect"});
    EXPECT_EQ(h_.senders[0], &port_);
}

TEST_F(SerialCommTest, DisconnectRunsOnDisconnectOnceAndSecondDisconnectDoesNothing) {
    h_.Attach(port_);
    port_.FSetPortName(device_->PortName());
    port_.FSetConnected(true);
    port_.FSetConnected(false);
    EXPECT_FALSE(port_.FGetConnected());
    port_.Disconnect();
    port_.FSetConnected(false);
    ASSERT_EQ(h_.calls, (std::vector<std::string>{"connect", "disconnect"}));
    EXPECT_EQ(h_.senders[1], &port_);
}

TEST_F(SerialCommTest, DestroyingAConnectedComponentRunsOnDisconnect) {
    Handlers h;
    {
        TSerialComm c;
        h.Attach(c);
        c.FSetPortName(device_->PortName());
        c.Connect();
    }
    EXPECT_EQ(h.calls, (std::vector<std::string>{"connect", "disconnect"}));
}

TEST_F(SerialCommTest, DestroyingSwallowsAThrowingOnDisconnect) {
    auto c = std::make_unique<TSerialComm>();
    c->FSetPortName(device_->PortName());
    c->Connect();
    c->OnDisconnect = [](TSerialComm&) { throw Exception("handler failed"); };
    EXPECT_NO_THROW(c.reset());
}

TEST_F(SerialCommTest, PortFreedByDisconnectCanBeOpenedAgain) {
    ConnectPort();
    port_.Disconnect();
    TSerialComm other;
    other.FSetPortName(device_->PortName());
    EXPECT_NO_THROW(other.Connect());
    EXPECT_TRUE(other.FGetConnected());
}

TEST_F(SerialCommTest, BlanksAndControlCharactersAroundTheNameAreIgnored) {
    const std::string padded = " \t" + device_->PortName() + " \r\n";
    port_.FSetPortName(padded);
    Apply(port_, kPatient);
    port_.Connect();
    EXPECT_EQ(port_.PortName(), padded);
    ASSERT_EQ(port_.Write("ok", 2), 2u);
    EXPECT_EQ(device_->Receive(2, kArrivalMs), "ok");
}

TEST_F(SerialCommTest, SamePortNameWhileConnectedKeepsTheConnection) {
    ConnectPort();
    h_.Attach(port_);
    port_.FSetPortName(device_->PortName());
    EXPECT_TRUE(port_.FGetConnected());
    EXPECT_TRUE(h_.calls.empty());
}

TEST_F(SerialCommTest, NewPortNameWhileConnectedMovesToTheNewPort) {
    std::string why;
    auto second = MakeDeviceEnd(1, why);
    if (!second) {
        GTEST_SKIP() << why;
    }
    ConnectPort();
    second->Drain();
    h_.Attach(port_);
    port_.FSetPortName(second->PortName());
    EXPECT_TRUE(port_.FGetConnected());
    EXPECT_EQ(h_.calls, (std::vector<std::string>{"disconnect", "connect"}));
    ASSERT_EQ(port_.Write("B", 1), 1u);
    EXPECT_EQ(second->Receive(1, kArrivalMs), "B");
    EXPECT_EQ(device_->Receive(1, kQuietMs), "");
}

TEST_F(SerialCommTest, NewPortNameThatCannotBeOpenedLeavesItDisconnectedWithTheNameStored) {
    ConnectPort();
    h_.Attach(port_);
    EXPECT_THROW(port_.FSetPortName(MissingPortName()), EFOpenError);
    EXPECT_FALSE(port_.FGetConnected());
    EXPECT_EQ(port_.PortName(), MissingPortName());
    EXPECT_EQ(h_.calls, std::vector<std::string>{"disconnect"});
}

// ---------------------------------------------------------------- open and configure errors

TEST(SerialCommOpen, MissingPortRaisesEFOpenErrorWithTheSystemCode) {
    TSerialComm c;
    Handlers h;
    h.Attach(c);
    c.FSetPortName(MissingPortName());
    try {
        c.Connect();
        FAIL() << "Connect succeeded";
    } catch (const EFOpenError& e) {
        EXPECT_EQ(e.Message(),
                  "SerialComm open port error, " + std::to_string(MissingPortErrorCode()));
    }
    EXPECT_FALSE(c.FGetConnected());
    EXPECT_TRUE(h.calls.empty());
}

TEST(SerialCommOpen, OpenErrorBelongsToTheStreamErrorFamily) {
    TSerialComm c;
    c.FSetPortName(MissingPortName());
    EXPECT_THROW(c.FSetConnected(true), EFileStreamError);
    EXPECT_THROW(c.Connect(), EStreamError);
    EXPECT_THROW(c.Connect(), Exception);
}

TEST(SerialCommOpen, EmptyPortNameFailsToOpen) {
    TSerialComm c;
    try {
        c.Connect();
        FAIL() << "Connect succeeded";
    } catch (const EFOpenError& e) {
        const std::string prefix = "SerialComm open port error, ";
        ASSERT_EQ(e.Message().compare(0, prefix.size(), prefix), 0) << e.Message();
        const std::string code = e.Message().substr(prefix.size());
        EXPECT_FALSE(code.empty());
        EXPECT_EQ(code.find_first_not_of("0123456789"), std::string::npos) << code;
        EXPECT_NE(code, "0");
    }
    EXPECT_FALSE(c.FGetConnected());
}

TEST_F(SerialCommTest, RejectedSetupStringAtConnectClosesQuietlyAndFreesThePort) {
    h_.Attach(port_);
    port_.FSetPortName(device_->PortName());
    port_.FSetSetupString("fast,n,8,1");
    try {
        port_.Connect();
        FAIL() << "Connect succeeded";
    } catch (const EFOpenError&) {
        FAIL() << "the port did open";
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.Message().rfind("SerialComm build DCB error, code ", 0), 0u) << e.Message();
    }
    EXPECT_FALSE(port_.FGetConnected());
    EXPECT_TRUE(h_.calls.empty());

    TSerialComm other;
    other.FSetPortName(device_->PortName());
    EXPECT_NO_THROW(other.Connect());
}

TEST_F(SerialCommTest, RejectedSetupStringWhileConnectedDisconnectsAndKeepsIt) {
    ConnectPort();
    h_.Attach(port_);
    EXPECT_THROW(port_.FSetSetupString("115200,x,8,1"), EInOutError);
    EXPECT_FALSE(port_.FGetConnected());
    EXPECT_EQ(port_.SetupString(), "115200,x,8,1");
    EXPECT_EQ(h_.calls, std::vector<std::string>{"disconnect"});
}

TEST_F(SerialCommTest, AcceptedSetupStringWhileConnectedStaysConnected) {
    ConnectPort();
    h_.Attach(port_);
    port_.FSetSetupString("115200,n,8,1");
    port_.FSetSetupString("115200,n,8,1");
    EXPECT_TRUE(port_.FGetConnected());
    EXPECT_TRUE(h_.calls.empty());
    ASSERT_EQ(port_.Write("x", 1), 1u);
    EXPECT_EQ(device_->Receive(1, kArrivalMs), "x");
}

TEST_F(SerialCommTest, TimeoutSetWhileConnectedTakesEffectAtOnce) {
    ConnectPort(Timeouts{});  // return at once with what is there
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        device_->Send("L");
    });
    port_.FSetReadTotalTimeoutConstant(kArrivalMs);
    uint8_t b[4];
    const uint32_t n = port_.Read(b, 1);
    late.join();
    ASSERT_EQ(n, 1u);
    EXPECT_EQ(b[0], 'L');
    EXPECT_TRUE(port_.FGetConnected());
}

// ---------------------------------------------------------------- Read

TEST(SerialCommReadClosed, ReadAndWriteOnADisconnectedComponentReturnZero) {
    TSerialComm c;
    std::vector<uint8_t> buf(8, kFill);
    EXPECT_EQ(c.Read(buf.data(), 8), 0u);
    EXPECT_EQ(buf, (std::vector<uint8_t>{0, 0, 0, 0, kFill, kFill, kFill, kFill}));
    EXPECT_EQ(c.Write("abc", 3), 0u);
}

TEST_F(SerialCommTest, ReadZeroesTheFirstFourBytesWhateverTheCount) {
    ConnectPort(Timeouts{});
    for (uint32_t count : {0u, 1u, 2u, 3u, 6u}) {
        std::vector<uint8_t> buf(8, kFill);
        EXPECT_EQ(port_.Read(buf.data(), count), 0u) << count;
        EXPECT_EQ(buf, (std::vector<uint8_t>{0, 0, 0, 0, kFill, kFill, kFill, kFill})) << count;
    }
}

TEST_F(SerialCommTest, ReadOfZeroBytesLeavesWaitingBytesAlone) {
    ConnectPort();
    device_->Send("xyz");
    AwaitFirstByte('x');
    uint8_t buf[4];
    EXPECT_EQ(port_.Read(buf, 0), 0u);
    ASSERT_EQ(port_.Read(buf, 2), 2u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 2), "yz");
}

TEST_F(SerialCommTest, DefaultTimeoutsReturnAtOnceWithWhatHasArrived) {
    ConnectPort();
    device_->Send("abcde");
    AwaitFirstByte('a');
    Apply(port_, Timeouts{});
    std::vector<uint8_t> buf(16, kFill);
    const uint32_t n = port_.Read(buf.data(), 16);
    ASSERT_EQ(n, 4u);
    EXPECT_EQ(AsText(buf, n), "bcde");
    EXPECT_EQ(port_.Read(buf.data(), 16), 0u);
}

TEST_F(SerialCommTest, FourthByteInsideTheIntervalCompletesTheRead) {
    ConnectPort({1000, 0, kArrivalMs, 0, kArrivalMs});
    device_->Send("abc");
    device_->Send("d");
    std::vector<uint8_t> buf(8, kFill);
    ASSERT_EQ(port_.Read(buf.data(), 4), 4u);
    EXPECT_EQ(AsText(buf, 4), "abcd");
    EXPECT_EQ(buf[4], kFill);
}

TEST_F(SerialCommTest, FourthByteAfterTheIntervalIsPickedUpByTheFurtherRead) {
    ConnectPort({20, 0, kArrivalMs, 0, kArrivalMs});
    device_->Send("abc");
    AwaitFirstByte('a');  // "bc" now wait in the port
    device_->Send("d");
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        device_->Send("e");
    });
    std::vector<uint8_t> buf(8, kFill);
    const uint32_t n = port_.Read(buf.data(), 4);
    late.join();
    ASSERT_EQ(n, 4u);
    EXPECT_EQ(AsText(buf, 4), "bcde");
}

TEST_F(SerialCommTest, MissingFourthByteReturnsThreeAtTheStart) {
    ConnectPort({20, 0, 300, 0, kArrivalMs});
    device_->Send("xabc");
    AwaitFirstByte('x');  // "abc" now wait in the port
    std::vector<uint8_t> buf(8, kFill);
    const uint32_t n = port_.Read(buf.data(), 4);
    ASSERT_EQ(n, 3u);
    EXPECT_EQ(AsText(buf, 3), "abc");
    EXPECT_EQ(buf[3], 0) << "the zeroed byte stays";
    EXPECT_EQ(buf[4], kFill);
}

TEST_F(SerialCommTest, TotalTimeoutWithNothingReturnsZero) {
    ConnectPort({kNoInterval, 10, 50, 0, kArrivalMs});
    std::vector<uint8_t> buf(8, kFill);
    EXPECT_EQ(port_.Read(buf.data(), 4), 0u);
    EXPECT_EQ(buf, (std::vector<uint8_t>{0, 0, 0, 0, kFill, kFill, kFill, kFill}));
}

// The driver's total and the component's own wait run out together. A further read after
// that would wait its whole time again: twice the total. 1.5 x the total tells the two apart
// with room for a loaded machine; it is no speed goal.
constexpr Timeouts kTotal400{kNoInterval, 50, 200, 0, kArrivalMs};  // 4 bytes: 400 ms
constexpr auto kWellUnderTwiceTotal = std::chrono::milliseconds(600);

TEST_F(SerialCommTest, SilentDeviceEndsTheReadOnceTheTotalHasPassed) {
    ConnectPort(kTotal400);
    std::vector<uint8_t> buf(8, kFill);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(port_.Read(buf.data(), 4), 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, kWellUnderTwiceTotal);
}

TEST_F(SerialCommTest, PartReplyThenSilenceEndsTheReadOnceTheTotalHasPassed) {
    ConnectPort(kTotal400);
    device_->Send("xab");
    AwaitFirstByte('x');  // "ab" now wait in the port
    std::vector<uint8_t> buf(8, kFill);
    const auto start = std::chrono::steady_clock::now();
    const uint32_t n = port_.Read(buf.data(), 4);
    // A further read for the missing two would add 2 x 50 + 200 ms to the 400.
    EXPECT_LT(std::chrono::steady_clock::now() - start, kWellUnderTwiceTotal);
    ASSERT_EQ(n, 2u);
    EXPECT_EQ(AsText(buf, n), "ab");
}

TEST_F(SerialCommTest, TimeoutProductWrapsModulo2To32) {
    // 2 x 0x80000000 + 30 wraps to 30 ms; unwrapped it would be about 50 days. The read runs
    // on its own thread with its own component, so that a wait that did not wrap fails the
    // test instead of hanging it (the stuck component is then left behind on purpose).
    auto* port = new TSerialComm;
    port->FSetPortName(device_->PortName());
    Apply(*port, {kNoInterval, INT32_MIN, 30, 0, kArrivalMs});
    port->Connect();
    auto done = std::make_shared<std::promise<uint32_t>>();
    std::thread([port, done] {
        uint8_t buf[4];
        done->set_value(port->Read(buf, 2));
    }).detach();
    auto result = done->get_future();
    ASSERT_EQ(result.wait_for(std::chrono::seconds(60)), std::future_status::ready)
        << "the read wait did not wrap";
    EXPECT_EQ(result.get(), 0u);
    delete port;
}

TEST_F(SerialCommTest, BytesSentInPiecesArriveInOrder) {
    ConnectPort();
    std::string sent;
    for (int i = 0; i < 50; ++i) {
        const std::string piece = std::to_string(i) + ",";
        sent += piece;
        device_->Send(piece);
    }
    std::vector<uint8_t> buf(sent.size() + 4, kFill);
    const auto n = port_.Read(buf.data(), static_cast<uint32_t>(sent.size()));
    ASSERT_EQ(n, sent.size());
    EXPECT_EQ(AsText(buf, n), sent);
}

// ---------------------------------------------------------------- Write

TEST_F(SerialCommTest, WriteReturnsTheCountAndTheDeviceGetsTheBytes) {
    ConnectPort();
    const std::string frame("\x55\x01\x00\x02\xFF\x00", 6);
    ASSERT_EQ(port_.Write(frame.data(), 6), 6u);
    EXPECT_EQ(device_->Receive(6, kArrivalMs), frame);
    EXPECT_EQ(port_.Write(frame.data(), 0), 0u);
    EXPECT_EQ(device_->Receive(1, kQuietMs), "");
}

// ---------------------------------------------------------------- Purge and Escape

TEST_F(SerialCommTest, PurgeOfTheInputQueueDropsWhatWasReceived) {
    ConnectPort();
    device_->Send("OLD-OLD-");
    AwaitFirstByte('O');
    port_.Purge({PurgeFlag::RxClear});
    device_->Send("NEW");
    uint8_t buf[8];
    ASSERT_EQ(port_.Read(buf, 3), 3u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 3), "NEW");
}

TEST_F(SerialCommTest, PurgeWithAnyFlagsKeepsThePortOpen) {
    ConnectPort();
    port_.Purge({});
    port_.Purge({PurgeFlag::TxAbort, PurgeFlag::RxAbort});
    port_.Purge({PurgeFlag::TxAbort, PurgeFlag::RxAbort, PurgeFlag::TxClear, PurgeFlag::RxClear});
    EXPECT_TRUE(port_.FGetConnected());
    ASSERT_EQ(port_.Write("k", 1), 1u);
    EXPECT_EQ(device_->Receive(1, kArrivalMs), "k");
}

TEST(SerialCommClosed, PurgeOnADisconnectedComponentRaisesWithTheSystemCode) {
    TSerialComm c;
    try {
        c.Purge({PurgeFlag::RxClear});
        FAIL() << "Purge succeeded";
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.Message(),
                  "Serial port purge error, code " + std::to_string(ClosedPortErrorCode()));
    }
}

TEST(SerialCommClosed, EscapeOnADisconnectedComponentRaisesTheSystemText) {
    TSerialComm c;
    try {
        c.Escape(TSerialComm::EscapeFunc::SetDtr);
        FAIL() << "Escape succeeded";
    } catch (const EInOutError& e) {
        EXPECT_FALSE(e.Message().empty());
        EXPECT_NE(e.Message().back(), '\n');
    }
}

TEST_F(SerialCommTest, DtrOnAPortWithoutModemLinesIsNoFailure) {
    ConnectPort();
    EXPECT_NO_THROW(port_.Escape(TSerialComm::EscapeFunc::ClrDtr));
    EXPECT_NO_THROW(port_.Escape(TSerialComm::EscapeFunc::SetDtr));
    EXPECT_TRUE(port_.FGetConnected());
}

}  // namespace
}  // namespace kvr::test

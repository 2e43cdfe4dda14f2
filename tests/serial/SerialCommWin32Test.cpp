// What the Win32 half adds to the shared rules.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "CancelBound_win32.h"
#include "DeviceEnd.h"
#include "SerialComm.h"

namespace kvr::test {
namespace {

std::string MessageOf(TSerialComm& c) {
    try {
        c.Connect();
    } catch (const Exception& e) {
        return e.Message();
    }
    return "(connected)";
}

TEST(SerialCommWin32, SecondComponentOnTheSamePortIsRefused) {
    if (RunningUnderWine()) {
        GTEST_SKIP() << "Wine does not refuse a second open of a serial port";
    }
    std::string why;
    auto device = MakeDeviceEnd(0, why);
    if (!device) {
        GTEST_SKIP() << why;
    }
    TSerialComm first;
    first.FSetPortName(device->PortName());
    first.Connect();
    TSerialComm second;
    second.FSetPortName(device->PortName());
    EXPECT_EQ(MessageOf(second),
              "SerialComm open port error, " + std::to_string(ERROR_ACCESS_DENIED));
}

TEST(SerialCommWin32, RejectedSetupStringCarriesTheSystemCode) {
    std::string why;
    auto device = MakeDeviceEnd(0, why);
    if (!device) {
        GTEST_SKIP() << why;
    }
    TSerialComm c;
    c.FSetPortName(device->PortName());
    c.FSetSetupString("fast,n,8,1");
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    SetLastError(0);
    ASSERT_FALSE(BuildCommDCBW(L"fast,n,8,1", &dcb));
    const DWORD expected = GetLastError();
    EXPECT_EQ(MessageOf(c), "SerialComm build DCB error, code " + std::to_string(expected));
}

TEST(SerialCommWin32, EscapeFailureCarriesTheSystemsOwnText) {
    TSerialComm c;
    wchar_t* text = nullptr;
    FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, ERROR_INVALID_HANDLE, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
        reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    ASSERT_NE(text, nullptr);
    std::wstring wide(text);
    LocalFree(text);
    while (!wide.empty() && wide.back() <= L' ') {
        wide.pop_back();
    }
    std::string expected(wide.size() * 4, '\0');
    expected.resize(static_cast<size_t>(
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), expected.data(),
                            static_cast<int>(expected.size()), nullptr, nullptr)));
    try {
        c.Escape(TSerialComm::EscapeFunc::SetRts);
        FAIL() << "Escape succeeded";
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.Message(), expected);
    }
}

TEST(SerialCommWin32, ACancelledTransferIsWaitedForOnlyUpToTheBound) {
    // A read pending on a pipe that nobody writes: cancelled, the system finishes it at once.
    const std::string name = "\\\\.\\pipe\\kvr-cancel-" + std::to_string(GetCurrentProcessId());
    HANDLE pipe = CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                   PIPE_TYPE_BYTE, 1, 64, 64, 0, nullptr);
    ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
    HANDLE client = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(client, INVALID_HANDLE_VALUE);
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    char buffer[16];
    ASSERT_FALSE(ReadFile(pipe, buffer, sizeof buffer, nullptr, &ov));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    DWORD moved = 99;
    EXPECT_TRUE(FinishCancelled(pipe, ov, kCancelledTransferBoundMs, moved));
    EXPECT_EQ(moved, 0u);

    // A transfer whose end never comes, as with a driver that keeps a cancelled read after its
    // adapter was pulled: given up once the bound has passed, not waited for without end.
    OVERLAPPED stuck{};
    stuck.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    moved = 99;
    EXPECT_FALSE(FinishCancelled(INVALID_HANDLE_VALUE, stuck, 50, moved));
    EXPECT_EQ(moved, 0u);

    CloseHandle(stuck.hEvent);
    CloseHandle(ov.hEvent);
    CloseHandle(client);
    CloseHandle(pipe);
}

}  // namespace
}  // namespace kvr::test
